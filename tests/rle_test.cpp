// Run-length decoding: each code, the edges of the picture, truncated data,
// and whole files against ImageMagick and PIL.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <random>

#include "input/input.h"
#include "support/bmp_util.h"

TEST(RunLength, DecodesCodesWithinThePicture)
{
    struct Case {
        const char *name;
        int bits, width, outLen;
        Bytes codes, want;
    } cases[] = {
        {"run, end", 8, 4, 4, {3, 5, 0, 1, 2, 6}, {5, 5, 5, 0}},
        {"absolute, padded", 8, 4, 4, {0, 3, 0xA, 0xB, 0xC, 0, 1, 7}, {0xA, 0xB, 0xC, 7}},
        {"delta", 8, 6, 16, {0, 2, 2, 1, 1, 9}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0}},
        {"end of line, full row", 8, 6, 16, {6, 1, 0, 0, 2, 2}, {1, 1, 1, 1, 1, 1, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0}},
        {"end of line, odd width", 8, 5, 16, {2, 3, 0, 0, 1, 4}, {3, 3, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}},
        {"end of line on the last row", 8, 1, 4, {1, 1, 0, 0, 1, 2}, {1, 0, 0, 0}},
        {"part of a row left over", 8, 4, 6, {4, 1, 0, 0, 2, 2}, {1, 1, 1, 1, 0, 0}},
        {"no end code", 8, 4, 4, {2, 5}, {5, 5, 0, 0}},
        {"zero width", 8, 0, 4, {2, 5}, {0, 0, 0, 0}},
        {"run past the row end", 8, 3, 8, {5, 7, 0, 0, 1, 8}, {7, 7, 7, 0, 8, 0, 0, 0}},
        {"run at the row end", 8, 3, 8, {3, 7, 1, 8}, {7, 7, 7, 0, 0, 0, 0, 0}},
        {"absolute past the last byte", 8, 6, 8, {4, 9, 0, 4, 1, 2, 3, 4}, {9, 9, 9, 9, 1, 2, 0, 0}},
        {"delta past the right edge", 8, 4, 8, {0, 2, 7, 0, 1, 5, 0, 0, 1, 6}, {0, 0, 0, 0, 6, 0, 0, 0}},
        {"delta to the last pixel", 8, 3, 8, {0, 2, 2, 1, 1, 9}, {0, 0, 0, 0, 0, 0, 9, 0}},
        {"delta past the top", 8, 2, 8, {0, 2, 0, 255, 1, 9}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"half a run", 8, 4, 4, {2, 5, 3}, {5, 5, 0, 0}},
        {"absolute cut short", 8, 4, 4, {1, 5, 0, 5, 1, 2}, {5, 0, 0, 0}},
        {"absolute without its pad", 8, 4, 4, {0, 3, 1, 2, 3}, {1, 2, 3, 0}},
        {"delta without dy", 8, 4, 4, {1, 5, 0, 2, 1}, {5, 0, 0, 0}},
        {"4: run", 4, 4, 4, {4, 0xAB}, {0xAB, 0xAB, 0, 0}},
        {"4: odd run, end", 4, 5, 4, {5, 0xAB, 0, 1}, {0xAB, 0xAB, 0xA0, 0}},
        {"4: odd absolute, padded", 4, 5, 4, {0, 5, 0x12, 0x34, 0x50, 0}, {0x12, 0x34, 0x50, 0}},
        {"4: absolute of 3, no pad", 4, 8, 4, {0, 3, 0x12, 0x30, 1, 0xF0}, {0x12, 0x3F, 0, 0}},
        {"4: end of line after an odd run", 4, 3, 8, {3, 0x12, 0, 0, 2, 0x34}, {0x12, 0x10, 0, 0, 0x34, 0, 0, 0}},
        {"4: delta", 4, 5, 8, {0, 2, 3, 1, 2, 0xCD}, {0, 0, 0, 0, 0, 0x0C, 0xD0, 0}},
        {"4: run from an odd column", 4, 4, 4, {0, 2, 1, 0, 3, 0x12, 0, 1}, {0x01, 0x21, 0, 0}},
        {"4: run past the row end", 4, 3, 4, {5, 0xAB}, {0xAB, 0xA0, 0, 0}},
        {"4: absolute past the row end", 4, 3, 8, {0, 6, 0x12, 0x34, 0x56, 0, 0, 0, 1, 0x70},
         {0x12, 0x30, 0, 0, 0x70, 0, 0, 0}},
        {"4: delta past the top", 4, 8, 8, {0, 2, 0, 2, 2, 0x11}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"4: absolute cut short", 4, 8, 4, {0, 5, 0x12, 0x34}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        // Guard bytes on both sides must survive.
        Bytes area(size_t(c.outLen) + 16, 0xEE);
        std::fill(area.begin() + 8, area.end() - 8, 0);
        (c.bits == 8 ? decodeRle8 : decodeRle4)(c.codes.data(), int(c.codes.size()), &area[8], c.outLen, c.width);
        EXPECT_EQ(Bytes(area.begin() + 8, area.end() - 8), c.want) << c.name;
        EXPECT_EQ(Bytes(area.begin(), area.begin() + 8), Bytes(8, 0xEE)) << c.name;
        EXPECT_EQ(Bytes(area.end() - 8, area.end()), Bytes(8, 0xEE)) << c.name;
    }
}

namespace {

const char *const kConvert = "/usr/bin/convert";

// Palette indices, rows bottom-up: runs, alternating pairs, noise and
// stretches of index 0 (for deltas and early line ends).
std::vector<int> makeIndices(int width, int height, int colours, std::mt19937 &rng)
{
    std::vector<int> px(size_t(width * height));
    for (size_t i = 0; i < px.size();) {
        int kind = int(rng() % 4), a = int(rng() % colours), b = int(rng() % colours);
        size_t len = 1 + rng() % 12 + (kind == 3 ? rng() % (2 * width + 1) : 0);
        for (size_t k = 0; k < len && i < px.size(); k++, i++)
            px[i] = kind == 0 ? a : kind == 1 ? (k & 1 ? b : a) : kind == 2 ? int(rng() % colours) : 0;
    }
    return px;
}

// A coder that uses every code: runs, absolute runs of odd and even
// lengths, deltas over index 0 (across rows too), early line ends.
Bytes encodeRle(const std::vector<int> &px, int width, int height, int bits, std::mt19937 &rng)
{
    Bytes out;
    auto at = [&](int x, int y) { return px[size_t(y * width + x)]; };
    for (int x = 0, y = 0; y < height;) {
        int64_t zeros = 0; // index 0 ahead, in raster order
        for (size_t p = size_t(y * width + x); p < px.size() && px[p] == 0; p++)
            zeros++;
        int left = width - x;
        if (x >= width || (zeros >= left && rng() % 2)) {
            out.insert(out.end(), {0, 0});
            x = 0;
            y++;
        } else if (int64_t dy = std::min<int64_t>(255, zeros / width),
                   dx = std::min<int64_t>({255, zeros - dy * width, left});
                   zeros >= 2 && rng() % 2 && dx + dy > 0 && y + dy < height) {
            out.insert(out.end(), {0, 2, uint8_t(dx), uint8_t(dy)});
            x += int(dx);
            y += int(dy);
        } else if (left >= 3 && rng() % 3 == 0) {
            int n = 3 + int(rng() % (std::min(left, 255) - 2));
            out.insert(out.end(), {0, uint8_t(n)});
            int bytes = bits == 8 ? n : (n + 1) / 2;
            for (int k = 0; k < bytes; k++)
                out.push_back(uint8_t(bits == 8 ? at(x + k, y)
                                                : at(x + 2 * k, y) << 4 | (2 * k + 1 < n ? at(x + 2 * k + 1, y) : 0)));
            if (bytes & 1)
                out.push_back(0);
            x += n;
        } else {
            // Equal pixels, or for 4 bits two alternating ones.
            int a = at(x, y), b = left > 1 ? at(x + 1, y) : 0, n = 1;
            while (n < left && n < 255 && at(x + n, y) == (bits == 8 || n % 2 == 0 ? a : b))
                n++;
            out.push_back(uint8_t(n));
            out.push_back(uint8_t(bits == 8 ? a : a << 4 | (n > 1 ? b : 0)));
            x += n;
        }
    }
    out.insert(out.end(), {0, 1});
    return out;
}

} // namespace

TEST(RunLength, AgreesWithImageMagickOnEveryCode)
{
    // Files coded here, decoded by the reader and by ImageMagick: the table
    // maps index i to gray level i (8 bits) or 17 x i (4 bits).
    if (access(kConvert, X_OK) != 0)
        GTEST_SKIP() << "no ImageMagick";
    BmpTempDir dir;
    std::string path = dir.file("rle.bmp");
    std::mt19937 rng(20240601);
    for (int bits : {8, 4}) {
        int scale = bits == 4 ? 17 : 1;
        Bytes table;
        for (int i = 0; i < 1 << bits; i++)
            table.insert(table.end(), {uint8_t(i * scale), uint8_t(i * scale), uint8_t(i * scale), 0});
        for (int round = 0; round < 8; round++) {
            int width = 1 + int(rng() % 41), height = 1 + int(rng() % 9);
            std::vector<int> px = makeIndices(width, height, 1 << bits, rng);
            writeBytes(path, bmpFile(width, height, bits, table, encodeRle(px, width, height, bits, rng),
                                     bits == 8 ? 1 : 2));
            DibRead r = readDib(0, path);
            ASSERT_EQ(r.rc, 0) << r.err;
            std::string theirs;
            runCommand(std::string(kConvert) + " '" + path + "' -depth 8 gray:- 2>/dev/null", &theirs);
            ASSERT_EQ(theirs.size(), px.size());
            int64_t row = bmpRow(width, bits);
            for (int y = 0; y < height; y++) {
                for (int x = 0; x < width; x++) {
                    uint8_t b = r.bits[size_t(y * row + (bits == 8 ? x : x / 2))];
                    int ours = bits == 8 ? b : x & 1 ? b & 15 : b >> 4;
                    ASSERT_EQ(ours, px[size_t(y * width + x)]) << bits << "-bit " << width << "x" << height;
                    ASSERT_EQ(ours * scale, uint8_t(theirs[size_t((height - 1 - y) * width + x)]))
                        << "ImageMagick, " << bits << "-bit " << width << "x" << height << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(RunLength, ReadsWhatImageMagickWrites)
{
    // ImageMagick's own run-length files of up to 200 colours, against the
    // picture they came from and against PIL's reading of them.
    if (access(kConvert, X_OK) != 0)
        GTEST_SKIP() << "no ImageMagick";
    bool pil = runCommand("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0;
    BmpTempDir dir;
    std::string src = dir.file("src.ppm"), bmp = dir.file("im.bmp");
    std::mt19937 rng(7);
    for (int round = 0; round < 6; round++) {
        int width = 1 + int(rng() % 70), height = 1 + int(rng() % 12);
        std::vector<int> idx = makeIndices(width, height, 200, rng);
        std::string rgb; // top row first
        for (int y = height - 1; y >= 0; y--)
            for (int x = 0; x < width; x++)
                for (int k : {37, 11, 1})
                    rgb += char(idx[size_t(y * width + x)] * k % 256);
        std::string ppm = "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255\n" + rgb;
        writeBytes(src, Bytes(ppm.begin(), ppm.end()));
        ASSERT_EQ(runCommand(std::string(kConvert) + " '" + src + "' -type Palette -compress RLE BMP3:'" + bmp + "'"), 0);
        if (le32(readBytes(bmp), 30) != 1)
            continue; // written plain: nothing to compare here
        DibRead r = readDib(0, bmp);
        ASSERT_EQ(r.rc, 0) << r.err;
        std::string ours;
        for (int y = height - 1; y >= 0; y--)
            for (int x = 0; x < width; x++)
                for (int k : {2, 1, 0})
                    ours += char(r.info[size_t(40 + 4 * r.bits[size_t(y * bmpRow(width, 8) + x)] + k)]);
        EXPECT_EQ(ours, rgb) << width << "x" << height;
        std::string theirs;
        if (pil && runCommand("/usr/bin/python3 -c \"import sys; from PIL import Image; sys.stdout.buffer.write("
                              "Image.open(sys.argv[1]).convert('RGB').tobytes())\" '" + bmp + "'",
                              &theirs) == 0) {
            EXPECT_EQ(ours, theirs) << "PIL, " << width << "x" << height;
        }
    }
}
