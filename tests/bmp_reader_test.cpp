// The native reader: each refusal, rows of every bit count, coded pixels
// (run-length, BM2, IMP) with the IMP comment, and the fuzzer's inputs.
#include <gtest/gtest.h>

#include <filesystem>

#include "imp/imp.h"
#include "support/bmp_util.h"

TEST(BitmapReader, RefusesOrTakesEachHeader)
{
    const char *header = "failed to read header", *format = "no supporting format file", *broken = "broken data file";
    Bytes g = bmpFile(3, 2, 8, Bytes(1024), randomBytes(8, 1)), rgb1 = bmpFile(1, 1, 24, {}, {1, 2, 3, 0});
    Bytes imp = impFile(3, 1, "", kImpStream3), bm2 = with(bmpFile(3, 1, 24, {}, kImpStream3, 0, 0, "B2"), 34, 0);
    struct Case { std::string name; int type; Bytes file; const char *msg; }; // msg null: read without a word
    std::vector<Case> cases = {
        {"53 header bytes", 0, part(g, 0, 53), header},
        {"magic bM", 0, bmpFile(3, 2, 8, Bytes(1024), Bytes(8), 0, 0, "bM"), format},
        {"info header of 41 bytes", 0, with(g, 14, 41), format},
        {"core header cut short", 0, part(reheader(g, 12), 0, 25), header},
        {"version 5 header cut short", 0, part(reheader(g, 124), 0, 137), header},
        {"masks behind the header cut short", 0, part(bmpFile(1, 1, 16, {}, Bytes(4), 3), 0, 65), header},
        {"8 bits under masks", 0, with(g, 30, 3), format},
        {"16 bits, run-length", 0, bmpFile(3, 2, 16, {}, Bytes(16), 1), format},
        {"OS/2 version 2, compression 3", 0, with(reheader(bmpFile(3, 2, 16, {}, Bytes(16)), 64), 30, 3), format},
        {"12 bits", 0, bmpFile(3, 2, 12, {}, Bytes(16)), format},
        {"OS/2 core header, 255 entries", 0, with(reheader(g, 12), 10, 14 + 12 + 765), format},
        {"8-bit table one entry short", 0, with(g, 10, 54 + 1020), format},
        {"8-bit, 1024 table bytes, 16 used", 0, with(g, 46, 16), format},
        {"8-bit, used count x 4 wrapping to 1024", 0, with(g, 46, 0x40000100u), format},
        {"table cut short", 0, part(g, 0, 54 + 100), "failed to read"},
        {"1 GB table in a small file", 0, with(with(g, 46, 0x10000000), 10, 0x40000036), "failed to read"},
        {"bfSize 53", 0, with(g, 2, 53), broken},
        {"bfSize 54", 0, with(g, 2, 54), nullptr},
        {"bfSize 0", 0, with(g, 2, 0), nullptr},
        // 1 to 7 stored bytes are plausible only for pictures that need no more.
        {"bfSize 55", 0, with(g, 2, 55), broken},
        {"bfSize 61", 0, with(g, 2, 61), broken},
        {"1x1 24-bit in 4 bytes", 0, rgb1, nullptr},
        {"1x1 24-bit in 3 bytes", 0, with(rgb1, 2, 57), broken},
        {"negative width", 0, with(g, 18, uint32_t(-3)), format},
        {"top-down run-length", 0, with(with(g, 30, 1), 22, uint32_t(-2)), format},
        {"lowest height", 0, with(g, 22, 0x80000000u), format},
        {"rows too long, even with no rows", 0, with(with(g, 18, 0x7FFFFFFF), 22, 0), format},
        // 4 x 0x1FFFFFFF bytes is the largest 8-bit picture 4 wide.
        {"largest image", 0, with(bmpFile(4, 0x1FFFFFFF, 8, Bytes(1024), Bytes(8)), 2, 0), nullptr},
        {"one row more", 0, with(bmpFile(4, 0x20000000, 8, Bytes(1024), {}), 2, 0), format},
        // BM2 holds 24-bit colour only, and its stream needs 8 bytes for 3 pixels.
        {"BM2 of 8 bits", 1, bmpFile(3, 1, 8, Bytes(1024), kImpStream3, 0, 0, "B2"), format},
        {"BM2 top-down", 1, with(bm2, 22, uint32_t(-1)), broken},
        {"BM2 stream beyond the file", 1, with(bm2, 2, 54 + 10), broken},
        {"BM2 stream of 7", 1, with(bm2, 2, 54 + 7), broken},
        {"IMP of 46 header bytes", 2, part(imp, 0, 46), header},
        {"IMP comment beyond the file", 2, with(imp, 6, 0x7FFFFFF0), header},
        {"BMP read as IMP", 2, g, format},
    };
    for (size_t n = 1; n <= 7; n++)
        cases.push_back({"IMP stream of " + std::to_string(n), 2, impFile(3, 1, "", part(kImpStream3, 0, n)), broken});
    BmpTempDir dir;
    for (const auto &c : cases) {
        writeBytes(dir.file("in"), c.file);
        DibRead r = readDib(c.type, dir.file("in"));
        EXPECT_EQ(r.rc, c.msg ? -1 : 0) << c.name;
        EXPECT_EQ(r.err, c.msg ? dir.file("in") + ": " + c.msg + "\n" : "") << c.name;
    }
}

TEST(BitmapReader, ReadsRowsOfEveryStoredForm)
{
    // Beyond bfSize, a second run that counts only when bfSize is 0.
    Bytes tail = with(with(bmpFile(6, 1, 8, Bytes(1024), {3, 7, 2, 9}, 1), 34, 0), 2, 54 + 1024 + 2);
    Bytes d = randomBytes(32, 1), t = randomBytes(1024, 2);
    Bytes bm2 = with(bmpFile(3, 1, 24, {}, kImpStream3, 0, 0, "B2"), 34, 0);
    Bytes rows3 = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0}, rows3Turned = {7, 8, 9, 0, 4, 5, 6, 0, 1, 2, 3, 0};
    Bytes pal4 = bmpFile(9, 2, 4, part(t, 0, 20), part(d, 0, 16), 0, 5), pal8 = bmpFile(3, -3, 8, t, rows3);
    // 16 and 32 bits under masks: (r, g, b) of 5 bits by default, 5-6-5 and
    // 10-10-10 by masks; each scaled to 8 bits by rounding (3 of 31 is 25).
    Bytes px555 = {0xFF, 0x7F, 0x23, 0x00}, px565 = {0xFF, 0xFF, 0x20, 0x00};
    Bytes m565 = {0, 0xF8, 0, 0, 0xE0, 7, 0, 0, 0x1F, 0, 0, 0};
    Bytes m101010 = {0, 0, 0xF0, 0x3F, 0, 0xFC, 0x0F, 0, 0xFF, 3, 0, 0, 0, 0, 0, 0xC0};
    Bytes mV5 = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF};
    Bytes grey2 = {0, 0, 0, 0, 9, 9, 9, 0};
    struct Case { const char *name; int type; Bytes file, want, table; } cases[] = {
        // Stored rows padded to 4 bytes; a negative height stores the top row first.
        {"1-bit, 33 wide", 0, bmpFile(33, 2, 1, part(t, 0, 8), part(d, 0, 16)), part(d, 0, 16), part(t, 0, 8)},
        {"4-bit, 9 wide, 5 colours", 0, pal4, part(d, 0, 16), part(t, 0, 20)},
        {"24-bit, 5 wide", 0, bmpFile(5, 2, 24, {}, d), d, {}},
        {"24-bit with a table", 0, bmpFile(1, 1, 24, part(t, 0, 12), {1, 2, 3, 0}), {1, 2, 3, 0}, part(t, 0, 12)},
        {"8-bit top-down", 0, pal8, rows3Turned, t},
        {"24-bit top-down", 0, bmpFile(1, -3, 24, {}, rows3), rows3Turned, {}},
        // Every info header size: the table right behind it, 3-byte entries in OS/2's.
        {"OS/2 core header", 0, reheader(bmpFile(2, 1, 1, grey2, {0x40, 0, 0, 0}), 12), {0x40, 0, 0, 0}, grey2},
        {"OS/2 version 2 header", 0, reheader(pal4, 64), part(d, 0, 16), part(t, 0, 20)},
        {"52-byte header", 0, reheader(pal4, 52), part(d, 0, 16), part(t, 0, 20)},
        {"version 4 header", 0, reheader(pal8, 108), rows3Turned, t},
        {"version 5 header", 0, reheader(pal8, 124), rows3Turned, t},
        {"16 bits, default masks", 0, bmpFile(2, 1, 16, {}, px555), {255, 255, 255, 25, 8, 0, 0, 0}, {}},
        {"16 bits, masks behind the header", 0, reheader(bmpFile(2, 1, 16, {}, px565, 3), 40, m565),
         {255, 255, 255, 0, 4, 0, 0, 0}, {}},
        {"32 bits, masks with alpha behind the header", 0,
         reheader(bmpFile(1, 1, 32, {}, {0, 0, 0xF8, 0x3F}, 6), 40, m101010), {0, 128, 255, 0}, {}},
        {"32 bits, masks in a version 5 header, top-down", 0,
         reheader(bmpFile(1, -2, 32, {}, {1, 2, 3, 0x80, 4, 5, 6, 0}, 3), 124, mV5), {4, 5, 6, 0, 1, 2, 3, 0}, {}},
        {"32 bits, no masks, a table to skip", 0, bmpFile(1, 1, 32, part(t, 0, 8), {1, 2, 3, 99}, 0, 2),
         {1, 2, 3, 0}, {}},
        {"run-length, no biSizeImage, to bfSize", 0, tail, {7, 7, 7, 0, 0, 0, 0, 0}, Bytes(1024)},
        {"run-length, no biSizeImage, no bfSize", 0, with(tail, 2, 0), {7, 7, 7, 9, 9, 0, 0, 0}, Bytes(1024)},
        {"run-length, biSizeImage past the end", 0, with(bmpFile(4, 1, 8, t, {4, 5, 0, 1}, 1), 34, ~0u),
         {5, 5, 5, 5}, t},
        {"IMP", 2, impFile(3, 1, "xyz", kImpStream3), kImpRows3, {}},
        // The shortest streams start with a difference code, added to black.
        {"IMP of one pixel, shortest stream", 2, impFile(1, 1, "", {0x00, 0x12, 0x30}), {1, 2, 3, 0}, {}},
        {"IMP of 3x3, shortest stream", 2, impFile(3, 3, "", Bytes(16)), Bytes(36), {}},
        {"BM2", 1, bm2, kImpRows3, {}},
        {"BM2 to the end of the file", 1, with(bm2, 2, 0), kImpRows3, {}},
        {"BM2 with a table", 1, bmpFile(3, 1, 24, part(t, 0, 8), kImpStream3, 0, 0, "B2"), kImpRows3, part(t, 0, 8)},
    };
    BmpTempDir dir;
    for (const auto &c : cases) {
        writeBytes(dir.file("in"), c.file);
        DibRead r = readDib(c.type, dir.file("in"));
        ASSERT_EQ(r.rc, 0) << c.name << " " << r.err;
        EXPECT_EQ(getLE32(&r.info[0]), 40u) << c.name;            // a plain info header
        EXPECT_GT(int32_t(getLE32(&r.info[8])), 0) << c.name;    // bottom-up
        EXPECT_EQ(getLE32(&r.info[16]), 0u) << c.name;            // plain rows
        EXPECT_EQ(getLE32(&r.info[20]), c.want.size()) << c.name; // image, not stream
        // The mark by which the IMP writer knows the comment's picture.
        uint32_t pels = c.type == 2 ? uint32_t(impInfoDataId) : getLE32(&c.file[14]) == 12 ? 0 : 2835u;
        EXPECT_EQ(getLE32(&r.info[24]), pels) << c.name;
        EXPECT_EQ(part(r.bits, 0, c.want.size()), c.want) << c.name;
        EXPECT_EQ(part(r.info, 40, r.info.size() - 40), c.table) << c.name;
        if (c.type == 2) { // the comment of the last IMP input, or none
            EXPECT_EQ(impInfoData ? impInfoData : "", std::string(&c.file[47], &c.file[getLE32(&c.file[6])])) << c.name;
        }
    }
}

TEST(BitmapReader, ReadsEveryFuzzInputSafely)
{
    // The fuzzer's seeds and every input it ever broke, as each type.
    int reads = 0;
    for (const auto &e : std::filesystem::directory_iterator(VEXEL_SOURCE_DIR "/fuzz/corpus/bmp_fuzz"))
        for (int type = 0; type <= 2; type++, reads++) {
            DibRead r = readDib(type, e.path().string());
            EXPECT_TRUE(r.rc == 0 ? r.err.empty() : r.rc == -1 && !r.err.empty()) << e.path();
        }
    EXPECT_GE(reads, 30);
}

TEST(BitmapReader, LargeRowsViewedFromTheFileReadAlikeEvenCutShort)
{
    // Rows of a megabyte and more are a view of the file rather than a
    // copy. Cut short while the picture is held, the file's lost part reads
    // as zeros, as from a file short from the start, instead of ending the
    // program.
    Bytes rows = randomBytes(3072 * 342, 5); // just over a megabyte
    Bytes file = bmpFile(1024, int32_t(rows.size() / 3072), 24, {}, rows);
    BmpTempDir dir;
    writeBytes(dir.file("big.bmp"), file);
    HLOCAL h[2] = {};
    ASSERT_EQ(readBitmap(0, dir.file("big.bmp").c_str(), &h[0], &h[1]), 0);
    auto *px = static_cast<unsigned char *>(LocalLock(h[1]));
    ASSERT_EQ(LocalSize(h[1]), rows.size());
    EXPECT_EQ(Bytes(px, px + rows.size()), rows);
    ASSERT_EQ(truncate(dir.file("big.bmp").c_str(), 54 + 10000), 0);
#ifdef VEXEL_LOCAL_MALLOC
    Bytes kept = rows; // the sanitizer builds read every picture into memory
#else
    Bytes kept = join(part(rows, 0, 10000), Bytes(rows.size() - 10000));
#endif
    EXPECT_EQ(Bytes(px, px + rows.size()), kept);
    px[rows.size() - 1] = 7; // and it stays the program's to write
    LocalFree(h[0]);
    LocalFree(h[1]);
}
