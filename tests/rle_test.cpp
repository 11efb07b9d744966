// Run-length decoding: the codes one by one, the edges of the picture,
// truncated data, and whole files against ImageMagick and PIL.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "input/input.h"
#include "support/bmp_util.h"

namespace {

struct Case {
    const char *name;
    int bits;
    int width;
    int outLen;
    Bytes codes;
    Bytes want;
};

Bytes decode(int bits, const Bytes &codes, int width, int outLen)
{
    Bytes out(size_t(outLen), 0);
    if (bits == 8)
        decodeRle8(codes.data(), int(codes.size()), out.data(), outLen, width);
    else
        decodeRle4(codes.data(), int(codes.size()), out.data(), outLen, width);
    return out;
}

} // namespace

TEST(RunLength, DecodesEachCode)
{
    const Case cases[] = {
        // 8 bits
        {"run, end", 8, 4, 4, {3, 5, 0, 1, 2, 6}, {5, 5, 5, 0}},
        {"absolute, padded", 8, 4, 4, {0, 3, 0xA, 0xB, 0xC, 0, 1, 7}, {0xA, 0xB, 0xC, 7}},
        {"absolute, even", 8, 4, 4, {0, 4, 1, 2, 3, 4}, {1, 2, 3, 4}},
        {"delta", 8, 6, 16, {0, 2, 2, 1, 1, 9}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0}},
        {"end of line on a full row", 8, 6, 16, {6, 1, 0, 0, 2, 2},
         {1, 1, 1, 1, 1, 1, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0}},
        {"end of line on an odd width", 8, 5, 16, {2, 3, 0, 0, 1, 4},
         {3, 3, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}},
        {"end of line on the last row", 8, 1, 4, {1, 1, 0, 0, 1, 2}, {1, 0, 0, 0}},
        {"rows that do not fill the output", 8, 4, 6, {4, 1, 0, 0, 2, 2}, {1, 1, 1, 1, 0, 0}},
        {"no end code", 8, 4, 4, {2, 5}, {5, 5, 0, 0}},
        {"zero width", 8, 0, 4, {2, 5}, {0, 0, 0, 0}},
        // 4 bits
        {"4: run", 4, 4, 4, {4, 0xAB}, {0xAB, 0xAB, 0, 0}},
        {"4: odd run, end", 4, 5, 4, {5, 0xAB, 0, 1}, {0xAB, 0xAB, 0xA0, 0}},
        {"4: odd absolute, padded", 4, 5, 4, {0, 5, 0x12, 0x34, 0x50, 0}, {0x12, 0x34, 0x50, 0}},
        {"4: absolute without pad", 4, 8, 4, {0, 3, 0x12, 0x30, 1, 0xF0}, {0x12, 0x3F, 0, 0}},
        {"4: absolute of 7", 4, 8, 4, {0, 7, 0x12, 0x34, 0x56, 0x70, 1, 0x80}, {0x12, 0x34, 0x56, 0x78}},
        {"4: end of line after an odd run", 4, 3, 8, {3, 0x12, 0, 0, 2, 0x34},
         {0x12, 0x10, 0, 0, 0x34, 0, 0, 0}},
        {"4: delta", 4, 5, 8, {0, 2, 3, 1, 2, 0xCD}, {0, 0, 0, 0, 0, 0x0C, 0xD0, 0}},
        {"4: run after a delta on an odd column", 4, 4, 4, {0, 2, 1, 0, 3, 0x12, 0, 1}, {0x01, 0x21, 0, 0}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode(c.bits, c.codes, c.width, c.outLen), c.want) << c.name;
}

TEST(RunLength, NeverWritesPastThePicture)
{
    const Case cases[] = {
        {"run past the row end", 8, 3, 8, {5, 7, 0, 0, 1, 8}, {7, 7, 7, 0, 8, 0, 0, 0}},
        {"run at the row end", 8, 3, 8, {3, 7, 1, 8}, {7, 7, 7, 0, 0, 0, 0, 0}},
        {"absolute past the row end", 8, 2, 4, {0, 4, 1, 2, 3, 4}, {1, 2, 0, 0}},
        {"absolute on the last bytes", 8, 6, 8, {4, 9, 0, 4, 1, 2, 3, 4}, {9, 9, 9, 9, 1, 2, 0, 0}},
        {"delta to the right edge", 8, 4, 8, {0, 2, 7, 0, 1, 5, 0, 0, 1, 6}, {0, 0, 0, 0, 6, 0, 0, 0}},
        {"delta to the last pixel", 8, 3, 8, {0, 2, 2, 1, 1, 9}, {0, 0, 0, 0, 0, 0, 9, 0}},
        {"delta past the top", 8, 2, 8, {0, 2, 0, 2, 1, 9}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"delta of 255 rows", 8, 2, 8, {0, 2, 0, 255, 1, 9}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"4: run past the row end", 4, 3, 4, {5, 0xAB}, {0xAB, 0xA0, 0, 0}},
        {"4: absolute past the row end", 4, 3, 8, {0, 6, 0x12, 0x34, 0x56, 0, 0, 0, 1, 0x70},
         {0x12, 0x30, 0, 0, 0x70, 0, 0, 0}},
        {"4: delta past the top", 4, 8, 8, {0, 2, 0, 2, 2, 0x11}, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        // The output sits inside a larger buffer whose guard bytes must stay.
        Bytes area(size_t(c.outLen) + 16, 0xEE);
        std::fill(area.begin() + 8, area.begin() + 8 + c.outLen, 0);
        if (c.bits == 8)
            decodeRle8(c.codes.data(), int(c.codes.size()), area.data() + 8, c.outLen, c.width);
        else
            decodeRle4(c.codes.data(), int(c.codes.size()), area.data() + 8, c.outLen, c.width);
        EXPECT_EQ(Bytes(area.begin() + 8, area.begin() + 8 + c.outLen), c.want) << c.name;
        EXPECT_EQ(Bytes(area.begin(), area.begin() + 8), Bytes(8, 0xEE)) << c.name;
        EXPECT_EQ(Bytes(area.end() - 8, area.end()), Bytes(8, 0xEE)) << c.name;
    }
}

TEST(RunLength, StopsAtIncompleteCodes)
{
    const Case cases[] = {
        {"half a run", 8, 4, 4, {2, 5, 3}, {5, 5, 0, 0}},
        {"absolute cut short", 8, 4, 4, {1, 5, 0, 5, 1, 2}, {5, 0, 0, 0}},
        {"absolute without its pad", 8, 4, 4, {0, 3, 1, 2, 3}, {1, 2, 3, 0}},
        {"delta without dy", 8, 4, 4, {1, 5, 0, 2, 1}, {5, 0, 0, 0}},
        {"escape alone", 8, 4, 4, {1, 5, 0}, {5, 0, 0, 0}},
        {"4: absolute cut short", 4, 8, 4, {0, 5, 0x12, 0x34}, {0, 0, 0, 0}},
        {"4: half a run", 4, 8, 4, {2, 0x12, 4}, {0x12, 0, 0, 0}},
        {"empty", 8, 4, 4, {}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode(c.bits, c.codes, c.width, c.outLen), c.want) << c.name;
}

// ---------------------------------------------------------------- outside decoders

namespace {

const char *const kConvert = "/usr/bin/convert";
const char *const kPython = "/usr/bin/python3";

bool haveTool(const char *path)
{
    return fileExists(path);
}

// A picture of palette indices, rows bottom-up, one index a pixel, with
// runs, stretches of index 0 (for deltas and early line ends) and noise.
std::vector<int> makeIndices(int width, int height, int colours, std::mt19937 &rng)
{
    std::vector<int> px(size_t(width) * size_t(height));
    size_t i = 0;
    while (i < px.size()) {
        int kind = int(rng() % 4);
        size_t len = 1 + rng() % 12;
        if (kind == 3)
            len += rng() % (2 * size_t(width) + 1);
        int a = int(rng() % unsigned(colours)), b = int(rng() % unsigned(colours));
        for (size_t k = 0; k < len && i < px.size(); k++, i++)
            px[i] = kind == 0 ? a : kind == 1 ? ((k & 1) ? b : a) : kind == 2 ? int(rng() % unsigned(colours)) : 0;
    }
    return px;
}

// A run-length coder that uses every code: runs, absolute runs of odd and
// even lengths, deltas over index 0 (across rows too), early line ends.
Bytes encodeRle(const std::vector<int> &px, int width, int height, int bits, std::mt19937 &rng)
{
    Bytes out;
    auto at = [&](int x, int y) { return px[size_t(y) * size_t(width) + size_t(x)]; };
    int x = 0, y = 0;
    while (y < height) {
        if (x >= width) {
            out.insert(out.end(), {0, 0});
            x = 0;
            y++;
            continue;
        }
        // Zeros ahead in raster order.
        int64_t zeros = 0;
        for (int64_t p = int64_t(y) * width + x; p < int64_t(width) * height && px[size_t(p)] == 0; p++)
            zeros++;
        bool restZero = zeros >= width - x;
        if (restZero && rng() % 2 == 0) {
            out.insert(out.end(), {0, 0});
            x = 0;
            y++;
            continue;
        }
        if (zeros >= 2 && rng() % 2 == 0) {
            int64_t dy = std::min<int64_t>(255, zeros / width);
            int64_t dx = std::min<int64_t>({255, zeros - dy * width, int64_t(width) - x});
            if (dx + dy > 0 && y + dy < height) {
                out.insert(out.end(), {0, 2, uint8_t(dx), uint8_t(dy)});
                x += int(dx);
                y += int(dy);
                continue;
            }
        }
        int left = width - x;
        if (left >= 3 && rng() % 3 == 0) {
            int n = 3 + int(rng() % unsigned(std::min(left, 255) - 2));
            out.insert(out.end(), {0, uint8_t(n)});
            if (bits == 8) {
                for (int k = 0; k < n; k++)
                    out.push_back(uint8_t(at(x + k, y)));
                if (n & 1)
                    out.push_back(0);
            } else {
                int bytes = (n + 1) / 2;
                for (int k = 0; k < bytes; k++) {
                    int hi = at(x + 2 * k, y), lo = 2 * k + 1 < n ? at(x + 2 * k + 1, y) : 0;
                    out.push_back(uint8_t(hi << 4 | lo));
                }
                if (bytes & 1)
                    out.push_back(0);
            }
            x += n;
            continue;
        }
        // A run: equal pixels, or for 4 bits two alternating ones.
        int a = at(x, y), b = left > 1 ? at(x + 1, y) : 0;
        int n = 1;
        while (n < left && n < 255 && at(x + n, y) == (bits == 8 || n % 2 == 0 ? a : b))
            n++;
        out.push_back(uint8_t(n));
        out.push_back(uint8_t(bits == 8 ? a : (a << 4 | (n > 1 ? b : 0))));
        x += n;
    }
    out.insert(out.end(), {0, 1});
    return out;
}

// Gray table whose entry i maps to a distinct level for both depths.
Bytes levelTable(int bits)
{
    Bytes t;
    int n = 1 << bits;
    for (int i = 0; i < n; i++) {
        uint8_t v = uint8_t(i * (bits == 4 ? 17 : 1));
        t.insert(t.end(), {v, v, v, 0});
    }
    return t;
}

// The indices of a decoded DIB, rows bottom-up.
std::vector<int> indicesOf(const Bytes &rows, int width, int height, int bits)
{
    std::vector<int> px;
    int64_t row = bmpRowSize(width, bits);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint8_t b = rows[size_t(y * row + (bits == 8 ? x : x / 2))];
            px.push_back(bits == 8 ? b : (x & 1 ? b & 15 : b >> 4));
        }
    }
    return px;
}

// ImageMagick's reading as gray levels, turned into bottom-up indices.
bool imageMagickIndices(const std::string &path, int width, int height, int bits, std::vector<int> &px)
{
    std::string raw;
    runCommand(std::string(kConvert) + " '" + path + "' -depth 8 gray:- 2>/dev/null", &raw);
    if (raw.size() != size_t(width) * size_t(height))
        return false;
    px.assign(raw.size(), 0);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            px[size_t((height - 1 - y) * width + x)] = uint8_t(raw[size_t(y * width + x)]) / (bits == 4 ? 17 : 1);
    return true;
}

} // namespace

TEST(RunLength, AgreesWithImageMagickOnEveryCode)
{
    if (!haveTool(kConvert))
        GTEST_SKIP() << "ImageMagick not installed";
    BmpTempDir dir;
    std::mt19937 rng(20240601);
    int compared = 0;
    for (int bits : {8, 4}) {
        for (int round = 0; round < 24; round++) {
            int width = 1 + int(rng() % 41), height = 1 + int(rng() % 9);
            std::vector<int> px = makeIndices(width, height, 1 << bits, rng);
            Bytes codes = encodeRle(px, width, height, bits, rng);
            std::string path = dir.file("rle.bmp");
            writeBytes(path, bmpFile(width, height, bits, levelTable(bits), codes, bits == 8 ? 1 : 2));

            DibRead r = readDib(0, path);
            ASSERT_EQ(r.rc, 0) << r.err;
            std::vector<int> ours = indicesOf(r.bits, width, height, bits);
            EXPECT_EQ(ours, px) << bits << "-bit " << width << "x" << height;
            std::vector<int> theirs;
            ASSERT_TRUE(imageMagickIndices(path, width, height, bits, theirs));
            EXPECT_EQ(ours, theirs) << bits << "-bit " << width << "x" << height;
            compared++;
        }
    }
    EXPECT_EQ(compared, 48);
}

TEST(RunLength, ReadsWhatImageMagickWrites)
{
    if (!haveTool(kConvert))
        GTEST_SKIP() << "ImageMagick not installed";
    bool pil = haveTool(kPython) && runCommand(std::string(kPython) + " -c 'import PIL' 2>/dev/null") == 0;
    BmpTempDir dir;
    std::mt19937 rng(7);
    for (int round = 0; round < 12; round++) {
        int width = 1 + int(rng() % 70), height = 1 + int(rng() % 12);
        // A colour picture of up to 200 colours in runs, as a PPM.
        std::vector<int> idx = makeIndices(width, height, 200, rng);
        std::string ppm = "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255\n";
        for (int y = height - 1; y >= 0; y--) {
            for (int x = 0; x < width; x++) {
                int i = idx[size_t(y * width + x)];
                ppm += char(i * 37 % 256);
                ppm += char(i * 11 % 256);
                ppm += char(i);
            }
        }
        std::string src = dir.file("src.ppm"), bmp = dir.file("im.bmp");
        writeBytes(src, Bytes(ppm.begin(), ppm.end()));
        ASSERT_EQ(runCommand(std::string(kConvert) + " '" + src + "' -type Palette -compress RLE BMP3:'" + bmp + "'"), 0);
        Bytes file = readBytes(bmp);
        ASSERT_GE(file.size(), 54u);
        if (getLE32At(file, 30) != 1)
            continue; // written without compression: nothing to compare here

        DibRead r = readDib(0, bmp);
        ASSERT_EQ(r.rc, 0) << r.err;
        // Through the table to RGB, top row first, as the PPM holds it.
        std::string rgb;
        int64_t row = bmpRowSize(width, 8);
        for (int y = height - 1; y >= 0; y--) {
            for (int x = 0; x < width; x++) {
                const unsigned char *q = &r.info[40 + 4 * r.bits[size_t(y * row + x)]];
                rgb += char(q[2]);
                rgb += char(q[1]);
                rgb += char(q[0]);
            }
        }
        EXPECT_EQ(rgb, ppm.substr(ppm.find('\n') + 1)) << width << "x" << height;
        if (pil) {
            std::string theirs;
            runCommand(std::string(kPython) +
                           " -c \"import sys; from PIL import Image; "
                           "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGB').tobytes())\" '" +
                           bmp + "'",
                       &theirs);
            EXPECT_EQ(rgb, theirs) << "PIL, " << width << "x" << height;
        }
    }
}
