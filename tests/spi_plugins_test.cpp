// The default image plug-ins as built: each decodes files its codec library
// wrote exactly as the library itself decodes them, hands over a sound DIB
// pair, and answers damaged or foreign input with a result, never a crash.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio> // before jpeglib.h, which uses FILE

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include "encoders.h"
#include "plugins/spi.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t rnd(uint32_t *s)
{
    *s ^= *s << 13;
    *s ^= *s >> 17;
    *s ^= *s << 5;
    return *s;
}

// Gradients broken by noise: runs for the coders and values they cannot
// predict. colors > 0 gives indexes into a random palette of that size.
RawPicture pic(int w, int h, int ch, int bits = 8, int colors = 0, uint32_t seed = 1)
{
    RawPicture p(w, h, ch, bits);
    uint32_t s = seed * 2654435761u + 1, levels = colors ? uint32_t(colors) : uint32_t(1) << bits;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < ch; c++)
                p.at(x, y, c) = uint16_t((rnd(&s) % 4 ? uint32_t(x * 13 + y * 7 + c * 40) : rnd(&s)) % levels);
    for (int i = 0; i < colors * 3; i++)
        p.palette.push_back(uint8_t(rnd(&s)));
    return p;
}

// A scratch file: `offset` filler bytes, then the given ones.
struct TempFile {
    std::string path;
    explicit TempFile(const Bytes &b, long offset = 0)
    {
        path = "/tmp/vexel-spi-" + std::to_string(getpid()) + "-" + std::to_string(uintptr_t(this));
        std::ofstream f(path, std::ios::binary);
        f << std::string(size_t(offset), 'Z');
        f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
    }
    ~TempFile() { unlink(path.c_str()); }
};

template <class Fn> Fn entry(HMODULE h, const char *name)
{
    return h ? reinterpret_cast<Fn>(GetProcAddress(h, name)) : nullptr;
}

struct Plugin {
    HMODULE h;
    GetPluginInfoFn info = entry<GetPluginInfoFn>(h, "GetPluginInfo");
    IsSupportedFn supported = entry<IsSupportedFn>(h, "IsSupported");
    GetPictureInfoFn pictureInfo = entry<GetPictureInfoFn>(h, "GetPictureInfo");
    GetPictureFn picture = entry<GetPictureFn>(h, "GetPicture");
    explicit Plugin(const std::string &file) : h(LoadLibraryA((VEXEL_SPI_DIR "/" + file).c_str())) {}
    ~Plugin() { if (h != nullptr) FreeLibrary(h); }
};

// A picture as a plug-in handed it over, copied out of the pair.
struct Pic {
    int rc = -1, w = 0, h = 0, bits = 0;
    Bytes px;          // rows top-down: indexes or RGB
    Bytes rgb;         // rows top-down, through the table if any
    std::string fault; // what the pair got wrong
};

// Copies the pair out, checks it against the rules of its form, frees it.
void takePair(HLOCAL hInfo, HLOCAL hBm, Pic *out)
{
    auto *info = static_cast<const uint8_t *>(LocalLock(hInfo));
    auto *bits = static_cast<const uint8_t *>(LocalLock(hBm));
    BITMAPINFOHEADER bi = {};
    if (info != nullptr && LocalSize(hInfo) >= sizeof bi)
        std::memcpy(&bi, info, sizeof bi);
    size_t colors = bi.biBitCount == 8 ? bi.biClrUsed : 0;
    size_t stride = (size_t(std::max(bi.biWidth, 0)) * bi.biBitCount + 31) / 32 * 4;
    size_t image = stride * size_t(std::max(bi.biHeight, 0));
    std::string &f = out->fault;
    if (bits == nullptr || bi.biSize != 40 || bi.biPlanes != 1 || bi.biCompression != BI_RGB || bi.biWidth <= 0 ||
        bi.biHeight <= 0)
        f = "header fields";
    else if (bi.biBitCount != 24 && (bi.biBitCount != 8 || colors < 1 || colors > 256))
        f = "bit count " + std::to_string(bi.biBitCount) + " with " + std::to_string(colors) + " colours";
    else if (LocalSize(hInfo) < sizeof bi + colors * 4 || LocalSize(hBm) < image)
        f = "blocks smaller than the table or the rows";
    else if (bi.biSizeImage != 0 && bi.biSizeImage != image)
        f = "biSizeImage";
    if (f.empty()) {
        out->w = bi.biWidth, out->h = bi.biHeight, out->bits = bi.biBitCount;
        const uint8_t *table = info + sizeof bi;
        size_t rowBytes = size_t(bi.biWidth) * (bi.biBitCount / 8);
        for (int y = bi.biHeight - 1; y >= 0; y--)
            out->px.insert(out->px.end(), bits + size_t(y) * stride, bits + size_t(y) * stride + rowBytes);
        for (size_t i = 0; i < out->px.size(); i += bi.biBitCount / 8) {
            size_t index = std::min(size_t(out->px[i]), colors - 1);
            const uint8_t *bgr = bi.biBitCount == 24 ? &out->px[i] : table + 4 * index;
            out->rgb.insert(out->rgb.end(), {bgr[2], bgr[1], bgr[0]});
        }
        if (bi.biBitCount == 8 && *std::max_element(out->px.begin(), out->px.end()) >= colors)
            f = "an index past the table";
    }
    LocalUnlock(hInfo);
    LocalUnlock(hBm);
    if (LocalFree(hInfo) != nullptr || LocalFree(hBm) != nullptr)
        f += " (not local memory)";
}

// GetPicture on a file's bytes: flag 1 hands over an exact-size copy, so
// reads past it are caught; flag 0 a scratch file with the bytes at offset.
Pic decode(const Plugin &p, const Bytes &file, unsigned flag = 1, SPI_PROGRESS progress = nullptr, long lData = 0,
           long offset = 0)
{
    Pic pic;
    HLOCAL hInfo = nullptr, hBm = nullptr;
    Bytes copy(file);
    TempFile tmp(flag ? Bytes() : file, offset);
    char *buf = flag ? reinterpret_cast<char *>(copy.data()) : &tmp.path[0];
    pic.rc = p.picture(buf, flag ? long(copy.size()) : offset, flag, &hInfo, &hBm, progress, lData);
    if (pic.rc == 0)
        takePair(hInfo, hBm, &pic);
    return pic;
}

// A file for one plug-in, what it was made from, and how to check it.
struct Sample {
    Bytes file;
    RawPicture src;
    const char *spi = "";
    size_t sig = 0;   // bytes of the signature
    // the picture's size and RGB rows as the codec library sees them
    Pic (*ref)(const Sample &) = nullptr;
};

// giflib's first image on the logical screen over the background.
Pic refGif(const Sample &s)
{
    TempFile f(s.file);
    int err = 0;
    Pic r;
    GifFileType *g = DGifOpenFileName(f.path.c_str(), &err);
    if (g != nullptr && DGifSlurp(g) == GIF_OK) {
        const SavedImage &im = g->SavedImages[0];
        const GifImageDesc &d = im.ImageDesc;
        const ColorMapObject *map = d.ColorMap ? d.ColorMap : g->SColorMap;
        bool screen = g->SWidth > 0 && g->SHeight > 0; // else the image is the picture
        r.w = screen ? g->SWidth : d.Width, r.h = screen ? g->SHeight : d.Height;
        int bg = g->SBackGroundColor < map->ColorCount ? g->SBackGroundColor : 0;
        for (int y = 0; y < r.h; y++) {
            for (int x = 0; x < r.w; x++) {
                int ix = screen ? x - d.Left : x, iy = screen ? y - d.Top : y;
                bool in = ix >= 0 && iy >= 0 && ix < d.Width && iy < d.Height;
                GifColorType c = map->Colors[in ? im.RasterBits[iy * d.Width + ix] : bg];
                r.rgb.insert(r.rgb.end(), {c.Red, c.Green, c.Blue});
            }
        }
    }
    DGifCloseFile(g, &err);
    return r;
}

// libjpeg's decode; grey repeated, CMYK from inverted (Adobe) inks.
Pic refJpeg(const Sample &s)
{
    jpeg_decompress_struct ci;
    jpeg_error_mgr err;
    ci.err = jpeg_std_error(&err);
    jpeg_create_decompress(&ci);
    jpeg_mem_src(&ci, s.file.data(), s.file.size());
    jpeg_read_header(&ci, TRUE);
    int n = ci.num_components;
    ci.out_color_space = n == 4 ? JCS_CMYK : n == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&ci);
    Pic r;
    r.w = int(ci.output_width), r.h = int(ci.output_height);
    Bytes row(size_t(r.w) * size_t(n));
    while (ci.output_scanline < ci.output_height) {
        JSAMPROW p = row.data();
        jpeg_read_scanlines(&ci, &p, 1);
        for (size_t i = 0; i < row.size(); i += size_t(n))
            for (size_t c = 0; c < 3; c++)
                r.rgb.push_back(n == 1 ? row[i] : n == 3 ? row[i + c] : uint8_t((row[i + c] * row[i + 3] + 127) / 255));
    }
    jpeg_finish_decompress(&ci);
    jpeg_destroy_decompress(&ci);
    return r;
}

// libpng with every transformation to 8-bit RGB: palette and grey
// expanded, 16 bits scaled, alpha stripped. The files are sound: an error
// would abort.
Pic refPng(const Sample &s)
{
    TempFile f(s.file);
    FILE *fp = std::fopen(f.path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_scale_16(png);
    png_set_strip_alpha(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    Pic r;
    r.w = int(png_get_image_width(png, info)), r.h = int(png_get_image_height(png, info));
    r.rgb.resize(size_t(r.w) * 3 * size_t(r.h));
    std::vector<png_bytep> rows;
    for (int y = 0; y < r.h; y++)
        rows.push_back(r.rgb.data() + size_t(y) * size_t(r.w) * 3);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(fp);
    return r;
}

// libtiff's RGBA reader, top row first.
Pic refTiff(const Sample &s)
{
    TempFile f(s.file);
    Pic r;
    TIFF *t = TIFFOpen(f.path.c_str(), "r");
    uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster(size_t(w) * h);
    if (TIFFReadRGBAImageOriented(t, w, h, raster.data(), ORIENTATION_TOPLEFT, 1)) {
        r.w = int(w), r.h = int(h);
        for (uint32_t p : raster)
            r.rgb.insert(r.rgb.end(), {uint8_t(TIFFGetR(p)), uint8_t(TIFFGetG(p)), uint8_t(TIFFGetB(p))});
    }
    TIFFClose(t);
    return r;
}

// Alpha dropped and the colours as stored: the source itself, since
// libtiff's RGBA reader would premultiply them.
Pic refSource(const Sample &s)
{
    const RawPicture &p = s.src;
    Pic r;
    r.w = p.width, r.h = p.height;
    for (int y = 0; y < p.height; y++)
        for (int x = 0; x < p.width; x++)
            for (int c = 0; c < 3; c++)
                r.rgb.push_back(uint8_t(p.at(x, y, p.channels < 3 ? 0 : c)));
    return r;
}

Sample gif(const RawPicture &p, bool interlace = false, bool local = false, int sw = 0, int sh = 0, int left = 0,
           int top = 0, int bg = 0)
{
    GifOptions o;
    o.interlace = interlace, o.localMap = local, o.screenWidth = sw, o.screenHeight = sh;
    o.left = left, o.top = top, o.background = bg;
    return {encodeGif(p, o), p, "ifgif.spi", 6, refGif};
}

// The same GIF with the screen size in its header changed.
Sample screen(Sample s, int w, int h)
{
    s.file[6] = uint8_t(w), s.file[7] = uint8_t(w >> 8), s.file[8] = uint8_t(h), s.file[9] = uint8_t(h >> 8);
    return s;
}

Sample jpeg(const RawPicture &p, bool progressive = false)
{
    JpegOptions o;
    o.progressive = progressive;
    return {encodeJpeg(p, o), p, "ifjpeg.spi", 3, refJpeg};
}

Sample png(const RawPicture &p, bool interlace = false)
{
    PngOptions o;
    o.interlace = interlace;
    return {encodePng(p, o), p, "ifpng.spi", 8, refPng};
}

Sample tiff(const RawPicture &p, int compression, int photometric = -1, bool tiled = false, int rowsPerStrip = 0,
            int orientation = 1, bool separate = false)
{
    TiffOptions o;
    o.compression = compression, o.photometric = photometric, o.tiled = tiled, o.rowsPerStrip = rowsPerStrip;
    o.orientation = orientation, o.separate = separate;
    o.alpha = photometric < 0 && (p.channels == 2 || p.channels == 4);
    return {encodeTiff(p, o), p, "iftiff.spi", 4, o.alpha ? refSource : refTiff};
}

// Indexes past the palette (libpng writes none such): PLTE of a 4-bit
// picture cut from 16 entries to 5, with its CRC made again. The table is
// extended with black, as libpng's expansion does.
Sample pngShortPalette()
{
    Sample s = png(pic(16, 5, 1, 4, 16));
    Bytes &f = s.file;
    const size_t at = 8 + 25; // after the signature and IHDR
    if (std::memcmp(&f[at + 4], "PLTE", 4) != 0)
        return Sample();
    f.erase(f.begin() + at + 8 + 15, f.begin() + at + 8 + 48 + 4);
    f[at + 3] = 15;
    uint32_t crc = uint32_t(crc32(0, &f[at + 4], 4 + 15));
    f.insert(f.begin() + at + 8 + 15, {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
    return s;
}

struct Case {
    const char *name;
    Sample (*make)();
};

const Case kCases[] = {
    {"GifOddWidth", [] { return gif(pic(37, 23, 1, 8, 16)); }},
    {"GifInterlaced", [] { return gif(pic(61, 45, 1, 8, 256), true); }},
    {"GifInterlacedFewRows", [] { return gif(pic(5, 3, 1, 8, 4), true); }},
    {"GifLocalMap", [] { return gif(pic(20, 19, 1, 8, 8), false, true); }},
    {"GifBackgroundPastMap", [] { return gif(pic(30, 20, 1, 8, 4), false, false, 50, 40, 5, 7, 200); }},
    // frames sticking out of the screen, or wholly off it, are cut at its edges
    {"GifClippedInterlaced", [] { return screen(gif(pic(40, 30, 1, 8, 16), true, false, 70, 50, 25, 15, 1), 50, 40); }},
    {"GifOffScreen", [] { return screen(gif(pic(10, 10, 1, 8, 4), false, false, 40, 40, 30, 30, 2), 20, 20); }},
    {"GifNoScreenSize", [] { return screen(gif(pic(9, 7, 1, 8, 4)), 0, 0); }},
    {"JpegOddSize420", [] { return jpeg(pic(37, 23, 3)); }},
    {"JpegProgressive", [] { return jpeg(pic(101, 67, 3), true); }},
    {"JpegGreyProgressive", [] { return jpeg(pic(45, 33, 1), true); }},
    {"JpegCmyk", [] { return jpeg(pic(41, 29, 4)); }},
    {"PngPalette1", [] { return png(pic(37, 11, 1, 1, 2)); }},
    {"PngPalette8ShortInterlaced", [] { return png(pic(61, 23, 1, 8, 100), true); }},
    {"PngIndexesPastPalette", pngShortPalette},
    {"PngGrey2Interlaced", [] { return png(pic(41, 9, 1, 2), true); }},
    {"PngGreyAlpha16Interlaced", [] { return png(pic(33, 17, 2, 16), true); }},
    {"PngRgb8", [] { return png(pic(45, 29, 3)); }},
    {"PngRgb16", [] { return png(pic(45, 29, 3, 16)); }},
    {"PngRgba16Interlaced", [] { return png(pic(45, 29, 4, 16), true); }},
    {"PngThinInterlaced", [] { return png(pic(3, 2, 1), true); }},
    {"TiffBilevelWhiteIsZero",
     [] { return tiff(pic(37, 21, 1, 1), COMPRESSION_PACKBITS, PHOTOMETRIC_MINISWHITE, false, 5); }},
    {"TiffGrey8Tiled", [] { return tiff(pic(50, 35, 1), COMPRESSION_ADOBE_DEFLATE, -1, true); }},
    {"TiffGrey4Tiled", [] { return tiff(pic(51, 35, 1, 4), COMPRESSION_NONE, -1, true); }},
    {"TiffGreyBottomUp", [] { return tiff(pic(30, 20, 1), COMPRESSION_NONE, -1, false, 3, ORIENTATION_BOTLEFT); }},
    {"TiffPalette4", [] { return tiff(pic(41, 13, 1, 4, 16), COMPRESSION_PACKBITS); }},
    {"TiffPalette4Tiled", [] { return tiff(pic(41, 33, 1, 4, 16), COMPRESSION_NONE, -1, true); }},
    {"TiffRgbStrips", [] { return tiff(pic(45, 31, 3), COMPRESSION_LZW, -1, false, 3); }},
    {"TiffRgbTiled", [] { return tiff(pic(45, 31, 3), COMPRESSION_LZW, -1, true); }},
    {"TiffRgbPlanes", [] { return tiff(pic(45, 31, 3), COMPRESSION_NONE, -1, false, 0, 1, true); }},
    {"TiffRgb16", [] { return tiff(pic(23, 19, 3, 16), COMPRESSION_ADOBE_DEFLATE); }},
    {"TiffRgbJpeg", [] { return tiff(pic(48, 32, 3), COMPRESSION_JPEG, -1, false, 16); }},
    {"TiffRgbBottomUp", [] { return tiff(pic(45, 31, 3), COMPRESSION_NONE, -1, false, 4, ORIENTATION_BOTLEFT); }},
    {"TiffRgbMirrored", [] { return tiff(pic(45, 31, 3), COMPRESSION_NONE, -1, false, 0, ORIENTATION_TOPRIGHT); }},
    {"TiffCmyk", [] { return tiff(pic(25, 15, 4), COMPRESSION_NONE, PHOTOMETRIC_SEPARATED); }},
    {"TiffRgbAlpha", [] { return tiff(pic(19, 11, 4), COMPRESSION_NONE); }},
    {"TiffGreyAlpha", [] { return tiff(pic(19, 11, 2), COMPRESSION_LZW); }},
};

class SpiDecode : public testing::TestWithParam<Case> {};

TEST_P(SpiDecode, MatchesTheLibrary)
{
    Sample s = GetParam().make();
    ASSERT_FALSE(s.file.empty());
    Pic want = s.ref(s);
    Pic got = decode(Plugin(s.spi), s.file);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.fault, "");
    ASSERT_TRUE(got.w == want.w && got.h == want.h) << got.w << "x" << got.h;
    auto m = std::mismatch(want.rgb.begin(), want.rgb.end(), got.rgb.begin());
    EXPECT_TRUE(m.first == want.rgb.end()) << "first difference at pixel " << (m.first - want.rgb.begin()) / 3;
}

// Cut short anywhere: 3, or 2 while the signature is not whole. Damaged: a
// picture or 3 (4 for sizes past the limit), in a sound pair.
TEST_P(SpiDecode, TruncatedAndDamaged)
{
    Sample s = GetParam().make();
    ASSERT_FALSE(s.file.empty());
    Plugin plugin(s.spi);
    size_t n = s.file.size();
    for (size_t len : {size_t(0), s.sig - 1, s.sig, size_t(20), n / 8, n / 4, n / 2, n * 3 / 4, n - 20}) {
        Bytes cut(s.file.begin(), s.file.begin() + long(len));
        int want = len < s.sig ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
        EXPECT_EQ(decode(plugin, cut).rc, want) << len;
        EXPECT_EQ(decode(plugin, cut, 0).rc, want) << len;
    }
    uint32_t seed = uint32_t(n);
    for (int round = 0; round < 50; round++) {
        // half of the damage near the end, where TIFF keeps its directory
        Bytes bad(s.file);
        size_t back = rnd(&seed) % std::min(n - s.sig, size_t(200));
        size_t at = round % 2 ? n - 1 - back : s.sig + rnd(&seed) % (n - s.sig);
        bad[at] ^= uint8_t(1 + rnd(&seed) % 255);
        Pic got = decode(plugin, bad);
        EXPECT_TRUE(got.rc == 0 || got.rc == SPI_OUT_OF_ORDER || got.rc == SPI_NO_MEMORY) << round << ": " << got.rc;
        EXPECT_EQ(got.fault, "") << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpiDecode, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

struct Spi {
    const char *file, *pattern;
    Sample (*sample)();
};

const Spi kSpis[] = {
    {"ifgif.spi", "*.gif", [] { return gif(pic(37, 23, 1, 8, 16)); }},
    {"ifjpeg.spi", "*.jpg;*.jpeg;*.jpe", [] { return jpeg(pic(37, 23, 3)); }},
    {"iftiff.spi", "*.tif;*.tiff", [] { return tiff(pic(37, 23, 3), COMPRESSION_NONE); }},
    {"ifpng.spi", "*.png", [] { return png(pic(37, 23, 3)); }},
};

class SpiEach : public testing::TestWithParam<Spi> {
protected:
    Plugin plugin{GetParam().file};
    void SetUp() override { ASSERT_TRUE(plugin.picture && plugin.pictureInfo && plugin.supported && plugin.info); }
};

// Only the four entry points are exported, and GetPluginInfo writes at
// most buflen bytes, the terminator only when it fits, and nothing for
// numbers without a text.
TEST_P(SpiEach, Interface)
{
    std::string cmd = std::string("nm -D --defined-only ") + VEXEL_SPI_DIR + "/" + GetParam().file;
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char addr[64], type[8], name[256];
    while (std::fscanf(p, "%63s %7s %255s", addr, type, name) == 3)
        names.insert(name);
    pclose(p);
    EXPECT_EQ(names, (std::set<std::string>{"GetPicture", "GetPictureInfo", "GetPluginInfo", "IsSupported"}));

    char buf[64];
    EXPECT_EQ(plugin.info(2, buf, sizeof buf), int(std::strlen(GetParam().pattern)));
    EXPECT_STREQ(buf, GetParam().pattern);
    EXPECT_EQ(plugin.info(0, nullptr, 9), 0);
    struct {
        int no, buflen, result;
        const char *text;
    } rows[] = {{0, 0, 0, "########"}, {0, 2, 2, "00######"}, {0, 4, 4, "00IN####"}, {0, 5, 4, "00IN"},
                {0, 9, 4, "00IN"},      {4, 9, 0, "########"}, {-1, 9, 0, "########"}, {1000, 9, 0, "########"}};
    for (const auto &r : rows) {
        char b[9] = "########";
        EXPECT_EQ(plugin.info(r.no, b, r.buflen), r.result) << r.no << " " << r.buflen;
        EXPECT_STREQ(b, r.text) << r.no << " " << r.buflen;
    }
}

// Each plug-in knows its own signature and no other, in a 2 KB head in
// memory and in an open file, read from its start wherever it stands.
TEST_P(SpiEach, IsSupported)
{
    char name[] = "x";
    for (const Spi &k : kSpis) {
        Bytes file = k.sample().file;
        int mine = std::strcmp(k.file, GetParam().file) == 0;
        Bytes head(file);
        head.resize(2048);
        EXPECT_EQ(plugin.supported(name, DWORD_PTR(head.data())), mine) << k.file;
        TempFile tmp(file);
        int fd = open(tmp.path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        lseek(fd, 100, SEEK_SET);
        EXPECT_EQ(plugin.supported(&tmp.path[0], DWORD_PTR(fd)), mine) << k.file;
        close(fd);
    }
    Bytes bmp = encodeBmp(pic(8, 8, 3)), zeros(2048);
    bmp.resize(2048);
    EXPECT_EQ(plugin.supported(name, DWORD_PTR(bmp.data())), 0);
    EXPECT_EQ(plugin.supported(name, DWORD_PTR(zeros.data())), 0);
}

// The same picture from memory, from a file and from a file at an offset;
// GetPictureInfo tells its size and depth. A missing file, an offset past
// the end: 6; foreign data: 2.
TEST_P(SpiEach, Inputs)
{
    Bytes file = GetParam().sample().file;
    Pic mem = decode(plugin, file);
    ASSERT_EQ(mem.rc, 0);
    ASSERT_EQ(mem.fault, "");
    for (long offset : {0L, 129L}) {
        Pic disk = decode(plugin, file, 0, nullptr, 0, offset);
        ASSERT_EQ(disk.rc, 0) << offset;
        EXPECT_EQ(disk.fault, "");
        EXPECT_TRUE(disk.w == mem.w && disk.h == mem.h && disk.bits == mem.bits && disk.px == mem.px) << offset;
    }
    // the same record from both, no text handle in it
    PictureInfo pi, fromFile;
    TempFile tmp(file);
    ASSERT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &pi), 0);
    ASSERT_EQ(plugin.pictureInfo(&tmp.path[0], 0, 0, &fromFile), 0);
    EXPECT_EQ(std::memcmp(&fromFile, &pi, sizeof pi), 0);
    EXPECT_TRUE(pi.left == 0 && pi.top == 0 && pi.width == mem.w && pi.height == mem.h && pi.colorDepth == mem.bits);

    HLOCAL hInfo = nullptr, hBm = nullptr;
    char missing[] = "/nonexistent/dir/picture";
    EXPECT_EQ(plugin.picture(missing, 0, 0, &hInfo, &hBm, nullptr, 0), SPI_FILE_READ_ERROR);
    EXPECT_EQ(plugin.picture(&tmp.path[0], long(file.size()) + 1, 0, &hInfo, &hBm, nullptr, 0), SPI_FILE_READ_ERROR);
    EXPECT_EQ(decode(plugin, encodeBmp(pic(8, 8, 3))).rc, SPI_NOT_SUPPORT);
    EXPECT_EQ(decode(plugin, Bytes()).rc, SPI_NOT_SUPPORT);
}

struct ProgressLog {
    std::vector<std::pair<int, int>> calls;
    size_t stopAt = size_t(-1); // the call that asks to stop
};

int progress(int num, int denom, long lData)
{
    auto *log = reinterpret_cast<ProgressLog *>(lData);
    log->calls.emplace_back(num, denom);
    return log->calls.size() - 1 == log->stopAt;
}

// From 0 to the end, never backwards, never over zero; a stop at the
// first, a middle or the last call gives 1, no pair and no further call.
TEST_P(SpiEach, ProgressAndAbort)
{
    Bytes file = GetParam().sample().file;
    ProgressLog log;
    ASSERT_EQ(decode(plugin, file, 1, progress, long(&log)).rc, 0);
    ASSERT_GE(log.calls.size(), 3u);
    EXPECT_EQ(log.calls.front().first, 0);
    EXPECT_EQ(log.calls.back().first, log.calls.back().second);
    for (size_t i = 0; i < log.calls.size(); i++) {
        EXPECT_GT(log.calls[i].second, 0);
        EXPECT_LE(i ? log.calls[i - 1].first : 0, log.calls[i].first);
    }
    for (size_t stop : {size_t(0), log.calls.size() / 2, log.calls.size() - 1}) {
        ProgressLog abortLog;
        abortLog.stopAt = stop;
        EXPECT_EQ(decode(plugin, file, 1, progress, long(&abortLog)).rc, SPI_ABORT) << stop;
        EXPECT_EQ(abortLog.calls.size(), stop + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Plugins, SpiEach, testing::ValuesIn(kSpis), [](const testing::TestParamInfo<Spi> &i) {
    std::string s = i.param.file;
    return s.substr(2, s.find('.') - 2);
});

// Both byte orders, classic and big TIFF.
TEST(SpiTiff, ByteOrderSignatures)
{
    Plugin plugin("iftiff.spi");
    char name[] = "x";
    const char heads[] = "II*\0MM\0*II+\0MM\0+II\0*MM*\0IM*\0"; // TIFF only in the first four
    for (int i = 0; i < 7; i++) {
        Bytes head(heads + 4 * i, heads + 4 * i + 4);
        head.resize(2048);
        EXPECT_EQ(plugin.supported(name, DWORD_PTR(head.data())), i < 4) << i;
    }
}

// An image of no rows: the screen in its background colour, and progress
// that counts one step rather than dividing by zero.
TEST(SpiGif, ImageWithoutRows)
{
    RawPicture empty(0, 0, 1);
    empty.palette = {0, 0, 0, 9, 9, 9};
    ProgressLog log;
    Pic got = decode(Plugin("ifgif.spi"), gif(empty, false, false, 4, 3, 1, 1, 1).file, 1, progress, long(&log));
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.px, Bytes(12, 1));
    EXPECT_EQ(log.calls, (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}}));
}

// Sizes whose DIB would pass the limit are refused before anything is
// allocated: a GIF screen of 65535 squared, a JPEG frame of 60000 squared
// (under libjpeg's own limit).
TEST(SpiLimits, HugePicturesRefused)
{
    EXPECT_EQ(decode(Plugin("ifgif.spi"), screen(gif(pic(4, 4, 1, 8, 2)), 65535, 65535).file).rc, SPI_NO_MEMORY);
    Bytes j = jpeg(pic(16, 16, 3)).file;
    size_t sof = 2; // FF C0, length, precision, height, width
    while (sof + 9 < j.size() && !(j[sof] == 0xFF && j[sof + 1] == 0xC0))
        sof++;
    ASSERT_LT(sof + 9, j.size());
    j[sof + 5] = j[sof + 7] = 0xEA;
    j[sof + 6] = j[sof + 8] = 0x60;
    EXPECT_EQ(decode(Plugin("ifjpeg.spi"), j).rc, SPI_NO_MEMORY);
}

} // namespace
