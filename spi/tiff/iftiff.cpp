// iftiff.spi: TIFF pictures through libtiff, first directory only.
// Palette and greyscale pictures of up to 8 bits come out as 8-bit with
// their table; everything else the library can read as 24-bit.
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "common/spicommon.h"

namespace {

// Bytes of the RGBA band buffer of the 24-bit path at most.
constexpr int64_t kMaxBandBytes = INT64_C(1) << 30;

bool isTiff(const unsigned char *p, size_t n)
{
    if (n < 4)
        return false;
    // classic (42) and BigTIFF (43), both byte orders
    if (p[0] == 'I' && p[1] == 'I')
        return (p[2] == 42 || p[2] == 43) && p[3] == 0;
    if (p[0] == 'M' && p[1] == 'M')
        return p[2] == 0 && (p[3] == 42 || p[3] == 43);
    return false;
}

// The file's bytes as a read-only client file of libtiff.
struct MemFile {
    const unsigned char *data;
    toff_t size;
    toff_t pos;
};

tmsize_t memRead(thandle_t h, void *buf, tmsize_t len)
{
    auto *m = static_cast<MemFile *>(h);
    if (len <= 0 || m->pos >= m->size)
        return 0;
    toff_t n = m->size - m->pos;
    if (n > toff_t(len))
        n = toff_t(len);
    std::memcpy(buf, m->data + m->pos, size_t(n));
    m->pos += n;
    return tmsize_t(n);
}

tmsize_t memWrite(thandle_t, void *, tmsize_t)
{
    return -1;
}

toff_t memSeek(thandle_t h, toff_t off, int whence)
{
    auto *m = static_cast<MemFile *>(h);
    toff_t base;
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = m->pos; break;
    case SEEK_END: base = m->size; break;
    default: return toff_t(-1);
    }
    // positions past the end are allowed; reading there gives nothing
    if (off > toff_t(INT64_MAX) - base)
        return toff_t(-1);
    m->pos = base + off;
    return m->pos;
}

int memClose(thandle_t)
{
    return 0;
}

toff_t memSize(thandle_t h)
{
    return static_cast<MemFile *>(h)->size;
}

// The bytes are already in memory: let the library read strips in place.
int memMap(thandle_t h, void **base, toff_t *size)
{
    auto *m = static_cast<MemFile *>(h);
    *base = const_cast<unsigned char *>(m->data);
    *size = m->size;
    return 1;
}

void memUnmap(thandle_t, void *, toff_t) {}

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// What the first directory holds, as far as the plug-in cares.
struct Layout {
    uint32_t width, height;
    uint16_t spp, bps, photometric, sampleFormat, orientation;
    bool hasPhotometric;
    bool indexed;  // handed out as 8-bit with a table
    bool directRgb; // 8-bit RGB strips copied straight into the rows
    LONG xppm, yppm;
    WORD xdens, ydens;
};

LONG toPelsPerMeter(float res, uint16_t unit)
{
    double f = unit == RESUNIT_INCH ? 39.37 : unit == RESUNIT_CENTIMETER ? 100.0 : 0.0;
    double v = double(res) * f + 0.5;
    if (!(v >= 0) || v > 2147483647.0)
        return 0;
    return LONG(v);
}

WORD toDensity(float res, uint16_t unit)
{
    if (unit != RESUNIT_INCH && unit != RESUNIT_CENTIMETER)
        return 0;
    double v = double(res) + 0.5;
    if (!(v >= 0) || v > 65535.0)
        return 0;
    return WORD(v);
}

int readLayout(TIFF *t, Layout *lay)
{
    if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &lay->width))
        return SPI_OUT_OF_ORDER;
    if (!TIFFGetField(t, TIFFTAG_IMAGELENGTH, &lay->height))
        return SPI_OUT_OF_ORDER;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &lay->spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &lay->bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &lay->sampleFormat);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &lay->orientation);
    lay->hasPhotometric = TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &lay->photometric) != 0;
    if (!lay->hasPhotometric)
        lay->photometric = 0xFFFF;

    bool small = lay->bps == 1 || lay->bps == 2 || lay->bps == 4 || lay->bps == 8;
    bool oneChannel = lay->photometric == PHOTOMETRIC_MINISBLACK ||
                      lay->photometric == PHOTOMETRIC_MINISWHITE ||
                      lay->photometric == PHOTOMETRIC_PALETTE;
    // Other orientations are left to the library's RGBA reader, which
    // knows how to turn them.
    lay->indexed = lay->spp == 1 && small && oneChannel && lay->sampleFormat == SAMPLEFORMAT_UINT &&
                   lay->orientation == ORIENTATION_TOPLEFT;
    // The common RGB file needs none of the RGBA reader's conversions; the
    // samples past the third (alpha) are skipped, as the RGBA path does.
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    lay->directRgb = lay->photometric == PHOTOMETRIC_RGB && lay->bps == 8 && lay->spp >= 3 &&
                     lay->sampleFormat == SAMPLEFORMAT_UINT && lay->orientation == ORIENTATION_TOPLEFT &&
                     planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(t);
    if (lay->indexed && lay->photometric == PHOTOMETRIC_PALETTE) {
        uint16_t *r, *g, *b;
        if (!TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b))
            return SPI_OUT_OF_ORDER;
    }

    float xres = 0, yres = 0;
    uint16_t unit = RESUNIT_NONE;
    lay->xppm = lay->yppm = 0;
    lay->xdens = lay->ydens = 0;
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres)) {
        lay->xppm = toPelsPerMeter(xres, unit);
        lay->yppm = toPelsPerMeter(yres, unit);
        lay->xdens = toDensity(xres, unit);
        lay->ydens = toDensity(yres, unit);
    }
    if (!spiSizeOk(lay->width, lay->height, lay->indexed ? 8 : 24))
        return SPI_NO_MEMORY;
    return SPI_ALL_RIGHT;
}

// A file open at its first directory. The library reads through m, which
// therefore goes only after t.
struct OpenTiff {
    MemFile m;
    TiffPtr t;
    Layout lay;
};

// Opens the file and reads its first directory. Returns an SPI result.
int openTiff(const SpiSource &src, OpenTiff *o)
{
    o->m = MemFile{src.data, toff_t(src.size), 0};
    // The library's diagnostics would go to the host's standard error.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    o->t.reset(TIFFClientOpen("picture", "r", &o->m, memRead, memWrite, memSeek, memClose, memSize, memMap,
                              memUnmap));
    if (!o->t)
        return SPI_OUT_OF_ORDER;
    return readLayout(o->t.get(), &o->lay);
}

// count samples of bps bits, packed from the top bit down, to one byte each
void unpack(const unsigned char *src, int bps, uint32_t first, uint32_t count, unsigned char *dst)
{
    if (bps == 8) {
        std::memcpy(dst, src + first, count);
        return;
    }
    const unsigned mask = (1u << bps) - 1;
    uint64_t bit = uint64_t(first) * unsigned(bps);
    for (uint32_t i = 0; i < count; i++, bit += unsigned(bps)) {
        unsigned byte = src[bit >> 3];
        unsigned shift = 8 - unsigned(bps) - unsigned(bit & 7);
        dst[i] = (unsigned char)((byte >> shift) & mask);
    }
}

void makeTable(TIFF *t, const Layout &lay, SpiDib *dib)
{
    int levels = 1 << lay.bps;
    dib->colors = levels;
    if (lay.photometric == PHOTOMETRIC_PALETTE) {
        uint16_t *r, *g, *b;
        TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b);
        // Some writers put 8-bit values in the 16-bit map: take the map as
        // 16-bit only when some entry needs it.
        bool wide = false;
        for (int i = 0; i < levels; i++) {
            if (r[i] >= 256 || g[i] >= 256 || b[i] >= 256)
                wide = true;
        }
        int shift = wide ? 8 : 0;
        for (int i = 0; i < levels; i++) {
            dib->table[i].rgbRed = BYTE(r[i] >> shift);
            dib->table[i].rgbGreen = BYTE(g[i] >> shift);
            dib->table[i].rgbBlue = BYTE(b[i] >> shift);
        }
        return;
    }
    spiGreyTable(dib->table, levels);
    if (lay.photometric == PHOTOMETRIC_MINISWHITE) {
        for (int i = 0; i < levels / 2; i++)
            std::swap(dib->table[i], dib->table[levels - 1 - i]);
    }
}

// Strip by strip into the rows: indexes unpacked to a byte each, or RGB
// samples turned into BGR.
int readStrips(TIFF *t, const Layout &lay, SpiDib *dib, const SpiProgress &prog)
{
    const uint32_t w = lay.width, h = lay.height;
    uint32_t rps = 0;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    if (rps == 0 || rps > h)
        rps = h;
    tmsize_t rowSize = TIFFScanlineSize(t);
    tmsize_t stripSize = TIFFStripSize(t);
    uint64_t rowBits = uint64_t(w) * lay.bps * (lay.indexed ? 1 : lay.spp);
    if (rowSize <= 0 || stripSize <= 0 || rowBits > uint64_t(rowSize) * 8)
        return SPI_OUT_OF_ORDER;
    std::vector<unsigned char> buf(static_cast<size_t>(stripSize));
    const size_t spp = lay.spp;
    for (uint32_t y = 0; y < h; y += rps) {
        uint32_t rows = h - y < rps ? h - y : rps;
        tmsize_t got = TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y, 0), buf.data(), stripSize);
        if (got < 0 || uint64_t(got) < uint64_t(rowSize) * rows)
            return SPI_OUT_OF_ORDER;
        for (uint32_t r = 0; r < rows; r++) {
            const unsigned char *src = buf.data() + size_t(r) * size_t(rowSize);
            unsigned char *dst = dib->row(int(y + r));
            if (lay.indexed) {
                unpack(src, lay.bps, 0, w, dst);
                continue;
            }
            for (uint32_t x = 0; x < w; x++, src += spp, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        }
        if (prog.step(int(y + rows), int(h)))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

// Palette and greyscale pictures: the samples go straight into the rows.
int readIndexed(TIFF *t, const Layout &lay, SpiDib *dib, const SpiProgress &prog)
{
    const uint32_t w = lay.width, h = lay.height;
    const int bps = lay.bps;
    if (TIFFIsTiled(t)) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
        tmsize_t tileSize = TIFFTileSize(t);
        tmsize_t rowSize = TIFFTileRowSize(t);
        if (tw == 0 || th == 0 || tileSize <= 0 || rowSize <= 0)
            return SPI_OUT_OF_ORDER;
        if (uint64_t(rowSize) * th > uint64_t(tileSize) || uint64_t(tw) * unsigned(bps) > uint64_t(rowSize) * 8)
            return SPI_OUT_OF_ORDER;
        std::vector<unsigned char> buf(static_cast<size_t>(tileSize));
        for (uint32_t y = 0; y < h; y += th) {
            uint32_t rows = h - y < th ? h - y : th;
            for (uint32_t x = 0; x < w; x += tw) {
                uint32_t cols = w - x < tw ? w - x : tw;
                if (TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, 0), buf.data(), tileSize) < 0)
                    return SPI_OUT_OF_ORDER;
                for (uint32_t r = 0; r < rows; r++)
                    unpack(buf.data() + size_t(r) * size_t(rowSize), bps, 0, cols, dib->row(int(y + r)) + x);
            }
            if (prog.step(int(y + rows), int(h)))
                return SPI_ABORT;
        }
        return SPI_ALL_RIGHT;
    }
    return readStrips(t, lay, dib, prog);
}

struct RgbaImage {
    TIFFRGBAImage img;
    bool begun = false;
    ~RgbaImage()
    {
        if (begun)
            TIFFRGBAImageEnd(&img);
    }
};

// Everything else through the library's RGBA reader, a band of rows at a
// time; alpha is dropped.
int readRgba(TIFF *t, const Layout &lay, SpiDib *dib, const SpiProgress &prog)
{
    char emsg[1024];
    if (!TIFFRGBAImageOK(t, emsg))
        return SPI_OUT_OF_ORDER;
    // Alpha goes away, so the colours are wanted as stored: the library
    // premultiplies unassociated alpha, but passes associated alpha through.
    uint16_t extra = 0;
    uint16_t *types = nullptr;
    if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extra, &types) && extra > 0) {
        std::vector<uint16_t> assoc(extra, EXTRASAMPLE_ASSOCALPHA);
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, extra, assoc.data());
    }
    RgbaImage ri;
    if (!TIFFRGBAImageBegin(&ri.img, t, 0, emsg))
        return SPI_OUT_OF_ORDER;
    ri.begun = true;
    ri.img.req_orientation = ORIENTATION_BOTLEFT;

    const uint32_t w = lay.width, h = lay.height;
    // Bands follow the strips or tiles, so that none is decoded twice.
    uint32_t unit = 0;
    if (TIFFIsTiled(t))
        TIFFGetField(t, TIFFTAG_TILELENGTH, &unit);
    else
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &unit);
    if (unit == 0 || unit > h)
        unit = h;
    uint32_t band = unit;
    if (band < 16)
        band = (16 + unit - 1) / unit * unit;
    if (int64_t(band) * w * 4 > kMaxBandBytes)
        band = uint32_t(kMaxBandBytes / (int64_t(w) * 4));
    if (band > h)
        band = h;
    if (band == 0)
        return SPI_NO_MEMORY;
    std::vector<uint32_t> raster(size_t(band) * w);

    // The library fills a band bottom row first; which picture rows those
    // are depends on whether the file stores its top row first.
    const bool topFirst = lay.orientation == ORIENTATION_TOPLEFT || lay.orientation == ORIENTATION_TOPRIGHT ||
                          lay.orientation == ORIENTATION_LEFTTOP || lay.orientation == ORIENTATION_RIGHTTOP;
    for (uint32_t y = 0; y < h; y += band) {
        uint32_t n = h - y < band ? h - y : band;
        ri.img.row_offset = int(y);
        ri.img.col_offset = 0;
        if (!TIFFRGBAImageGet(&ri.img, raster.data(), w, n))
            return SPI_OUT_OF_ORDER;
        size_t first = topFirst ? size_t(h - y - n) : size_t(y);
        for (uint32_t j = 0; j < n; j++) {
            const uint32_t *src = raster.data() + size_t(j) * w;
            unsigned char *dst = dib->bits + (first + j) * dib->stride;
            for (uint32_t x = 0; x < w; x++, dst += 3) {
                uint32_t p = src[x];
                dst[0] = (unsigned char)TIFFGetB(p);
                dst[1] = (unsigned char)TIFFGetG(p);
                dst[2] = (unsigned char)TIFFGetR(p);
            }
        }
        if (prog.step(int(y + n), int(h)))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    OpenTiff o;
    int rc = openTiff(src, &o);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    const Layout &lay = o.lay;
    lpInfo->width = LONG(lay.width);
    lpInfo->height = LONG(lay.height);
    lpInfo->x_density = lay.xdens;
    lpInfo->y_density = lay.ydens;
    lpInfo->colorDepth = lay.indexed ? 8 : 24;
    return SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    OpenTiff o;
    int rc = openTiff(src, &o);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    TIFF *t = o.t.get();
    const Layout &lay = o.lay;
    rc = spiAllocDib(dib, lay.width, lay.height, lay.indexed ? 8 : 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    dib->hdr.biXPelsPerMeter = lay.xppm;
    dib->hdr.biYPelsPerMeter = lay.yppm;
    if (prog.step(0, dib->height))
        return SPI_ABORT;
    if (lay.indexed) {
        makeTable(t, lay, dib);
        rc = readIndexed(t, lay, dib, prog);
    } else if (lay.directRgb) {
        rc = readStrips(t, lay, dib, prog);
    } else {
        rc = readRgba(t, lay, dib, prog);
    }
    if (rc != SPI_ALL_RIGHT)
        return rc;
    return prog.step(dib->height, dib->height) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {
    {"TIFF plug-in for vexel 1.40 (libtiff)", "*.tif;*.tiff", "TIFF image"}, isTiff, info, decode};
