// GIF, JPEG, TIFF and PNG writers over the codec libraries, all into
// memory.
#include "encoders.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace {

// ------------------------------------------------------------------ GIF

int gifWrite(GifFileType *gif, const GifByteType *buf, int len)
{
    auto *out = static_cast<std::vector<uint8_t> *>(gif->UserData);
    out->insert(out->end(), buf, buf + len);
    return len;
}

} // namespace

std::vector<uint8_t> encodeGif(const RawPicture &p, const GifOptions &o)
{
    std::vector<uint8_t> out;
    if (p.channels != 1 || p.palette.empty() || p.palette.size() > 3 * 256)
        return {};
    int entries = int(p.palette.size() / 3);
    int size = 2;
    while (size < entries)
        size *= 2;
    std::vector<GifColorType> colors(size_t(size), GifColorType{0, 0, 0});
    for (int i = 0; i < entries; i++)
        colors[size_t(i)] = GifColorType{p.palette[size_t(3 * i)], p.palette[size_t(3 * i + 1)],
                                         p.palette[size_t(3 * i + 2)]};
    ColorMapObject *map = GifMakeMapObject(size, colors.data());
    if (map == nullptr)
        return {};
    int err = 0;
    GifFileType *gif = EGifOpen(&out, gifWrite, &err);
    if (gif == nullptr) {
        GifFreeMapObject(map);
        return {};
    }
    int sw = o.screenWidth ? o.screenWidth : p.width;
    int sh = o.screenHeight ? o.screenHeight : p.height;
    ColorMapObject *screenMap = nullptr;
    if (o.localMap && !o.screenMap.empty()) {
        std::vector<GifColorType> sc(size_t(size), GifColorType{0, 0, 0});
        for (size_t i = 0; i < sc.size() && 3 * i + 2 < o.screenMap.size(); i++)
            sc[i] = GifColorType{o.screenMap[3 * i], o.screenMap[3 * i + 1], o.screenMap[3 * i + 2]};
        screenMap = GifMakeMapObject(size, sc.data());
    }
    bool ok = EGifPutScreenDesc(gif, sw, sh, 8, o.background, o.localMap ? screenMap : map) != GIF_ERROR &&
              EGifPutImageDesc(gif, o.left, o.top, p.width, p.height, o.interlace,
                               o.localMap ? map : nullptr) != GIF_ERROR;
    std::vector<GifPixelType> line(size_t(p.width));
    static const int start[4] = {0, 4, 2, 1};
    static const int step[4] = {8, 8, 4, 2};
    int passes = o.interlace ? 4 : 1;
    for (int pass = 0; ok && pass < passes; pass++) {
        int y0 = o.interlace ? start[pass] : 0;
        int dy = o.interlace ? step[pass] : 1;
        for (int y = y0; ok && y < p.height; y += dy) {
            for (int x = 0; x < p.width; x++)
                line[size_t(x)] = GifPixelType(p.at(x, y));
            ok = EGifPutLine(gif, line.data(), p.width) != GIF_ERROR;
        }
    }
    if (EGifCloseFile(gif, &err) == GIF_ERROR)
        ok = false;
    GifFreeMapObject(map);
    GifFreeMapObject(screenMap);
    return ok ? out : std::vector<uint8_t>();
}

// ------------------------------------------------------------------ JPEG

namespace {

struct JpegErr {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void jpegErrorExit(j_common_ptr c)
{
    longjmp(reinterpret_cast<JpegErr *>(c->err)->jump, 1);
}

void jpegSilent(j_common_ptr) {}

struct JpegJob {
    jpeg_compress_struct cinfo = {};
    JpegErr err;
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    std::vector<JSAMPLE> row;
    ~JpegJob()
    {
        jpeg_destroy_compress(&cinfo);
        std::free(buf);
    }
};

bool jpegRun(JpegJob *job, const RawPicture &p, const JpegOptions &o)
{
    jpeg_compress_struct &c = job->cinfo;
    c.err = jpeg_std_error(&job->err.pub);
    job->err.pub.error_exit = jpegErrorExit;
    job->err.pub.output_message = jpegSilent;
    if (setjmp(job->err.jump))
        return false;
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &job->buf, &job->size);
    c.image_width = JDIMENSION(p.width);
    c.image_height = JDIMENSION(p.height);
    c.input_components = p.channels;
    c.in_color_space = p.channels == 1 ? JCS_GRAYSCALE : p.channels == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&c);
    if (p.channels == 4)
        jpeg_set_colorspace(&c, o.ycck ? JCS_YCCK : JCS_CMYK);
    jpeg_set_quality(&c, o.quality, TRUE);
    if (o.fullChroma) {
        for (int i = 0; i < c.num_components; i++) {
            c.comp_info[i].h_samp_factor = 1;
            c.comp_info[i].v_samp_factor = 1;
        }
    }
    if (o.progressive)
        jpeg_simple_progression(&c);
    c.density_unit = UINT8(o.densityUnit);
    c.X_density = UINT16(o.xDensity);
    c.Y_density = UINT16(o.yDensity);
    jpeg_start_compress(&c, TRUE);
    job->row.resize(size_t(p.width) * size_t(p.channels));
    while (c.next_scanline < c.image_height) {
        int y = int(c.next_scanline);
        for (size_t i = 0; i < job->row.size(); i++)
            job->row[i] = JSAMPLE(p.samples[size_t(y) * job->row.size() + i]);
        JSAMPROW r = job->row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

} // namespace

std::vector<uint8_t> encodeJpeg(const RawPicture &p, const JpegOptions &o)
{
    if (p.bits != 8 || (p.channels != 1 && p.channels != 3 && p.channels != 4))
        return {};
    JpegJob job;
    if (!jpegRun(&job, p, o) || job.buf == nullptr)
        return {};
    return std::vector<uint8_t>(job.buf, job.buf + job.size);
}

// ------------------------------------------------------------------ TIFF

namespace {

struct TiffOut {
    std::vector<uint8_t> data;
    toff_t pos = 0;
};

tmsize_t tiffRead(thandle_t h, void *buf, tmsize_t len)
{
    auto *t = static_cast<TiffOut *>(h);
    if (t->pos >= t->data.size())
        return 0;
    size_t n = std::min(size_t(len), size_t(t->data.size() - t->pos));
    std::memcpy(buf, t->data.data() + t->pos, n);
    t->pos += n;
    return tmsize_t(n);
}

tmsize_t tiffWrite(thandle_t h, void *buf, tmsize_t len)
{
    auto *t = static_cast<TiffOut *>(h);
    if (t->pos + size_t(len) > t->data.size())
        t->data.resize(size_t(t->pos) + size_t(len));
    std::memcpy(t->data.data() + t->pos, buf, size_t(len));
    t->pos += toff_t(len);
    return len;
}

toff_t tiffSeek(thandle_t h, toff_t off, int whence)
{
    auto *t = static_cast<TiffOut *>(h);
    if (whence == SEEK_CUR)
        off += t->pos;
    else if (whence == SEEK_END)
        off += t->data.size();
    t->pos = off;
    return off;
}

int tiffClose(thandle_t)
{
    return 0;
}

toff_t tiffSize(thandle_t h)
{
    return static_cast<TiffOut *>(h)->data.size();
}

int tiffMap(thandle_t, void **, toff_t *)
{
    return 0;
}

void tiffUnmap(thandle_t, void *, toff_t) {}

// Samples [first, first+count) of a row, each of `bits` bits, packed from the
// top bit down; 16-bit samples in the host's order as libtiff wants them.
void packSamples(const uint16_t *s, size_t count, size_t stepIn, int bits, uint8_t *out)
{
    if (bits == 16) {
        for (size_t i = 0; i < count; i++) {
            uint16_t v = s[i * stepIn];
            std::memcpy(out + 2 * i, &v, 2);
        }
        return;
    }
    if (bits == 8) {
        for (size_t i = 0; i < count; i++)
            out[i] = uint8_t(s[i * stepIn]);
        return;
    }
    std::memset(out, 0, (count * size_t(bits) + 7) / 8);
    for (size_t i = 0; i < count; i++) {
        size_t bit = i * size_t(bits);
        out[bit / 8] |= uint8_t((s[i * stepIn] & ((1u << bits) - 1)) << (8 - bits - int(bit % 8)));
    }
}

} // namespace

std::vector<uint8_t> encodeTiff(const RawPicture &p, const TiffOptions &o)
{
    TiffOut out;
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF *t = TIFFClientOpen("sample", "w", &out, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, tiffMap,
                             tiffUnmap);
    if (t == nullptr)
        return {};
    int photometric = o.photometric;
    if (photometric < 0) {
        if (!p.palette.empty())
            photometric = PHOTOMETRIC_PALETTE;
        else if (p.channels <= 2)
            photometric = PHOTOMETRIC_MINISBLACK;
        else
            photometric = PHOTOMETRIC_RGB;
    }
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(p.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(p.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(p.bits));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(p.channels));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(photometric));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(o.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG));
    TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(o.compression));
    TIFFSetField(t, TIFFTAG_ORIENTATION, uint16_t(o.orientation));
    if (o.alpha) {
        uint16_t kind = o.associated ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &kind);
    }
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, uint16_t(o.sampleFormat));
    if (o.xResolution > 0) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, o.xResolution);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, o.yResolution);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, uint16_t(o.resolutionUnit));
    }
    if (photometric == PHOTOMETRIC_PALETTE) {
        size_t n = size_t(1) << p.bits;
        std::vector<uint16_t> map(3 * n);
        for (size_t i = 0; i < n && 3 * i + 2 < p.palette.size(); i++) {
            map[i] = uint16_t(p.palette[3 * i] * 257);
            map[n + i] = uint16_t(p.palette[3 * i + 1] * 257);
            map[2 * n + i] = uint16_t(p.palette[3 * i + 2] * 257);
        }
        if (o.colormap.size() == map.size())
            map = o.colormap;
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
    }
    bool ok = true;
    const size_t ch = size_t(p.channels);
    if (o.tiled) {
        const uint32_t tw = 16, th = 16;
        TIFFSetField(t, TIFFTAG_TILEWIDTH, tw);
        TIFFSetField(t, TIFFTAG_TILELENGTH, th);
        tmsize_t rowBytes = TIFFTileRowSize(t);
        std::vector<uint8_t> tile(size_t(TIFFTileSize(t)));
        std::vector<uint16_t> src(tw * ch);
        int planes = o.separate ? p.channels : 1;
        for (int plane = 0; ok && plane < planes; plane++) {
            for (uint32_t ty = 0; ok && ty < uint32_t(p.height); ty += th) {
                for (uint32_t tx = 0; ok && tx < uint32_t(p.width); tx += tw) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (uint32_t r = 0; r < th && ty + r < uint32_t(p.height); r++) {
                        std::fill(src.begin(), src.end(), 0);
                        for (uint32_t c = 0; c < tw && tx + c < uint32_t(p.width); c++) {
                            for (size_t k = 0; k < ch; k++)
                                src[c * ch + k] = p.at(int(tx + c), int(ty + r), int(k));
                        }
                        if (o.separate)
                            packSamples(src.data() + plane, tw, ch, p.bits, tile.data() + r * size_t(rowBytes));
                        else
                            packSamples(src.data(), tw * ch, 1, p.bits, tile.data() + r * size_t(rowBytes));
                    }
                    ok = TIFFWriteTile(t, tile.data(), tx, ty, 0, uint16_t(plane)) >= 0;
                }
            }
        }
    } else {
        uint32_t rps = o.rowsPerStrip > 0 ? uint32_t(o.rowsPerStrip) : TIFFDefaultStripSize(t, 0);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rps);
        std::vector<uint8_t> line(size_t(TIFFScanlineSize(t)) + 8);
        int planes = o.separate ? p.channels : 1;
        for (int plane = 0; ok && plane < planes; plane++) {
            for (int y = 0; ok && y < p.height; y++) {
                const uint16_t *row = p.samples.data() + size_t(y) * size_t(p.width) * ch;
                if (o.separate)
                    packSamples(row + plane, size_t(p.width), ch, p.bits, line.data());
                else
                    packSamples(row, size_t(p.width) * ch, 1, p.bits, line.data());
                ok = TIFFWriteScanline(t, line.data(), uint32_t(y), uint16_t(plane)) >= 0;
            }
        }
    }
    if (ok)
        ok = TIFFWriteDirectory(t) != 0;
    TIFFClose(t);
    return ok ? out.data : std::vector<uint8_t>();
}

// ------------------------------------------------------------------ PNG

namespace {

void pngWrite(png_structp png, png_bytep buf, png_size_t len)
{
    auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
    out->insert(out->end(), buf, buf + len);
}

void pngFlush(png_structp) {}

void pngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

struct PngJob {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<uint8_t> out;
    std::vector<uint8_t> pixels;
    std::vector<png_bytep> rows;
    std::vector<png_color> palette;
    ~PngJob() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

bool pngRun(PngJob *job, const RawPicture &p, const PngOptions &o)
{
    job->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    if (job->png == nullptr)
        return false;
    job->info = png_create_info_struct(job->png);
    if (job->info == nullptr)
        return false;
    if (setjmp(png_jmpbuf(job->png)))
        return false;
    png_structp png = job->png;
    png_set_write_fn(png, &job->out, pngWrite, pngFlush);
    int type;
    if (!p.palette.empty())
        type = PNG_COLOR_TYPE_PALETTE;
    else
        type = p.channels == 1 ? PNG_COLOR_TYPE_GRAY
               : p.channels == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA
               : p.channels == 3 ? PNG_COLOR_TYPE_RGB
                                 : PNG_COLOR_TYPE_RGB_ALPHA;
    png_set_IHDR(png, job->info, png_uint_32(p.width), png_uint_32(p.height), p.bits, type,
                 o.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (type == PNG_COLOR_TYPE_PALETTE) {
        for (size_t i = 0; i + 2 < p.palette.size(); i += 3)
            job->palette.push_back(png_color{p.palette[i], p.palette[i + 1], p.palette[i + 2]});
        png_set_PLTE(png, job->info, job->palette.data(), int(job->palette.size()));
    }
    if (o.xPelsPerMeter != 0)
        png_set_pHYs(png, job->info, o.xPelsPerMeter, o.yPelsPerMeter, PNG_RESOLUTION_METER);
    // Rows packed as the file stores them: 16-bit samples big-endian,
    // small ones from the top bit down.
    size_t perRow = size_t(p.width) * size_t(p.channels);
    size_t rowBytes = (perRow * size_t(p.bits) + 7) / 8;
    job->pixels.assign(rowBytes * size_t(p.height), 0);
    job->rows.resize(size_t(p.height));
    for (int y = 0; y < p.height; y++) {
        uint8_t *r = job->pixels.data() + size_t(y) * rowBytes;
        job->rows[size_t(y)] = r;
        const uint16_t *s = p.samples.data() + size_t(y) * perRow;
        for (size_t i = 0; i < perRow; i++) {
            if (p.bits == 16) {
                r[2 * i] = uint8_t(s[i] >> 8);
                r[2 * i + 1] = uint8_t(s[i]);
            } else if (p.bits == 8) {
                r[i] = uint8_t(s[i]);
            } else {
                size_t bit = i * size_t(p.bits);
                r[bit / 8] |= uint8_t((s[i] & ((1u << p.bits) - 1)) << (8 - p.bits - int(bit % 8)));
            }
        }
    }
    png_write_info(png, job->info);
    png_write_image(png, job->rows.data());
    png_write_end(png, nullptr);
    return true;
}

} // namespace

std::vector<uint8_t> encodePng(const RawPicture &p, const PngOptions &o)
{
    PngJob job;
    if (!pngRun(&job, p, o))
        return {};
    return std::move(job.out);
}

bool writeFileBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}
