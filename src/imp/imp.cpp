// IMP pixel stream: encoder and decoder.
//
// The stream codes width x height 24-bit pixels in storage order (bottom row
// first, left to right, row padding skipped) as one sequence: pixels go in
// groups of eight, each group an 8-bit flag field (bit 7 for its first
// pixel) followed by one code per pixel. A set flag bit means a 24-bit
// literal (blue, green, red); a clear one a 12-bit difference, three 4-bit
// two's-complement numbers (-8..+7) added to the previous pixel's blue,
// green and red modulo 256. Everything is packed in nibbles, high half of
// a byte first, so a field may straddle two bytes. The stream always ends
// with the byte that holds the last nibble (low half zero), or with one
// further zero byte when the nibble count is even.
//
// The same stream follows the 47-byte IMP header (and its comment) in an
// IMP file and the 54-byte header in a BM2 file.

#include "imp/imp.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "support/bytes.h"
#include "support/mem.h"
#include "support/msg.h"

char *impInfoData = nullptr;
int impInfoDataId = 1000;
int impInfoData_setFlg = 1;

namespace {

struct MemFree {
    void operator()(void *p) const { freemem(p); }
};
using MemPtr = std::unique_ptr<unsigned char, MemFree>;

inline uint64_t loadBE64(const unsigned char *p)
{
    return (uint64_t(p[0]) << 56) | (uint64_t(p[1]) << 48) | (uint64_t(p[2]) << 40) |
           (uint64_t(p[3]) << 32) | (uint64_t(p[4]) << 24) | (uint64_t(p[5]) << 16) |
           (uint64_t(p[6]) << 8) | uint64_t(p[7]);
}

inline void storeBE64(unsigned char *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = uint8_t(v >> (56 - 8 * i));
}

// Bytes of one stored row of width pixels of bitCount bits, padded to 4.
// 0 for a depth the coder does not take, -1 when it does not fit an int.
int64_t rowStride(int bitCount, int64_t width)
{
    int64_t bytes;
    if (bitCount == 24) {
        if (!mulSize(width, 3, INT_MAX, &bytes))
            return -1;
    } else if (bitCount == 8) {
        bytes = width;
    } else if (bitCount == 4) {
        bytes = width / 2 + width % 2;
    } else {
        return 0;
    }
    if (!addSize(bytes, 3, INT_MAX, &bytes))
        return -1;
    return bytes & ~int64_t(3);
}

// ---------------------------------------------------------------------------
// Nibble writer: the one stream being written, shared by write_bits,
// write_data and write_data2.

unsigned char wb_buf[256];
int wb_fill;          // completed bytes in wb_buf; wb_buf[wb_fill] is the current byte
bool wb_pending;      // the current byte holds a nibble in its high half
int64_t wb_total;     // bytes of this stream already written in 256-byte blocks

void wb_clear()
{
    wb_fill = 0;
    wb_pending = false;
    wb_total = 0;
}

// One more byte is complete; a full buffer goes to the file in one write.
bool wb_advance(FILE *fp)
{
    if (++wb_fill < 256)
        return true;
    wb_fill = 0;
    if (fwrite(wb_buf, 1, 256, fp) != 256)
        return false;
    wb_total += 256;
    return true;
}

// ---------------------------------------------------------------------------
// Encoder. The codes of a group are gathered first, since its flag field
// goes ahead of them; then flag and codes are packed into a 64-bit
// accumulator that is stored eight bytes at a time into a large staging
// buffer. The staging buffer goes to the file in whole 256-byte blocks, so
// the file sees the same bytes, block-aligned, as through write_bits; the
// last partial block is handed to write_bits to end the stream.

constexpr size_t kStageDrain = 64 * 1024;   // drain when this much is complete
constexpr size_t kStageSize = kStageDrain + 256;  // + one more group and the 8-byte store

unsigned char stage_buf[kStageSize];

struct Encoder {
    FILE *fp;
    size_t pos;       // complete bytes in stage_buf
    uint64_t acc;     // the low `bits` bits are not yet complete bytes
    unsigned bits;    // 0 or 4 between codes
    int64_t total;    // bytes of the stream already in the file
    bool failed;      // a write failed; nothing more is written
    int pb, pg, pr;   // previous pixel, exact values
    unsigned flag;    // flag field of the current group
    int count;        // pixels in the current group
    uint32_t code[8]; // their codes, right-aligned
};

// Continues whatever stream the nibble writer holds (normally none).
void encStart(Encoder &e, FILE *fp)
{
    e.fp = fp;
    std::memcpy(stage_buf, wb_buf, size_t(wb_fill));
    e.pos = size_t(wb_fill);
    e.acc = wb_pending ? wb_buf[wb_fill] >> 4 : 0;
    e.bits = wb_pending ? 4 : 0;
    e.total = wb_total;
    e.failed = false;
    // The first pixel differs from this by at least 100 in every channel,
    // so it is always a literal.
    e.pb = e.pg = e.pr = -100;
    e.flag = 0;
    e.count = 0;
    wb_clear();
}

inline void put(Encoder &e, uint32_t code, unsigned n)
{
    e.acc = (e.acc << n) | code;
    e.bits += n;
    storeBE64(stage_buf + e.pos, e.acc << (64 - e.bits));
    e.pos += e.bits >> 3;
    e.bits &= 7;
}

// Writes the complete 256-byte blocks of the staging buffer.
void drain(Encoder &e)
{
    size_t n = e.pos & ~size_t(255);
    if (n == 0 || e.failed)
        return;
    if (fwrite(stage_buf, 1, n, e.fp) != n) {
        e.failed = true;
        return;
    }
    e.total += int64_t(n);
    // The current byte lives in the accumulator, so only complete bytes move.
    std::memmove(stage_buf, stage_buf + n, e.pos - n);
    e.pos -= n;
}

void emitGroup(Encoder &e)
{
    put(e, e.flag, 8);
    for (int i = 0; i < e.count; i++)
        put(e, e.code[i], (e.flag << i) & 0x80 ? 24 : 12);
    e.flag = 0;
    e.count = 0;
    if (e.pos >= kStageDrain)
        drain(e);
}

// Codes n pixels that lie step bytes apart, blue, green, red first.
template <int step>
void encodeRun(Encoder &e, const unsigned char *p, int64_t n)
{
    int pb = e.pb, pg = e.pg, pr = e.pr;
    for (int64_t i = 0; i < n; i++, p += step) {
        int b = p[0], g = p[1], r = p[2];
        int db = b - pb, dg = g - pg, dr = r - pr;
        pb = b;
        pg = g;
        pr = r;
        // A difference code holds -7..+7 in each channel (exact, not modulo 256).
        unsigned lit = unsigned(db + 7) > 14u;
        lit |= unsigned(dg + 7) > 14u;
        lit |= unsigned(dr + 7) > 14u;
        uint32_t dcode = uint32_t(db & 15) << 8 | uint32_t(dg & 15) << 4 | uint32_t(dr & 15);
        uint32_t lcode = uint32_t(b) << 16 | uint32_t(g) << 8 | uint32_t(r);
        e.code[e.count] = lit ? lcode : dcode;
        e.flag |= lit << (7 - e.count);
        if (++e.count == 8)
            emitGroup(e);
    }
    e.pb = pb;
    e.pg = pg;
    e.pr = pr;
}

// Writes the last group and ends the stream: its length, or -1.
int64_t encFinish(Encoder &e)
{
    if (e.count > 0)
        emitGroup(e);
    drain(e);
    if (e.failed)
        return -1;
    // The rest is less than one block: back into the nibble writer, whose
    // end-of-stream call writes it and counts the length.
    std::memcpy(wb_buf, stage_buf, e.pos);
    wb_fill = int(e.pos);
    wb_pending = e.bits != 0;
    if (wb_pending)
        wb_buf[wb_fill] = uint8_t((e.acc & 15) << 4);
    wb_total = e.total;
    return write_bits(e.fp, nullptr, 0);
}

// File size into the working header, then its first six bytes (magic and
// size, the same in the IMP and the BMP layout) over the file's own.
int patchHeader(FILE *fp, unsigned char *header, int64_t len)
{
    int64_t offset = 54;
    if (header[0] == 'I' && header[1] == 'M')
        offset = getLE32s(header + 14);
    int64_t size = len + offset;
    if (size < 0 || size > INT_MAX)
        return -1;
    putLE32(header + 2, uint32_t(size));
    // A failed seek means the stream itself could not be flushed, or the
    // file cannot be rewritten: either way the file is not what it says.
    if (fseek(fp, 0, SEEK_SET) != 0)
        return -1;
    if (fwrite(header, 1, 6, fp) != 6)
        return -1;
    if (fflush(fp) != 0)
        return -1;
    return 0;
}

// A palette row expanded to blue, green, red triples; indices past the
// colour table come out black.
void expandRow(unsigned char *out, const unsigned char *row, int64_t width, int bitCount,
               const RGBQUAD *table, unsigned colours)
{
    for (int64_t x = 0; x < width; x++) {
        unsigned idx;
        if (bitCount == 8)
            idx = row[x];
        else
            idx = x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15;
        unsigned char *o = out + 3 * x;
        if (idx < colours) {
            o[0] = table[idx].rgbBlue;
            o[1] = table[idx].rgbGreen;
            o[2] = table[idx].rgbRed;
        } else {
            o[0] = o[1] = o[2] = 0;
        }
    }
}

// ---------------------------------------------------------------------------
// Decoder.

// The three nibbles of a difference code as bytes to add: blue in the low
// byte, each nibble sign-extended (8..15 stand for -8..-1).
struct DiffTable {
    uint32_t v[4096];
    DiffTable()
    {
        for (uint32_t c = 0; c < 4096; c++) {
            uint32_t b = c >> 8, g = (c >> 4) & 15, r = c & 15;
            auto ext = [](uint32_t n) { return n & 8 ? n | 0xF0 : n; };
            v[c] = ext(b) | ext(g) << 8 | ext(r) << 16;
        }
    }
};
const DiffTable diffTable;

// Bytewise sum of two packed pixels, each byte modulo 256.
inline uint32_t addBytes(uint32_t a, uint32_t d)
{
    return ((a & 0x7F7F7F) + (d & 0x7F7F7F)) ^ ((a ^ d) & 0x808080);
}

// Room after the stream copy, so that the decoder may always load eight
// bytes at its read position.
constexpr int64_t kStreamSlack = 16;
// Larger streams are read in steps, so that a length field far beyond the
// file costs no more memory than the file has.
constexpr int64_t kFirstRead = int64_t(64) << 20;

// Reads len bytes from fp into a buffer of len + kStreamSlack bytes.
MemPtr readStream(FILE *fp, int64_t len)
{
    int64_t cap = len < kFirstRead ? len : kFirstRead;
    MemPtr buf(static_cast<unsigned char *>(getmem(int(cap + kStreamSlack))));
    int64_t have = 0;
    for (;;) {
        size_t want = size_t(cap - have);
        if (fread(buf.get() + have, 1, want, fp) != want)
            return nullptr;
        have = cap;
        if (have == len)
            return buf;
        cap = len - cap < cap ? len : 2 * cap;
        MemPtr bigger(static_cast<unsigned char *>(getmem(int(cap + kStreamSlack))));
        std::memcpy(bigger.get(), buf.get(), size_t(have));
        buf = std::move(bigger);
    }
}

} // namespace

int write_bits(FILE *fp, const unsigned char *data, int bits)
{
    if (bits == 0) {
        // The current byte always ends the stream; without a pending nibble
        // it carries nothing and is written as zero.
        if (!wb_pending)
            wb_buf[wb_fill] = 0;
        size_t n = size_t(wb_fill) + 1;
        int64_t len = wb_total + int64_t(n);
        bool ok = fwrite(wb_buf, 1, n, fp) == n;
        wb_clear();
        if (!ok || len > INT_MAX)
            return -1;
        return int(len);
    }
    if (bits < 0 || bits % 4 != 0)
        return -1;
    for (; bits >= 8; bits -= 8) {
        unsigned c = *data++;
        if (!wb_pending) {
            wb_buf[wb_fill] = uint8_t(c);
            if (!wb_advance(fp))
                goto failed;
        } else {
            wb_buf[wb_fill] = uint8_t(wb_buf[wb_fill] | c >> 4);
            if (!wb_advance(fp))
                goto failed;
            wb_buf[wb_fill] = uint8_t(c << 4);
        }
    }
    if (bits == 4) {
        unsigned c = *data;
        if (!wb_pending) {
            wb_buf[wb_fill] = uint8_t(c & 0xF0);
            wb_pending = true;
        } else {
            wb_buf[wb_fill] = uint8_t(wb_buf[wb_fill] | c >> 4);
            wb_pending = false;
            if (!wb_advance(fp))
                goto failed;
        }
    }
    return 0;

failed:
    // The stream is abandoned; the next one starts empty.
    wb_clear();
    return -1;
}

int write_data(FILE *fp, const char *, unsigned char *header, const unsigned char *bits,
               const BITMAPINFO *info, int bitCount)
{
    int64_t width = getLE32s(header + 18);
    int64_t height = getLE32s(header + 22);
    Encoder e;
    encStart(e, fp);

    // A width or height of 0 or less codes no pixel.
    if (width > 0 && height > 0) {
        int64_t stride = rowStride(bitCount, width);
        if (stride <= 0)
            return -1;
        MemPtr scratch;
        const RGBQUAD *table = nullptr;
        unsigned colours = 0;
        if (bitCount != 24) {
            if (info == nullptr)
                return -1;
            int64_t scratchLen;
            if (!mulSize(width + 1, 3, INT_MAX, &scratchLen))
                return -1;
            scratch.reset(static_cast<unsigned char *>(getmem(int(scratchLen))));
            table = info->bmiColors;
            colours = 1u << bitCount;
            if (info->bmiHeader.biClrUsed != 0 && info->bmiHeader.biClrUsed < colours)
                colours = info->bmiHeader.biClrUsed;
        }
        const unsigned char *row = bits;
        for (int64_t y = 0; y < height && !e.failed; y++, row += stride) {
            if (bitCount == 24) {
                encodeRun<3>(e, row, width);
            } else {
                expandRow(scratch.get(), row, width, bitCount, table, colours);
                encodeRun<3>(e, scratch.get(), width);
            }
        }
    }
    int64_t len = encFinish(e);
    if (len < 0)
        return -1;
    return patchHeader(fp, header, len);
}

int write_data2(FILE *fp, const char *name, unsigned char *header, const unsigned char *bits)
{
    int64_t width = getLE32s(header + 18);
    int64_t height = getLE32s(header + 22);
    Encoder e;
    encStart(e, fp);
    if (width > 0 && height > 0) {
        int64_t stride = 4 * width;
        for (int64_t y = height - 1; y >= 0 && !e.failed; y--)
            encodeRun<4>(e, bits + y * stride, width);
    }
    int64_t len = encFinish(e);
    if (len < 0 || patchHeader(fp, header, len) != 0) {
        errmsg("%s: writing error\n", name);
        return -1;
    }
    return 0;
}

int read_data(FILE *fp, unsigned char *bits, const unsigned char *header, long len, long bitsLen)
{
    // Sizes first, all in 64 bits, before anything is allocated.
    int64_t width = getLE32s(header + 18);
    int64_t height = getLE32s(header + 22);
    if (width < 0 || height < 0)
        return -1;
    int64_t stride = rowStride(24, width);
    if (stride < 0)
        return -1;
    int64_t imageSize;
    if (!mulSize(stride, height, INT_MAX, &imageSize))
        return -1;
    if (imageSize > bitsLen)
        return -1;
    if (len < 0 || len > INT_MAX - kStreamSlack)
        return -1;

    MemPtr stream = readStream(fp, len);
    if (!stream)
        return -1;
    if (width == 0 || height == 0)
        return 0;

    const unsigned char *s = stream.get();
    const uint32_t *diff = diffTable.v;
    const uint64_t nibEnd = 2 * uint64_t(len);
    uint64_t nib = 0;   // read position in nibbles
    uint32_t pix = 0;   // current pixel, blue in the low byte
    unsigned flag = 0, mask = 0;

    // The next pixel from the stream into pix; false when the stream ends
    // before its code does.
    auto next = [&]() -> bool {
        if (mask == 0) {
            if (nib + 2 > nibEnd)
                return false;
            flag = unsigned(loadBE64(s + (nib >> 1)) << ((nib & 1) * 4) >> 56);
            nib += 2;
            mask = 0x80;
        }
        uint64_t w = loadBE64(s + (nib >> 1)) << ((nib & 1) * 4);
        bool lit = (flag & mask) != 0;
        mask >>= 1;
        uint32_t t = uint32_t(w >> 40);   // blue, green, red from the top
        uint32_t literal = t >> 16 | (t & 0xFF00) | (t & 0xFF) << 16;
        uint32_t sum = addBytes(pix, diff[w >> 52]);
        nib += lit ? 6 : 3;
        pix = lit ? literal : sum;
        return nib <= nibEnd;
    };

    for (int64_t y = 0; y < height; y++) {
        unsigned char *o = bits + y * stride;
        // Four-byte stores: the extra byte is overwritten by the next pixel.
        for (int64_t x = 0; x + 1 < width; x++, o += 3) {
            if (!next())
                return -1;
            uint32_t v = pix;
            o[0] = uint8_t(v);
            o[1] = uint8_t(v >> 8);
            o[2] = uint8_t(v >> 16);
            o[3] = uint8_t(v >> 24);
        }
        // The last pixel of a row leaves the padding alone.
        if (!next())
            return -1;
        o[0] = uint8_t(pix);
        o[1] = uint8_t(pix >> 8);
        o[2] = uint8_t(pix >> 16);
    }
    return 0;
}
