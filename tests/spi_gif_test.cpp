// ifgif.spi against giflib: pictures written by giflib's encoder, decoded
// through the plug-in and by giflib itself (DGifSlurp), placed on the
// logical screen.
#include <gtest/gtest.h>

#include <gif_lib.h>

#include <cstring>

#include "encoders.h"
#include "support/spi_plugin.h"

namespace {

struct Slurped {
    int screenW = 0, screenH = 0;
    std::vector<uint8_t> canvas; // screen of indexes
    std::vector<RGBQUAD> table;
};

int readMem(GifFileType *gif, GifByteType *buf, int len)
{
    auto *in = static_cast<std::pair<const std::vector<uint8_t> *, size_t> *>(gif->UserData);
    size_t n = std::min(size_t(len), in->first->size() - in->second);
    std::memcpy(buf, in->first->data() + in->second, n);
    in->second += n;
    return int(n);
}

// giflib's own decode of the first image, laid on the screen.
bool slurp(const std::vector<uint8_t> &file, Slurped *out)
{
    std::pair<const std::vector<uint8_t> *, size_t> in(&file, 0);
    int err;
    GifFileType *gif = DGifOpen(&in, readMem, &err);
    if (gif == nullptr)
        return false;
    bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount >= 1;
    if (ok) {
        const SavedImage &im = gif->SavedImages[0];
        const ColorMapObject *map = im.ImageDesc.ColorMap ? im.ImageDesc.ColorMap : gif->SColorMap;
        out->screenW = gif->SWidth;
        out->screenH = gif->SHeight;
        int bg = gif->SBackGroundColor < map->ColorCount ? gif->SBackGroundColor : 0;
        out->canvas.assign(size_t(out->screenW) * size_t(out->screenH), uint8_t(bg));
        for (int y = 0; y < im.ImageDesc.Height; y++) {
            for (int x = 0; x < im.ImageDesc.Width; x++) {
                int sx = im.ImageDesc.Left + x, sy = im.ImageDesc.Top + y;
                if (sx < out->screenW && sy < out->screenH)
                    out->canvas[size_t(sy) * size_t(out->screenW) + size_t(sx)] =
                        im.RasterBits[size_t(y) * size_t(im.ImageDesc.Width) + size_t(x)];
            }
        }
        for (int i = 0; i < map->ColorCount; i++)
            out->table.push_back(RGBQUAD{map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red, 0});
    }
    DGifCloseFile(gif, &err);
    return ok;
}

RawPicture randomIndexed(int w, int h, int colors, uint32_t seed)
{
    RawPicture p(w, h, 1);
    SpiRandom r(seed);
    for (int i = 0; i < colors; i++) {
        p.palette.push_back(uint8_t(r.next()));
        p.palette.push_back(uint8_t(r.next()));
        p.palette.push_back(uint8_t(r.next()));
    }
    // runs and noise, so that the LZW tables fill up
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++)
            p.at(x, y) = uint16_t(r.below(4) == 0 ? r.below(colors) : (x / 5 + y) % colors);
    }
    return p;
}

// A GIF whose screen header says w x h, whatever the encoder was told.
void setScreen(std::vector<uint8_t> *file, int w, int h)
{
    (*file)[6] = uint8_t(w);
    (*file)[7] = uint8_t(w >> 8);
    (*file)[8] = uint8_t(h);
    (*file)[9] = uint8_t(h >> 8);
}

struct GifCase {
    const char *name;
    int w, h, colors;
    GifOptions opt;
    int screenW, screenH; // 0: as written
};

GifOptions opts(bool interlace, bool local, int sw, int sh, int left, int top, int bg)
{
    GifOptions o;
    o.interlace = interlace;
    o.localMap = local;
    o.screenWidth = sw;
    o.screenHeight = sh;
    o.left = left;
    o.top = top;
    o.background = bg;
    return o;
}

const GifCase kCases[] = {
    {"OnePixel", 1, 1, 2, opts(false, false, 0, 0, 0, 0, 0), 0, 0},
    {"OddWidth", 37, 23, 16, opts(false, false, 0, 0, 0, 0, 0), 0, 0},
    {"FullTable", 301, 97, 256, opts(false, false, 0, 0, 0, 0, 0), 0, 0},
    {"Interlaced", 61, 45, 256, opts(true, false, 0, 0, 0, 0, 0), 0, 0},
    {"InterlacedFewRows", 5, 3, 4, opts(true, false, 0, 0, 0, 0, 0), 0, 0},
    {"LocalMap", 20, 19, 8, opts(false, true, 0, 0, 0, 0, 0), 0, 0},
    {"OnLargerScreen", 30, 20, 16, opts(false, false, 50, 40, 5, 7, 3), 0, 0},
    {"BackgroundPastTable", 8, 8, 4, opts(false, false, 12, 12, 2, 2, 200), 0, 0},
    // frames that stick out of the screen are cut at its edges
    {"ClippedRight", 40, 30, 16, opts(false, false, 70, 50, 25, 15, 1), 50, 40},
    {"ClippedInterlaced", 40, 30, 16, opts(true, false, 70, 50, 25, 15, 1), 50, 40},
    {"OffScreen", 10, 10, 4, opts(false, false, 40, 40, 30, 30, 2), 20, 20},
};

class GifPlugin : public testing::TestWithParam<GifCase> {
protected:
    SpiPlugin plugin{"ifgif.spi"};
    void SetUp() override { ASSERT_TRUE(plugin.loaded()); }
};

TEST_P(GifPlugin, MatchesGiflib)
{
    const GifCase &c = GetParam();
    RawPicture src = randomIndexed(c.w, c.h, c.colors, uint32_t(c.w * 31 + c.h));
    std::vector<uint8_t> file = encodeGif(src, c.opt);
    ASSERT_FALSE(file.empty());
    if (c.screenW)
        setScreen(&file, c.screenW, c.screenH);
    Slurped want;
    ASSERT_TRUE(slurp(file, &want));

    SpiPicture got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.fault, "");
    EXPECT_EQ(got.bitCount, 8);
    EXPECT_EQ(got.width, want.screenW);
    EXPECT_EQ(got.height, want.screenH);
    EXPECT_TRUE(got.pixels == want.canvas);
    ASSERT_EQ(got.table.size(), want.table.size());
    EXPECT_EQ(std::memcmp(got.table.data(), want.table.data(), want.table.size() * 4), 0);
}

INSTANTIATE_TEST_SUITE_P(Gif, GifPlugin, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<GifCase> &i) { return std::string(i.param.name); });

TEST(GifDecode, OnlyTheFirstImage)
{
    SpiPlugin plugin("ifgif.spi");
    ASSERT_TRUE(plugin.loaded());
    RawPicture a = randomIndexed(16, 16, 4, 1), b = randomIndexed(16, 16, 4, 2);
    b.palette = a.palette;
    std::vector<uint8_t> fa = encodeGif(a), fb = encodeGif(b);
    // a's file without its trailer, then b's image and trailer
    size_t header = 13 + 3 * 4;
    std::vector<uint8_t> two(fa.begin(), fa.end() - 1);
    two.insert(two.end(), fb.begin() + long(header), fb.end());
    SpiPicture one = spiDecode(plugin, fa), both = spiDecode(plugin, two);
    ASSERT_EQ(both.rc, 0);
    EXPECT_TRUE(both.pixels == one.pixels);
}

TEST(GifDecode, ScreenWithoutSizeTakesTheImage)
{
    SpiPlugin plugin("ifgif.spi");
    RawPicture p = randomIndexed(9, 7, 4, 3);
    std::vector<uint8_t> file = encodeGif(p, opts(false, false, 0, 0, 0, 0, 0));
    setScreen(&file, 0, 0);
    SpiPicture got = spiDecode(plugin, file);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.width, 9);
    EXPECT_EQ(got.height, 7);
    std::vector<uint8_t> want(p.samples.begin(), p.samples.end());
    EXPECT_TRUE(got.pixels == want);
}

int recordDenominators(int, int denom, long lData)
{
    reinterpret_cast<std::vector<int> *>(lData)->push_back(denom);
    return 0;
}

// A screen with an empty image: background only, and a progress callback
// that is never told to divide by zero.
TEST(GifDecode, ImageWithoutRows)
{
    SpiPlugin plugin("ifgif.spi");
    RawPicture empty(0, 0, 1);
    empty.palette = {0, 0, 0, 9, 9, 9};
    std::vector<uint8_t> file = encodeGif(empty, opts(false, false, 4, 3, 1, 1, 1));
    ASSERT_FALSE(file.empty());
    std::vector<int> denoms;
    SpiPicture got = spiDecode(plugin, file, 1, recordDenominators, long(&denoms));
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.width, 4);
    EXPECT_EQ(got.height, 3);
    EXPECT_EQ(got.pixels, std::vector<uint8_t>(12, 1));
    ASSERT_FALSE(denoms.empty());
    for (int d : denoms)
        EXPECT_GT(d, 0);
}

TEST(GifDecode, RefusesAScreenTooLarge)
{
    SpiPlugin plugin("ifgif.spi");
    std::vector<uint8_t> file = encodeGif(randomIndexed(4, 4, 2, 4));
    setScreen(&file, 65535, 65535);
    EXPECT_EQ(spiDecode(plugin, file).rc, SPI_NO_MEMORY);
}

// Cut anywhere: 3 (2 before the signature is whole), never a crash.
TEST(GifDecode, TruncatedFiles)
{
    SpiPlugin plugin("ifgif.spi");
    std::vector<uint8_t> file = encodeGif(randomIndexed(64, 48, 256, 5), opts(true, false, 0, 0, 0, 0, 0));
    for (size_t len : {size_t(0), size_t(3), size_t(6), size_t(12), size_t(13), size_t(400), size_t(800),
                       file.size() / 2, file.size() - 40}) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + long(len));
        int want = len < 6 ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
        EXPECT_EQ(spiDecode(plugin, cut).rc, want) << len;
        EXPECT_EQ(spiDecode(plugin, cut, 0).rc, want) << len;
    }
}

// Damaged bytes decode to something or fail with 3; the sanitizers watch
// the rest.
TEST(GifDecode, CorruptFiles)
{
    SpiPlugin plugin("ifgif.spi");
    std::vector<uint8_t> file = encodeGif(randomIndexed(50, 40, 64, 6), opts(true, false, 60, 45, 3, 2, 1));
    SpiRandom r(99);
    for (int round = 0; round < 300; round++) {
        std::vector<uint8_t> bad(file);
        int flips = 1 + r.below(4);
        for (int i = 0; i < flips; i++)
            bad[size_t(6 + r.below(int(bad.size()) - 6))] = uint8_t(r.next());
        SpiPicture got = spiDecode(plugin, bad);
        EXPECT_TRUE(got.rc == 0 || got.rc == SPI_OUT_OF_ORDER || got.rc == SPI_NO_MEMORY) << round << ": " << got.rc;
        EXPECT_EQ(got.fault, "") << round;
    }
}

} // namespace
