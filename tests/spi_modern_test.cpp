// The plug-ins of today's formats (WebP, HEIF, AVIF, JPEG XL) as built: files
// made in the run by the formats' own encoders decode as the formats'
// reference decoders show them, damaged copies give a failure result or the
// same picture, and each plug-in knows its own files and can be stopped.
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <tuple>

#include "encoders.h"
#include "support/bmp_util.h"
#include "support/spi_util.h"

namespace {

// A picture: its result, size, depth and RGB rows top-down.
struct Pic {
    int rc = -1, w = 0, h = 0, bits = 0;
    Bytes rgb;
    bool operator==(const Pic &o) const { return w == o.w && h == o.h && bits == o.bits && rgb == o.rgb; }
};

// GetPicture on bytes in memory, the pair read through its table and freed.
Pic decode(const SpiPlugin &p, Bytes file, SPI_PROGRESS progress = nullptr, long lData = 0)
{
    Pic out;
    HLOCAL hInfo = nullptr, hBm = nullptr;
    out.rc = p.picture(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &hInfo, &hBm, progress, lData);
    if (out.rc != 0)
        return out;
    BITMAPINFOHEADER bi;
    auto *info = static_cast<const uint8_t *>(LocalLock(hInfo)), *bits = static_cast<const uint8_t *>(LocalLock(hBm));
    std::memcpy(&bi, info, sizeof bi);
    const uint8_t *table = info + sizeof bi;
    size_t stride = (size_t(bi.biWidth) * bi.biBitCount + 31) / 32 * 4;
    EXPECT_TRUE(bi.biBitCount == 24 || (bi.biBitCount == 8 && bi.biClrUsed == 256));
    EXPECT_GE(LocalSize(hBm), stride * size_t(bi.biHeight));
    out.w = bi.biWidth, out.h = bi.biHeight, out.bits = bi.biBitCount;
    for (int y = out.h - 1; y >= 0; y--)
        for (int x = 0; x < out.w; x++) {
            const uint8_t *q = out.bits == 24 ? bits + size_t(y) * stride + size_t(x) * 3
                                              : table + 4 * bits[size_t(y) * stride + size_t(x)];
            out.rgb.insert(out.rgb.end(), {q[2], q[1], q[0]});
        }
    LocalUnlock(hInfo);
    LocalUnlock(hBm);
    LocalFree(hInfo);
    LocalFree(hBm);
    return out;
}

// A PNG as 8-bit RGB. 16-bit samples hold `bits` significant bits at their
// top and are rounded to 8 (V x 255 / max); grey is repeated; alpha is
// dropped, divided out of the colour first when asked.
Pic readPng(const std::string &path, int bits, bool unpremultiply)
{
    Pic r;
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

// Runs a command in the scratch directory, with $src (the source picture,
// a PNG), $in (the file under test) and $out (the reference's PNG).
bool run(const BmpTempDir &dir, const std::string &cmd)
{
    return std::system(("cd " + dir.path + " && src=src.png in=in out=ref.png sh -c '" + cmd + "' >/dev/null 2>&1").c_str()) == 0;
}

// Gradients broken by noise; the last of 2 or 4 channels is alpha, from 0 to
// full, and the colour is multiplied by it when asked.
Bytes source(int w, int h, int ch, int bits, bool premultiplied)
{
    RawPicture p(w, h, ch, bits);
    const uint32_t max = (1u << bits) - 1;
    uint32_t s = 2463534242u;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint32_t a = ch % 2 == 0 ? uint32_t(x * 13 + y * 7) % 256 * max / 255 : max;
            for (int c = 0; c < ch; c++) {
                s ^= s << 13, s ^= s >> 17, s ^= s << 5;
                uint32_t v = (uint32_t(x * 9 + y * 5 + c * 80) % 256 * max / 255 + s % (max / 8 + 1)) % (max + 1);
                p.at(x, y, c) = uint16_t(c == ch - 1 && ch % 2 == 0 ? a : premultiplied ? v * a / max : v);
            }
        }
    return encodePng(p);
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
    bool grey = false;     // an 8-bit picture
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
    {"HeicPremultiplied", "ifheic.spi", 37, 23, 4, 8, kHeifLossless + "--premultiplied-alpha $src -o $in", kHeifRef, 16,
     false, true, true},
    {"HeicGrey", "ifheic.spi", 37, 23, 1, 8, "heif-enc -q 60 $src -o $in", kHeifRef, 16, true},
    {"Heic10", "ifheic.spi", 37, 23, 3, 16, "heif-enc -b 10 -q 80 $src -o $in", kHeifRef, 10},
    {"Heic12Lossless", "ifheic.spi", 37, 23, 3, 16, kHeifLossless + "-b 12 $src -o $in", kHeifRef, 12},
    {"HeicRotated", "ifheic.spi", 37, 23, 3, 8, kHeifLossless + "$src -o $in", kHeifRef, 16, false, false, false, rotate},
    {"HeicOdd", "ifheic.spi", 3, 5, 3, 8, "heif-enc -q 60 $src -o $in", kHeifRef},
    {"AvifLossy420", "ifavif.spi", 37, 23, 3, 8, "avifenc -s 8 -y 420 --min 20 --max 40 $src $in", kAvifRef},
    {"AvifLosslessAlpha", "ifavif.spi", 37, 23, 4, 8, "avifenc -s 8 -l $src $in", kAvifRef},
    {"AvifPremultiplied", "ifavif.spi", 37, 23, 4, 8, "avifenc -s 8 -l -p $src $in", kAvifRef, 16, false, true},
    {"AvifGrey", "ifavif.spi", 37, 23, 1, 8, "avifenc -s 8 -y 400 $src $in", kAvifRef, 16, true},
    {"Avif10", "ifavif.spi", 37, 23, 3, 16, "avifenc -s 8 -d 10 $src $in", "avifdec -d 16 $in $out"},
    {"Avif12Lossless", "ifavif.spi", 37, 23, 3, 16, "avifenc -s 8 -l -d 12 $src $in", "avifdec -d 16 $in $out"},
    {"AvifSequence", "ifavif.spi", 37, 23, 3, 8, "convert $src -negate f2.png && avifenc -s 8 -l $src f2.png $in", kAvifRef},
    // cropping, turning and mirroring as libheif applies them
    {"AvifTurnedMirrored", "ifavif.spi", 37, 23, 3, 8, "avifenc -s 8 -l --irot 1 --imir 0 $src $in", kHeifRef},
    {"AvifCroppedTurned", "ifavif.spi", 37, 23, 3, 8, "avifenc -s 8 -l --crop 3,2,21,17 --irot 3 --imir 1 $src $in", kHeifRef},
    {"AvifOdd", "ifavif.spi", 1, 1, 3, 8, "avifenc -s 8 $src $in", kAvifRef},
    {"JxlLossy", "ifjxl.spi", 37, 23, 3, 8, "cjxl -d 1 $src $in", kJxlRef},
    {"JxlLosslessAlpha", "ifjxl.spi", 37, 23, 4, 8, "cjxl -d 0 $src $in", kJxlRef},
    {"JxlPremultiplied", "ifjxl.spi", 37, 23, 4, 8, "cjxl -d 0 --premultiply=1 $src $in", kJxlRef, 16, false, true},
    {"JxlGrey", "ifjxl.spi", 37, 23, 1, 8, "cjxl -d 0 $src $in", kJxlRef, 16, true},
    {"Jxl16", "ifjxl.spi", 37, 23, 3, 16, "cjxl -d 0 $src $in", kJxlRef},
    {"JxlAnimated", "ifjxl.spi", 37, 23, 3, 8, "convert $src -negate f2.png && convert -delay 10 $src f2.png a.gif && cjxl a.gif $in", kJxlRef},
    // a JPEG turned by its EXIF orientation, kept whole in a container
    {"JxlJpegTurned", "ifjxl.spi", 37, 23, 3, 8, exif(6) + "convert $src t.jpg && { printf \"\\377\\330\\377\\341\\000\\042Exif\\000\\000\"; cat exif; tail -c +3 t.jpg; } > o.jpg && cjxl o.jpg $in", kJxlRef},
    {"JxlOdd", "ifjxl.spi", 3, 5, 3, 8, "cjxl -d 1 $src $in", kJxlRef},
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

class SpiModern : public testing::TestWithParam<Row> {};

// The reference decoder's picture, exactly: the plug-ins use the same
// library and the same conversions. GetPictureInfo agrees. Cut short
// anywhere, or damaged: a failure result or the whole picture, never a
// crash (the sanitizer build sees what the codec libraries do).
TEST_P(SpiModern, MatchesTheReferenceAndRefusesDamage)
{
    const Row &r = GetParam();
    BmpTempDir dir;
    writeBytes(dir.file("src.png"), source(r.w, r.h, r.ch, r.bits, r.premultiplied));
    ASSERT_TRUE(run(dir, r.make)) << r.make;
    Bytes file = readBytes(dir.file("in"));
    if (r.edit != nullptr)
        writeBytes(dir.file("in"), file = r.edit(file));
    ASSERT_TRUE(run(dir, r.ref)) << r.ref;
    Pic want = readPng(dir.file("ref.png"), r.refBits, r.unpremultiply);
    SpiPlugin plugin(r.spi);
    Pic got = decode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.bits, r.grey ? 8 : 24);
    ASSERT_TRUE(got.w == want.w && got.h == want.h) << got.w << "x" << got.h << ", want " << want.w << "x" << want.h;
    auto m = std::mismatch(want.rgb.begin(), want.rgb.end(), got.rgb.begin());
    EXPECT_TRUE(m.first == want.rgb.end()) << "first difference at pixel " << (m.first - want.rgb.begin()) / 3 << ": "
                                           << int(*m.first) << " for " << int(*m.second);
    PictureInfo pi;
    ASSERT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &pi), 0);
    EXPECT_TRUE(pi.width == got.w && pi.height == got.h && pi.colorDepth == got.bits);

    const size_t n = file.size();
    uint32_t seed = uint32_t(n);
    for (int round = 0; round < 40; round++) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        Bytes bad(file);
        if (round < 10)
            bad.resize(n * size_t(round) / 10 + seed % 16 % (n / 10 + 1));
        else
            bad[12 + seed % (n - 12)] ^= uint8_t(1 + seed / 256 % 255);
        Pic b = decode(plugin, bad);
        EXPECT_TRUE(b.rc == 0 ? round >= 10 || b == got : b.rc >= 2 && b.rc <= 4) << round << ": " << b.rc;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpiModern, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

// Each plug-in takes its own files and no other; it reports progress from
// 0 to the end, never backwards, and stops at any call that asks it to.
TEST(SpiModernEach, SignaturesAndProgress)
{
    BmpTempDir dir;
    writeBytes(dir.file("src.png"), source(150, 90, 3, 8, false));
    ASSERT_TRUE(run(dir, "cwebp -q 80 $src -o p.webp && heif-enc -q 60 $src -o p.heic && avifenc -s 8 $src p.avif && "
                        "cjxl -d 1 $src p.jxl && cjxl -d 0 --container=1 $src c.jxl"));
    const std::pair<const char *, const char *> kFiles[] = {{"p.webp", "ifwebp.spi"},
                                                            {"p.heic", "ifheic.spi ifheif.spi"},
                                                            {"p.avif", "ifavif.spi"},
                                                            {"p.jxl", "ifjxl.spi"},
                                                            {"c.jxl", "ifjxl.spi"},
                                                            {"src.png", ""}};
    for (const char *spi : {"ifwebp.spi", "ifheic.spi", "ifheif.spi", "ifavif.spi", "ifjxl.spi"}) {
        SpiPlugin plugin(spi);
        ASSERT_TRUE(plugin.picture && plugin.supported) << spi;
        for (auto [name, owners] : kFiles) {
            Bytes head = readBytes(dir.file(name));
            head.resize(2048);
            bool mine = std::strstr(owners, spi) != nullptr;
            EXPECT_EQ(plugin.supported(const_cast<char *>(name), DWORD_PTR(head.data())), int(mine)) << spi << " " << name;
            if (!mine || std::strcmp(name, "c.jxl") == 0)
                continue;
            SpiCalls log{{-9, 0}};
            ASSERT_EQ(decode(plugin, readBytes(dir.file(name)), spiProgressLog, long(&log)).rc, 0) << spi;
            log.erase(log.begin());
            ASSERT_GE(log.size(), 3u);
            EXPECT_TRUE(log.front().first == 0 && log.back().first == log.back().second) << spi;
            for (size_t i = 1; i < log.size(); i++)
                EXPECT_TRUE(log[i].second > 0 && log[i - 1].first <= log[i].first) << spi << " " << i;
            for (int stop : {0, int(log.size()) / 2, int(log.size()) - 1}) {
                SpiCalls abortLog{{stop, 0}};
                EXPECT_EQ(decode(plugin, readBytes(dir.file(name)), spiProgressLog, long(&abortLog)).rc, SPI_ABORT)
                    << spi << " " << stop;
                EXPECT_EQ(abortLog.size(), size_t(stop) + 2) << spi;
            }
        }
    }
}

// Files that ask for more than they hold are refused before anything is
// decoded: an image larger than 65536 times its file (4); a lossy WebP frame
// without a bit for each macroblock, a HEVC stream larger than any image
// its file declares (3); an overlay, whose canvas libheif makes first (2).
TEST(SpiModernEach, RefusedBeforeDecoding)
{
    BmpTempDir dir;
    writeBytes(dir.file("src.png"), source(19, 11, 3, 8, false));
    ASSERT_TRUE(run(dir, "heif-enc -q 60 $src -o p.heic && avifenc -s 8 $src p.avif"));
    auto huge = [&](const char *name) { // every image 10000x10000
        Bytes f = readBytes(dir.file(name));
        for (auto at = f.begin(); (at = std::search(at + 1, f.end(), std::begin("ispe"), std::end("ispe") - 1)) != f.end();)
            std::copy_n("\0\0\x27\x10\0\0\x27\x10", 8, at + 8);
        return f;
    };
    auto seed = [](const char *name) { return readBytes(VEXEL_SOURCE_DIR "/fuzz/corpus/" + std::string(name)); };
    const std::tuple<const char *, Bytes, int> kRows[] = {
        {"ifavif.spi", huge("p.avif"), SPI_NO_MEMORY},
        {"ifheic.spi", huge("p.heic"), SPI_NO_MEMORY},
        {"ifwebp.spi", seed("ifwebp_fuzz/regress-lossy-huge-header.webp"), SPI_OUT_OF_ORDER},
        {"ifheic.spi", seed("ifheic_fuzz/regress-sps-20000.heic"), SPI_OUT_OF_ORDER},
        {"ifheic.spi", seed("ifheic_fuzz/regress-overlay-canvas.heic"), SPI_NOT_SUPPORT},
    };
    for (const auto &[spi, file, rc] : kRows)
        EXPECT_EQ(decode(SpiPlugin(spi), file).rc, rc) << spi;
}

} // namespace
