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

// Spelled out byte by byte: compilers make one store of it, in either
// byte order of the host.
inline void storeBE64(unsigned char *p, uint64_t v)
{
    p[0] = uint8_t(v >> 56);
    p[1] = uint8_t(v >> 48);
    p[2] = uint8_t(v >> 40);
    p[3] = uint8_t(v >> 32);
    p[4] = uint8_t(v >> 24);
    p[5] = uint8_t(v >> 16);
    p[6] = uint8_t(v >> 8);
    p[7] = uint8_t(v);
}

inline void storeLE64(unsigned char *p, uint64_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
    p[4] = uint8_t(v >> 32);
    p[5] = uint8_t(v >> 40);
    p[6] = uint8_t(v >> 48);
    p[7] = uint8_t(v >> 56);
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

// Packing position in stage_buf. The loops keep it in a local copy: the
// byte stores into the buffer would otherwise make the compiler reload it
// after each one.
struct Packer {
    uint64_t acc;   // the low `bits` bits are not yet complete bytes
    unsigned bits;  // 0 or 4 between codes
    size_t pos;     // complete bytes in stage_buf
};

struct Encoder {
    FILE *fp;
    Packer pk;
    int64_t total;    // bytes of the stream already in the file
    bool failed;      // a write failed; nothing more is written
    int pb, pg, pr;   // previous pixel, exact values
    unsigned flag;    // flag field of the group begun
    int count;        // its pixels so far
    uint32_t code[8]; // and their codes
};

// Continues whatever stream the nibble writer holds (normally none).
void encStart(Encoder &e, FILE *fp)
{
    e.fp = fp;
    std::memcpy(stage_buf, wb_buf, size_t(wb_fill));
    e.pk.pos = size_t(wb_fill);
    e.pk.acc = wb_pending ? wb_buf[wb_fill] >> 4 : 0;
    e.pk.bits = wb_pending ? 4 : 0;
    e.total = wb_total;
    e.failed = false;
    // The first pixel differs from this by at least 100 in every channel,
    // so it is always a literal.
    e.pb = e.pg = e.pr = -100;
    e.flag = 0;
    e.count = 0;
    wb_clear();
}

// Appends the low n bits of code (n at most 52).
inline void put(Packer &k, uint64_t code, unsigned n)
{
    k.acc = (k.acc << n) | code;
    k.bits += n;
    storeBE64(stage_buf + k.pos, k.acc << (64 - k.bits));
    k.pos += k.bits >> 3;
    k.bits &= 7;
}

// Writes the complete 256-byte blocks of the staging buffer.
void drain(Encoder &e)
{
    size_t n = e.pk.pos & ~size_t(255);
    // After a failed write nothing more reaches the file: what the rest of
    // the row still packs is dropped, so the staging buffer cannot overflow.
    if (e.failed) {
        e.pk.pos = 0;
        return;
    }
    if (n == 0)
        return;
    if (fwrite(stage_buf, 1, n, e.fp) != n) {
        e.failed = true;
        e.pk.pos = 0;
        return;
    }
    e.total += int64_t(n);
    // The current byte lives in the accumulator, so only complete bytes move.
    std::memmove(stage_buf, stage_buf + n, e.pk.pos - n);
    e.pk.pos -= n;
}

// The code of the pixel at p against the previous one, which it replaces:
// 1 for a literal, 0 for a difference.
inline unsigned pixelCode(const unsigned char *p, int &pb, int &pg, int &pr, uint32_t *code)
{
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
    *code = lit ? lcode : dcode;
    return lit;
}

inline unsigned codeBits(unsigned flag, int i)
{
    return (flag << i) & 0x80 ? 24 : 12;
}

// A group of fewer than eight pixels, or one gathered across rows.
void emitGroup(Encoder &e)
{
    put(e.pk, e.flag, 8);
    for (int i = 0; i < e.count; i++)
        put(e.pk, e.code[i], codeBits(e.flag, i));
    e.flag = 0;
    e.count = 0;
    if (e.pk.pos >= kStageDrain)
        drain(e);
}

void addPixel(Encoder &e, const unsigned char *p)
{
    e.flag |= pixelCode(p, e.pb, e.pg, e.pr, &e.code[e.count]) << (7 - e.count);
    if (++e.count == 8)
        emitGroup(e);
}

// Eight pixels at p (three bytes apart) all equal to the previous one.
inline bool flatGroup(const unsigned char *p, int pb, int pg, int pr)
{
    auto load64 = [](const unsigned char *q) {
        uint64_t v;
        std::memcpy(&v, q, 8);
        return v;
    };
    // Byte k equals byte k + 3 for k = 0..20.
    return p[0] == pb && p[1] == pg && p[2] == pr && load64(p) == load64(p + 3) &&
           load64(p + 8) == load64(p + 11) && load64(p + 13) == load64(p + 16);
}

// Codes n pixels that lie step bytes apart, blue, green, red first.
template <int step>
void encodeRun(Encoder &e, const unsigned char *p, int64_t n)
{
    int64_t i = 0;
    // Complete the group begun in the row before.
    for (; i < n && e.count != 0; i++, p += step)
        addPixel(e, p);

    Packer k = e.pk;
    int pb = e.pb, pg = e.pg, pr = e.pr;
    for (; n - i >= 8 && !e.failed; i += 8, p += 8 * step) {
        if (step == 3 && flatGroup(p, pb, pg, pr)) {
            // A zero flag field and eight zero differences: 26 zero nibbles
            // after the pending one.
            storeBE64(stage_buf + k.pos, k.bits ? (k.acc & 15) << 60 : 0);
            storeBE64(stage_buf + k.pos + 8, 0);
            k.pos += 13;
            k.acc = 0;
        } else {
            uint32_t code[8];
            unsigned flag = 0;
            for (int j = 0; j < 8; j++)
                flag |= pixelCode(p + j * step, pb, pg, pr, &code[j]) << (7 - j);
            // Two fields to a store, the flag field with the first code.
            unsigned n0 = codeBits(flag, 0), n1 = codeBits(flag, 1), n2 = codeBits(flag, 2),
                     n3 = codeBits(flag, 3), n4 = codeBits(flag, 4), n5 = codeBits(flag, 5),
                     n6 = codeBits(flag, 6), n7 = codeBits(flag, 7);
            put(k, uint64_t(flag) << n0 | code[0], 8 + n0);
            put(k, uint64_t(code[1]) << n2 | code[2], n1 + n2);
            put(k, uint64_t(code[3]) << n4 | code[4], n3 + n4);
            put(k, uint64_t(code[5]) << n6 | code[6], n5 + n6);
            put(k, code[7], n7);
        }
        if (k.pos >= kStageDrain) {
            e.pk = k;
            drain(e);
            k = e.pk;
        }
    }
    e.pk = k;
    e.pb = pb;
    e.pg = pg;
    e.pr = pr;

    // Begin the next group with the rest.
    for (; i < n; i++, p += step)
        addPixel(e, p);
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
    std::memcpy(wb_buf, stage_buf, e.pk.pos);
    wb_fill = int(e.pk.pos);
    wb_pending = e.pk.bits != 0;
    if (wb_pending)
        wb_buf[wb_fill] = uint8_t((e.pk.acc & 15) << 4);
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
// Decoder. The stream goes through one buffer in chunks and is decoded from
// a 64-bit window at the read position. A length field far beyond the file
// thus costs no memory, and the chunk stays in cache while it is decoded.

constexpr size_t kChunk = 64 * 1024;
// Room behind the chunk for loading sixteen bytes at its last position.
constexpr size_t kSlack = 16;
unsigned char in_buf[kChunk + kSlack];

// Keeps the bytes from `at` on, moves them to the front and reads the
// rest of the chunk, no more than `left`. The new end of the data in
// in_buf; `*got` gets the bytes read, short of what was asked on a short
// file.
size_t refill(FILE *fp, size_t at, size_t end, int64_t left, int64_t *got)
{
    size_t keep = end - at;
    std::memmove(in_buf, in_buf + at, keep);
    size_t want = kChunk - keep;
    if (int64_t(want) > left)
        want = size_t(left);
    size_t n = fread(in_buf + keep, 1, want, fp);
    *got = n == want ? int64_t(n) : -1;
    return keep + n;
}

// The nibbles from nibble position nib of in_buf on, the first on top:
// fifteen of them, the sixteenth zero at an odd position.
inline uint64_t window(uint64_t nib)
{
    return loadBE64(in_buf + (nib >> 1)) << ((nib & 1) * 4);
}

// Sixteen nibbles from position nib, whatever its parity.
inline uint64_t window16(uint64_t nib)
{
    const unsigned char *p = in_buf + (nib >> 1);
    if (nib & 1)
        return loadBE64(p) << 4 | p[8] >> 4;
    return loadBE64(p);
}

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

// A literal as read, blue in the high byte, turned into a packed pixel.
inline uint32_t bgr(uint32_t t)
{
    return t >> 16 | (t & 0xFF00) | (t & 0xFF) << 16;
}

inline void store3(unsigned char *o, uint32_t v)
{
    o[0] = uint8_t(v);
    o[1] = uint8_t(v >> 8);
    o[2] = uint8_t(v >> 16);
}

// Four bytes for one pixel: one store; the fourth byte belongs to the
// next pixel, which overwrites it.
inline void store4(unsigned char *o, uint32_t v)
{
    store3(o, v);
    o[3] = uint8_t(v >> 24);
}

// A packed pixel three times over: eight bytes of a run of it.
inline uint64_t spread3(uint32_t v)
{
    return uint64_t(v) | uint64_t(v) << 24 | uint64_t(v) << 48;
}

// The pixel after pix, coded at nibble position nib as a literal or a
// difference; nib moves past the code.
inline uint32_t nextPixel(uint64_t &nib, uint32_t pix, bool lit, const uint32_t *diff)
{
    uint64_t w = window(nib);
    uint32_t literal = bgr(uint32_t(w >> 40));
    uint32_t sum = addBytes(pix, diff[w >> 52]);
    nib += lit ? 6 : 3;
    return lit ? literal : sum;
}

// Decodes the pixels into rows of stride bytes; false when the stream (or
// the file) ends before the last pixel's code, with *reached set past the
// bytes of bits written so far.
//
// Most groups lie whole inside a row and inside the buffer, and are done
// eight pixels at a time without further tests; runs of equal pixels and
// groups of eight literals have their own short cuts. The rest (groups
// across a row end, the end of the stream) go pixel by pixel, each code
// checked against the end of the data.
bool decodePixels(FILE *fp, unsigned char *bits, int64_t width, int64_t height, int64_t stride,
                  int64_t *left, int64_t *reached)
{
    const uint32_t *diff = diffTable.v;
    size_t end = 0;   // stream bytes in in_buf
    uint64_t nib = 0; // read position in in_buf, in nibbles
    uint32_t pix = 0; // current pixel, blue in the low byte
    unsigned flag = 0, mask = 0;

    // A whole group (at most 50 nibbles) in the buffer, unless the stream
    // ends first.
    auto fill = [&]() {
        if (2 * end - nib >= 50 || *left == 0)
            return true;
        int64_t got;
        end = refill(fp, size_t(nib >> 1), end, *left, &got);
        nib &= 1;
        if (got < 0)
            return false;
        *left -= got;
        return true;
    };

    unsigned char *o = bits;
    auto broken = [&]() {
        // Every store so far ended before o + 1.
        *reached = o - bits + 1;
        return false;
    };

    for (int64_t y = 0; y < height; y++) {
        o = bits + y * stride;
        for (int64_t x = 0; x < width;) {
            if (mask == 0) {
                if (!fill())
                    return broken();
                uint64_t w = window16(nib);
                // Eight equal pixels, as flat areas give: a zero flag field
                // and eight zero differences, 26 zero nibbles. Runs of them
                // are stored 24 bytes at a time.
                if (w == 0 && x + 8 <= width && nib + 26 <= 2 * end && window16(nib + 16) >> 24 == 0) {
                    uint64_t w0 = spread3(pix);
                    uint64_t w1 = spread3(pix >> 16 | (pix & 0xFFFF) << 8);
                    uint64_t w2 = spread3(pix >> 8 | (pix & 0xFF) << 16);
                    do {
                        storeLE64(o, w0);
                        storeLE64(o + 8, w1);
                        storeLE64(o + 16, w2);
                        o += 24;
                        x += 8;
                        nib += 26;
                        if (!fill())
                            return broken();
                        w = window16(nib);
                    } while (w == 0 && x + 8 <= width && nib + 26 <= 2 * end &&
                             window16(nib + 16) >> 24 == 0);
                    if (x == width)
                        continue;
                }
                flag = unsigned(w >> 56);
                if (x + 8 <= width && nib + 50 <= 2 * end) {
                    if (flag == 0xFF) {
                        // Eight literals, as noise gives: their 24 bytes are
                        // the pixels as stored, only moved by the nibble
                        // position.
                        uint64_t last = window16(nib + 34);
                        storeBE64(o, window16(nib + 2));
                        storeBE64(o + 8, window16(nib + 18));
                        storeBE64(o + 16, last);
                        pix = bgr(uint32_t(last) & 0xFFFFFF);
                        nib += 50;
                    } else if (flag == 0) {
                        // Eight differences, as smooth areas give: codes
                        // 0-4 from one window, 4-7 from the next.
                        uint64_t a = window16(nib + 2), b = window16(nib + 14);
                        pix = addBytes(pix, diff[a >> 52]);
                        store4(o, pix);
                        pix = addBytes(pix, diff[(a >> 40) & 0xFFF]);
                        store4(o + 3, pix);
                        pix = addBytes(pix, diff[(a >> 28) & 0xFFF]);
                        store4(o + 6, pix);
                        pix = addBytes(pix, diff[(a >> 16) & 0xFFF]);
                        store4(o + 9, pix);
                        pix = addBytes(pix, diff[b >> 52]);
                        store4(o + 12, pix);
                        pix = addBytes(pix, diff[(b >> 40) & 0xFFF]);
                        store4(o + 15, pix);
                        pix = addBytes(pix, diff[(b >> 28) & 0xFFF]);
                        store4(o + 18, pix);
                        pix = addBytes(pix, diff[(b >> 16) & 0xFFF]);
                        store3(o + 21, pix); // may be the last of the row
                        nib += 26;
                    } else {
                        nib += 2;
                        pix = nextPixel(nib, pix, flag & 0x80, diff);
                        store4(o, pix);
                        pix = nextPixel(nib, pix, flag & 0x40, diff);
                        store4(o + 3, pix);
                        pix = nextPixel(nib, pix, flag & 0x20, diff);
                        store4(o + 6, pix);
                        pix = nextPixel(nib, pix, flag & 0x10, diff);
                        store4(o + 9, pix);
                        pix = nextPixel(nib, pix, flag & 0x08, diff);
                        store4(o + 12, pix);
                        pix = nextPixel(nib, pix, flag & 0x04, diff);
                        store4(o + 15, pix);
                        pix = nextPixel(nib, pix, flag & 0x02, diff);
                        store4(o + 18, pix);
                        pix = nextPixel(nib, pix, flag & 0x01, diff);
                        store3(o + 21, pix); // may be the last of the row
                    }
                    o += 24;
                    x += 8;
                    continue;
                }
                nib += 2;
                mask = 0x80;
                if (nib > 2 * end)
                    return broken();
            }
            pix = nextPixel(nib, pix, flag & mask, diff);
            mask >>= 1;
            if (nib > 2 * end)
                return broken();
            // The last pixel of a row leaves the padding alone.
            if (x + 1 < width)
                store4(o, pix);
            else
                store3(o, pix);
            o += 3;
            x++;
        }
    }
    return true;
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
    // Sizes first, all in 64 bits, before anything is written.
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
    if (len < 0)
        return -1;

    int64_t left = len;
    int64_t reached = 0;
    bool ok = width == 0 || height == 0 ||
              decodePixels(fp, bits, width, height, stride, &left, &reached);
    // What follows the last pixel's code is read and ignored, but it must be there.
    while (ok && left > 0) {
        size_t want = left < int64_t(kChunk) ? size_t(left) : kChunk;
        ok = fread(in_buf, 1, want, fp) == want;
        left -= int64_t(want);
    }
    if (!ok) {
        // A broken stream leaves no half picture behind.
        if (reached > imageSize)
            reached = imageSize;
        if (reached > 0)
            std::memset(bits, 0, size_t(reached));
        return -1;
    }
    return 0;
}
