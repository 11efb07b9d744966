// The image plug-ins as built: each decodes files its codec library (or its
// format's own encoder) wrote exactly as the library (or the format's
// reference decoder) decodes them, hands over a sound DIB pair, and answers
// damaged or foreign input with a result, never a crash (the sanitizer
// build sees what the codec libraries do).
#include <fcntl.h>
#include <unistd.h>

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <functional>
#include <set>

#include "encoders.h"
#include "platform/winapi.h"
#include "plugins/spi.h"
#include "support/bmp_util.h"

namespace {

template <class Fn> Fn spiEntry(HMODULE h, const char *name)
{
    return h ? reinterpret_cast<Fn>(GetProcAddress(h, name)) : nullptr;
}

// A plug-in of the build's plug-in directory, e.g. SpiPlugin("ifgif.spi").
struct SpiPlugin {
    HMODULE h;
    GetPluginInfoFn info = spiEntry<GetPluginInfoFn>(h, "GetPluginInfo");
    IsSupportedFn supported = spiEntry<IsSupportedFn>(h, "IsSupported");
    GetPictureInfoFn pictureInfo = spiEntry<GetPictureInfoFn>(h, "GetPictureInfo");
    GetPictureFn picture = spiEntry<GetPictureFn>(h, "GetPicture");
    explicit SpiPlugin(const std::string &file) : h(LoadLibraryA((VEXEL_SPI_DIR "/" + file).c_str())) {}
    SpiPlugin(const SpiPlugin &) = delete;
    SpiPlugin &operator=(const SpiPlugin &) = delete;
    ~SpiPlugin()
    {
        if (h != nullptr)
            FreeLibrary(h);
    }
};

// A scratch file: `offset` filler bytes, then the given ones.
struct SpiFile : BmpTempDir {
    std::string path = file("f");
    explicit SpiFile(const Bytes &b, long offset = 0) { writeBytes(path, join(Bytes(size_t(offset), 'Z'), b)); }
};

// A picture as a plug-in handed it over, copied out of the pair.
struct SpiPic {
    int rc = -1, w = 0, h = 0, bits = 0;
    Bytes rgb;         // rows top-down, through the table if any
    Bytes alt;         // references: another value as right as rgb's, if any
    std::string fault; // what the pair got wrong
    bool operator==(const SpiPic &o) const { return w == o.w && h == o.h && bits == o.bits && rgb == o.rgb; }
};

// Where got's rows first differ from the reference's, or -1.
long differs(const SpiPic &want, const SpiPic &got)
{
    if (got.w != want.w || got.h != want.h || got.rgb.size() != want.rgb.size())
        return 0;
    for (size_t i = 0; i < want.rgb.size(); i++) {
        if (got.rgb[i] != want.rgb[i] && (want.alt.empty() || got.rgb[i] != want.alt[i]))
            return long(i / 3);
    }
    return -1;
}

// GetPicture on a file's bytes: flag 1 hands over an exact-size copy, so
// reads past it are caught; flag 0 a scratch file with the bytes at offset.
// The pair is checked against the rules of its form, copied out and freed.
SpiPic spiDecode(const SpiPlugin &p, Bytes file, unsigned flag = 1, SPI_PROGRESS progress = nullptr,
                        long lData = 0, long offset = 0)
{
    SpiPic out;
    HLOCAL hInfo = nullptr, hBm = nullptr;
    SpiFile tmp(flag ? Bytes() : file, offset);
    char *buf = flag ? reinterpret_cast<char *>(file.data()) : &tmp.path[0];
    if ((out.rc = p.picture(buf, flag ? long(file.size()) : offset, flag, &hInfo, &hBm, progress, lData)) != 0)
        return out;
    auto *info = static_cast<const uint8_t *>(LocalLock(hInfo)), *bits = static_cast<const uint8_t *>(LocalLock(hBm));
    BITMAPINFOHEADER bi = {};
    if (info != nullptr && LocalSize(hInfo) >= sizeof bi)
        std::memcpy(&bi, info, sizeof bi);
    size_t colors = bi.biBitCount == 8 ? bi.biClrUsed : 0, depth = bi.biBitCount / 8u;
    size_t stride = (size_t(std::max(bi.biWidth, 0)) * bi.biBitCount + 31) / 32 * 4;
    size_t image = stride * size_t(std::max(bi.biHeight, 0));
    bool sound = bits != nullptr && bi.biSize == 40 && bi.biPlanes == 1 && bi.biCompression == BI_RGB &&
                 bi.biWidth > 0 && bi.biHeight > 0 &&
                 (bi.biBitCount == 24 || (bi.biBitCount == 8 && colors >= 1 && colors <= 256)) &&
                 LocalSize(hInfo) >= sizeof bi + colors * 4 && LocalSize(hBm) >= image &&
                 (bi.biSizeImage == 0 || bi.biSizeImage == image);
    out.fault = sound ? "" : "header fields, depth, or blocks smaller than the table or the rows";
    for (size_t i = 0; sound && i < image; i++) {
        if (i % stride >= size_t(bi.biWidth) * depth && bits[i] != 0)
            out.fault = "row padding not zero";
    }
    for (int y = bi.biHeight - 1; sound && y >= 0; y--) {
        for (const uint8_t *q = bits + size_t(y) * stride; q < bits + size_t(y) * stride + bi.biWidth * depth; q += depth) {
            if (depth == 1 && *q >= colors)
                out.fault = "an index past the table";
            const uint8_t *bgr = depth == 3 ? q : info + sizeof bi + 4 * std::min(size_t(*q), colors - 1);
            out.rgb.insert(out.rgb.end(), {bgr[2], bgr[1], bgr[0]});
        }
    }
    out.w = bi.biWidth, out.h = bi.biHeight, out.bits = bi.biBitCount;
    LocalUnlock(hInfo);
    LocalUnlock(hBm);
    if (LocalFree(hInfo) != nullptr || LocalFree(hBm) != nullptr)
        out.fault += " (not local memory)";
    return out;
}

// A PNG as 8-bit RGB, through libpng. 16-bit samples hold `bits`
// significant bits at their top and are rounded to 8 (V x 255 / max); grey
// is repeated; alpha is dropped, divided out of the colour first when asked.
SpiPic spiReadPng(const std::string &path, int bits = 16, bool unpremultiply = false)
{
    SpiPic r;
    FILE *f = std::fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (f != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_GRAY_TO_RGB, nullptr);
        r.w = int(png_get_image_width(png, info)), r.h = int(png_get_image_height(png, info));
        const int ch = png_get_channels(png, info), wide = png_get_bit_depth(png, info) == 16;
        const uint32_t max = wide ? (1u << bits) - 1 : 255;
        for (int y = 0; y < r.h; y++) {
            const png_bytep row = png_get_rows(png, info)[y];
            for (int i = 0; i < r.w * ch; i += ch) {
                auto at = [&](int c) { return wide ? uint32_t(row[2 * (i + c)] << 8 | row[2 * (i + c) + 1]) >> (16 - bits) : row[i + c]; };
                for (int c = 0; c < 3; c++) {
                    uint32_t v = at(c), a = ch == 4 && unpremultiply ? at(3) : max;
                    v = a == 0 ? 0 : std::min(max, (v * max + a / 2) / a);
                    r.rgb.push_back(uint8_t((v * 510 + max) / (2 * max)));
                }
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (f != nullptr)
        std::fclose(f);
    return r;
}

// Progress calls as (num, denom). With lData the address of such a log,
// spiProgressLog appends each call and asks to stop at the call whose
// number (from 0) the log's first entry holds.
using SpiCalls = std::vector<std::pair<int, int>>;
int SPI_API spiProgressLog(int num, int denom, long lData)
{
    auto *log = reinterpret_cast<SpiCalls *>(lData);
    log->emplace_back(num, denom);
    return int(log->size()) - 2 == log->front().first;
}

uint32_t rnd(uint32_t *s)
{
    *s ^= *s << 13, *s ^= *s >> 17, *s ^= *s << 5;
    return *s;
}

// Gradients broken by noise: runs for the coders and values they cannot
// predict. colors > 0 gives indexes into a random palette of that size.
RawPicture pic(int w, int h, int ch, int bits = 8, int colors = 0)
{
    RawPicture p(w, h, ch, bits);
    uint32_t s = 2654435762u, levels = colors ? uint32_t(colors) : uint32_t(1) << bits;
    for (size_t i = 0; i < p.samples.size(); i++) {
        uint32_t x = uint32_t(i / size_t(ch)) % uint32_t(w), y = uint32_t(i / size_t(ch)) / uint32_t(w);
        p.samples[i] = uint16_t((rnd(&s) % 4 ? x * 13 + y * 7 + uint32_t(i % size_t(ch)) * 40 : rnd(&s)) % levels);
    }
    for (int i = 0; i < colors * 3; i++)
        p.palette.push_back(uint8_t(rnd(&s)));
    return p;
}

// A file for one plug-in, what it was made from, and how the codec library
// sees it: the picture's size and RGB rows.
struct Sample {
    Bytes file;
    RawPicture src;
    const char *spi = "";
    size_t sig = 0; // bytes of the signature
    SpiPic (*ref)(const Sample &) = nullptr;
    SpiPic stored = {}; // a reference decoder's picture, for ref to give
};

// giflib's first image on the logical screen over the background: the
// global map's entry, or black.
SpiPic refGif(const Sample &s)
{
    SpiFile f(s.file);
    int err = 0;
    SpiPic r;
    GifFileType *g = DGifOpenFileName(f.path.c_str(), &err);
    if (g != nullptr && DGifSlurp(g) == GIF_OK) {
        const SavedImage &im = g->SavedImages[0];
        const GifImageDesc &d = im.ImageDesc;
        const ColorMapObject *map = d.ColorMap ? d.ColorMap : g->SColorMap;
        bool screen = g->SWidth > 0 && g->SHeight > 0; // else the image is the picture
        r.w = screen ? g->SWidth : d.Width, r.h = screen ? g->SHeight : d.Height;
        const ColorMapObject *gm = g->SColorMap;
        GifColorType bg = gm && g->SBackGroundColor < gm->ColorCount ? gm->Colors[g->SBackGroundColor] : GifColorType{};
        for (int i = 0; i < r.w * r.h; i++) {
            int ix = i % r.w - (screen ? d.Left : 0), iy = i / r.w - (screen ? d.Top : 0);
            bool in = ix >= 0 && iy >= 0 && ix < d.Width && iy < d.Height;
            GifColorType c = in ? map->Colors[im.RasterBits[iy * d.Width + ix]] : bg;
            r.rgb.insert(r.rgb.end(), {c.Red, c.Green, c.Blue});
        }
    }
    DGifCloseFile(g, &err);
    return r;
}

// libpng with every transformation to 8-bit RGB: palette and grey
// expanded, 16 bits scaled, alpha stripped.
SpiPic refPng(const Sample &s)
{
    SpiFile f(s.file);
    return spiReadPng(f.path);
}

// libtiff's RGBA reader, top row first.
SpiPic refTiff(const Sample &s)
{
    SpiFile f(s.file);
    SpiPic r;
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

// ImageMagick's decode, turned as the file says, at 16 bits a sample and
// rounded here to 8 (its own -depth 8 cuts). Where its 16-bit value lies
// within one of a half step, rounding either way is as right.
SpiPic refMagick(const Sample &s)
{
    SpiFile f(s.file);
    SpiPic r;
    FILE *p = popen(("/usr/bin/convert " + f.path + "[0] -auto-orient -depth 16 ppm:-").c_str(), "r");
    if (p == nullptr || std::fscanf(p, "P6 %d %d 65535", &r.w, &r.h) != 2 || std::fgetc(p) == EOF)
        r.w = r.h = 0;
    for (int c = 0, i = 0; r.w > 0 && i < 3 * r.w * r.h && (c = std::fgetc(p)) != EOF; i++) {
        unsigned v = unsigned(c) << 8 | unsigned(std::fgetc(p));
        r.rgb.push_back(uint8_t((v + 128) / 257));
        r.alt.push_back(uint8_t(v % 257 == 128 || v % 257 == 129 ? (v + 128) / 257 - 1 : (v + 128) / 257));
    }
    if (p != nullptr)
        pclose(p);
    return r;
}

Sample gif(const RawPicture &p, GifOptions o = {}) { return {encodeGif(p, o), p, "ifgif.spi", 6, refGif}; }
Sample jpeg(const RawPicture &p, JpegOptions o = {}) { return {encodeJpeg(p, o), p, "ifjpeg.spi", 3, refMagick}; }
Sample png(const RawPicture &p, PngOptions o = {}) { return {encodePng(p, o), p, "ifpng.spi", 8, refPng}; }
Sample tiff(const RawPicture &p, TiffOptions o, SpiPic (*ref)(const Sample &) = refTiff)
{
    o.alpha = o.photometric < 0 && p.channels % 2 == 0; // grey or RGB with alpha
    // unassociated alpha to ImageMagick: libtiff's RGBA reader would premultiply it
    return {encodeTiff(p, o), p, "iftiff.spi", 4, o.alpha && !o.associated ? refMagick : ref};
}

// The picture's colours premultiplied by its last channel, made odd (so
// that no straight colour lies half-way between two levels) but for the
// first pixel's, 0.
RawPicture premultiplied(RawPicture p)
{
    const size_t ch = size_t(p.channels);
    const uint32_t max = (1u << p.bits) - 1;
    for (size_t i = 0; i < p.samples.size(); i += ch) {
        uint32_t a = i == 0 ? 0 : p.samples[i + ch - 1] | 1u;
        p.samples[i + ch - 1] = uint16_t(a);
        for (size_t c = 0; c + 1 < ch; c++)
            p.samples[i + c] = uint16_t(p.samples[i + c] * a / max);
    }
    return p;
}

// The same GIF with the screen size in its header changed.
Sample screen(Sample s, int w, int h)
{
    s.file[6] = uint8_t(w), s.file[7] = uint8_t(w >> 8), s.file[8] = uint8_t(h), s.file[9] = uint8_t(h >> 8);
    return s;
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
    std::string name;
    std::function<Sample()> make;
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

// GifOptions: interlace, screen width, height, left, top, background, local map, screen map.
// TiffOptions: compression, photometric, tiled, separate, rows per strip, orientation, alpha, associated.
const Case kCases[] = {
    {"GifInterlacedFewRows", [] { return gif(pic(5, 3, 1, 8, 4), {true}); }},
    // the screen shows the global map's background though the image has its own full map
    {"GifLocalMapOnScreen", [] { return gif(pic(20, 19, 1, 8, 256), {false, 25, 21, 2, 1, 5, true, Bytes(30, 77)}); }},
    {"GifBackgroundPastMap", [] { return gif(pic(30, 20, 1, 8, 4), {false, 50, 40, 5, 7, 200}); }},
    // frames sticking out of the screen, or wholly off it, are cut at its edges
    {"GifClippedInterlaced", [] { return screen(gif(pic(40, 30, 1, 8, 16), {true, 70, 50, 25, 15, 1}), 50, 40); }},
    {"GifOffScreen", [] { return screen(gif(pic(10, 10, 1, 8, 4), {false, 40, 40, 30, 30, 2}), 20, 20); }},
    {"GifNoScreenSize", [] { return screen(gif(pic(9, 7, 1, 8, 4)), 0, 0); }},
    {"JpegOddSize420", [] { return jpeg(pic(37, 23, 3)); }},
    {"JpegGreyProgressive", [] { return jpeg(pic(45, 33, 1), {90, true}); }},
    {"JpegCmyk", [] { return jpeg(pic(41, 29, 4)); }},
    {"PngPalette1", [] { return png(pic(37, 11, 1, 1, 2)); }},
    {"PngPalette8ShortInterlaced", [] { return png(pic(61, 23, 1, 8, 100), {true}); }},
    {"PngIndexesPastPalette", pngShortPalette},
    {"PngGrey2Interlaced", [] { return png(pic(41, 9, 1, 2), {true}); }},
    {"PngGreyAlpha16Interlaced", [] { return png(pic(33, 17, 2, 16), {true}); }},
    {"PngRgb8", [] { return png(pic(45, 29, 3)); }},
    {"PngRgba16Interlaced", [] { return png(pic(45, 29, 4, 16), {true}); }},
    {"PngThinInterlaced", [] { return png(pic(3, 2, 1), {true}); }},
    {"TiffBilevelWhiteIsZero", [] { return tiff(pic(37, 21, 1, 1), {COMPRESSION_PACKBITS, PHOTOMETRIC_MINISWHITE, false, false, 5}); }},
    {"TiffGrey4Tiled", [] { return tiff(pic(51, 35, 1, 4), {COMPRESSION_ADOBE_DEFLATE, -1, true}); }},
    {"TiffPalette4TiledMap16", [] {
         TiffOptions o{COMPRESSION_NONE, -1, true};
         for (int i = 0; i < 48; i++) // 16-bit entries, like 7408 whose high byte 28 is not 7408 / 257 = 28.8
             o.colormap.push_back(uint16_t(7408 + i * 1291));
         return tiff(pic(41, 33, 1, 4, 16), o, refMagick);
     }},
    {"TiffGrey16", [] { return tiff(pic(23, 19, 1, 16), {COMPRESSION_LZW}, refMagick); }},
    {"TiffRgbStrips", [] { return tiff(pic(45, 31, 3), {COMPRESSION_LZW, -1, false, false, 3}); }},
    {"TiffRgbTiled", [] { return tiff(pic(45, 31, 3), {COMPRESSION_LZW, -1, true}); }},
    {"TiffRgb16", [] { return tiff(pic(23, 19, 3, 16), {COMPRESSION_ADOBE_DEFLATE}); }},
    {"TiffRgbJpeg", [] { return tiff(pic(48, 32, 3), {COMPRESSION_JPEG, -1, false, false, 16}); }},
    {"TiffCmykSeparateTiled", [] {
         return tiff(pic(25, 15, 4), {COMPRESSION_NONE, PHOTOMETRIC_SEPARATED, true, true}, refMagick);
     }},
    {"TiffCmyk16", [] { return tiff(pic(25, 15, 4, 16), {COMPRESSION_LZW, PHOTOMETRIC_SEPARATED}, refMagick); }},
    {"TiffRgbAlpha", [] { return tiff(pic(19, 11, 4), {COMPRESSION_NONE}); }},
    {"TiffGreyAlpha", [] { return tiff(pic(19, 11, 2), {COMPRESSION_LZW}); }},
    {"TiffRgbAssociatedAlpha", [] {
         return tiff(premultiplied(pic(19, 11, 4)), {1, -1, false, false, 0, 1, true, true}, refMagick);
     }},
    {"TiffRgbAssociatedAlpha16Separate", [] {
         return tiff(premultiplied(pic(19, 11, 4, 16)), {1, -1, false, true, 0, 1, true, true}, refMagick);
     }},
    // CIE L*a*b* through the library's RGBA reader, which must not turn it itself
    {"TiffLabHalfTurned", [] { return tiff(pic(37, 21, 3), {COMPRESSION_NONE, PHOTOMETRIC_CIELAB, false, false, 0, 3}); }},
};

// Runs a command in the scratch directory, with $src (the source picture,
// a PNG), $in (the file under test) and $out (the reference's PNG).
bool run(const BmpTempDir &dir, const std::string &cmd)
{
    return std::system(("cd " + dir.path + " && src=src.png in=in out=ref.png sh -c '" + cmd + "' >/dev/null 2>&1").c_str()) == 0;
}

// Writes `exif`, an EXIF block (big-endian) with an orientation tag of 1 to 7.
std::string exif(int orientation)
{
    return "printf \"MM\\000\\052\\000\\000\\000\\010\\000\\001\\001\\022\\000\\003\\000\\000\\000\\001\\000\\00" +
           std::to_string(orientation) + "\\000\\000\\000\\000\\000\\000\" > exif && ";
}

struct Row {
    const char *name, *spi;
    int w, h, ch, bits;
    std::string make, ref; // commands writing $in from $src, and $out from $in
    int refBits = 16;      // significant bits of a 16-bit reference (heif-convert shifts 10 and 12 up)
    bool premultiplied = false;
    bool unpremultiply = false; // the reference gives the colour multiplied by alpha
    Bytes (*edit)(Bytes) = nullptr;
};

// A HEIF whose pixel-information property, 16 bytes, is made a rotation by
// a quarter anticlockwise of the same length.
Bytes rotate(Bytes f)
{
    auto at = std::search(f.begin(), f.end(), std::begin("pixi"), std::end("pixi") - 1);
    if (at == f.end() || at[-1] != 16)
        return Bytes();
    std::copy_n("irot\1\0\0\0\0\0\0\0", 12, at);
    return f;
}

const std::string kWebpRef = "dwebp -quiet $in -o $out", kHeifRef = "heif-convert $in $out",
                  kAvifRef = "avifdec $in $out", kJxlRef = "djxl $in $out", kHeifLossless = "heif-enc -L -p chroma=444 --matrix_coefficients=0 ",
                  kWebpFrames = "convert $src -negate f2.png && cwebp -lossless f2.png -o f2.webp && ";

const Row kRows[] = {
    {"WebpLossy", "ifwebp.spi", 37, 23, 3, 8, "cwebp -q 80 $src -o $in", kWebpRef},
    {"WebpLossyAlpha", "ifwebp.spi", 37, 23, 4, 8, "cwebp -q 70 $src -o $in", kWebpRef},
    {"WebpLosslessAlpha", "ifwebp.spi", 37, 23, 4, 8, "cwebp -lossless -exact $src -o $in", kWebpRef},
    {"WebpOdd", "ifwebp.spi", 1000, 1, 3, 8, "cwebp -q 80 $src -o $in", kWebpRef},
    {"WebpAnimated", "ifwebp.spi", 37, 23, 3, 8, kWebpFrames + "img2webp -lossless $src f2.png -o $in",
     "webpmux -get frame 1 $in -o f1.webp && dwebp f1.webp -o $out"},
    // a first frame smaller than the canvas, on the background colour
    {"WebpAnimatedPart", "ifwebp.spi", 37, 23, 3, 8,
     kWebpFrames + "convert $src -crop 20x10+0+0 +repage f1.png && cwebp -lossless f1.png -o f1.webp && "
                   "webpmux -frame f1.webp +100+6+4 -frame f2.webp +100 -bgcolor 255,200,100,50 -o $in",
     "convert -size 37x23 xc:\"rgb(200,100,50)\" f1.png -geometry +6+4 -composite $out"},
    // the EXIF block as a JPEG holds it, behind "Exif\0\0", as some writers keep it
    {"WebpExifTransverse", "ifwebp.spi", 37, 23, 3, 8,
     exif(7) + "{ printf \"Exif\\000\\000\"; cat exif; } > e && cwebp -lossless $src -o p.webp && "
               "webpmux -set exif e p.webp -o $in",
     "convert $src -transverse $out"},
    {"HeicLossy", "ifheic.spi", 37, 23, 3, 8, "heif-enc -q 60 $src -o $in", kHeifRef},
    {"HeicLosslessAlpha", "ifheif.spi", 37, 23, 4, 8, kHeifLossless + "$src -o $in", kHeifRef},
    {"HeicPremultiplied", "ifheic.spi", 37, 23, 4, 8, kHeifLossless + "--premultiplied-alpha $src -o $in", kHeifRef, 16, true,
     true},
    {"HeicGrey", "ifheic.spi", 37, 23, 1, 8, "heif-enc -q 60 $src -o $in", kHeifRef},
    {"Heic10", "ifheic.spi", 37, 23, 3, 16, "heif-enc -b 10 -q 80 $src -o $in", kHeifRef, 10},
    {"Heic12Lossless", "ifheic.spi", 37, 23, 3, 16, kHeifLossless + "-b 12 $src -o $in", kHeifRef, 12},
    {"HeicRotated", "ifheic.spi", 37, 23, 3, 8, kHeifLossless + "$src -o $in", kHeifRef, 16, false, false, rotate},
    {"HeicOdd", "ifheic.spi", 3, 5, 3, 8, "heif-enc -q 60 $src -o $in", kHeifRef},
    {"AvifLossy420", "ifavif.spi", 37, 23, 3, 8, "avifenc -s 8 -y 420 --min 20 --max 40 $src $in", kAvifRef},
    {"AvifLosslessAlpha", "ifavif.spi", 37, 23, 4, 8, "avifenc -s 8 -l $src $in", kAvifRef},
    {"AvifPremultiplied", "ifavif.spi", 37, 23, 4, 8, "avifenc -s 8 -l -p $src $in", kAvifRef, 16, true},
    {"AvifGrey", "ifavif.spi", 37, 23, 1, 8, "avifenc -s 8 -y 400 $src $in", kAvifRef},
    {"Avif10", "ifavif.spi", 37, 23, 3, 16, "avifenc -s 8 -d 10 $src $in", "avifdec -d 16 $in $out"},
    {"Avif12Lossless", "ifavif.spi", 37, 23, 3, 16, "avifenc -s 8 -l -d 12 $src $in", "avifdec -d 16 $in $out"},
    {"AvifSequence", "ifavif.spi", 37, 23, 3, 8, "convert $src -negate f2.png && avifenc -s 8 -l $src f2.png $in", kAvifRef},
    // cropping, turning and mirroring as libheif applies them
    {"AvifTurnedMirrored", "ifavif.spi", 37, 23, 3, 8, "avifenc -s 8 -l --irot 1 --imir 0 $src $in", kHeifRef},
    {"AvifCroppedTurned", "ifavif.spi", 37, 23, 3, 8, "avifenc -s 8 -l --crop 3,2,21,17 --irot 3 --imir 1 $src $in", kHeifRef},
    {"AvifOdd", "ifavif.spi", 1, 1, 3, 8, "avifenc -s 8 $src $in", kAvifRef},
    {"JxlLossy", "ifjxl.spi", 37, 23, 3, 8, "cjxl -d 1 $src $in", kJxlRef},
    {"JxlLosslessAlpha", "ifjxl.spi", 37, 23, 4, 8, "cjxl -d 0 $src $in", kJxlRef},
    {"JxlPremultiplied", "ifjxl.spi", 37, 23, 4, 8, "cjxl -d 0 --premultiply=1 $src $in", kJxlRef, 16, true},
    {"JxlGrey", "ifjxl.spi", 37, 23, 1, 8, "cjxl -d 0 $src $in", kJxlRef},
    {"Jxl16", "ifjxl.spi", 37, 23, 3, 16, "cjxl -d 0 $src $in", kJxlRef},
    {"JxlAnimated", "ifjxl.spi", 37, 23, 3, 8, "convert $src -negate f2.png && convert -delay 10 $src f2.png a.gif && cjxl a.gif $in", kJxlRef},
    // a JPEG turned by its EXIF orientation, kept whole in a container
    {"JxlJpegTurned", "ifjxl.spi", 37, 23, 3, 8, exif(6) + "convert $src t.jpg && { printf \"\\377\\330\\377\\341\\000\\042Exif\\000\\000\"; cat exif; tail -c +3 t.jpg; } > o.jpg && cjxl o.jpg $in", kJxlRef},
    {"JxlOdd", "ifjxl.spi", 3, 5, 3, 8, "cjxl -d 1 $src $in", kJxlRef},
};

// A file a format's own encoder made of pic(), with the picture its
// reference decoder wrote kept as the reference.
Sample tool(const Row &r)
{
    RawPicture p = r.premultiplied ? premultiplied(pic(r.w, r.h, r.ch, r.bits)) : pic(r.w, r.h, r.ch, r.bits);
    Sample s{{}, p, r.spi, 12, [](const Sample &t) { return t.stored; }};
    BmpTempDir dir;
    writeBytes(dir.file("src.png"), encodePng(p));
    if (!run(dir, r.make))
        return s;
    s.file = readBytes(dir.file("in"));
    if (std::strcmp(r.spi, "ifjxl.spi") == 0)
        s.sig = s.file[0] == 0xFF ? 2 : 12; // the codestream's marker or the container's first box
    else if (std::strcmp(r.spi, "ifwebp.spi") != 0)
        s.sig = 16; // the ftyp box to its major brand and version
    if (r.edit != nullptr)
        writeBytes(dir.file("in"), s.file = r.edit(s.file));
    EXPECT_TRUE(run(dir, r.ref)) << r.ref;
    s.stored = spiReadPng(dir.file("ref.png"), r.refBits, r.unpremultiply);
    return s;
}

std::vector<Case> toolCases()
{
    std::vector<Case> v;
    for (const Row &r : kRows)
        v.push_back({r.name, [&r] { return tool(r); }});
    return v;
}

class SpiDecode : public testing::TestWithParam<Case> {};

// The library's picture, or the format's reference decoder's, and
// GetPictureInfo agrees. Cut short anywhere: 3, or 2 while the signature is
// not whole, or the same picture when all that was lost follows it;
// damaged: a picture or 3 (2 when it reads as a kind not handled, 4 for
// sizes past the limit), in a sound pair.
TEST_P(SpiDecode, MatchesTheReferenceAndRefusesDamage)
{
    Sample s = GetParam().make();
    ASSERT_FALSE(s.file.empty());
    SpiPlugin plugin(s.spi);
    const SpiPic want = s.ref(s), got = spiDecode(plugin, s.file);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.fault, "");
    ASSERT_TRUE(got.w == want.w && got.h == want.h) << got.w << "x" << got.h << ", want " << want.w << "x" << want.h;
    EXPECT_EQ(differs(want, got), -1) << "first difference at this pixel";
    EXPECT_EQ(got.bits, s.src.channels <= 2 ? 8 : 24); // one channel stays 8-bit
    PictureInfo pi;
    ASSERT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(s.file.data()), long(s.file.size()), 1, &pi), 0);
    EXPECT_TRUE(pi.width == got.w && pi.height == got.h && pi.colorDepth == got.bits);

    size_t n = s.file.size();
    for (size_t len : {size_t(0), s.sig - 1, s.sig, size_t(20), n / 8, n / 4, n / 2, n * 3 / 4, n - 20}) {
        for (unsigned flag : {1u, 0u}) {
            SpiPic c = spiDecode(plugin, Bytes(s.file.begin(), s.file.begin() + long(len)), flag);
            EXPECT_TRUE(c.rc == (len < s.sig ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER) || (c.rc == 0 && c == got))
                << len << ": " << c.rc;
        }
    }
    uint32_t seed = uint32_t(n);
    for (int round = 0; round < 50; round++) {
        // half of the damage near the end, where TIFF keeps its directory
        Bytes bad(s.file);
        size_t back = rnd(&seed) % std::min(n - s.sig, size_t(200));
        bad[round % 2 ? n - 1 - back : s.sig + rnd(&seed) % (n - s.sig)] ^= uint8_t(1 + rnd(&seed) % 255);
        SpiPic b = spiDecode(plugin, bad);
        EXPECT_TRUE(b.rc == 0 || b.rc == SPI_NOT_SUPPORT || b.rc == SPI_OUT_OF_ORDER || b.rc == SPI_NO_MEMORY)
            << round << ": " << b.rc;
        EXPECT_EQ(b.fault, "") << round;
    }
}

// The JPEG with an EXIF block that gives the orientation, after SOI.
Sample exif(Sample s, int orientation)
{
    const uint8_t app1[] = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                            0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, uint8_t(orientation), 0, 0, 0, 0, 0, 0};
    s.file.insert(s.file.begin() + 2, app1, app1 + sizeof app1);
    return s;
}

// Each of the eight orientations, in a JPEG's EXIF block and in the TIFF
// tag, turns the picture as ImageMagick's -auto-orient does; grey and
// palette pictures stay 8-bit.
std::vector<Case> orientations()
{
    std::vector<Case> v;
    for (int o = 1; o <= 8; o++) {
        v.push_back({"Jpeg" + std::to_string(o), [o] { return exif(jpeg(pic(13, 6, 1)), o); }});
        v.push_back({"Tiff" + std::to_string(o),
                     [o] { return tiff(pic(13, 6, 1, 4, 16), {COMPRESSION_NONE, -1, false, false, 0, o}, refMagick); }});
    }
    return v;
}

auto caseName = [](const testing::TestParamInfo<Case> &i) { return i.param.name; };
INSTANTIATE_TEST_SUITE_P(Kinds, SpiDecode, testing::ValuesIn(kCases), caseName);
INSTANTIATE_TEST_SUITE_P(Tools, SpiDecode, testing::ValuesIn(toolCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Orientations, SpiDecode, testing::ValuesIn(orientations()), caseName);

// A file kept in the fuzzers' seeds, by its path under fuzz/corpus/.
Bytes kept(const std::string &path) { return readBytes(VEXEL_SOURCE_DIR "/fuzz/corpus/" + path); }

// The seed's folder: the files of the plug-ins that take them.
std::string owner(const std::string &seed) { return seed.substr(0, seed.find('/')); }

struct Spi {
    const char *file, *pattern, *seed; // a picture among the fuzzers' seeds
};
void PrintTo(const Spi &s, std::ostream *os) { *os << s.file; }

const Spi kSpis[] = {
    {"ifgif.spi", "*.gif", "ifgif_fuzz/interlaced_37x23.gif"},
    {"ifjpeg.spi", "*.jpg;*.jpeg;*.jpe", "ifjpeg_fuzz/rgb420_37x23.jpg"},
    {"iftiff.spi", "*.tif;*.tiff", "iftiff_fuzz/rgb_lzw.tif"},
    {"ifpng.spi", "*.png", "ifpng_fuzz/rgba_interlaced.png"},
    {"ifwebp.spi", "*.webp", "ifwebp_fuzz/lossy.webp"},
    {"ifheic.spi", "*.heic;*.heif;*.hif", "ifheic_fuzz/lossy.heic"},
    {"ifheif.spi", "*.heic;*.heif;*.hif", "ifheic_fuzz/odd.heic"},
    {"ifavif.spi", "*.avif", "ifavif_fuzz/lossy.avif"},
    {"ifjxl.spi", "*.jxl", "ifjxl_fuzz/lossy.jxl"},
    {"ifmag.spi", "*.mag", "ifmag_fuzz/mag16_8x8_noise.mag"},
    {"ifpi.spi", "*.pi", "ifpi_fuzz/pi16_37x23_noise.pi"},
    {"ifpic.spi", "*.pic", "ifpic_fuzz/pic8_37x23_noise.pic"},
    {"ifpic2.spi", "*.pic2", "ifpic2_fuzz/example2.pic2"},
    {"ifp2.spi", "*.p2", "ifpic2_fuzz/p2_multiblock_48x36.pic2"},
    {"ifxld4.spi", "*.xld4;*.q4", "ifxld4_fuzz/literals-and-runs.xld4"},
};

class SpiEach : public testing::TestWithParam<Spi> {
protected:
    SpiPlugin plugin{GetParam().file};
    void SetUp() override { ASSERT_TRUE(plugin.picture && plugin.pictureInfo && plugin.supported && plugin.info); }
};

// Only the four entry points are exported, and GetPluginInfo writes at
// most buflen bytes, the terminator only when it fits, and nothing for
// numbers without a text. Each plug-in knows its own signature (TIFF's in
// both byte orders, classic and big; JPEG XL's bare and in a container) and
// no other, in a 2 KB head in memory and in an open file, read from its
// start wherever it stands.
TEST_P(SpiEach, InterfaceAndSignatures)
{
    std::string cmd = std::string("nm -D --defined-only ") + VEXEL_SPI_DIR + "/" + GetParam().file;
    FILE *p = popen(cmd.c_str(), "r");
    std::set<std::string> names;
    char addr[64], type[8], name[256];
    while (p != nullptr && std::fscanf(p, "%63s %7s %255s", addr, type, name) == 3)
        names.insert(name);
    pclose(p);
    EXPECT_EQ(names, (std::set<std::string>{"GetPicture", "GetPictureInfo", "GetPluginInfo", "IsSupported"}));
    char buf[64];
    EXPECT_EQ(plugin.info(2, buf, sizeof buf), int(std::strlen(GetParam().pattern)));
    EXPECT_STREQ(buf, GetParam().pattern);
    char b[9] = "########";
    EXPECT_EQ(plugin.info(0, b, 4), 4); // no room for the terminator
    EXPECT_TRUE(plugin.info(4, b, 9) == 0 && plugin.info(-1, b, 9) == 0 && plugin.info(1000, b, 9) == 0);
    EXPECT_STREQ(b, "00IN####");
    std::vector<std::pair<Bytes, std::string>> heads = {
        {encodeBmp(pic(8, 8, 3)), ""}, {Bytes(), ""}, {kept("ifjxl_fuzz/container.jxl"), "ifjxl_fuzz"}};
    for (const Spi &k : kSpis)
        heads.emplace_back(kept(k.seed), owner(k.seed));
    const char tiffs[] = "II*\0MM\0*II+\0MM\0+II\0*MM*\0IM*\0"; // TIFF only in the first four
    for (int i = 0; i < 7; i++)
        heads.emplace_back(Bytes(tiffs + 4 * i, tiffs + 4 * i + 4), i < 4 ? "iftiff_fuzz" : "");
    for (auto &[head, family] : heads) {
        SpiFile tmp(head);
        head.resize(2048);
        int fd = open(tmp.path.c_str(), O_RDONLY), mine = family == owner(GetParam().seed);
        lseek(fd, 100, SEEK_SET);
        EXPECT_EQ(plugin.supported(&tmp.path[0], DWORD_PTR(head.data())), mine) << family << " " << head[0];
        EXPECT_EQ(plugin.supported(&tmp.path[0], DWORD_PTR(fd)), mine) << family << " " << head[0];
        close(fd);
    }
}

// The same picture from memory, from a file and from a file at an offset;
// GetPictureInfo tells its size and depth. A missing file, an offset past
// the end: 6; foreign data: 2. Progress runs from 0 to the end, never
// backwards, never over zero; a stop at the first, a middle or the last call
// gives 1, no pair and no further call.
TEST_P(SpiEach, InputsAndProgress)
{
    Bytes file = kept(GetParam().seed);
    SpiCalls log{{-9, 0}};
    SpiPic mem = spiDecode(plugin, file, 1, spiProgressLog, long(&log));
    ASSERT_EQ(mem.rc, 0);
    for (long offset : {0L, 129L}) {
        SpiPic disk = spiDecode(plugin, file, 0, nullptr, 0, offset);
        EXPECT_TRUE(disk.rc == 0 && disk == mem) << offset;
    }
    // the same record from both, no text handle in it
    PictureInfo pi, fromFile;
    SpiFile tmp(file);
    ASSERT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &pi), 0);
    ASSERT_EQ(plugin.pictureInfo(&tmp.path[0], 0, 0, &fromFile), 0);
    EXPECT_EQ(std::memcmp(&fromFile, &pi, sizeof pi), 0);
    EXPECT_TRUE(pi.left == 0 && pi.top == 0 && pi.width == mem.w && pi.height == mem.h && pi.colorDepth == mem.bits &&
                pi.hInfo == nullptr);
    HLOCAL hInfo = nullptr, hBm = nullptr;
    char missing[] = "/nonexistent/dir/picture";
    EXPECT_EQ(plugin.picture(missing, 0, 0, &hInfo, &hBm, nullptr, 0), SPI_FILE_READ_ERROR);
    EXPECT_EQ(plugin.picture(&tmp.path[0], long(file.size()) + 1, 0, &hInfo, &hBm, nullptr, 0), SPI_FILE_READ_ERROR);
    EXPECT_EQ(spiDecode(plugin, encodeBmp(pic(8, 8, 3))).rc, SPI_NOT_SUPPORT);

    log.erase(log.begin());
    ASSERT_GE(log.size(), 3u);
    EXPECT_TRUE(log.front().first == 0 && log.front().second > 0 && log.back().first == log.back().second);
    for (size_t i = 1; i < log.size(); i++)
        EXPECT_TRUE(log[i].second > 0 && log[i - 1].first * log[i].second <= log[i].first * log[i - 1].second) << i;
    for (int stop : {0, int(log.size()) / 2, int(log.size()) - 1}) {
        SpiCalls abortLog{{stop, 0}};
        EXPECT_EQ(spiDecode(plugin, file, 1, spiProgressLog, long(&abortLog)).rc, SPI_ABORT) << stop;
        EXPECT_EQ(abortLog.size(), size_t(stop) + 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Plugins, SpiEach, testing::ValuesIn(kSpis), [](const testing::TestParamInfo<Spi> &i) {
    return std::string(i.param.file + 2, std::strchr(i.param.file, '.'));
});

// An image of no rows: the screen in its background colour, and progress
// that counts one step rather than dividing by zero.
TEST(SpiGif, ImageWithoutRows)
{
    RawPicture empty(0, 0, 1);
    empty.palette = {0, 0, 0, 9, 9, 9};
    SpiCalls log{{-9, 0}};
    SpiPic got = spiDecode(SpiPlugin("ifgif.spi"), gif(empty, {false, 4, 3, 1, 1, 1}).file, 1, spiProgressLog, long(&log));
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.rgb, Bytes(36, 9));
    EXPECT_EQ(log, (SpiCalls{{-9, 0}, {0, 1}, {1, 1}}));
}

// A picture may get the memory of the one before, uncleared where the
// decoder writes every pixel: nothing of the last picture shows, in the
// pixels or in the rows' padding. (Blocks of a megabyte and more are kept;
// the two pictures' rows differ in length.)
TEST(SpiRules, NothingOfTheLastPicture)
{
    for (auto make : {+[](int w, int h) { return jpeg(pic(w, h, 3)); },
                      +[](int w, int h) { return tiff(pic(w, h, 3), {COMPRESSION_NONE}); }}) {
        Sample last = make(700, 501), s = make(701, 500);
        SpiPlugin plugin(s.spi);
        ASSERT_EQ(spiDecode(plugin, last.file).rc, 0);
        SpiPic got = spiDecode(plugin, s.file);
        EXPECT_EQ(got.fault, "") << s.spi;
        EXPECT_EQ(differs(s.ref(s), got), -1) << s.spi;
    }
}

// Where the first marker m (FF m) of a JPEG begins, from its end if last.
size_t marker(const Bytes &j, uint8_t m, bool last = false)
{
    for (size_t i = 0; i + 1 < j.size(); i++) {
        size_t at = last ? j.size() - 2 - i : i;
        if (j[at] == 0xFF && j[at + 1] == m)
            return at;
    }
    return 0;
}

Bytes cut(Bytes f, size_t at, Bytes tail = {})
{
    f.resize(std::min(at, f.size()));
    f.insert(f.end(), tail.begin(), tail.end());
    return f;
}

struct Ending {
    const char *name, *spi;
    Bytes (*make)();
    int rc;        // of GetPicture; 0: the same picture as the whole file's
    Bytes (*whole)() = nullptr; // that file
};
void PrintTo(const Ending &e, std::ostream *os) { *os << e.name; }

// The HEIF or AVIF file with every image made 10000 x 10000.
Bytes huge(Bytes f)
{
    for (auto at = f.begin(); (at = std::search(at + 1, f.end(), std::begin("ispe"), std::end("ispe") - 1)) != f.end();)
        std::copy_n("\0\0\x27\x10\0\0\x27\x10", 8, at + 8);
    return f;
}

Bytes gifFile() { return gif(pic(37, 23, 1, 8, 16), {true}).file; }
Bytes jpegFile() { return jpeg(pic(37, 23, 3)).file; }
Bytes progressiveFile() { return jpeg(pic(37, 23, 3), {90, true}).file; }

// Files that lack their end, and only that, are pictures; files with rows
// missing, cut by the end of the data or by a marker, are broken; valid
// files of a kind not handled are unsupported. The small files that once
// made a plug-in allocate gigabytes (kept as fuzz seeds) are refused before
// they do, and so are files that ask for more than they could hold.
const Ending kEndings[] = {
    // neither the empty block that ends the image's data nor the trailer
    {"GifWithoutEndBlock", "ifgif.spi", [] { return cut(gifFile(), gifFile().size() - 2); }, 0, gifFile},
    {"JpegWithoutEnd", "ifjpeg.spi", [] { return cut(jpegFile(), jpegFile().size() - 2); }, 0, jpegFile},
    {"JpegProgressiveWithoutEnd", "ifjpeg.spi", [] { return cut(progressiveFile(), progressiveFile().size() - 2); }, 0,
     progressiveFile},
    {"JpegProgressiveLastScanMissing", "ifjpeg.spi",
     [] { return cut(progressiveFile(), marker(progressiveFile(), 0xDA, true)); }, SPI_OUT_OF_ORDER},
    {"JpegScanCutByMarker", "ifjpeg.spi", [] { return cut(jpegFile(), jpegFile().size() - 80, {0xFF, 0xD9}); },
     SPI_OUT_OF_ORDER},
    {"Jpeg12Bit", "ifjpeg.spi", [] { Bytes j = jpegFile(); j[marker(j, 0xC0) + 4] = 12; return j; }, SPI_NOT_SUPPORT},
    {"TiffJpegScanCutByMarker", "iftiff.spi", [] {
         Bytes t = tiff(pic(48, 32, 3), {COMPRESSION_JPEG}).file;
         size_t sos = marker(t, 0xDA);
         t[sos + 60] = 0xFF, t[sos + 61] = 0xD9;
         return t;
     }, SPI_OUT_OF_ORDER},
    // ImageMagick's files with a strip's byte count cut: a Lab strip (the library's RGBA reader) to 10
    // bytes, a JPEG strip to half
    {"TiffLabStripShort", "iftiff.spi", [] { return kept("iftiff_fuzz/regress_lab_strip_short.tif"); },
     SPI_OUT_OF_ORDER},
    {"TiffJpegStripHalf", "iftiff.spi", [] { return kept("iftiff_fuzz/regress_jpeg_strip_half.tif"); },
     SPI_OUT_OF_ORDER},
    {"TiffSigned", "iftiff.spi",
     [] { return encodeTiff(pic(9, 7, 3, 16), {1, -1, false, false, 0, 1, false, false, SAMPLEFORMAT_INT}); },
     SPI_NOT_SUPPORT},
    // 24 bytes: an image of 46260 x 46260 on no screen, and no data
    {"Gif46260Squared", "ifgif.spi", [] { return kept("ifgif_fuzz/regress_46260_squared.gif"); }, SPI_OUT_OF_ORDER},
    // a screen of 16000 x 16000 from 840 bytes: more than any picture's file could make
    {"GifScreen16000Squared", "ifgif.spi", [] { return kept("ifgif_fuzz/regress_screen_16000.gif"); }, SPI_NO_MEMORY},
    // 41 bytes: a text chunk of 1.9 GB; 141 bytes: 30000 x 30000 pixels
    {"PngHugeText", "ifpng.spi", [] { return kept("ifpng_fuzz/regress_huge_text.png"); }, SPI_OUT_OF_ORDER},
    {"PngImageBeyondItsData", "ifpng.spi", [] { return kept("ifpng_fuzz/regress_beyond_data.png"); }, SPI_OUT_OF_ORDER},
    // 337 bytes: a grey frame of 46000 x 46000 whose scan the end marker cuts
    {"Jpeg46000SquaredCutByMarker", "ifjpeg.spi", [] { return kept("ifjpeg_fuzz/regress_46000_cut_by_marker.jpg"); },
     SPI_OUT_OF_ORDER},
    // some 150 bytes: samples that make a strip of 64 GB, or tiles of 1 TB, for small pictures
    {"TiffHugeStrip", "iftiff.spi", [] { return kept("iftiff_fuzz/regress_huge_strip.tif"); }, SPI_OUT_OF_ORDER},
    {"TiffHugeTiles", "iftiff.spi", [] { return kept("iftiff_fuzz/regress_huge_tiles.tif"); }, SPI_NO_MEMORY},
    // 21 bytes: a flat PIC of 1024 x 1024, which any file may make; 244 bytes: PIC2 blocks of 65535 x 1024
    // to decode for a canvas of 1 x 1024
    {"PicFlat1024Squared", "ifpic.spi", [] { return kept("ifpic_fuzz/flat_1024x1024.pic"); }, 0,
     [] { return kept("ifpic_fuzz/flat_1024x1024.pic"); }},
    {"Pic2BlocksBeyondFile", "ifpic2.spi", [] { return kept("ifpic2_fuzz/regress_blocks_65535x1024.pic2"); },
     SPI_NO_MEMORY},
    // images larger than 65536 times their file; a lossy WebP frame without a bit for each macroblock, a HEVC
    // stream larger than any image its file declares; an overlay, whose canvas libheif makes first
    {"AvifHuge", "ifavif.spi", [] { return huge(kept("ifavif_fuzz/lossy.avif")); }, SPI_NO_MEMORY},
    {"HeicHuge", "ifheic.spi", [] { return huge(kept("ifheic_fuzz/lossy.heic")); }, SPI_NO_MEMORY},
    {"WebpLossyHugeHeader", "ifwebp.spi", [] { return kept("ifwebp_fuzz/regress-lossy-huge-header.webp"); },
     SPI_OUT_OF_ORDER},
    {"HeicSps20000", "ifheic.spi", [] { return kept("ifheic_fuzz/regress-sps-20000.heic"); }, SPI_OUT_OF_ORDER},
    {"HeicSpsInOtherArray", "ifheic.spi", [] { return kept("ifheic_fuzz/regress-sps-in-other-array.heic"); },
     SPI_OUT_OF_ORDER},
    {"HeicGridCanvas", "ifheic.spi", [] { return kept("ifheic_fuzz/regress-grid-canvas.heic"); }, SPI_OUT_OF_ORDER},
    {"HeicOverlayCanvas", "ifheic.spi", [] { return kept("ifheic_fuzz/regress-overlay-canvas.heic"); }, SPI_NOT_SUPPORT},
};

class SpiEnding : public testing::TestWithParam<Ending> {};

TEST_P(SpiEnding, Result)
{
    SpiPlugin plugin(GetParam().spi);
    Bytes file = GetParam().make();
    SpiPic got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, GetParam().rc) << file.size() << " bytes";
    EXPECT_EQ(got.fault, "");
    if (got.rc == 0) {
        SpiPic whole = spiDecode(plugin, GetParam().whole());
        EXPECT_TRUE(whole.rc == 0 && differs(whole, got) == -1);
    }
    if (got.rc == SPI_NOT_SUPPORT) {
        PictureInfo pi;
        EXPECT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &pi), SPI_NOT_SUPPORT);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SpiEnding, testing::ValuesIn(kEndings),
                         [](const testing::TestParamInfo<Ending> &i) { return std::string(i.param.name); });

} // namespace
