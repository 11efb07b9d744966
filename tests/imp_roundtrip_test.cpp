// Round trips of the IMP coder on random pictures: the decoder gives back
// every pixel, the stream is the one the plain reference encoder writes,
// and the row padding never reaches the stream.
#include <gtest/gtest.h>

#include <random>

#include "imp/imp.h"
#include "support/imp_util.h"

namespace {

enum class Kind { Noise, Smooth, Flat };

std::vector<Px> picture(std::mt19937 &rng, int width, int height, Kind kind)
{
    std::vector<Px> px(size_t(width) * height);
    std::uniform_int_distribution<int> byte(0, 255), step(-9, 9), jump(0, 40);
    Px cur = {byte(rng), byte(rng), byte(rng)};
    for (Px &p : px) {
        if (kind == Kind::Noise) {
            cur = {byte(rng), byte(rng), byte(rng)};
        } else if (kind == Kind::Smooth) {
            // Mostly small steps, around the -8..+8 edge, now and then a jump.
            if (jump(rng) == 0)
                cur = {byte(rng), byte(rng), byte(rng)};
            cur = {(cur.b + step(rng)) & 255, (cur.g + step(rng) / 2) & 255,
                   (cur.r + step(rng) / 3) & 255};
        } else if (jump(rng) == 0) {
            cur.b = byte(rng);
        }
        p = cur;
    }
    return px;
}

Bytes randomPadding(const Bytes &block, int width, int height, std::mt19937 &rng)
{
    Bytes out = block;
    long stride = impStride(width);
    for (int y = 0; y < height; y++)
        for (long i = 3L * width; i < stride; i++)
            out[size_t(y * stride + i)] = uint8_t(rng());
    return out;
}

void roundTrip(std::mt19937 &rng, int width, int height, Kind kind)
{
    std::vector<Px> px = picture(rng, width, height, kind);
    Bytes clean = impBlock(width, height, px, 0);
    Bytes padded = randomPadding(clean, width, height, rng);
    SCOPED_TRACE(testing::Message() << width << 'x' << height << " kind " << int(kind));

    Bytes stream = impEncode(padded, width, height);
    ASSERT_FALSE(stream.empty());
    EXPECT_EQ(impEncode(clean, width, height), stream);

    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(impReferenceEncode(fp, clean.data(), width, height), int(stream.size()));
    EXPECT_EQ(fileBytes(fp), stream);
    fclose(fp);

    Bytes decoded;
    ASSERT_EQ(impDecode(stream, width, height, decoded), 0);
    EXPECT_EQ(decoded, clean);
    // Two bytes short, a stream always misses part of a code (the last
    // byte may carry nothing, the one before never does).
    if (width * height > 0) {
        Bytes shorter(stream.begin(), stream.end() - 2);
        EXPECT_EQ(impDecode(shorter, width, height, decoded), -1);
    }
}

} // namespace

TEST(ImpRoundTrip, SmallRandomPictures)
{
    std::mt19937 rng(20240601);
    std::uniform_int_distribution<int> side(0, 40), kind(0, 2);
    for (int i = 0; i < 400; i++)
        roundTrip(rng, side(rng), side(rng), Kind(kind(rng)));
}

TEST(ImpRoundTrip, LargerPictures)
{
    std::mt19937 rng(7);
    const int sizes[][2] = {{257, 129}, {1023, 3}, {2, 3000}, {640, 480}};
    for (const auto &s : sizes)
        for (Kind k : {Kind::Noise, Kind::Smooth, Kind::Flat})
            roundTrip(rng, s[0], s[1], k);
}

TEST(ImpRoundTrip, GroupsOneNibbleAwayFromFlatOrLiteral)
{
    // The second group follows one literal (an odd nibble position) or
    // two (an even one). It is eight equal pixels but for one channel of
    // one pixel, one off: a single nibble of its 26 is not zero. Or it is
    // eight literals but for one difference code.
    for (int literals : {1, 2}) {
        for (int at = 0; at < 8; at++) {
            for (int channel = 0; channel < 3; channel++) {
                std::vector<Px> px(20, {50, 60, 70});
                if (literals == 2)
                    px[1] = {150, 160, 170};
                for (int i = 8; i < 20; i++)
                    px[size_t(i)] = px[7];
                for (int i = 8 + at; i < 20; i++)
                    (channel == 0 ? px[size_t(i)].b : channel == 1 ? px[size_t(i)].g : px[size_t(i)].r)++;
                Bytes block = impBlock(20, 1, px);
                Bytes decoded;
                ASSERT_EQ(impDecode(impEncode(block, 20, 1), 20, 1, decoded), 0);
                EXPECT_EQ(decoded, block) << literals << " literals, pixel " << at << " channel " << channel;

                for (int i = 8; i < 16; i++)
                    px[size_t(i)] = {(i * 40) & 255, (i * 70) & 255, (i * 90) & 255};
                px[size_t(8 + at)] = px[size_t(7 + at)];
                block = impBlock(20, 1, px);
                ASSERT_EQ(impDecode(impEncode(block, 20, 1), 20, 1, decoded), 0);
                EXPECT_EQ(decoded, block) << literals << " literals, difference at " << at;
            }
        }
    }
}
