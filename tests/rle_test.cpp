// Run-length decoding: each code, the edges of the picture, truncated data,
// and random streams of every code against ImageMagick.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "support/bmp_util.h"

TEST(RunLength, DecodesCodesWithinThePicture)
{
    struct Case { const char *name; int bits, width, outLen; Bytes codes, want; } cases[] = {
        {"part of a row left over", 8, 4, 6, {4, 1, 0, 0, 2, 2}, {1, 1, 1, 1, 0, 0}},
        {"run past the row end", 8, 3, 8, {5, 7, 0, 0, 1, 8}, {7, 7, 7, 0, 8, 0, 0, 0}},
        {"delta past the right edge", 8, 4, 8, {0, 2, 7, 0, 1, 5, 0, 0, 1, 6}, {0, 0, 0, 0, 6, 0, 0, 0}},
        {"delta past the top", 8, 2, 8, {0, 2, 0, 255, 1, 9}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"half a run", 8, 4, 4, {2, 5, 3}, {5, 5, 0, 0}},
        {"absolute cut short", 8, 4, 4, {1, 5, 0, 5, 1, 2}, {5, 0, 0, 0}},
        {"absolute without its pad", 8, 4, 4, {0, 3, 1, 2, 3}, {1, 2, 3, 0}},
        {"4: run past the row end", 4, 3, 4, {5, 0xAB}, {0xAB, 0xA0, 0, 0}},
        {"4: absolute cut short", 4, 8, 4, {0, 5, 0x12, 0x34}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        // Guard bytes on both sides must survive.
        Bytes area = join(join(Bytes(8, 0xEE), Bytes(size_t(c.outLen))), Bytes(8, 0xEE));
        (c.bits == 8 ? decodeRle8 : decodeRle4)(c.codes.data(), int(c.codes.size()), &area[8], c.outLen, c.width);
        EXPECT_EQ(area, join(join(Bytes(8, 0xEE), c.want), Bytes(8, 0xEE))) << c.name;
    }
}

// A random stream of every code that stays inside the picture: runs,
// absolute runs (pad included), deltas and early line ends.
static Bytes randomRle(int bits, int width, int height, std::mt19937 &rng)
{
    Bytes out;
    for (int x = 0, y = 0; y < height;) {
        int left = width - x, pick = int(rng() % 5);
        if (left == 0 || pick == 0) {
            out = join(out, {0, 0}), x = 0, y++;
        } else if (pick == 1) {
            int dx = int(rng() % unsigned(left + 1)), dy = int(rng() % unsigned(height - y));
            out = join(out, {0, 2, uint8_t(dx), uint8_t(dy)}), x += dx, y += dy;
        } else {
            // An absolute run (padded to whole words) from 3 pixels on, or a run.
            int n = 1 + int(rng() % unsigned(std::min(left, 255))), bytes = bits == 8 ? n : (n + 1) / 2;
            Bytes code = n >= 3 && pick == 2 ? join({0, uint8_t(n)}, randomBytes(size_t(bytes + bytes % 2), rng()))
                                             : Bytes{uint8_t(n), uint8_t(rng())};
            out = join(out, code), x += n;
        }
    }
    return join(out, {0, 1});
}

TEST(RunLength, AgreesWithImageMagick)
{
    // The reader's pixels against ImageMagick's for a dozen files in one
    // call: index i is gray level 17 x i (mod 256, so one level each).
    if (access("/usr/bin/convert", X_OK) != 0)
        GTEST_SKIP() << "no ImageMagick";
    BmpTempDir dir;
    std::mt19937 rng(20240601);
    std::string files, ours, theirs;
    Bytes table;
    for (int i = 0; i < 256; i++)
        table = join(table, {uint8_t(i * 17), uint8_t(i * 17), uint8_t(i * 17), 0});
    for (int n = 0; n < 12; n++) {
        int bits = n % 2 ? 4 : 8, width = 1 + int(rng() % 41), height = 1 + int(rng() % 9);
        int row = (width * bits + 31) / 32 * 4;
        std::string path = dir.file(std::to_string(n) + ".bmp");
        Bytes rle = randomRle(bits, width, height, rng);
        writeBytes(path, bmpFile(width, height, bits, part(table, 0, 4 << bits), rle, bits == 8 ? 1 : 2));
        files += " " + path;
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << r.err;
        for (int y = height - 1; y >= 0; y--) // top row first, the high nibble first
            for (int x = 0; x < width; x++)
                ours += char(17 * (r.bits[size_t(y * row + x * bits / 8)] >> (8 - bits - x * bits % 8) &
                                   ((1 << bits) - 1)));
    }
    FILE *p = popen(("/usr/bin/convert" + files + " -depth 8 gray:- 2>/dev/null").c_str(), "r");
    for (int c; p != nullptr && (c = std::fgetc(p)) != EOF;)
        theirs += char(c);
    ASSERT_EQ(p != nullptr ? pclose(p) : -1, 0);
    EXPECT_EQ(theirs, ours);
}
