// The native reader: BMP headers and their refusals, rows of every bit
// count, top-down and run-length files, and the BM2 and IMP paths.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>

#include "imp/imp.h"
#include "input/input.h"
#include "support/bmp_util.h"

namespace {

const char *const kHeader = "failed to read header";
const char *const kFormat = "no supporting format file";
const char *const kBroken = "broken data file";
const char *const kRead = "failed to read";

Bytes with32(Bytes f, size_t at, uint32_t v)
{
    setLE32(f, at, v);
    return f;
}

Bytes with16(Bytes f, size_t at, uint32_t v)
{
    setLE16(f, at, v);
    return f;
}

Bytes cut(const Bytes &f, size_t n)
{
    return Bytes(f.begin(), f.begin() + long(n));
}

struct Refusal {
    const char *name;
    Bytes file;
    const char *msg;
};

void expectRefusals(int type, const std::vector<Refusal> &cases)
{
    BmpTempDir dir;
    for (const auto &c : cases) {
        std::string path = dir.file("in.bmp");
        writeBytes(path, c.file);
        DibRead r = readDib(type, path);
        EXPECT_EQ(r.rc, -1) << c.name;
        EXPECT_EQ(r.err, path + ": " + c.msg + "\n") << c.name;
    }
}

// An 8-bit 3x2 picture with its full colour table.
Bytes good8()
{
    return bmpFile(3, 2, 8, grayTable(256), randomBytes(8, 1));
}

} // namespace

TEST(BitmapReader, RefusesMalformedBmpHeaders)
{
    Bytes g = good8();
    Bytes bit1 = bmpFile(8, 1, 1, grayTable(2), randomBytes(4, 2));
    Bytes bit4 = bmpFile(8, 1, 4, grayTable(16), randomBytes(4, 3));
    expectRefusals(0, {
        {"53 header bytes", cut(g, 53), kHeader},
        {"empty file", Bytes(), kHeader},
        {"magic BA", with16(g, 0, 'B' | ('A' << 8)), kFormat},
        {"magic bm", with16(g, 0, 'b' | ('m' << 8)), kFormat},
        {"magic I2", with16(g, 0, 'I' | ('2' << 8)), kFormat},
        {"16 bits", with16(g, 28, 16), kFormat},
        {"32 bits", with16(g, 28, 32), kFormat},
        {"2 bits", with16(g, 28, 2), kFormat},
        {"0 bits", with16(g, 28, 0), kFormat},
        {"compression 3", with32(g, 30, 3), kFormat},
        {"compression 4", with32(g, 30, 4), kFormat},
        {"8-bit without table", with32(g, 10, 54), kFormat},
        {"8-bit 1024 table but 16 used", with32(g, 46, 16), kFormat},
        {"8-bit 1024 table, used count wrapping to 1024", with32(g, 46, 0x40000100u), kFormat},
        {"8-bit table one entry short", with32(g, 10, 54 + 1020), kFormat},
        {"1-bit one-entry table", with32(bit1, 10, 58), kFormat},
        {"1-bit 2 used, 3 given", with32(with32(bit1, 10, 66), 46, 2), kFormat},
        {"4-bit 8-entry table", with32(bit4, 10, 54 + 32), kFormat},
        {"table cut short", cut(g, 54 + 100), kRead},
        {"table past a huge offset", with32(with32(g, 46, 0x10000000), 10, 0x40000036), kRead},
        {"bfSize 55", with32(g, 2, 55), kBroken},
        {"bfSize 61", with32(g, 2, 61), kBroken},
        {"bfSize 53", with32(g, 2, 53), kBroken},
        {"bfSize 1", with32(g, 2, 1), kBroken},
        {"bfSize negative", with32(g, 2, 0x80000000u), kBroken},
        {"negative width", with32(g, 18, uint32_t(-3)), kFormat},
        {"top-down run-length", with32(with32(g, 30, 1), 22, uint32_t(-2)), kFormat},
        {"width at the limit", with32(g, 18, 0x7FFFFFFF), kFormat},
        {"height at the limit", with32(g, 22, 0x7FFFFFFF), kFormat},
        {"lowest height", with32(g, 22, 0x80000000u), kFormat},
        {"rows too long, even with no rows", with32(with32(g, 18, 0x7FFFFFFF), 22, 0), kFormat},
    });
}

TEST(BitmapReader, AcceptsStoredLengthsThatFitThePicture)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    struct Case {
        const char *name;
        Bytes file;
        int rc;
    } cases[] = {
        {"bfSize 0", with32(good8(), 2, 0), 0},
        {"bfSize 54", with32(good8(), 2, 54), 0},
        {"bfSize 62", with32(good8(), 2, 62), 0},
        // A 1x1 24-bit picture needs 4 bytes: 4 is plausible, 3 is not.
        {"1x1 24-bit, 4 bytes", bmpFile(1, 1, 24, {}, {1, 2, 3, 0}), 0},
        {"1x1 24-bit, 3 bytes", with32(bmpFile(1, 1, 24, {}, {1, 2, 3, 0}), 2, 57), -1},
        // A picture without pixels needs nothing.
        {"0x0 24-bit, 1 byte", bmpFile(0, 0, 24, {}, {9}), 0},
        {"1x0 24-bit, 7 bytes", bmpFile(1, 0, 24, {}, Bytes(7)), 0},
    };
    for (const auto &c : cases) {
        writeBytes(path, c.file);
        DibRead r = readDib(0, path);
        EXPECT_EQ(r.rc, c.rc) << c.name << " " << r.err;
    }
}

TEST(BitmapReader, PrintsOnlyFileNotFoundWhileQuiet)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    writeBytes(path, with16(good8(), 28, 16));
    vexel_msgout = 0;
    DibRead bad = readDib(0, path);
    DibRead missing = readDib(0, dir.file("none.bmp"));
    vexel_msgout = 1;
    EXPECT_EQ(bad.rc, -1);
    EXPECT_EQ(bad.err, "");
    EXPECT_EQ(missing.rc, -1);
    EXPECT_EQ(missing.err, dir.file("none.bmp") + ": file not found\n");
}

TEST(BitmapReader, ReadsRowsOfEveryBitCount)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    struct Case {
        int bitCount, width, rowSize;
    } cases[] = {
        {1, 1, 4}, {1, 32, 4}, {1, 33, 8}, {4, 1, 4}, {4, 8, 4}, {4, 9, 8},
        {8, 1, 4}, {8, 4, 4}, {8, 5, 8}, {24, 1, 4}, {24, 4, 12}, {24, 5, 16},
    };
    for (const auto &c : cases) {
        int height = 3;
        Bytes table = c.bitCount == 24 ? Bytes() : grayTable(1 << c.bitCount);
        Bytes data = randomBytes(size_t(c.rowSize * height), uint32_t(c.width * 31 + c.bitCount));
        writeBytes(path, bmpFile(c.width, height, c.bitCount, table, data));
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << c.bitCount << "/" << c.width << " " << r.err;
        EXPECT_EQ(r.info.size(), 40 + table.size());
        EXPECT_TRUE(std::equal(table.begin(), table.end(), r.info.begin() + 40));
        EXPECT_EQ(r.field(20), data.size());
        EXPECT_EQ(r.width(), c.width);
        EXPECT_EQ(r.height(), height);
        ASSERT_GE(r.bits.size(), data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), r.bits.begin())) << c.bitCount << "/" << c.width;
    }
}

TEST(BitmapReader, CopiesInfoHeaderFields)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    Bytes f = bmpFile(2, 2, 4, grayTable(5), randomBytes(8, 4), 0, 5);
    setLE32(f, 38, 1234);
    setLE32(f, 42, 5678);
    setLE32(f, 50, 3);
    writeBytes(path, f);
    DibRead r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(std::equal(f.begin() + 14, f.begin() + 54, r.info.begin()));
    EXPECT_EQ(r.info.size(), 40u + 20u);
}

TEST(BitmapReader, KeepsTheTableOfA24BitPicture)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    Bytes table = grayTable(256);
    Bytes data = randomBytes(16, 5);
    writeBytes(path, bmpFile(2, 2, 24, table, data));
    DibRead r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(r.info.size(), 40u + 1024u);
    EXPECT_TRUE(std::equal(table.begin(), table.end(), r.info.begin() + 40));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r.bits.begin()));
}

TEST(BitmapReader, ReadsOtherMagicsAsBmpByTheType)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    Bytes data = randomBytes(16, 6);
    for (const char *magic : {"B2", "IM"}) {
        writeBytes(path, bmpFile(5, 1, 24, {}, data, 0, 0, magic));
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << magic << r.err;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), r.bits.begin())) << magic;
    }
}

TEST(BitmapReader, TurnsTopDownRowsOver)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    struct Case {
        int bitCount, width, rows;
    } cases[] = {{24, 5, 3}, {8, 3, 4}, {1, 9, 1}, {4, 3, 2}};
    for (const auto &c : cases) {
        int64_t row = bmpRowSize(c.width, c.bitCount);
        Bytes table = c.bitCount == 24 ? Bytes() : grayTable(1 << c.bitCount);
        Bytes data = randomBytes(size_t(row * c.rows), 7);
        writeBytes(path, bmpFile(c.width, -c.rows, c.bitCount, table, data));
        DibRead r = readDib(0, path);
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.height(), c.rows);
        for (int y = 0; y < c.rows; y++) {
            auto fileRow = data.begin() + (c.rows - 1 - y) * row;
            EXPECT_TRUE(std::equal(fileRow, fileRow + row, r.bits.begin() + y * row)) << c.bitCount << " row " << y;
        }
    }
}

TEST(BitmapReader, ReadsAShortFileAsFarAsItGoes)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    Bytes data = randomBytes(48, 8);
    Bytes f = bmpFile(5, 3, 24, {}, data);
    writeBytes(path, cut(f, f.size() - 20));
    DibRead r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(std::equal(data.begin(), data.end() - 20, r.bits.begin()));
    EXPECT_EQ(Bytes(r.bits.begin() + 28, r.bits.begin() + 48), Bytes(20, 0));
}

TEST(BitmapReader, TakesImageSizesUpToTheLimit)
{
    // 4 x 0x1FFFFFFF bytes is the largest 8-bit picture of width 4 whose
    // size fits; one row more does not.
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    writeBytes(path, with32(bmpFile(4, 0x1FFFFFFF, 8, grayTable(256), randomBytes(8, 9)), 2, 0));
    HLOCAL info = nullptr, bits = nullptr;
    ASSERT_EQ(readBitmap(0, path.c_str(), &info, &bits), 0);
    EXPECT_EQ(LocalSize(bits), 0x7FFFFFFCu);
    LocalFree(info);
    LocalFree(bits);

    writeBytes(path, with32(bmpFile(4, 0x20000000, 8, grayTable(256), randomBytes(8, 9)), 2, 0));
    DibRead r = readDib(0, path);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, path + ": no supporting format file\n");
}

TEST(BitmapReader, DecodesRunLengthFilesIntoPlainRows)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    // 5x2, 8-bit: a run on the first row, an absolute run on the second.
    Bytes codes = {3, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1};
    writeBytes(path, bmpFile(5, 2, 8, grayTable(256), codes, 1));
    DibRead r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.field(16), 0u);  // biCompression
    EXPECT_EQ(r.field(20), 16u); // biSizeImage
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 16), (Bytes{7, 7, 7, 0, 0, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0}));

    // 4-bit, 3x1.
    writeBytes(path, bmpFile(3, 1, 4, grayTable(16), {3, 0x12, 0, 1}, 2));
    r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 4), (Bytes{0x12, 0x10, 0, 0}));
}

TEST(BitmapReader, TakesRunLengthDataToTheFileEndWithoutASize)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    // The second run lies beyond bfSize: read only when bfSize is not given.
    Bytes f = bmpFile(6, 1, 8, grayTable(256), {3, 7}, 1);
    f.insert(f.end(), {2, 9});
    setLE32(f, 34, 0);
    writeBytes(path, f);
    DibRead r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 8), (Bytes{7, 7, 7, 0, 0, 0, 0, 0}));

    setLE32(f, 2, 0);
    writeBytes(path, f);
    r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 8), (Bytes{7, 7, 7, 9, 9, 0, 0, 0}));
}

TEST(BitmapReader, SurvivesRunLengthSizesBeyondTheFile)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bmp");
    Bytes f = bmpFile(4, 1, 8, grayTable(256), {4, 5, 0, 1}, 1);
    setLE32(f, 34, 0xFFFFFFF0u);
    writeBytes(path, f);
    DibRead r = readDib(0, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 4), (Bytes{5, 5, 5, 5}));
}

// ---------------------------------------------------------------- BM2, IMP

namespace {

// The 3x1 picture (10,20,30), (12,19,30), (200,0,5) and its stream.
const Bytes kStream3 = {0xA0, 0x0A, 0x14, 0x1E, 0x2F, 0x0C, 0x80, 0x00, 0x50};
const Bytes kRows3 = {10, 20, 30, 12, 19, 30, 200, 0, 5, 0, 0, 0};

Bytes bm2File(int32_t width, int32_t height, const Bytes &stream)
{
    Bytes f = bmpFile(width, height, 24, {}, stream, 0, 0, "B2");
    setLE32(f, 34, 0);
    return f;
}

} // namespace

TEST(BitmapReader, RefusesMalformedImpFiles)
{
    Bytes g = impFile(3, 1, "", kStream3);
    std::vector<Refusal> cases = {
        {"46 header bytes", cut(g, 46), kHeader},
        {"comment cut short", cut(impFile(3, 1, "comment", kStream3), 50), kHeader},
        {"comment beyond the file", with32(g, 6, 0x7FFFFFF0), kHeader},
        {"magic", with16(g, 0, 'I' | ('X' << 8)), kFormat},
        {"BMP magic", with16(g, 0, 'B' | ('M' << 8)), kFormat},
        {"32 bits", [&] { Bytes f = g; f[18] = 32; return f; }(), kFormat},
        {"negative width", with32(g, 10, uint32_t(-3)), kBroken},
        {"negative height", with32(g, 14, uint32_t(-1)), kBroken},
        {"too large", with32(with32(g, 10, 0x10000), 14, 0x10000), kBroken},
        {"rows too long", with32(with32(g, 10, 0x30000000), 14, 0), kBroken},
        {"stream length negative", with32(g, 2, 46), kBroken},
        {"stream longer than the file", with32(g, 2, 47 + 10), kBroken},
    };
    // A 3-pixel stream takes at least 8 bytes: 1 to 7 cannot be one.
    for (uint32_t n = 1; n <= 7; n++)
        cases.push_back({"short stream", impFile(3, 1, "", cut(kStream3, n)), kBroken});
    expectRefusals(2, cases);
}

TEST(BitmapReader, RefusesMalformedBm2Files)
{
    Bytes g = bm2File(3, 1, kStream3);
    std::vector<Refusal> cases = {
        {"8 bits", bmpFile(3, 1, 8, grayTable(256), kStream3, 0, 0, "B2"), kFormat},
        {"run-length", with32(g, 30, 1), kFormat},
        {"negative height", with32(g, 22, uint32_t(-1)), kBroken},
        {"negative width", with32(g, 18, uint32_t(-1)), kBroken},
        {"stream longer than the file", with32(g, 2, 54 + 10), kBroken},
        {"stream of 7", with32(g, 2, 61), kBroken},
    };
    expectRefusals(1, cases);
}

TEST(BitmapReader, HoldsTheCommentOfTheLastImpInput)
{
    BmpTempDir dir;
    std::string path = dir.file("in.imp");
    writeBytes(path, impFile(3, 1, "abc", kStream3));
    readDib(2, path);
    ASSERT_NE(impInfoData, nullptr);
    EXPECT_STREQ(impInfoData, "abc");

    // A picture without a comment leaves none behind.
    writeBytes(path, impFile(3, 1, "", kStream3));
    readDib(2, path);
    EXPECT_EQ(impInfoData, nullptr);
}

TEST(BitmapReader, ReadsImpFiles)
{
    BmpTempDir dir;
    std::string path = dir.file("in.imp");
    impInfoDataId = 1001;
    writeBytes(path, impFile(3, 1, "xyz", kStream3));
    DibRead r = readDib(2, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(r.info.size(), 40u);
    EXPECT_EQ(r.field(0), 40u);
    EXPECT_EQ(r.width(), 3);
    EXPECT_EQ(r.height(), 1);
    EXPECT_EQ(r.field(12), 1u | (24u << 16)); // planes, bit count
    EXPECT_EQ(r.field(16), 0u);
    EXPECT_EQ(r.field(20), 12u);   // the image size, not the stream length
    EXPECT_EQ(r.field(24), 1001u); // the comment mark
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 12), kRows3);
}

TEST(BitmapReader, ReadsTheShortestStreams)
{
    // A single pixel takes 5 bytes: flag, literal and the final byte.
    BmpTempDir dir;
    std::string path = dir.file("in.imp");
    writeBytes(path, impFile(1, 1, "", {0x80, 0x0A, 0x14, 0x1E, 0x00}));
    DibRead r = readDib(2, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 4), (Bytes{10, 20, 30, 0}));

    writeBytes(path, impFile(1, 1, "", {0x80, 0x0A, 0x14, 0x1E}));
    r = readDib(2, path);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, path + ": broken data file\n");

    std::string bm2 = dir.file("in.bm2");
    writeBytes(bm2, bm2File(1, 1, {0x80, 0x0A, 0x14, 0x1E, 0x00}));
    r = readDib(1, bm2);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 4), (Bytes{10, 20, 30, 0}));
}

TEST(BitmapReader, ReadsBm2Files)
{
    BmpTempDir dir;
    std::string path = dir.file("in.bm2");
    for (bool sized : {true, false}) {
        Bytes f = bm2File(3, 1, kStream3);
        if (!sized)
            setLE32(f, 2, 0); // the stream then runs to the end of the file
        writeBytes(path, f);
        DibRead r = readDib(1, path);
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.field(20), 12u);
        EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 12), kRows3);
    }
    // A colour table, which a BM2 file need not have, comes before the stream.
    Bytes f = bmpFile(3, 1, 24, grayTable(2), kStream3, 0, 0, "B2");
    writeBytes(path, f);
    DibRead r = readDib(1, path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.info.size(), 48u);
    EXPECT_EQ(Bytes(r.bits.begin(), r.bits.begin() + 12), kRows3);
}

TEST(BitmapReader, FailsOnAStreamThatEndsEarly)
{
    // The stream is as long as stated but stops after two pixels.
    BmpTempDir dir;
    std::string path = dir.file("in.imp");
    writeBytes(path, impFile(5, 2, "", kStream3));
    DibRead r = readDib(2, path);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, path + ": broken data file\n");
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
        if (e->d_name[0] == '.')
            continue;
        std::string path = dir + "/" + e->d_name;
        for (int type = 0; type <= 2; type++) {
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
