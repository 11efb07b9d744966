// The native reader: refusals, rows of every bit count, top-down and
// run-length files, BM2 and IMP, and the fuzzer's inputs.
#include <gtest/gtest.h>

#include <dirent.h>

#include <tuple>

#include "imp/imp.h"
#include "input/input.h"
#include "support/bmp_util.h"

namespace {

const char *const kHeader = "failed to read header";
const char *const kFormat = "no supporting format file";
const char *const kBroken = "broken data file";
const char *const kRead = "failed to read";

struct Outcome {
    const char *name;
    int type;
    Bytes file;
    const char *msg; // null: read without a word
};

void expectOutcomes(const std::vector<Outcome> &cases)
{
    BmpTempDir dir;
    std::string path = dir.file("in");
    for (const auto &c : cases) {
        writeBytes(path, c.file);
        DibRead r = readDib(c.type, path);
        EXPECT_EQ(r.rc, c.msg ? -1 : 0) << c.name;
        EXPECT_EQ(r.err, c.msg ? path + ": " + c.msg + "\n" : "") << c.name;
    }
}

Bytes cut(const Bytes &f, size_t n)
{
    return Bytes(f.begin(), f.begin() + long(n));
}

Bytes bm2File(int32_t width, int32_t height, const Bytes &stream)
{
    return with(bmpFile(width, height, 24, {}, stream, 0, 0, "B2"), 34, 0);
}

} // namespace

TEST(BitmapReader, RefusesOrTakesEachHeader)
{
    Bytes g = bmpFile(3, 2, 8, grayTable(256), randomBytes(8, 1));
    Bytes bit1 = bmpFile(8, 1, 1, grayTable(2), randomBytes(4, 2));
    Bytes rgb1 = bmpFile(1, 1, 24, {}, {1, 2, 3, 0});
    expectOutcomes({
        {"53 header bytes", 0, cut(g, 53), kHeader},
        {"magic BA", 0, with(g, 0, 'B' | 'A' << 8, 2), kFormat},
        {"magic bm", 0, with(g, 0, 'b' | 'm' << 8, 2), kFormat},
        {"16 bits", 0, with(g, 28, 16, 2), kFormat},
        {"2 bits", 0, with(g, 28, 2, 2), kFormat},
        {"compression 3", 0, with(g, 30, 3), kFormat},
        {"8-bit without a table", 0, with(g, 10, 54), kFormat},
        {"8-bit, 1024 table bytes, 16 used", 0, with(g, 46, 16), kFormat},
        {"8-bit, used count x 4 wrapping to 1024", 0, with(g, 46, 0x40000100u), kFormat},
        {"8-bit table one entry short", 0, with(g, 10, 54 + 1020), kFormat},
        {"1-bit one-entry table", 0, with(bit1, 10, 58), kFormat},
        {"1-bit, 2 used, 3 given", 0, with(with(bit1, 10, 66), 46, 2), kFormat},
        {"4-bit 8-entry table", 0, bmpFile(8, 1, 4, grayTable(8), randomBytes(4, 3)), kFormat},
        {"table cut short", 0, cut(g, 54 + 100), kRead},
        {"1 GB table in a small file", 0, with(with(g, 46, 0x10000000), 10, 0x40000036), kRead},
        {"bfSize 55", 0, with(g, 2, 55), kBroken},
        {"bfSize 61", 0, with(g, 2, 61), kBroken},
        {"bfSize 53", 0, with(g, 2, 53), kBroken},
        {"bfSize negative", 0, with(g, 2, 0x80000000u), kBroken},
        {"bfSize 0", 0, with(g, 2, 0), nullptr},
        {"bfSize 54", 0, with(g, 2, 54), nullptr},
        {"bfSize 62", 0, with(g, 2, 62), nullptr},
        // 1 to 7 bytes are plausible for pictures that need no more.
        {"1x1 24-bit in 4 bytes", 0, rgb1, nullptr},
        {"1x1 24-bit in 3 bytes", 0, with(rgb1, 2, 57), kBroken},
        {"1x0 24-bit, 7 bytes", 0, bmpFile(1, 0, 24, {}, Bytes(7)), nullptr},
        {"negative width", 0, with(g, 18, uint32_t(-3)), kFormat},
        {"top-down run-length", 0, with(with(g, 30, 1), 22, uint32_t(-2)), kFormat},
        {"lowest height", 0, with(g, 22, 0x80000000u), kFormat},
        {"rows too long, even with no rows", 0, with(with(g, 18, 0x7FFFFFFF), 22, 0), kFormat},
        // BM2: the stream is 24-bit colour only.
        {"BM2 of 8 bits", 1, bmpFile(3, 1, 8, grayTable(256), kImpStream3, 0, 0, "B2"), kFormat},
        {"BM2 run-length", 1, with(bm2File(3, 1, kImpStream3), 30, 1), kFormat},
        {"BM2 top-down", 1, with(bm2File(3, 1, kImpStream3), 22, uint32_t(-1)), kBroken},
        {"BM2 stream beyond the file", 1, with(bm2File(3, 1, kImpStream3), 2, 54 + 10), kBroken},
        {"BM2 stream of 7", 1, with(bm2File(3, 1, kImpStream3), 2, 61), kBroken},
    });
}

TEST(BitmapReader, RefusesMalformedImpFiles)
{
    Bytes g = impFile(3, 1, "", kImpStream3);
    std::vector<Outcome> cases = {
        {"46 header bytes", 2, cut(g, 46), kHeader},
        {"comment cut short", 2, cut(impFile(3, 1, "comment", kImpStream3), 50), kHeader},
        {"comment beyond the file", 2, with(g, 6, 0x7FFFFFF0), kHeader},
        {"magic IX", 2, with(g, 0, 'I' | 'X' << 8, 2), kFormat},
        {"32 bits", 2, [&] { Bytes f = g; f[18] = 32; return f; }(), kFormat},
        {"negative width", 2, with(g, 10, uint32_t(-3)), kBroken},
        {"negative height", 2, with(g, 14, uint32_t(-1)), kBroken},
        {"too large", 2, with(with(g, 10, 0x10000), 14, 0x10000), kBroken},
        {"rows too long", 2, with(with(g, 10, 0x30000000), 14, 0), kBroken},
        {"stream length negative", 2, with(g, 2, 46), kBroken},
        {"stream beyond the file", 2, with(g, 2, 47 + 10), kBroken},
        {"stream too short for 10 pixels", 2, impFile(5, 2, "", kImpStream3), kBroken},
    };
    // Three pixels take at least 8 bytes.
    for (size_t n = 1; n <= 7; n++)
        cases.push_back({"short stream", 2, impFile(3, 1, "", cut(kImpStream3, n)), kBroken});
    expectOutcomes(cases);
}

TEST(BitmapReader, PrintsOnlyFileNotFoundWhileQuiet)
{
    BmpTempDir dir;
    writeBytes(dir.file("in.bmp"), Bytes(10));
    vexel_msgout = 0;
    DibRead bad = readDib(0, dir.file("in.bmp"));
    DibRead missing = readDib(0, dir.file("none.bmp"));
    vexel_msgout = 1;
    EXPECT_EQ(bad.rc, -1);
    EXPECT_EQ(bad.err, "");
    EXPECT_EQ(missing.rc, -1);
    EXPECT_EQ(missing.err, dir.file("none.bmp") + ": file not found\n");
}

TEST(BitmapReader, ReadsRowsAndTablesAsStored)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    struct Case {
        int bitCount, width, rowSize, entries;
        const char *magic;
    } cases[] = {
        {1, 1, 4, 2, "BM"}, {1, 32, 4, 2, "BM"}, {1, 33, 8, 2, "BM"}, {4, 1, 4, 16, "BM"}, {4, 9, 8, 5, "BM"},
        {8, 4, 4, 256, "BM"}, {8, 5, 8, 16, "BM"}, {24, 1, 4, 0, "BM"}, {24, 4, 12, 0, "BM"},
        {24, 5, 16, 0, "BM"}, {24, 2, 8, 256, "BM"}, // a 24-bit picture may carry a table
        {24, 5, 16, 0, "B2"}, {8, 3, 4, 256, "IM"},  // the type decides, not the magic
    };
    for (const auto &c : cases) {
        Bytes table = grayTable(c.entries);
        Bytes data = randomBytes(size_t(c.rowSize * 3), uint32_t(c.width * 31 + c.bitCount));
        uint32_t used = c.entries == (1 << c.bitCount) || c.bitCount == 24 ? 0 : uint32_t(c.entries);
        Bytes f = with(bmpFile(c.width, 3, c.bitCount, table, data, 0, used, c.magic), 50, 9);
        writeBytes(path, f);
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << c.bitCount << "/" << c.width << " " << r.err;
        Bytes want(f.begin() + 14, f.end() - long(data.size()));
        EXPECT_EQ(r.info, want) << c.bitCount << "/" << c.width;
        EXPECT_EQ(r.pixels(data.size()), data) << c.bitCount << "/" << c.width;
    }
}

TEST(BitmapReader, TurnsTopDownRowsOver)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    for (auto [bitCount, width, rows] : {std::tuple{24, 5, 3}, {8, 3, 4}, {1, 9, 1}}) {
        int64_t row = bmpRow(width, bitCount);
        Bytes data = randomBytes(size_t(row * rows), 7);
        writeBytes(path, bmpFile(width, -rows, bitCount, grayTable(bitCount == 24 ? 0 : 1 << bitCount), data));
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(int32_t(r.field(8)), rows);
        for (int y = 0; y < rows; y++)
            EXPECT_TRUE(std::equal(data.begin() + (rows - 1 - y) * row, data.begin() + (rows - y) * row,
                                   r.bits.begin() + y * row))
                << bitCount << " row " << y;
    }
}

TEST(BitmapReader, TakesImageSizesUpToTheLimit)
{
    // 4 x 0x1FFFFFFF bytes is the largest 8-bit picture 4 wide that fits.
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    writeBytes(path, with(bmpFile(4, 0x1FFFFFFF, 8, grayTable(256), randomBytes(8, 9)), 2, 0));
    HLOCAL info = nullptr, bits = nullptr;
    ASSERT_EQ(readBitmap(0, path.c_str(), &info, &bits), 0);
    EXPECT_EQ(LocalSize(bits), 0x7FFFFFFCu);
    LocalFree(info);
    LocalFree(bits);
    expectOutcomes({{"one row more", 0, with(bmpFile(4, 0x20000000, 8, grayTable(256), {}), 2, 0), kFormat}});
}

TEST(BitmapReader, DecodesRunLengthFilesIntoPlainRows)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    // Beyond bfSize, a second run that counts only when bfSize is 0.
    Bytes tail = with(bmpFile(6, 1, 8, grayTable(256), {3, 7, 2, 9}, 1), 34, 0);
    tail = with(tail, 2, uint32_t(tail.size() - 2));
    struct Case {
        const char *name;
        Bytes file;
        Bytes want;
    } cases[] = {
        {"8-bit", bmpFile(5, 2, 8, grayTable(256), {3, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1}, 1),
         {7, 7, 7, 0, 0, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0}},
        {"4-bit", bmpFile(3, 1, 4, grayTable(16), {3, 0x12, 0, 1}, 2), {0x12, 0x10, 0, 0}},
        {"no biSizeImage, to bfSize", tail, {7, 7, 7, 0, 0, 0, 0, 0}},
        {"no biSizeImage, no bfSize", with(tail, 2, 0), {7, 7, 7, 9, 9, 0, 0, 0}},
        {"biSizeImage beyond the file", with(bmpFile(4, 1, 8, grayTable(256), {4, 5, 0, 1}, 1), 34, 0xFFFFFFF0u),
         {5, 5, 5, 5}},
    };
    for (const auto &c : cases) {
        writeBytes(path, c.file);
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << c.name << r.err;
        EXPECT_EQ(r.field(16), 0u) << c.name; // now plain rows
        EXPECT_EQ(r.field(20), c.want.size()) << c.name;
        EXPECT_EQ(r.pixels(c.want.size()), c.want) << c.name;
    }
}

TEST(BitmapReader, ReadsBm2AndImpStreams)
{
    BmpTempDir dir;
    std::string path = dir.file("in");
    impInfoDataId = 1001;
    Bytes one = {0x80, 0x0A, 0x14, 0x1E, 0x00}; // flag, literal, final byte
    struct Case {
        const char *name;
        int type;
        Bytes file;
        Bytes want;
    } cases[] = {
        {"IMP", 2, impFile(3, 1, "xyz", kImpStream3), kImpRows3},
        {"BM2", 1, bm2File(3, 1, kImpStream3), kImpRows3},
        {"BM2 to the end of the file", 1, with(bm2File(3, 1, kImpStream3), 2, 0), kImpRows3},
        {"BM2 with a table", 1, bmpFile(3, 1, 24, grayTable(2), kImpStream3, 0, 0, "B2"), kImpRows3},
        {"IMP of one pixel", 2, impFile(1, 1, "", one), {10, 20, 30, 0}},
        {"BM2 of one pixel", 1, bm2File(1, 1, one), {10, 20, 30, 0}},
    };
    for (const auto &c : cases) {
        writeBytes(path, c.file);
        DibRead r = readDib(c.type, path);
        ASSERT_EQ(r.rc, 0) << c.name << " " << r.err;
        EXPECT_EQ(r.field(12), 1u | 24u << 16) << c.name; // planes, bit count
        EXPECT_EQ(r.field(20), c.want.size()) << c.name;  // image, not stream
        EXPECT_EQ(r.field(24), c.type == 2 ? 1001u : 2835u) << c.name; // comment mark
        EXPECT_EQ(r.pixels(c.want.size()), c.want) << c.name;
    }
}

TEST(BitmapReader, HoldsTheCommentOfTheLastImpInput)
{
    BmpTempDir dir;
    std::string path = dir.file("in.imp");
    writeBytes(path, impFile(3, 1, "abc", kImpStream3));
    readDib(2, path);
    ASSERT_NE(impInfoData, nullptr);
    EXPECT_STREQ(impInfoData, "abc");
    // A picture without a comment leaves none behind.
    writeBytes(path, impFile(3, 1, "", kImpStream3));
    readDib(2, path);
    EXPECT_EQ(impInfoData, nullptr);
}

TEST(BitmapReader, ReadsEveryFuzzInputSafely)
{
    // The fuzzer's seeds and every input it ever broke, as each type.
    std::string dir = std::string(VEXEL_SOURCE_DIR) + "/fuzz/corpus/bmp_fuzz";
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int files = 0;
    vexel_msgout = 0;
    while (struct dirent *e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        for (int type = 0; type <= 2 && e->d_name[0] != '.'; type++) {
            HLOCAL info = nullptr, bits = nullptr;
            if (readBitmap(type, path.c_str(), &info, &bits) == 0) {
                EXPECT_GE(LocalSize(info), 40u) << path;
                LocalFree(info);
                LocalFree(bits);
            }
        }
        files++;
    }
    closedir(d);
    vexel_msgout = 1;
    EXPECT_GE(files, 10);
}
