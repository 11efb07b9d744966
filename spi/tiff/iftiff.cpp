// iftiff.spi: TIFF pictures through libtiff, first directory only.
// Palette and greyscale pictures come out as 8-bit with their table, RGB and
// CMYK ones as 24-bit, all read sample by sample at 1 to 8 or 16 bits; any
// other kind the library knows (YCbCr, CIE L*a*b*, ...) through its RGBA
// reader as 24-bit. The picture is turned as the orientation tag says.
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/spicommon.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Bytes of the RGBA band buffer of the library's reader at most.
constexpr int64_t kMaxBandBytes = INT64_C(1) << 30;
// Bytes a strip or tile buffer may take whatever the picture's size.
constexpr int64_t kMinUnitBytes = INT64_C(16) << 20;

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

// How the samples become the picture.
enum Path {
    kIndexes, // one sample of 1 to 8 bits, palette or grey: the values are the indexes
    kSamples, // grey, RGB or CMYK of 8 or 16 bits, maybe with alpha
    kRgba     // the library's RGBA reader
};

// What the first directory holds, as far as the plug-in cares.
struct Layout {
    uint32_t width, height;
    uint16_t spp, bps, photometric, orientation;
    bool separate;  // one plane per sample
    Path path;
    int colours;    // kSamples: colour samples of a pixel, 1 grey, 3 RGB, 4 CMYK
    bool assoc;     // the sample after the colours is associated alpha
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

// Picks the path for the samples the directory describes.
void choosePath(TIFF *t, Layout *lay)
{
    uint16_t extra = 0, *types = nullptr, inkset = INKSET_CMYK, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra, &types);
    TIFFGetFieldDefaulted(t, TIFFTAG_INKSET, &inkset);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    const int colours = extra < lay->spp ? lay->spp - extra : 0;
    const uint16_t ph = lay->photometric;
    bool grey = ph == PHOTOMETRIC_MINISBLACK || ph == PHOTOMETRIC_MINISWHITE;
    lay->path = kRgba;
    lay->colours = 0;
    lay->assoc = false;
    if (compression == COMPRESSION_OJPEG)
        return; // its raw samples are subsampled YCbCr
    if (lay->spp == 1 && lay->bps <= 8 && (grey || ph == PHOTOMETRIC_PALETTE) && 8 % lay->bps == 0) {
        lay->path = kIndexes;
        lay->colours = 1;
        return;
    }
    if ((lay->bps != 8 && lay->bps != 16) || lay->spp > 8)
        return;
    if ((grey && colours == 1) || (ph == PHOTOMETRIC_RGB && colours == 3) ||
        (ph == PHOTOMETRIC_SEPARATED && inkset == INKSET_CMYK && colours == 4)) {
        lay->path = kSamples;
        lay->colours = colours;
        // premultiplied inks mean nothing: CMYK's alpha is only dropped
        lay->assoc = extra > 0 && types[0] == EXTRASAMPLE_ASSOCALPHA && colours != 4;
    }
}

// The library's message tells a kind it cannot handle from a broken file.
int refusal(const char *emsg)
{
    return std::strncmp(emsg, "Sorry", 5) == 0 ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
}

int readLayout(TIFF *t, Layout *lay)
{
    if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &lay->width))
        return SPI_OUT_OF_ORDER;
    if (!TIFFGetField(t, TIFFTAG_IMAGELENGTH, &lay->height))
        return SPI_OUT_OF_ORDER;
    uint16_t format = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &lay->spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &lay->bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &lay->orientation);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &lay->photometric))
        lay->photometric = 0xFFFF;
    lay->separate = planar == PLANARCONFIG_SEPARATE;
    // Signed, floating-point and complex samples, and codecs the library
    // was built without, are valid files of kinds not handled here.
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
        return SPI_NOT_SUPPORT;
    if (!TIFFIsCODECConfigured(compression))
        return SPI_NOT_SUPPORT;
    if (lay->spp == 0 || lay->bps == 0)
        return SPI_OUT_OF_ORDER;
    choosePath(t, lay);
    if (lay->photometric == PHOTOMETRIC_PALETTE) {
        uint16_t *r, *g, *b;
        if (!TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b))
            return SPI_OUT_OF_ORDER;
    }
    char emsg[1024] = "";
    if (lay->path == kRgba && !TIFFRGBAImageOK(t, emsg))
        return refusal(emsg);

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
    if (!spiSizeOk(lay->width, lay->height, lay->colours == 1 ? 8 : 24))
        return SPI_NO_MEMORY;
    return SPI_ALL_RIGHT;
}

// The library's diagnostics would go to the host's standard error. One
// kind of warning matters: the JPEG library's word that a strip's data ran
// out, or that its scan met a marker, before the rows were out; it makes
// the rest up in grey. It sets the flag at data. The JPEG library tells
// only the first warning of a strip, and a strip whose data runs out
// before its end marker gives the same first warning whether or not its
// rows are all there: such a strip counts as cut short. Writers of TIFF
// end every JPEG strip with its marker.
int silent(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

int warned(TIFF *, void *data, const char *module, const char *fmt, va_list ap)
{
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (module != nullptr && std::strcmp(module, "JPEGLib") == 0 &&
        (std::strstr(text, "premature end of data segment") || std::strstr(text, "Premature end of JPEG file")))
        *static_cast<bool *>(data) = true;
    return 1;
}

struct OptionsFree {
    void operator()(TIFFOpenOptions *o) const { TIFFOpenOptionsFree(o); }
};

// A file open at its first directory. The library reads through m, which
// therefore goes only after t.
struct OpenTiff {
    MemFile m;
    bool rowsMissing = false;
    TiffPtr t;
    Layout lay;
};

// Opens the file and reads its first directory. No block the library
// allocates may be larger than the largest picture the file could make.
// Returns an SPI result.
int openTiff(const SpiSource &src, OpenTiff *o)
{
    o->m = MemFile{src.data, toff_t(src.size), 0};
    std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
    if (!opts)
        return SPI_NO_MEMORY;
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), tmsize_t(spiMaxImage(src.size)));
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), silent, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), warned, &o->rowsMissing);
    o->t.reset(TIFFClientOpenExt("picture", "r", &o->m, memRead, memWrite, memSeek, memClose, memSize, memMap,
                                 memUnmap, opts.get()));
    if (!o->t)
        return SPI_OUT_OF_ORDER;
    return readLayout(o->t.get(), &o->lay);
}

// count samples of bps bits, packed from the top bit down, to one byte each
void unpack(const unsigned char *src, int bps, uint32_t count, unsigned char *dst)
{
    if (bps == 8) {
        std::memcpy(dst, src, count);
        return;
    }
    const unsigned mask = (1u << bps) - 1;
    uint64_t bit = 0;
    for (uint32_t i = 0; i < count; i++, bit += unsigned(bps)) {
        unsigned byte = src[bit >> 3];
        unsigned shift = 8 - unsigned(bps) - unsigned(bit & 7);
        dst[i] = (unsigned char)((byte >> shift) & mask);
    }
}

void makeTable(TIFF *t, const Layout &lay, SpiDib *dib)
{
    int levels = lay.path == kIndexes ? 1 << lay.bps : 256;
    dib->colors = levels;
    if (lay.photometric == PHOTOMETRIC_PALETTE) {
        uint16_t *r, *g, *b;
        TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b);
        // Some writers put 8-bit values in the 16-bit map, as they are or
        // times 256: such a map is taken as 8-bit, any other scaled.
        bool small = true, shifted = true;
        for (int i = 0; i < levels; i++) {
            small = small && r[i] < 256 && g[i] < 256 && b[i] < 256;
            shifted = shifted && (r[i] | g[i] | b[i]) % 256 == 0;
        }
        auto eight = [small, shifted](uint16_t v) { return small ? BYTE(v) : shifted ? BYTE(v >> 8) : spiScale16(v); };
        for (int i = 0; i < levels; i++) {
            dib->table[i].rgbRed = eight(r[i]);
            dib->table[i].rgbGreen = eight(g[i]);
            dib->table[i].rgbBlue = eight(b[i]);
        }
        return;
    }
    spiGreyTable(dib->table, levels);
    if (lay.photometric == PHOTOMETRIC_MINISWHITE) {
        for (int i = 0; i < levels / 2; i++)
            std::swap(dib->table[i], dib->table[levels - 1 - i]);
    }
}

// Where the samples of one row of a strip or tile lie: sample c of pixel x
// at at[c] + x * step.
struct RowSamples {
    const unsigned char *at[5];
    size_t step;
};

template <int Bytes> inline uint32_t sample(const unsigned char *p)
{
    if (Bytes == 1)
        return *p;
    uint16_t v; // 16-bit samples come in the host's order
    std::memcpy(&v, p, 2);
    return v;
}

// n pixels of grey, RGB or CMYK samples of 8 or 16 bits to the picture's
// 8-bit grey or BGR.
template <int Bytes> void convert(const Layout &lay, const RowSamples &s, uint32_t n, unsigned char *d)
{
    const uint32_t max = Bytes == 1 ? 255 : 65535;
    auto eight = [&lay](uint32_t v, uint32_t a) -> unsigned char {
        if (lay.assoc)
            return spiStraight(v, a);
        return Bytes == 1 ? static_cast<unsigned char>(v) : spiScale16(v);
    };
    for (uint32_t x = 0; x < n; x++) {
        const size_t o = x * s.step;
        const uint32_t a = lay.assoc ? sample<Bytes>(s.at[lay.colours] + o) : 0;
        switch (lay.colours) {
        case 1:
            d[x] = eight(sample<Bytes>(s.at[0] + o), a);
            break;
        case 3:
            d[3 * x] = eight(sample<Bytes>(s.at[2] + o), a);
            d[3 * x + 1] = eight(sample<Bytes>(s.at[1] + o), a);
            d[3 * x + 2] = eight(sample<Bytes>(s.at[0] + o), a);
            break;
        default:
            spiCmykToBgr(sample<Bytes>(s.at[0] + o), sample<Bytes>(s.at[1] + o), sample<Bytes>(s.at[2] + o),
                         sample<Bytes>(s.at[3] + o), max, d + 3 * x);
            break;
        }
    }
}

// n pixels of 8-bit RGB samples, a pixel every `step` bytes (3, or more
// when unassociated extra samples follow), as BGR: the commonest TIFF of
// all, apart from convert() so that it goes at the speed of memory.
void bgrRow(const unsigned char *s, size_t step, uint32_t n, unsigned char *d)
{
    for (uint32_t x = 0; x < n; x++, s += step, d += 3) {
        unsigned char r = s[0];
        d[0] = s[2];
        d[1] = s[1];
        d[2] = r;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same for step 3, five pixels a 16-byte shuffle. Each load and store
// lies within the n pixels: it reaches one byte into the sixth pixel.
__attribute__((target("ssse3"))) void bgrRowSsse3(const unsigned char *s, uint32_t n, unsigned char *d)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    uint32_t x = 0;
    for (; x + 6 <= n; x += 5) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * size_t(x)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * size_t(x)), _mm_shuffle_epi8(v, order));
    }
    bgrRow(s + 3 * size_t(x), 3, n - x, d + 3 * size_t(x));
}

void bgrRow3(const unsigned char *s, uint32_t n, unsigned char *d)
{
    if (__builtin_cpu_supports("ssse3"))
        bgrRowSsse3(s, n, d);
    else
        bgrRow(s, 3, n, d);
}
#else
void bgrRow3(const unsigned char *s, uint32_t n, unsigned char *d)
{
    bgrRow(s, 3, n, d);
}
#endif

// Strips or tiles, one by one, into the rows of the picture as stored. Each
// strip holds whole rows; a tile may reach past the picture's right and
// bottom edges. The buffer of one is bounded by the picture: samples of up
// to 16 bits, at most 8 a pixel, take no more than 8 times its bytes
// (small pictures in large tiles get 16 MB).
int readUnits(TIFF *t, const Layout &lay, SpiDib *dib, const SpiProgress &prog)
{
    const uint32_t w = lay.width, h = lay.height;
    const bool tiled = TIFFIsTiled(t) != 0;
    uint32_t uw = w, uh = 0;
    if (tiled) {
        TIFFGetField(t, TIFFTAG_TILEWIDTH, &uw);
        TIFFGetField(t, TIFFTAG_TILELENGTH, &uh);
        if (uw == 0 || uh == 0)
            return SPI_OUT_OF_ORDER;
    } else {
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &uh);
        if (uh == 0 || uh > h)
            uh = h;
    }
    const tmsize_t unitBytes = tiled ? TIFFTileSize(t) : TIFFStripSize(t);
    const tmsize_t rowBytes = tiled ? TIFFTileRowSize(t) : TIFFScanlineSize(t);
    // samples of a pixel in a row: all of them, or one a plane
    const unsigned perRow = lay.separate ? 1 : lay.spp;
    if (unitBytes <= 0 || rowBytes <= 0 || uint64_t(rowBytes) * uh > uint64_t(unitBytes) ||
        uint64_t(uw) * perRow * lay.bps > uint64_t(rowBytes) * 8)
        return SPI_OUT_OF_ORDER;
    // the planes that are read: the colours, and alpha when it is divided out
    const int planes = lay.separate ? lay.colours + (lay.assoc ? 1 : 0) : 1;
    const int64_t most = std::min(dib->maxImage, std::max(kMinUnitBytes, int64_t(dib->hdr.biSizeImage) * 8));
    if (int64_t(unitBytes) > most / planes)
        return SPI_NO_MEMORY;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[size_t(unitBytes) * size_t(planes)]);
    if (!buf)
        return SPI_NO_MEMORY;
    const size_t bytes = lay.bps / 8u, outBytes = lay.colours == 1 ? 1 : 3;
    // 8-bit RGB, interleaved, any alpha only dropped: a swap of red and blue
    const bool plainRgb = lay.path == kSamples && bytes == 1 && lay.colours == 3 && !lay.assoc && !lay.separate;
    for (uint32_t y = 0; y < h; y += uh) {
        const uint32_t rows = std::min(uh, h - y);
        for (uint32_t x = 0; x < w; x += uw) {
            const uint32_t cols = std::min(uw, w - x);
            for (int p = 0; p < planes; p++) {
                unsigned char *to = buf.get() + size_t(p) * size_t(unitBytes);
                tmsize_t got = tiled ? TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, uint16_t(p)), to, unitBytes)
                                     : TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y, uint16_t(p)), to, unitBytes);
                if (got < 0 || uint64_t(got) < uint64_t(rowBytes) * rows)
                    return SPI_OUT_OF_ORDER;
            }
            for (uint32_t r = 0; r < rows; r++) {
                const unsigned char *src = buf.get() + size_t(r) * size_t(rowBytes);
                unsigned char *dst = dib->row(int(y + r)) + size_t(x) * outBytes;
                if (lay.path == kIndexes) {
                    unpack(src, lay.bps, cols, dst);
                    continue;
                }
                if (plainRgb) {
                    if (lay.spp == 3)
                        bgrRow3(src, cols, dst);
                    else
                        bgrRow(src, lay.spp, cols, dst);
                    continue;
                }
                RowSamples s;
                for (int c = 0; c < 5; c++)
                    s.at[c] = lay.separate ? src + size_t(std::min(c, planes - 1)) * size_t(unitBytes)
                                           : src + size_t(c) * bytes;
                s.step = lay.separate ? bytes : bytes * lay.spp;
                if (bytes == 1)
                    convert<1>(lay, s, cols, dst);
                else
                    convert<2>(lay, s, cols, dst);
            }
        }
        if (prog.step(int(y + rows), int(h)))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
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
// time, as stored; alpha is dropped.
int readRgba(TIFF *t, const Layout &lay, SpiDib *dib, const SpiProgress &prog)
{
    // The library premultiplies unassociated alpha but passes associated
    // alpha through: marked associated, every colour comes as stored, and
    // the premultiplied ones are divided out below.
    uint16_t extra = 0;
    uint16_t *types = nullptr;
    bool assoc = false;
    if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extra, &types) && extra > 0) {
        assoc = types[0] == EXTRASAMPLE_ASSOCALPHA;
        std::vector<uint16_t> marked(extra, EXTRASAMPLE_ASSOCALPHA);
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, extra, marked.data());
    }
    RgbaImage ri;
    char emsg[1024] = "";
    // stop at a strip or tile that fails, rather than leave its rows blank
    if (!TIFFRGBAImageBegin(&ri.img, t, 1, emsg))
        return refusal(emsg);
    ri.begun = true;
    // rows as stored, bottom row first as in the picture's block
    ri.img.orientation = ORIENTATION_TOPLEFT;
    ri.img.req_orientation = ORIENTATION_BOTLEFT;

    const uint32_t w = lay.width, h = lay.height;
    // Bands follow the strips or tiles, so that none is decoded twice, but
    // take no more memory than the picture itself.
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
    int64_t most = std::max<int64_t>(std::min<int64_t>(kMaxBandBytes, int64_t(dib->stride) * h), int64_t(w) * 4);
    if (int64_t(band) * w * 4 > most)
        band = uint32_t(most / (int64_t(w) * 4));
    if (band > h)
        band = h;
    std::unique_ptr<uint32_t[]> raster(new (std::nothrow) uint32_t[size_t(band) * w]);
    if (!raster)
        return SPI_NO_MEMORY;

    for (uint32_t y = 0; y < h; y += band) {
        uint32_t n = h - y < band ? h - y : band;
        ri.img.row_offset = int(y);
        ri.img.col_offset = 0;
        if (!TIFFRGBAImageGet(&ri.img, raster.get(), w, n))
            return SPI_OUT_OF_ORDER;
        // the band's bottom row comes first
        const size_t first = size_t(h - y - n);
        for (uint32_t j = 0; j < n; j++) {
            const uint32_t *src = raster.get() + size_t(j) * w;
            unsigned char *dst = dib->bits + (first + j) * dib->stride;
            for (uint32_t x = 0; x < w; x++, dst += 3) {
                uint32_t p = src[x], a = TIFFGetA(p);
                dst[0] = assoc ? spiStraight(TIFFGetB(p), a) : (unsigned char)TIFFGetB(p);
                dst[1] = assoc ? spiStraight(TIFFGetG(p), a) : (unsigned char)TIFFGetG(p);
                dst[2] = assoc ? spiStraight(TIFFGetR(p), a) : (unsigned char)TIFFGetR(p);
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
    lpInfo->colorDepth = lay.colours == 1 ? 8 : 24;
    spiTurnInfo(lpInfo, lay.orientation);
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
    // every strip, tile or band is read whole, or the decode fails
    rc = spiAllocDib(dib, lay.width, lay.height, lay.colours == 1 ? 8 : 24, true);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    dib->hdr.biXPelsPerMeter = lay.xppm;
    dib->hdr.biYPelsPerMeter = lay.yppm;
    if (prog.step(0, dib->height))
        return SPI_ABORT;
    if (lay.colours == 1)
        makeTable(t, lay, dib);
    rc = lay.path == kRgba ? readRgba(t, lay, dib, prog) : readUnits(t, lay, dib, prog);
    if (rc == SPI_ALL_RIGHT && o.rowsMissing)
        rc = SPI_OUT_OF_ORDER;
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (prog.step(dib->height, dib->height))
        return SPI_ABORT;
    return spiOrient(dib, lay.orientation);
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {
    {"TIFF plug-in for vexel 1.40 (libtiff)", "*.tif;*.tiff", "TIFF image"}, isTiff, info, decode};
