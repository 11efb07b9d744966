// The plug-ins of today's formats (WebP, HEIF, AVIF, JPEG XL) as built: files
// made in the run by the formats' own encoders decode as the formats'
// reference decoders show them, and damaged copies give a failure result or
// the same picture.
#include "encoders.h"
#include "support/spi_util.h"

namespace {

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
    SpiPic want = spiReadPng(dir.file("ref.png"), r.refBits, r.unpremultiply);
    SpiPlugin plugin(r.spi);
    SpiPic got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.fault, "");
    EXPECT_EQ(got.bits, r.grey ? 8 : 24);
    ASSERT_TRUE(got.w == want.w && got.h == want.h) << got.w << "x" << got.h << ", want " << want.w << "x" << want.h;
    EXPECT_EQ(differs(want, got), -1) << "first difference at this pixel";
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
        SpiPic b = spiDecode(plugin, bad);
        EXPECT_TRUE(b.rc == 0 ? b.fault.empty() && (round >= 10 || b == got) : b.rc >= 2 && b.rc <= 4)
            << round << ": " << b.rc;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpiModern, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

} // namespace
