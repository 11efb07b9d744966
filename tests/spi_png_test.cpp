// ifpng.spi against libpng: pictures written by libpng, decoded through the
// plug-in and by libpng itself, expanded to 8-bit RGB.
#include <gtest/gtest.h>

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>

#include "encoders.h"
#include "support/spi_plugin.h"

namespace {

struct MemIn {
    const std::vector<uint8_t> *data;
    size_t pos;
};

void readMem(png_structp png, png_bytep buf, png_size_t len)
{
    auto *m = static_cast<MemIn *>(png_get_io_ptr(png));
    if (len > m->data->size() - m->pos)
        png_error(png, "short");
    std::memcpy(buf, m->data->data() + m->pos, len);
    m->pos += len;
}

void quietError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void quietWarning(png_structp, png_const_charp) {}

struct Reference {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<uint8_t> rgb;
    std::vector<png_bytep> rows;
    int width = 0, height = 0;
    ~Reference() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// libpng's decode with every transformation to 8-bit RGB: palette and grey
// expanded, 16-bit scaled, alpha stripped.
bool libpngRgb(Reference *r, const std::vector<uint8_t> &file)
{
    MemIn in{&file, 0};
    r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quietError, quietWarning);
    r->info = png_create_info_struct(r->png);
    if (setjmp(png_jmpbuf(r->png)))
        return false;
    png_set_read_fn(r->png, &in, readMem);
    png_read_info(r->png, r->info);
    int type = png_get_color_type(r->png, r->info);
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(r->png);
    if (!(type & PNG_COLOR_MASK_COLOR)) {
        png_set_expand_gray_1_2_4_to_8(r->png);
        png_set_gray_to_rgb(r->png);
    }
    png_set_scale_16(r->png);
    png_set_strip_alpha(r->png);
    png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    r->width = int(png_get_image_width(r->png, r->info));
    r->height = int(png_get_image_height(r->png, r->info));
    if (png_get_rowbytes(r->png, r->info) != size_t(r->width) * 3)
        return false;
    r->rgb.resize(size_t(r->width) * 3 * size_t(r->height));
    for (int y = 0; y < r->height; y++)
        r->rows.push_back(r->rgb.data() + size_t(y) * size_t(r->width) * 3);
    png_read_image(r->png, r->rows.data());
    return true;
}

RawPicture picture(int w, int h, int channels, int bits, uint32_t seed, int paletteSize = 0)
{
    RawPicture p(w, h, channels, bits);
    SpiRandom r(seed);
    uint32_t levels = paletteSize ? uint32_t(paletteSize) : uint32_t(1) << bits;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < channels; c++) {
                uint32_t v = uint32_t(x * 13 + y * 7 + c * 1000) % levels;
                if (r.below(3) == 0)
                    v = r.next() % levels;
                p.at(x, y, c) = uint16_t(v);
            }
        }
    }
    for (int i = 0; i < paletteSize * 3; i++)
        p.palette.push_back(uint8_t(r.next()));
    return p;
}

struct PngCase {
    const char *name;
    int w, h, channels, bits, paletteSize;
    bool interlace;
    int bitCount;
};

const PngCase kCases[] = {
    {"Palette1", 37, 11, 1, 1, 2, false, 8},
    {"Palette2", 37, 11, 1, 2, 3, false, 8},
    {"Palette4", 37, 11, 1, 4, 16, false, 8},
    {"Palette8", 61, 23, 1, 8, 256, false, 8},
    {"Palette8Short", 61, 23, 1, 8, 100, true, 8},
    {"Grey1", 41, 9, 1, 1, 0, false, 8},
    {"Grey2", 41, 9, 1, 2, 0, true, 8},
    {"Grey4", 41, 9, 1, 4, 0, false, 8},
    {"Grey8", 41, 9, 1, 8, 0, false, 8},
    {"Grey16", 41, 9, 1, 16, 0, false, 8},
    {"GreyAlpha8", 33, 17, 2, 8, 0, false, 8},
    {"GreyAlpha16", 33, 17, 2, 16, 0, true, 8},
    {"Rgb8", 45, 29, 3, 8, 0, false, 24},
    {"Rgb16", 45, 29, 3, 16, 0, false, 24},
    {"Rgba8", 45, 29, 4, 8, 0, false, 24},
    {"Rgba16", 45, 29, 4, 16, 0, false, 24},
    {"Rgb8Interlaced", 45, 29, 3, 8, 0, true, 24},
    {"Rgba16Interlaced", 45, 29, 4, 16, 0, true, 24},
    {"OnePixelInterlaced", 1, 1, 3, 8, 0, true, 24},
    {"ThinInterlaced", 3, 2, 1, 8, 0, true, 8},
    {"OneRow", 501, 1, 3, 8, 0, false, 24},
};

class PngPlugin : public testing::TestWithParam<PngCase> {
protected:
    SpiPlugin plugin{"ifpng.spi"};
    void SetUp() override { ASSERT_TRUE(plugin.loaded()); }
};

TEST_P(PngPlugin, MatchesLibpng)
{
    const PngCase &c = GetParam();
    PngOptions o;
    o.interlace = c.interlace;
    RawPicture src = picture(c.w, c.h, c.channels, c.bits, uint32_t(c.w * 3 + c.h), c.paletteSize);
    std::vector<uint8_t> file = encodePng(src, o);
    ASSERT_FALSE(file.empty());
    Reference ref;
    ASSERT_TRUE(libpngRgb(&ref, file));

    SpiPicture got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.fault, "");
    EXPECT_EQ(got.width, c.w);
    EXPECT_EQ(got.height, c.h);
    EXPECT_EQ(got.bitCount, c.bitCount);
    if (c.paletteSize) {
        EXPECT_EQ(got.table.size(), size_t(c.paletteSize));
    } else if (c.bitCount == 8) {
        EXPECT_EQ(got.table.size(), size_t(1) << (c.bits > 8 ? 8 : c.bits));
    }
    EXPECT_EQ(spiFirstDifference(ref.rgb, got.rgb(), c.w), "");
}

INSTANTIATE_TEST_SUITE_P(Png, PngPlugin, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<PngCase> &i) { return std::string(i.param.name); });

TEST(PngDecode, PhysInPelsPerMeter)
{
    SpiPlugin plugin("ifpng.spi");
    PngOptions o;
    o.xPelsPerMeter = 3780;
    o.yPelsPerMeter = 1890;
    SpiPicture got = spiDecode(plugin, encodePng(picture(8, 8, 3, 8, 1), o));
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.xppm, 3780);
    EXPECT_EQ(got.yppm, 1890);
    got = spiDecode(plugin, encodePng(picture(8, 8, 3, 8, 1)));
    EXPECT_EQ(got.xppm, 0);
}

// Byte offset of chunk `type` in a PNG file, or 0.
size_t findChunk(const std::vector<uint8_t> &file, const char *type)
{
    size_t at = 8;
    while (at + 8 <= file.size()) {
        uint32_t len = uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 | uint32_t(file[at + 2]) << 8 | file[at + 3];
        if (std::memcmp(&file[at + 4], type, 4) == 0)
            return at;
        at += 12 + len;
    }
    return 0;
}

// A palette shorter than the indexes in use: the table grows (black) to
// cover them, so no pixel points past it.
TEST(PngDecode, IndexesPastThePalette)
{
    SpiPlugin plugin("ifpng.spi");
    RawPicture p = picture(16, 4, 1, 4, 2, 16);
    for (int x = 0; x < 16; x++)
        p.at(x, 0) = uint16_t(x);
    std::vector<uint8_t> file = encodePng(p);
    // shrink PLTE from 16 entries to 5: rewrite its length and CRC
    size_t plte = findChunk(file, "PLTE");
    ASSERT_NE(plte, 0u);
    std::vector<uint8_t> out(file.begin(), file.begin() + long(plte));
    uint8_t chunk[4 + 4 + 15];
    chunk[0] = 0, chunk[1] = 0, chunk[2] = 0, chunk[3] = 15;
    std::memcpy(chunk + 4, &file[plte + 4], 4 + 15);
    out.insert(out.end(), chunk, chunk + sizeof chunk);
    uint32_t crc = uint32_t(crc32(0, chunk + 4, 4 + 15));
    for (int i = 3; i >= 0; i--)
        out.push_back(uint8_t(crc >> (8 * i)));
    out.insert(out.end(), file.begin() + long(plte + 12 + 48), file.end());

    SpiPicture got = spiDecode(plugin, out);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.fault, "");
    ASSERT_EQ(got.table.size(), 16u);
    EXPECT_EQ(got.table[4].rgbRed, p.palette[12]);
    EXPECT_EQ(got.table[15].rgbRed, 0);
    for (int x = 0; x < 16; x++)
        EXPECT_EQ(got.pixels[size_t(x)], x);
}

TEST(PngDecode, TruncatedFiles)
{
    SpiPlugin plugin("ifpng.spi");
    for (bool interlace : {false, true}) {
        PngOptions o;
        o.interlace = interlace;
        std::vector<uint8_t> file = encodePng(picture(80, 60, 3, 8, 3), o);
        size_t iend = findChunk(file, "IEND");
        for (size_t len : {size_t(4), size_t(8), size_t(20), size_t(33), size_t(60), file.size() / 2, iend - 5}) {
            std::vector<uint8_t> cut(file.begin(), file.begin() + long(len));
            int want = len < 8 ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
            EXPECT_EQ(spiDecode(plugin, cut).rc, want) << interlace << " " << len;
        }
    }
}

TEST(PngDecode, CorruptFiles)
{
    SpiPlugin plugin("ifpng.spi");
    std::vector<uint8_t> file = encodePng(picture(40, 30, 3, 8, 4));
    std::vector<uint8_t> pal = encodePng(picture(40, 30, 1, 4, 5, 16));
    SpiRandom r(31);
    int refused = 0;
    for (int round = 0; round < 300; round++) {
        std::vector<uint8_t> bad(round % 2 ? pal : file);
        bad[size_t(8 + r.below(int(bad.size()) - 8))] ^= uint8_t(1 + r.below(255));
        SpiPicture got = spiDecode(plugin, bad);
        EXPECT_TRUE(got.rc == 0 || got.rc == SPI_OUT_OF_ORDER) << round << ": " << got.rc;
        EXPECT_EQ(got.fault, "") << round;
        refused += got.rc == SPI_OUT_OF_ORDER;
    }
    // every byte before IEND is covered by a CRC
    EXPECT_GT(refused, 250);
}

} // namespace
