// iftiff.spi against libtiff: pictures written by libtiff, decoded through
// the plug-in and by libtiff's own RGBA reader.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstring>

#include "encoders.h"
#include "support/spi_plugin.h"

namespace {

struct MemIn {
    const std::vector<uint8_t> *data;
    toff_t pos;
};

tmsize_t memRead(thandle_t h, void *buf, tmsize_t len)
{
    auto *m = static_cast<MemIn *>(h);
    if (m->pos >= m->data->size())
        return 0;
    size_t n = std::min(size_t(len), size_t(m->data->size() - m->pos));
    std::memcpy(buf, m->data->data() + m->pos, n);
    m->pos += n;
    return tmsize_t(n);
}
tmsize_t memWrite(thandle_t, void *, tmsize_t) { return -1; }
toff_t memSeek(thandle_t h, toff_t off, int whence)
{
    auto *m = static_cast<MemIn *>(h);
    m->pos = (whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->data->size()) + off;
    return m->pos;
}
int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemIn *>(h)->data->size(); }
// Mapped, as TIFFOpen does for files: libtiff 4.5.0's RGBA reader fails on
// unmapped uncompressed tiles ("Invalid tile byte count").
int memMap(thandle_t h, void **base, toff_t *size)
{
    auto *m = static_cast<MemIn *>(h);
    *base = const_cast<uint8_t *>(m->data->data());
    *size = m->data->size();
    return 1;
}
void memUnmap(thandle_t, void *, toff_t) {}

// libtiff's RGBA decode, top row first, as RGB.
bool libtiffRgb(const std::vector<uint8_t> &file, std::vector<uint8_t> *rgb, int *w, int *h)
{
    MemIn in{&file, 0};
    TIFF *t = TIFFClientOpen("ref", "r", &in, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap);
    if (t == nullptr)
        return false;
    uint32_t tw = 0, th = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &tw);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &th);
    std::vector<uint32_t> raster(size_t(tw) * th);
    bool ok = TIFFReadRGBAImageOriented(t, tw, th, raster.data(), ORIENTATION_TOPLEFT, 1) != 0;
    TIFFClose(t);
    rgb->clear();
    for (uint32_t p : raster) {
        rgb->push_back(uint8_t(TIFFGetR(p)));
        rgb->push_back(uint8_t(TIFFGetG(p)));
        rgb->push_back(uint8_t(TIFFGetB(p)));
    }
    *w = int(tw);
    *h = int(th);
    return ok;
}

RawPicture picture(int w, int h, int channels, int bits, uint32_t seed, int paletteSize = 0)
{
    RawPicture p(w, h, channels, bits);
    SpiRandom r(seed);
    int maxv = (1 << bits) - 1;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < channels; c++) {
                int v = (x * 3 + y * 5 + c * 40) % (maxv + 1);
                if (r.below(3) == 0)
                    v = int(r.next() % uint32_t(maxv + 1));
                p.at(x, y, c) = uint16_t(v);
            }
        }
    }
    for (int i = 0; i < paletteSize * 3; i++)
        p.palette.push_back(uint8_t(r.next()));
    return p;
}

struct TiffCase {
    const char *name;
    int w, h, channels, bits, paletteSize;
    int compression, photometric;
    bool tiled, separate;
    int rowsPerStrip, orientation;
    int bitCount; // what the plug-in hands out
};

const TiffCase kCases[] = {
    {"Bilevel", 37, 21, 1, 1, 0, COMPRESSION_NONE, -1, false, false, 0, 1, 8},
    {"BilevelWhiteIsZero", 37, 21, 1, 1, 0, COMPRESSION_PACKBITS, PHOTOMETRIC_MINISWHITE, false, false, 5, 1, 8},
    {"Fax", 75, 40, 1, 1, 0, COMPRESSION_CCITTFAX4, PHOTOMETRIC_MINISWHITE, false, false, 0, 1, 8},
    {"Grey2", 33, 9, 1, 2, 0, COMPRESSION_NONE, -1, false, false, 0, 1, 8},
    {"Grey4WhiteIsZero", 33, 9, 1, 4, 0, COMPRESSION_LZW, PHOTOMETRIC_MINISWHITE, false, false, 0, 1, 8},
    {"Grey8Lzw", 64, 50, 1, 8, 0, COMPRESSION_LZW, -1, false, false, 7, 1, 8},
    {"Grey8Tiled", 50, 35, 1, 8, 0, COMPRESSION_ADOBE_DEFLATE, -1, true, false, 0, 1, 8},
    {"Grey4Tiled", 51, 35, 1, 4, 0, COMPRESSION_NONE, -1, true, false, 0, 1, 8},
    {"Grey16", 29, 17, 1, 16, 0, COMPRESSION_NONE, -1, false, false, 0, 1, 24},
    {"Palette4", 41, 13, 1, 4, 16, COMPRESSION_PACKBITS, -1, false, false, 0, 1, 8},
    {"Palette8", 41, 13, 1, 8, 256, COMPRESSION_LZW, -1, false, false, 0, 1, 8},
    {"Palette8Tiled", 41, 33, 1, 8, 256, COMPRESSION_NONE, -1, true, false, 0, 1, 8},
    {"Rgb", 45, 31, 3, 8, 0, COMPRESSION_NONE, -1, false, false, 0, 1, 24},
    {"RgbStripsOfOne", 45, 31, 3, 8, 0, COMPRESSION_LZW, -1, false, false, 1, 1, 24},
    {"RgbStripsOfThree", 45, 31, 3, 8, 0, COMPRESSION_ADOBE_DEFLATE, -1, false, false, 3, 1, 24},
    {"RgbTiled", 45, 31, 3, 8, 0, COMPRESSION_LZW, -1, true, false, 0, 1, 24},
    {"RgbPlanes", 45, 31, 3, 8, 0, COMPRESSION_NONE, -1, false, true, 0, 1, 24},
    {"RgbPlanesTiled", 45, 31, 3, 8, 0, COMPRESSION_NONE, -1, true, true, 0, 1, 24},
    {"Rgb16", 23, 19, 3, 16, 0, COMPRESSION_ADOBE_DEFLATE, -1, false, false, 0, 1, 24},
    {"RgbJpeg", 48, 32, 3, 8, 0, COMPRESSION_JPEG, -1, false, false, 16, 1, 24},
    {"RgbBottomUp", 45, 31, 3, 8, 0, COMPRESSION_NONE, -1, false, false, 4, ORIENTATION_BOTLEFT, 24},
    {"RgbBottomUpTiled", 45, 31, 3, 8, 0, COMPRESSION_NONE, -1, true, false, 0, ORIENTATION_BOTLEFT, 24},
    {"RgbMirrored", 45, 31, 3, 8, 0, COMPRESSION_NONE, -1, false, false, 0, ORIENTATION_TOPRIGHT, 24},
    {"GreyBottomUp", 30, 20, 1, 8, 0, COMPRESSION_NONE, -1, false, false, 3, ORIENTATION_BOTLEFT, 24},
    {"Cmyk", 25, 15, 4, 8, 0, COMPRESSION_NONE, PHOTOMETRIC_SEPARATED, false, false, 0, 1, 24},
    {"Tall", 3, 700, 3, 8, 0, COMPRESSION_LZW, -1, false, false, 0, 1, 24},
};

class TiffPlugin : public testing::TestWithParam<TiffCase> {
protected:
    SpiPlugin plugin{"iftiff.spi"};
    void SetUp() override { ASSERT_TRUE(plugin.loaded()); }
};

TEST_P(TiffPlugin, MatchesLibtiff)
{
    const TiffCase &c = GetParam();
    TiffOptions o;
    o.compression = c.compression;
    o.photometric = c.photometric;
    o.tiled = c.tiled;
    o.separate = c.separate;
    o.rowsPerStrip = c.rowsPerStrip;
    o.orientation = c.orientation;
    RawPicture src = picture(c.w, c.h, c.channels, c.bits, uint32_t(c.w * 7 + c.h), c.paletteSize);
    std::vector<uint8_t> file = encodeTiff(src, o);
    ASSERT_FALSE(file.empty());
    std::vector<uint8_t> want;
    int w, h;
    ASSERT_TRUE(libtiffRgb(file, &want, &w, &h));

    SpiPicture got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.fault, "");
    EXPECT_EQ(got.width, w);
    EXPECT_EQ(got.height, h);
    EXPECT_EQ(got.bitCount, c.bitCount);
    if (c.bitCount == 8 && c.paletteSize == 0) {
        EXPECT_EQ(got.table.size(), size_t(1) << c.bits);
    }
    EXPECT_EQ(spiFirstDifference(want, got.rgb(), w), "");
}

INSTANTIATE_TEST_SUITE_P(Tiff, TiffPlugin, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TiffCase> &i) { return std::string(i.param.name); });

// Alpha is dropped and the colours come as stored; libtiff's RGBA reader
// would premultiply them, so the source is the reference here.
TEST(TiffDecode, AlphaDropped)
{
    SpiPlugin plugin("iftiff.spi");
    for (int channels : {2, 4}) {
        RawPicture src = picture(19, 11, channels, 8, 5);
        TiffOptions o;
        o.alpha = true;
        std::vector<uint8_t> file = encodeTiff(src, o);
        SpiPicture got = spiDecode(plugin, file);
        ASSERT_EQ(got.rc, 0);
        EXPECT_EQ(got.bitCount, 24);
        std::vector<uint8_t> want;
        for (int y = 0; y < src.height; y++) {
            for (int x = 0; x < src.width; x++) {
                for (int c = 0; c < 3; c++)
                    want.push_back(uint8_t(src.at(x, y, channels == 2 ? 0 : c)));
            }
        }
        EXPECT_EQ(spiFirstDifference(want, got.rgb(), src.width), "") << channels;
    }
}

TEST(TiffDecode, ResolutionInPelsPerMeter)
{
    SpiPlugin plugin("iftiff.spi");
    struct Row {
        float x, y;
        int unit;
        int32_t xppm, yppm;
    } rows[] = {{300, 150, RESUNIT_INCH, 11811, 5906}, {40, 40, RESUNIT_CENTIMETER, 4000, 4000},
                {72, 72, RESUNIT_NONE, 0, 0}};
    for (const Row &r : rows) {
        TiffOptions o;
        o.xResolution = r.x;
        o.yResolution = r.y;
        o.resolutionUnit = r.unit;
        SpiPicture got = spiDecode(plugin, encodeTiff(picture(8, 8, 3, 8, 1), o));
        ASSERT_EQ(got.rc, 0);
        EXPECT_EQ(got.xppm, r.xppm) << r.unit;
        EXPECT_EQ(got.yppm, r.yppm) << r.unit;
    }
}

TEST(TiffDecode, BigEndianFilesAndSignatures)
{
    SpiPlugin plugin("iftiff.spi");
    std::vector<uint8_t> file = encodeTiff(picture(8, 8, 3, 8, 2));
    ASSERT_EQ(file[0], 'I'); // libtiff writes the host's order
    struct Row {
        std::vector<uint8_t> head;
        int supported;
    } rows[] = {
        {{'I', 'I', 42, 0}, 1}, {{'M', 'M', 0, 42}, 1}, {{'I', 'I', 43, 0}, 1}, {{'M', 'M', 0, 43}, 1},
        {{'I', 'I', 0, 42}, 0}, {{'M', 'M', 42, 0}, 0}, {{'I', 'M', 42, 0}, 0},
    };
    for (const Row &r : rows) {
        std::vector<uint8_t> head(r.head);
        head.resize(2048, 0);
        EXPECT_EQ(plugin.supported(const_cast<char *>("x"), DWORD_PTR(head.data())), r.supported);
    }
}

TEST(TiffDecode, TruncatedFiles)
{
    SpiPlugin plugin("iftiff.spi");
    for (int compression : {COMPRESSION_NONE, COMPRESSION_LZW}) {
        TiffOptions o;
        o.compression = compression;
        std::vector<uint8_t> file = encodeTiff(picture(60, 40, 3, 8, 3), o);
        // libtiff writes the directory last: cuts lose it or the strips
        for (size_t len : {size_t(3), size_t(4), size_t(8), size_t(100), file.size() / 2, file.size() - 20}) {
            std::vector<uint8_t> cut(file.begin(), file.begin() + long(len));
            int want = len < 4 ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
            EXPECT_EQ(spiDecode(plugin, cut).rc, want) << compression << " " << len;
        }
    }
}

TEST(TiffDecode, CorruptFiles)
{
    SpiPlugin plugin("iftiff.spi");
    std::vector<std::vector<uint8_t>> files;
    TiffOptions lzw;
    lzw.compression = COMPRESSION_LZW;
    files.push_back(encodeTiff(picture(40, 30, 3, 8, 4), lzw));
    files.push_back(encodeTiff(picture(40, 30, 1, 4, 5, 16)));
    TiffOptions tiled;
    tiled.tiled = true;
    files.push_back(encodeTiff(picture(40, 30, 1, 8, 6), tiled));
    SpiRandom r(23);
    for (int round = 0; round < 300; round++) {
        std::vector<uint8_t> bad(files[size_t(round) % files.size()]);
        int flips = 1 + r.below(3);
        for (int i = 0; i < flips; i++) {
            // mostly the directory at the end, where damage does the most
            size_t at = r.below(2) ? bad.size() - 1 - size_t(r.below(200)) : size_t(4 + r.below(int(bad.size()) - 4));
            bad[at] = uint8_t(r.next());
        }
        SpiPicture got = spiDecode(plugin, bad);
        EXPECT_TRUE(got.rc == 0 || got.rc == SPI_OUT_OF_ORDER || got.rc == SPI_NO_MEMORY) << round << ": " << got.rc;
        EXPECT_EQ(got.fault, "") << round;
    }
}

} // namespace
