// Tests of the IMP coder: worked streams byte for byte both ways, the nibble
// writer, the header patch, broken streams and refused sizes, failed writes,
// and round trips of random pictures.
#include <climits>
#include <cstdio>
#include <functional>

#include "imp/imp.h"
#include "imp/kernels.h"
#include "support/bmp_util.h"

namespace {

// Rows of width pixels from px (blue, green, red triples), each pixel
// widened to bpp bytes and each row padded to a multiple of 4, the added
// bytes set to pad.
Bytes block(int width, int height, const Bytes &px, unsigned char pad = 0, int bpp = 3)
{
    long stride = (long(bpp) * width + 3) / 4 * 4;
    Bytes out(size_t(stride * height), pad);
    for (long i = 0; i < long(width) * height; i++)
        std::copy_n(&px[size_t(3 * i)], 3, &out[size_t(i / width * stride + i % width * bpp)]);
    return out;
}

Bytes unhex(const char *text)
{
    Bytes b;
    for (char *end; *text != '\0'; text = end)
        b.push_back(uint8_t(strtoul(text, &end, 16)));
    return b;
}

// The working header: magic, data offset at 14 (read for "IM" only), width, height.
Bytes header(const char *magic, int width, int height, int32_t offset = 47)
{
    Bytes h = with(with(with(Bytes(54), 14, uint32_t(offset)), 18, uint32_t(width)), 22, uint32_t(height));
    std::copy(magic, magic + 2, h.begin());
    return h;
}

Bytes fileBytes(FILE *fp)
{
    fseek(fp, 0, SEEK_END);
    Bytes b(size_t(ftell(fp)));
    rewind(fp);
    b.resize(fread(b.data(), 1, b.size(), fp));
    return b;
}

// write_data (write_data2 for 32-bit rows) on a file begun with lead bytes
// of 0xEE, as the writer leaves its header; the file, or nothing on failure.
Bytes writeFile(Bytes &hd, const Bytes &pixels, size_t lead, bool rows32 = false)
{
    FILE *fp = tmpfile();
    fwrite(Bytes(lead, 0xEE).data(), 1, lead, fp);
    int rc = rows32 ? write_data2(fp, "x", hd.data(), pixels.data())
                    : write_data(fp, "x", hd.data(), pixels.data(), nullptr, 24);
    Bytes file = fileBytes(fp);
    fclose(fp);
    return rc == 0 ? file : Bytes();
}

// The stream of a BM2 file, whose size field must match the file.
Bytes encode(const Bytes &pixels, int width, int height, bool rows32 = false)
{
    Bytes hd = header("B2", width, height), file = writeFile(hd, pixels, 54, rows32);
    EXPECT_EQ(file.empty() ? 0 : getLE32(&file[2]), file.size());
    return file.empty() ? file : Bytes(file.begin() + 54, file.end());
}

constexpr long kAuto = LONG_MIN; // the stream's size, or the image size

int decode(const Bytes &stream, int width, int height, Bytes &out, long len = kAuto, long bitsLen = kAuto)
{
    out.assign(size_t(bitsLen == kAuto ? (3L * width + 3) / 4 * 4 * height : bitsLen), 0);
    FILE *fp = tmpfile();
    fwrite(stream.data(), 1, stream.size(), fp);
    rewind(fp);
    Bytes hd = header("B2", width, height);
    int rc = read_data(fp, out.data(), hd.data(), len == kAuto ? long(stream.size()) : len, long(out.size()));
    fclose(fp);
    return rc;
}

// Noise (now and then a repeated pixel), steps around the -8..+7 edge, or
// flat runs nudged by one in one channel: each kind now and then breaks
// its pattern, so the decoder's whole-group short cuts meet groups one
// code or one nibble away from them, at either nibble parity.
Bytes picture(std::mt19937 &rng, int pixels, int kind)
{
    Bytes px(3, 128); // the pixel before the first, dropped
    for (int i = 0; i < pixels; i++) {
        unsigned roll = rng() % 40;
        for (unsigned c = 0; c < 3; c++) {
            int v = px[px.size() - 3];
            if (kind == 0 ? roll >= 5 : roll == 0)
                v = int(rng());
            else if (kind == 1)
                v += int(rng() % 19) - 9;
            else if (kind == 2 && roll == c + 1)
                v ^= 1;
            px.push_back(uint8_t(v));
        }
    }
    return Bytes(px.begin() + 3, px.end());
}

const Bytes kSmall = {10, 20, 30, 12, 19, 30, 200, 0, 5}; // 3 x 1, padding 3
const char kSmallStream[] = "A0 0A 14 1E 2F 0C 80 00 50";
const char kNineStream[] = "80 05 05 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

} // namespace

TEST(ImpStream, WorkedExamplesBothWays)
{
    const Bytes nine(27, 5);
    // Pixels in storage order; streams not encoded are ones the encoder never writes.
    struct Case { const char *name; int width, height; Bytes pixels; const char *stream; bool encoded; };
    const Case cases[] = {
        {"literal diff literal", 3, 1, kSmall, kSmallStream, true},
        {"odd nibble count", 2, 1, {10, 20, 30, 12, 19, 30}, "80 0A 14 1E 2F 00", true},
        {"even nibble count", 9, 1, nine, kNineStream, true},
        {"a group across padded rows", 3, 3, nine, kNineStream, true},
        {"W x H multiple of 8", 4, 2, nine, "80 05 05 05 00 00 00 00 00 00 00 00 00 00 00", true},
        {"8 in any channel is a literal, 7 a difference", 9, 1,
         {10, 10, 10, 18, 10, 10, 11, 3, 17, 11, 11, 17, 11, 11, 9, 3, 11, 9, 3, 3, 9, 3, 3, 17, 10, 10, 10},
         "DF 0A 0A 0A 12 0A 0A 99 70 B0 B1 10 B0 B0 90 30 B0 90 30 30 90 30 31 10 07 79 00", true},
        {"exact, not modulo 256", 2, 1, {254, 0, 0, 1, 0, 0}, "C0 FE 00 00 01 00 00 00", true},
        {"zero width", 0, 5, {}, "00", true},
        {"zero height", 7, 0, {}, "00", true},
        {"a nibble of 8 is -8", 2, 1, {10, 10, 10, 2, 10, 10}, "80 0A 0A 0A 80 00", false},
        {"first difference from 0, wrapping", 1, 1, {255, 248, 249}, "00 F8 90", false},
        {"differences wrap modulo 256", 2, 1, {250, 0, 0, 1, 0, 0}, "80 FA 00 00 70 00", false},
        {"bytes after the last code ignored", 1, 1, {1, 2, 3}, "80 01 02 03 00 FF FF", false},
    };
    // The streams are coded one after the other: each starts afresh.
    for (const Case &c : cases) {
        for (unsigned char pad : c.encoded ? Bytes{0x00, 0xFF} : Bytes())
            EXPECT_EQ(encode(block(c.width, c.height, c.pixels, pad), c.width, c.height),
                      unhex(c.stream)) << c.name << ", padding " << int(pad);
        Bytes out;
        EXPECT_EQ(decode(unhex(c.stream), c.width, c.height, out), 0) << c.name;
        EXPECT_EQ(out, block(c.width, c.height, c.pixels)) << c.name; // padding left zero
    }
}

TEST(ImpWriteBits, PacksFieldsByNibblesInWholeBlocks)
{
    typedef std::vector<std::pair<Bytes, int>> Fields; // data, bits
    Bytes many(556, 0x77);
    many.push_back(0); // the final byte is zero, whatever the buffer held there
    const std::pair<Fields, Bytes> cases[] = {
        {{}, unhex("00")},
        {{{{0xAB}, 8}}, unhex("AB 00")},
        // The low half of a difference's second byte is never taken.
        {{{{0xAB}, 8}, {{0xCD, 0xEF}, 12}, {{0x01, 0x02, 0x03}, 24}}, unhex("AB CD E0 10 20 30")},
        {{{{0x12, 0x3F}, 12}, {{0xAB}, 8}}, unhex("12 3A B0")},
        {{{{0x12, 0x30}, 12}, {{0x45, 0x60}, 12}}, unhex("12 34 56 00")},
        {Fields(556, {{0x77}, 8}), many},
    };
    for (const auto &c : cases) {
        FILE *fp = tmpfile();
        for (const auto &f : c.first)
            EXPECT_EQ(write_bits(fp, f.first.data(), f.second), 0) << &c - cases;
        // Only whole 256-byte blocks have gone to the file; the current byte stays.
        EXPECT_EQ(ftell(fp), long(c.second.size() - 1) / 256 * 256) << &c - cases;
        EXPECT_EQ(write_bits(fp, nullptr, 0), int(c.second.size())) << &c - cases;
        EXPECT_EQ(fileBytes(fp), c.second) << &c - cases;
        fclose(fp);
    }
}

TEST(ImpWriteData, PatchesMagicAndSizeOnly)
{
    // offset: the bytes before the stream (for IMP, header and comment)
    struct Case { const char *magic; int width, height; int32_t offset; uint32_t size; };
    const Case cases[] = {
        {"IM", 3, 1, 50, 59}, {"B2", 3, 1, 54, 63}, {"IM", 4, 0, 47, 48}, {"B2", -3, 2, 54, 55},
    };
    for (const Case &c : cases) {
        Bytes hd = header(c.magic, c.width, c.height, c.offset);
        Bytes file = writeFile(hd, block(3, 1, kSmall), size_t(c.offset));
        ASSERT_EQ(file.size(), c.size) << c.magic << c.width << 'x' << c.height;
        EXPECT_EQ(getLE32(&hd[2]), c.size);
        Bytes want(size_t(c.offset), 0xEE);
        std::copy_n(hd.begin(), 6, want.begin());
        EXPECT_EQ(Bytes(file.begin(), file.begin() + c.offset), want) << c.magic;
    }
}

TEST(ImpWriteData, FailedWritesAreReportedAndTheNextStreamIsClean)
{
    std::mt19937 rng(1);
    // Wide rows of noise: a block write fails in the middle of a row, whose
    // rest must not overrun the staging buffer.
    const Bytes small = block(3, 1, kSmall), rows32(12, 0), noise = block(2000, 50, picture(rng, 100000, 0));
    Bytes hd = header("B2", 3, 1), big = header("B2", 2000, 50);
    const std::pair<bool, std::function<int(FILE *)>> cases[] = { // unbuffered, write
        // Buffered, the short stream fails only when it is flushed for the
        // header patch: still a failure, not a file without its stream.
        {false, [&](FILE *f) { return write_data(f, "x", hd.data(), small.data(), nullptr, 24); }},
        {true, [&](FILE *f) { return write_data(f, "x", hd.data(), small.data(), nullptr, 24); }},
        {true, [&](FILE *f) { return write_data(f, "x", big.data(), noise.data(), nullptr, 24); }},
        {true, [&](FILE *f) { return write_data2(f, "out.bm2", hd.data(), rows32.data()); }},
        {true, [](FILE *f) { // the first block fails with a nibble pending
             int rc = 0;
             for (int i = 0; i < 256 && rc == 0; i++)
                 rc = write_bits(f, kSmall.data(), i == 0 ? 12 : 8);
             return rc;
         }},
    };
    testing::internal::CaptureStderr();
    for (const auto &c : cases) {
        FILE *full = fopen("/dev/full", "w");
        ASSERT_NE(full, nullptr);
        if (c.first)
            setvbuf(full, nullptr, _IONBF, 0);
        EXPECT_EQ(c.second(full), -1) << &c - cases;
        fclose(full);
        EXPECT_EQ(encode(small, 3, 1), unhex(kSmallStream)) << &c - cases;
    }
    // Only write_data2 prints; write_data leaves the message to its caller.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "out.bm2: writing error\n");
}

TEST(ImpReadData, RefusesBrokenStreamsAndSizes)
{
    const Bytes three = unhex(kSmallStream), nine = unhex(kNineStream); // 17 and 34 nibbles
    const Bytes threePx = block(3, 1, kSmall), ninePx = block(9, 1, Bytes(27, 5)), zero = {0};
    // Without pixels the stream is refused and the block left zero.
    struct Case { const char *name; const Bytes &stream; int width, height; long len, bitsLen; const Bytes *pixels; };
    const Case cases[] = {
        {"fewer bytes in the file than stated", three, 3, 1, 10, kAuto, nullptr},
        {"last nibble in the last byte", three, 3, 1, 9, kAuto, &threePx},
        {"last nibble missing", three, 3, 1, 8, kAuto, nullptr},
        {"final byte of no meaning missing", nine, 9, 1, 17, kAuto, &ninePx},
        {"a difference code cut short", nine, 9, 1, 16, kAuto, nullptr},
        {"an empty stream for pixels", zero, 1, 1, 0, kAuto, nullptr},
        {"no pixels, the stream is still read", zero, 0, 5, 2, kAuto, nullptr},
        {"negative stream length", three, 3, 1, -5, kAuto, nullptr},
        {"negative width", three, -3, 1, kAuto, 64, nullptr},
        {"width x height too large", three, 100000, 100000, kAuto, 64, nullptr},
        {"row size too large", three, 0x7FFFFFFF, 1, kAuto, 64, nullptr},
        {"pixel block one byte short", three, 3, 1, kAuto, 11, nullptr},
        {"pixel block exactly the image", three, 3, 1, kAuto, 12, &threePx},
    };
    for (const Case &c : cases) {
        Bytes out;
        EXPECT_EQ(decode(c.stream, c.width, c.height, out, c.len, c.bitsLen), c.pixels ? 0 : -1) << c.name;
        EXPECT_EQ(out, c.pixels ? *c.pixels : Bytes(out.size(), 0)) << c.name;
    }
}

TEST(ImpRoundTrip, RandomPicturesBothPaths)
{
    std::mt19937 rng(20240601);
    // After the small ones, larger: many blocks and buffer refills, long and narrow rows.
    const int large[][2] = {{640, 480}, {640, 480}, {640, 480}, {1023, 3}, {2, 3000}};
    for (int i = 0; i < 405; i++) {
        int w = i < 400 ? int(rng() % 41) : large[i - 400][0];
        int h = i < 400 ? int(rng() % 41) : large[i - 400][1];
        SCOPED_TRACE(testing::Message() << w << 'x' << h << " kind " << i % 3);
        Bytes px = picture(rng, w * h, i % 3), clean = block(w, h, px), flipped, out;
        // The portable path is the reference; the vector kernels, where the
        // processor has them, must give the same bytes both ways.
        imp_scalar = 1;
        Bytes stream = encode(block(w, h, px, uint8_t(rng() | 1)), w, h);
        // write_data2 takes 32-bit rows from the last in memory, the fourth
        // byte of a pixel of no meaning.
        for (int y = h; y-- > 0;)
            flipped.insert(flipped.end(), px.begin() + 3L * w * y, px.begin() + 3L * w * (y + 1));
        EXPECT_EQ(encode(block(w, h, flipped, uint8_t(rng()), 4), w, h, true), stream);
        for (int scalar : {1, 0}) {
            imp_scalar = scalar;
            EXPECT_EQ(encode(clean, w, h), stream) << scalar; // padding never reaches the stream
            // A negative height: the same rows top-down, the same stream.
            EXPECT_EQ(encode(block(w, h, flipped), w, -h), stream) << scalar;
            ASSERT_EQ(decode(stream, w, h, out), 0) << scalar;
            EXPECT_EQ(out, clean) << scalar;
            // Two bytes short, a stream always misses part of a code, and the
            // pixels decoded before it are cleared again.
            if (w * h > 0) {
                EXPECT_EQ(decode(Bytes(stream.begin(), stream.end() - 2), w, h, out), -1) << scalar;
                EXPECT_EQ(out, Bytes(out.size(), 0)) << scalar;
            }
        }
    }
}
