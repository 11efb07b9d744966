#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "imp/imp.h"
#include "support/bytes.h"
#include "support/imp_util.h"

namespace {

Bytes hex(const char *text)
{
    Bytes b;
    for (const char *p = text; *p != '\0';) {
        if (*p == ' ') {
            p++;
            continue;
        }
        b.push_back(uint8_t(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        p += 2;
    }
    return b;
}

std::vector<Px> same(int n, Px p)
{
    return std::vector<Px>(size_t(n), p);
}

struct StreamCase {
    const char *name;
    int width, height;
    std::vector<Px> pixels; // in storage order
    const char *stream;
};

const std::vector<StreamCase> &streamCases()
{
    static const std::vector<StreamCase> cases = {
        {"three literal diff literal", 3, 1, {{10, 20, 30}, {12, 19, 30}, {200, 0, 5}},
         "A0 0A 14 1E 2F 0C 80 00 50"},
        {"two pixels, odd nibble count", 2, 1, {{10, 20, 30}, {12, 19, 30}}, "80 0A 14 1E 2F 00"},
        {"nine equal, even nibble count", 9, 1, same(9, {5, 5, 5}),
         "80 05 05 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"nine equal over three padded rows", 3, 3, same(9, {5, 5, 5}),
         "80 05 05 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"one pixel", 1, 1, {{1, 2, 3}}, "80 01 02 03 00"},
        {"difference of +8 is a literal", 2, 1, {{10, 10, 10}, {18, 10, 10}},
         "C0 0A 0A 0A 12 0A 0A 00"},
        {"difference of -8 is a literal", 2, 1, {{18, 10, 10}, {10, 10, 10}},
         "C0 12 0A 0A 0A 0A 0A 00"},
        {"difference of +7", 2, 1, {{10, 10, 10}, {17, 10, 10}}, "80 0A 0A 0A 70 00"},
        {"difference of -7", 2, 1, {{17, 10, 10}, {10, 10, 10}}, "80 11 0A 0A 90 00"},
        {"green and red differences", 2, 1, {{10, 10, 10}, {10, 3, 17}}, "80 0A 0A 0A 09 70"},
        {"exact, not modulo 256", 2, 1, {{254, 0, 0}, {1, 0, 0}}, "C0 FE 00 00 01 00 00 00"},
        {"row start codes against the row before", 2, 2,
         {{10, 10, 10}, {20, 20, 20}, {21, 19, 20}, {100, 0, 0}},
         "D0 0A 0A 0A 14 14 14 1F 06 40 00 00"},
        {"W x H multiple of 8", 8, 1, same(8, {5, 5, 5}),
         "80 05 05 05 00 00 00 00 00 00 00 00 00 00 00"},
        {"W x H multiple of 8 over rows", 4, 2, same(8, {5, 5, 5}),
         "80 05 05 05 00 00 00 00 00 00 00 00 00 00 00"},
        {"zero width", 0, 5, {}, "00"},
        {"zero height", 7, 0, {}, "00"},
    };
    return cases;
}

} // namespace

TEST(ImpStream, WorkedExamplesEncodeExactly)
{
    // One stream after the other, and the same stream for each padding:
    // every stream starts afresh.
    for (const StreamCase &c : streamCases()) {
        for (unsigned char pad : {0x00, 0xFF, 0x5A}) {
            Bytes block = impBlock(c.width, c.height, c.pixels, pad);
            int rc = -2;
            Bytes stream = impEncode(block, c.width, c.height, &rc);
            EXPECT_EQ(rc, 0) << c.name;
            EXPECT_EQ(hexBytes(stream), hexBytes(hex(c.stream))) << c.name << ", padding " << int(pad);
        }
    }
}

TEST(ImpStream, WorkedExamplesDecodeExactly)
{
    for (const StreamCase &c : streamCases()) {
        Bytes block;
        EXPECT_EQ(impDecode(hex(c.stream), c.width, c.height, block), 0) << c.name;
        // The padding stays as the reader allocated it: zero.
        EXPECT_EQ(block, impBlock(c.width, c.height, c.pixels, 0)) << c.name;
    }
}

// --- write_bits ------------------------------------------------------------

TEST(ImpWriteBits, PacksFieldsByNibbles)
{
    struct Field {
        Bytes data;
        int bits;
    };
    struct Case {
        const char *name;
        std::vector<Field> fields;
        const char *stream;
    };
    const Case cases[] = {
        {"nothing: the single final byte", {}, "00"},
        {"one flag field, then a byte of no meaning", {{{0xAB}, 8}}, "AB 00"},
        {"12 bits leave a pending nibble", {{{0xAB}, 8}, {{0xCD, 0xEF}, 12}}, "AB CD E0"},
        {"a literal straddles bytes after a pending nibble",
         {{{0xAB}, 8}, {{0xCD, 0xE0}, 12}, {{0x01, 0x02, 0x03}, 24}}, "AB CD E0 10 20 30"},
        {"two differences fill three bytes", {{{0x12, 0x30}, 12}, {{0x45, 0x60}, 12}},
         "12 34 56 00"},
        {"the low half of a difference's second byte is never taken",
         {{{0x12, 0x3F}, 12}}, "12 30"},
        {"a flag field after a pending nibble", {{{0x12, 0x30}, 12}, {{0xAB}, 8}}, "12 3A B0"},
    };
    for (const Case &c : cases) {
        FILE *fp = tmpfile();
        ASSERT_NE(fp, nullptr);
        for (const Field &f : c.fields)
            EXPECT_EQ(write_bits(fp, f.data.data(), f.bits), 0) << c.name;
        Bytes want = hex(c.stream);
        EXPECT_EQ(write_bits(fp, nullptr, 0), int(want.size())) << c.name;
        EXPECT_EQ(hexBytes(fileBytes(fp)), c.stream) << c.name;
        fclose(fp);
    }
}

TEST(ImpWriteBits, WritesWholeBlocksAndCountsThem)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    unsigned char byte = 0x77;
    for (int i = 0; i < 255; i++)
        ASSERT_EQ(write_bits(fp, &byte, 8), 0);
    EXPECT_EQ(ftell(fp), 0L); // still in the buffer
    ASSERT_EQ(write_bits(fp, &byte, 8), 0);
    EXPECT_EQ(ftell(fp), 256L); // one block
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(write_bits(fp, &byte, 8), 0);
    EXPECT_EQ(ftell(fp), 512L);
    // 556 bytes, then the final byte: zero, though the buffer held 0x77 there.
    EXPECT_EQ(write_bits(fp, nullptr, 0), 557);
    Bytes file = fileBytes(fp);
    ASSERT_EQ(file.size(), 557u);
    EXPECT_EQ(file[555], 0x77);
    EXPECT_EQ(file[556], 0x00);
    fclose(fp);
}

TEST(ImpWriteBits, ShortBlockWriteFailsAndLeavesTheWriterEmpty)
{
    FILE *full = fopen("/dev/full", "w");
    if (full == nullptr)
        GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    const unsigned char code[2] = {0x11, 0x10};
    int rc = 0;
    for (int i = 0; i < 256 && rc == 0; i++)
        rc = write_bits(full, code, 12); // the 171st code completes the first block
    EXPECT_EQ(rc, -1);
    fclose(full);

    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    unsigned char flag = 0x80;
    EXPECT_EQ(write_bits(fp, &flag, 8), 0);
    EXPECT_EQ(write_bits(fp, nullptr, 0), 2);
    EXPECT_EQ(hexBytes(fileBytes(fp)), "80 00");
    fclose(fp);
}

TEST(ImpWriteBits, ShortFinalWriteFails)
{
    FILE *full = fopen("/dev/full", "w");
    if (full == nullptr)
        GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    unsigned char flag = 0x80;
    EXPECT_EQ(write_bits(full, &flag, 8), 0);
    EXPECT_EQ(write_bits(full, nullptr, 0), -1);
    fclose(full);

    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(write_bits(fp, nullptr, 0), 1);
    fclose(fp);
}

// --- write_data and write_data2 ---------------------------------------------

TEST(ImpWriteData, PatchesMagicAndSizeOfAnImpFile)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    // 47 header bytes as the writer leaves them (size still zero), then a
    // 3-byte comment: the stream starts at 50.
    Bytes imp(47, 0);
    imp[0] = 'I';
    imp[1] = 'M';
    putLE32(&imp[6], 50);
    putLE32(&imp[10], 3);
    putLE32(&imp[14], 1);
    imp[18] = 24;
    fwrite(imp.data(), 1, imp.size(), fp);
    fwrite("abc", 1, 3, fp);

    Bytes header = impHeader("IM", 3, 1, 50);
    Bytes block = impBlock(3, 1, {{10, 20, 30}, {12, 19, 30}, {200, 0, 5}});
    ASSERT_EQ(write_data(fp, "x.imp", header.data(), block.data(), nullptr, 24), 0);
    EXPECT_EQ(getLE32(&header[2]), 59u);

    Bytes file = fileBytes(fp);
    fclose(fp);
    ASSERT_EQ(file.size(), 59u);
    putLE32(&imp[2], 59);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 47), imp);
    EXPECT_EQ(std::string(file.begin() + 47, file.begin() + 50), "abc");
    EXPECT_EQ(hexBytes(Bytes(file.begin() + 50, file.end())), "A0 0A 14 1E 2F 0C 80 00 50");
}

TEST(ImpWriteData, EmptyPictureSizes)
{
    struct Case {
        const char *magic;
        int width, height;
        int32_t offset;
        uint32_t size;
    };
    const Case cases[] = {
        {"IM", 0, 4, 47, 48}, {"IM", 4, 0, 50, 51}, {"B2", 0, 0, 0, 55}, {"B2", -3, 2, 0, 55},
    };
    for (const Case &c : cases) {
        FILE *fp = tmpfile();
        ASSERT_NE(fp, nullptr);
        Bytes header = impHeader(c.magic, c.width, c.height, c.offset);
        size_t lead = c.magic[0] == 'I' ? size_t(c.offset) : 54;
        Bytes start(lead, 0);
        fwrite(start.data(), 1, start.size(), fp);
        unsigned char none = 0;
        ASSERT_EQ(write_data(fp, "x", header.data(), &none, nullptr, 24), 0);
        Bytes file = fileBytes(fp);
        fclose(fp);
        ASSERT_EQ(file.size(), lead + 1) << c.magic << c.width << 'x' << c.height;
        EXPECT_EQ(getLE32(&file[2]), c.size);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 2), c.magic);
        EXPECT_EQ(file.back(), 0);
    }
}

TEST(ImpWriteData, PaletteRowsCodeAsTheirColours)
{
    struct Case {
        int bitCount;
        Bytes row; // one row, padded
    };
    // Colours 0..3, the index 5 lies past a 4-entry table and comes out black.
    const Case cases[] = {
        {8, {2, 0, 1, 3, 5, 0, 0, 0}},
        {4, {0x20, 0x13, 0x50, 0x00}},
    };
    const std::vector<Px> want = {{10, 20, 30}, {1, 2, 3}, {5, 5, 5}, {200, 100, 50}, {0, 0, 0}};
    Bytes expected = impEncode(impBlock(5, 1, {want[2], want[0], want[1], want[3], want[4]}), 5, 1);
    for (const Case &c : cases) {
        std::vector<unsigned char> infoBlock(sizeof(BITMAPINFOHEADER) + 4 * 4, 0);
        BITMAPINFO *info = reinterpret_cast<BITMAPINFO *>(infoBlock.data());
        info->bmiHeader.biClrUsed = 4;
        for (int i = 0; i < 4; i++) {
            info->bmiColors[i].rgbBlue = uint8_t(want[size_t(i)].b);
            info->bmiColors[i].rgbGreen = uint8_t(want[size_t(i)].g);
            info->bmiColors[i].rgbRed = uint8_t(want[size_t(i)].r);
        }
        FILE *fp = tmpfile();
        ASSERT_NE(fp, nullptr);
        Bytes header = impHeader("B2", 5, 1);
        fwrite(header.data(), 1, 54, fp);
        ASSERT_EQ(write_data(fp, "x", header.data(), c.row.data(), info, c.bitCount), 0);
        Bytes file = fileBytes(fp);
        fclose(fp);
        EXPECT_EQ(Bytes(file.begin() + 54, file.end()), expected) << c.bitCount << " bits";
    }
}

TEST(ImpWriteData, WriteFailuresAreReportedAndTheNextStreamIsClean)
{
    Bytes small = impBlock(3, 1, {{10, 20, 30}, {12, 19, 30}, {200, 0, 5}});
    // Noise: about three bytes a pixel, so block writes go out while coding.
    std::vector<Px> noise;
    unsigned seed = 1;
    for (int i = 0; i < 300 * 300; i++) {
        seed = seed * 1103515245 + 12345;
        noise.push_back({int(seed >> 8) & 255, int(seed >> 16) & 255, int(seed >> 24) & 255});
    }
    Bytes big = impBlock(300, 300, noise);

    struct Case {
        const char *name;
        const Bytes *block;
        int width, height;
        bool unbuffered;
    };
    const Case cases[] = {
        {"final write", &small, 3, 1, true},
        // Buffered, the short stream fails only when it is flushed for the
        // header patch: still a failure, not a file without its stream.
        {"flush before the header patch", &small, 3, 1, false},
        {"block write", &big, 300, 300, false},
        {"block write, unbuffered", &big, 300, 300, true},
    };
    for (const Case &c : cases) {
        FILE *full = fopen("/dev/full", "w");
        if (full == nullptr)
            GTEST_SKIP() << "no /dev/full";
        if (c.unbuffered)
            setvbuf(full, nullptr, _IONBF, 0);
        Bytes header = impHeader("B2", c.width, c.height);
        EXPECT_EQ(write_data(full, "x", header.data(), c.block->data(), nullptr, 24), -1) << c.name;
        fclose(full);
        EXPECT_EQ(hexBytes(impEncode(small, 3, 1)), "A0 0A 14 1E 2F 0C 80 00 50") << c.name;
    }

    // A file open for reading only takes no byte at all.
    FILE *ro = tmpfile();
    ASSERT_NE(ro, nullptr);
    FILE *reader = fdopen(dup(fileno(ro)), "r");
    ASSERT_NE(reader, nullptr);
    Bytes header = impHeader("B2", 3, 1);
    EXPECT_EQ(write_data(reader, "x", header.data(), small.data(), nullptr, 24), -1);
    fclose(reader);
    fclose(ro);
}

TEST(ImpWriteData2, CodesThirtyTwoBitRowsFromTheLast)
{
    // Two rows of 3 pixels, 4 bytes each, the fourth byte ignored; the
    // stream takes the second row in memory first.
    const Bytes rows = {
        1, 2, 3, 0xAA, 4, 5, 6, 0xBB, 7, 8, 9, 0xCC,         // first in memory
        10, 20, 30, 0xDD, 12, 19, 30, 0xEE, 200, 0, 5, 0xFF, // last in memory
    };
    Bytes expected = impEncode(
        impBlock(3, 2, {{10, 20, 30}, {12, 19, 30}, {200, 0, 5}, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}}),
        3, 2);
    for (const char *magic : {"B2", "IM"}) {
        FILE *fp = tmpfile();
        ASSERT_NE(fp, nullptr);
        Bytes header = impHeader(magic, 3, 2, 47);
        size_t lead = magic[0] == 'I' ? 47 : 54;
        Bytes start(lead, 0);
        fwrite(start.data(), 1, lead, fp);
        ASSERT_EQ(write_data2(fp, "x", header.data(), rows.data()), 0);
        Bytes file = fileBytes(fp);
        fclose(fp);
        EXPECT_EQ(Bytes(file.begin() + long(lead), file.end()), expected) << magic;
        EXPECT_EQ(getLE32(&file[2]), file.size()) << magic;
    }
}

TEST(ImpWriteData2, PrintsItsOwnWritingError)
{
    FILE *full = fopen("/dev/full", "w");
    if (full == nullptr)
        GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    const Bytes rows = {1, 2, 3, 0};
    Bytes header = impHeader("B2", 1, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_data2(full, "out.bm2", header.data(), rows.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "out.bm2: writing error\n");
    fclose(full);
}

// --- read_data ----------------------------------------------------------------

TEST(ImpReadData, DecodesDifferenceCodesAsSigned)
{
    struct Case {
        const char *name;
        const char *stream;
        int width;
        std::vector<Px> pixels;
    };
    const Case cases[] = {
        {"a nibble of 8 is -8", "80 0A 0A 0A 80 00", 2, {{10, 10, 10}, {2, 10, 10}}},
        {"a first difference adds to black", "00 12 30", 1, {{1, 2, 3}}},
        {"a first negative difference wraps", "00 F8 90", 1, {{255, 248, 249}}},
        {"differences wrap modulo 256", "80 FA 00 00 70 00", 2, {{250, 0, 0}, {1, 0, 0}}},
        {"bytes after the last pixel are ignored", "80 01 02 03 00 FF FF FF", 1, {{1, 2, 3}}},
    };
    for (const Case &c : cases) {
        Bytes block;
        EXPECT_EQ(impDecode(hex(c.stream), c.width, 1, block), 0) << c.name;
        EXPECT_EQ(block, impBlock(c.width, 1, c.pixels)) << c.name;
    }
}

TEST(ImpReadData, EmptyPictureReadsTheStreamAndWritesNothing)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    fwrite("\0\x55", 1, 2, fp);
    fseek(fp, 0, SEEK_SET);
    Bytes header = impHeader("B2", 0, 7);
    unsigned char guard = 0x42;
    EXPECT_EQ(read_data(fp, &guard, header.data(), 1, 0), 0);
    EXPECT_EQ(guard, 0x42);
    EXPECT_EQ(ftell(fp), 1L);
    fclose(fp);
}

TEST(ImpReadData, RefusesBrokenStreamsAndSizes)
{
    const Bytes three = hex("A0 0A 14 1E 2F 0C 80 00 50"); // 17 nibbles
    const Bytes nine = hex("80 05 05 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00"); // 34
    struct Case {
        const char *name;
        Bytes stream;
        int width, height;
        long len, bitsLen; // kImpAuto: the stream's size, the image size
        int result;
    };
    const Case cases[] = {
        {"fewer bytes in the file than stated", three, 3, 1, 10, kImpAuto, -1},
        {"last nibble in the last byte", three, 3, 1, 9, kImpAuto, 0},
        {"last nibble missing", three, 3, 1, 8, kImpAuto, -1},
        {"final byte of no meaning missing", nine, 9, 1, 17, kImpAuto, 0},
        {"a difference code cut short", nine, 9, 1, 16, kImpAuto, -1},
        {"a flag field missing", hex("80 05 05 05 00 00 00 00 00 00 00 00 00 00 00 00"), 9, 1,
         kImpAuto, kImpAuto, -1},
        {"an empty stream for pixels", {}, 1, 1, 0, kImpAuto, -1},
        {"negative stream length", three, 3, 1, -5, kImpAuto, -1},
        {"negative width", three, -3, 1, kImpAuto, 64, -1},
        {"negative height", three, 3, -1, kImpAuto, 64, -1},
        {"width x height too large", three, 100000, 100000, kImpAuto, 64, -1},
        {"row size too large", three, 0x7FFFFFFF, 1, kImpAuto, 64, -1},
        {"pixel block one byte short", three, 3, 1, kImpAuto, 11, -1},
        {"pixel block exactly the image", three, 3, 1, kImpAuto, 12, 0},
    };
    for (const Case &c : cases) {
        Bytes block;
        int rc = impDecode(c.stream, c.width, c.height, block, c.len, c.bitsLen);
        EXPECT_EQ(rc, c.result) << c.name;
        if (c.result != 0) {
            // Nothing of a broken stream stays in the pixel block.
            EXPECT_EQ(block, Bytes(block.size(), 0)) << c.name;
            continue;
        }
        std::vector<Px> pixels = {{10, 20, 30}, {12, 19, 30}, {200, 0, 5}};
        if (c.stream == nine)
            pixels = same(9, {5, 5, 5});
        EXPECT_EQ(block, impBlock(c.width, c.height, pixels)) << c.name;
    }
}
