// ifjpeg.spi against libjpeg: pictures written by libjpeg's encoder, decoded
// through the plug-in and by libjpeg itself with the same settings.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "encoders.h"
#include "support/spi_plugin.h"

namespace {

struct Err {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void errorExit(j_common_ptr c)
{
    longjmp(reinterpret_cast<Err *>(c->err)->jump, 1);
}

void silent(j_common_ptr) {}

// libjpeg's decode of the file, as RGB (or CMYK for four-channel files).
struct Reference {
    jpeg_decompress_struct cinfo = {};
    Err err;
    std::vector<uint8_t> pixels;
    int width = 0, height = 0, components = 0;
    bool adobe = false;
    ~Reference() { jpeg_destroy_decompress(&cinfo); }
};

bool decodeRun(Reference *r, const std::vector<uint8_t> &file)
{
    r->cinfo.err = jpeg_std_error(&r->err.pub);
    r->err.pub.error_exit = errorExit;
    r->err.pub.output_message = silent;
    if (setjmp(r->err.jump))
        return false;
    jpeg_create_decompress(&r->cinfo);
    jpeg_mem_src(&r->cinfo, file.data(), file.size());
    jpeg_read_header(&r->cinfo, TRUE);
    bool four = r->cinfo.num_components == 4;
    r->cinfo.out_color_space = four ? JCS_CMYK : r->cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&r->cinfo);
    r->width = int(r->cinfo.output_width);
    r->height = int(r->cinfo.output_height);
    r->components = r->cinfo.output_components;
    r->adobe = r->cinfo.saw_Adobe_marker;
    size_t row = size_t(r->width) * size_t(r->components);
    r->pixels.resize(row * size_t(r->height));
    while (r->cinfo.output_scanline < r->cinfo.output_height) {
        JSAMPROW p = r->pixels.data() + row * r->cinfo.output_scanline;
        jpeg_read_scanlines(&r->cinfo, &p, 1);
    }
    jpeg_finish_decompress(&r->cinfo);
    return true;
}

// The reference as RGB: grey repeated, CMYK from inverted (Adobe) inks.
std::vector<uint8_t> referenceRgb(const Reference &r)
{
    if (r.components == 3)
        return r.pixels;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < r.pixels.size(); i += size_t(r.components)) {
        if (r.components == 1) {
            out.insert(out.end(), 3, r.pixels[i]);
            continue;
        }
        unsigned k = r.pixels[i + 3];
        for (int c = 0; c < 3; c++)
            out.push_back(uint8_t((r.pixels[i + size_t(c)] * k + 127) / 255));
    }
    return out;
}

// Smooth areas, edges and noise.
RawPicture picture(int w, int h, int channels, uint32_t seed)
{
    RawPicture p(w, h, channels);
    SpiRandom r(seed);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < channels; c++) {
                int v = (x * 255 / (w > 1 ? w - 1 : 1) + y * (c + 1) * 7) % 256;
                if ((x / 8 + y / 8 + c) % 5 == 0)
                    v = r.below(256);
                p.at(x, y, c) = uint16_t(v);
            }
        }
    }
    return p;
}

struct JpegCase {
    const char *name;
    int w, h, channels;
    bool progressive, full, ycck;
    int quality;
};

const JpegCase kCases[] = {
    {"Rgb420", 64, 48, 3, false, false, false, 90},
    {"Rgb444", 64, 48, 3, false, true, false, 90},
    {"OddSize420", 37, 23, 3, false, false, false, 75},
    {"OnePixel", 1, 1, 3, false, false, false, 90},
    {"OneRow", 333, 1, 3, false, false, false, 90},
    {"OneColumn", 1, 77, 3, false, false, false, 90},
    {"Progressive", 101, 67, 3, true, false, false, 85},
    {"ProgressiveGrey", 45, 33, 1, true, false, false, 85},
    {"Grey", 50, 31, 1, false, false, false, 90},
    {"Cmyk", 41, 29, 4, false, false, false, 95},
    {"Ycck", 41, 29, 4, false, false, true, 95},
    {"LowQuality", 80, 60, 3, false, false, false, 5},
};

class JpegPlugin : public testing::TestWithParam<JpegCase> {
protected:
    SpiPlugin plugin{"ifjpeg.spi"};
    void SetUp() override { ASSERT_TRUE(plugin.loaded()); }
};

TEST_P(JpegPlugin, MatchesLibjpeg)
{
    const JpegCase &c = GetParam();
    JpegOptions o;
    o.progressive = c.progressive;
    o.fullChroma = c.full;
    o.ycck = c.ycck;
    o.quality = c.quality;
    std::vector<uint8_t> file = encodeJpeg(picture(c.w, c.h, c.channels, uint32_t(c.w + c.h)), o);
    ASSERT_FALSE(file.empty());
    Reference ref;
    ASSERT_TRUE(decodeRun(&ref, file));
    if (c.channels == 4) {
        EXPECT_TRUE(ref.adobe); // libjpeg marks CMYK files as Adobe's
    }

    SpiPicture got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.fault, "");
    EXPECT_EQ(got.width, c.w);
    EXPECT_EQ(got.height, c.h);
    EXPECT_EQ(got.bitCount, c.channels == 1 ? 8 : 24);
    if (c.channels == 1) {
        ASSERT_EQ(got.table.size(), 256u);
        for (int i = 0; i < 256; i++)
            EXPECT_EQ(got.table[size_t(i)].rgbGreen, i);
    }
    EXPECT_EQ(spiFirstDifference(referenceRgb(ref), got.rgb(), c.w), "");
}

INSTANTIATE_TEST_SUITE_P(Jpeg, JpegPlugin, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<JpegCase> &i) { return std::string(i.param.name); });

// Density from the JFIF header: per inch x39.37, per cm x100, aspect only
// gives nothing.
TEST(JpegDecode, DensityInPelsPerMeter)
{
    SpiPlugin plugin("ifjpeg.spi");
    struct Row {
        int unit, x, y;
        int32_t xppm, yppm;
    } rows[] = {{1, 72, 72, 2835, 2835}, {1, 300, 150, 11811, 5906}, {2, 100, 40, 10000, 4000}, {0, 2, 1, 0, 0}};
    for (const Row &r : rows) {
        JpegOptions o;
        o.densityUnit = r.unit;
        o.xDensity = r.x;
        o.yDensity = r.y;
        std::vector<uint8_t> file = encodeJpeg(picture(8, 8, 3, 1), o);
        SpiPicture got = spiDecode(plugin, file);
        ASSERT_EQ(got.rc, 0);
        EXPECT_EQ(got.xppm, r.xppm) << r.unit << " " << r.x;
        EXPECT_EQ(got.yppm, r.yppm) << r.unit << " " << r.y;
        PictureInfo pi;
        ASSERT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &pi), 0);
        EXPECT_EQ(pi.x_density, r.unit ? r.x : 0);
    }
}

// A file cut short is refused, not filled with grey.
TEST(JpegDecode, TruncatedFiles)
{
    SpiPlugin plugin("ifjpeg.spi");
    for (bool progressive : {false, true}) {
        JpegOptions o;
        o.progressive = progressive;
        std::vector<uint8_t> file = encodeJpeg(picture(120, 90, 3, 2), o);
        for (size_t len : {size_t(2), size_t(3), size_t(20), size_t(200), file.size() / 3, file.size() / 2,
                           file.size() - 100}) {
            std::vector<uint8_t> cut(file.begin(), file.begin() + long(len));
            int want = len < 3 ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
            EXPECT_EQ(spiDecode(plugin, cut).rc, want) << progressive << " " << len;
        }
    }
}

TEST(JpegDecode, CorruptFiles)
{
    SpiPlugin plugin("ifjpeg.spi");
    std::vector<uint8_t> file = encodeJpeg(picture(48, 40, 3, 3));
    JpegOptions o;
    o.progressive = true;
    std::vector<uint8_t> prog = encodeJpeg(picture(48, 40, 3, 3), o);
    SpiRandom r(17);
    for (int round = 0; round < 400; round++) {
        std::vector<uint8_t> bad(round % 2 ? prog : file);
        int flips = 1 + r.below(3);
        for (int i = 0; i < flips; i++)
            bad[size_t(3 + r.below(int(bad.size()) - 3))] = uint8_t(r.next());
        SpiPicture got = spiDecode(plugin, bad);
        EXPECT_TRUE(got.rc == 0 || got.rc == SPI_OUT_OF_ORDER || got.rc == SPI_NO_MEMORY) << round << ": " << got.rc;
        EXPECT_EQ(got.fault, "") << round;
    }
}

// Image dimensions that would make a DIB past the limit are refused before
// anything is allocated.
TEST(JpegDecode, RefusesHugeDimensions)
{
    SpiPlugin plugin("ifjpeg.spi");
    std::vector<uint8_t> file = encodeJpeg(picture(16, 16, 3, 4));
    // the SOF0 frame header: FF C0, length, precision, height, width
    size_t sof = 2;
    while (sof + 9 < file.size() && !(file[sof] == 0xFF && file[sof + 1] == 0xC0))
        sof++;
    ASSERT_LT(sof + 9, file.size());
    file[sof + 5] = 0xEA; // height 60000, under libjpeg's own limit
    file[sof + 6] = 0x60;
    file[sof + 7] = 0xEA; // width 60000
    file[sof + 8] = 0x60;
    EXPECT_EQ(spiDecode(plugin, file).rc, SPI_NO_MEMORY);
}

} // namespace
