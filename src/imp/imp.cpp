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
//
// The code here is the portable reference: pixel by pixel, every code
// checked against the end of the data. Where the processor has vector
// instructions, whole groups inside a row go through the kernels of
// imp_x86.cpp or imp_neon.cpp instead, which give the same bytes; the edges
// (groups across row ends, the first group, the end of the stream) always
// take the path here.

#include "imp/imp.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "imp/kernels.h"
#include "support/bytes.h"
#include "support/geom.h"
#include "support/mem.h"
#include "support/msg.h"

char *impInfoData = nullptr;
int impInfoDataId = 1000;
int impInfoData_setFlg = 1;
int imp_scalar = 0;

namespace {

// The kernels this processor runs, chosen once.
const ImpKernels &fastKernels()
{
    static const ImpKernels k = [] {
        ImpKernels x = impX86Kernels();
        return x.enc ? x : impNeonKernels();
    }();
    return k;
}

ImpKernels kernels()
{
    return imp_scalar ? ImpKernels{"scalar", nullptr, nullptr} : fastKernels();
}

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
// buffer, where the kernels put their groups too. The staging buffer goes
// to the file in whole 256-byte blocks, so the file sees the same bytes,
// block-aligned, as through write_bits; the last partial block is handed
// to write_bits to end the stream.

constexpr size_t kStageDrain = 64 * 1024; // drain when this much is complete
// Behind it room for one more group (26 bytes), the 8-byte store of the
// accumulator and the stores of a kernel, 33 bytes from a group's start.
constexpr size_t kStageSize = kStageDrain + 128;

unsigned char stage_buf[kStageSize];

// Packing position in stage_buf. Between codes, bits is 0 or 4; with 4,
// the current byte stage_buf[pos] holds the pending nibble (the low four
// bits of acc) in its high half and zero in its low half.
struct Packer {
    uint64_t acc;   // the low `bits` bits are not yet complete bytes
    unsigned bits;
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
    ImpEncFn kernel;  // whole groups, or null
};

// Continues whatever stream the nibble writer holds (normally none).
void encStart(Encoder &e, FILE *fp)
{
    e.fp = fp;
    std::memcpy(stage_buf, wb_buf, size_t(wb_fill) + 1);
    e.pk.pos = size_t(wb_fill);
    e.pk.acc = wb_pending ? wb_buf[wb_fill] >> 4 : 0;
    e.pk.bits = wb_pending ? 4 : 0;
    if (!wb_pending)
        stage_buf[wb_fill] = 0;
    e.total = wb_total;
    e.failed = false;
    // The first pixel differs from this by at least 100 in every channel,
    // so it is always a literal.
    e.pb = e.pg = e.pr = -100;
    e.flag = 0;
    e.count = 0;
    e.kernel = kernels().enc;
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
    // The current byte moves along with the complete ones.
    std::memmove(stage_buf, stage_buf + n, e.pk.pos - n + 1);
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
    bool lit = db < -7 || db > 7 || dg < -7 || dg > 7 || dr < -7 || dr > 7;
    if (lit) {
        *code = uint32_t(b) << 16 | uint32_t(g) << 8 | uint32_t(r);
        return 1;
    }
    *code = uint32_t(db & 15) << 8 | uint32_t(dg & 15) << 4 | uint32_t(dr & 15);
    return 0;
}

// The flag field, then each code with 24 bits for a literal, 12 for a
// difference.
void emitGroup(Encoder &e)
{
    put(e.pk, e.flag, 8);
    for (int i = 0; i < e.count; i++)
        put(e.pk, e.code[i], (e.flag << i) & 0x80 ? 24 : 12);
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

// Codes the n pixels of a row at p, blue, green, red first.
void encodeRow(Encoder &e, const unsigned char *p, int64_t n)
{
    int64_t i = 0;
    // The group begun in the row before, and the first group of the
    // image, whose first pixel has no previous one, pixel by pixel.
    for (; i < n && (e.count != 0 || e.pb < 0); i++, p += 3)
        addPixel(e, p);

    while (e.kernel && n - i >= 8 && !e.failed) {
        // No more groups than the staging buffer takes before a drain.
        size_t groups = std::min(size_t((n - i) / 8), (kStageDrain - e.pk.pos) / 25 + 1);
        unsigned char prev[3] = {uint8_t(e.pb), uint8_t(e.pg), uint8_t(e.pr)};
        unsigned odd = e.pk.bits != 0;
        e.kernel(stage_buf, &e.pk.pos, &odd, p, groups, prev);
        e.pk.bits = odd ? 4 : 0;
        e.pk.acc = odd ? stage_buf[e.pk.pos] >> 4 : 0;
        i += 8 * int64_t(groups);
        p += 24 * groups;
        e.pb = p[-3];
        e.pg = p[-2];
        e.pr = p[-1];
        if (e.pk.pos >= kStageDrain)
            drain(e);
    }

    // Begin the next group with the rest.
    for (; i < n; i++, p += 3)
        addPixel(e, p);
}

// The same for pixels four bytes apart, pixel by pixel.
void encodeRow32(Encoder &e, const unsigned char *p, int64_t n)
{
    for (int64_t i = 0; i < n; i++, p += 4)
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
// Room behind the data for the loads of the window and of the kernels,
// which go at most 48 bytes past the last position they decode from.
constexpr size_t kSlack = 64;
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

inline void store3(unsigned char *o, uint32_t v)
{
    o[0] = uint8_t(v);
    o[1] = uint8_t(v >> 8);
    o[2] = uint8_t(v >> 16);
}

// Decodes the pixels into rows of stride bytes; false when the stream (or
// the file) ends before the last pixel's code, with *reached set past the
// bytes of bits written so far. Each field is checked against the end of
// the data before it is read.
bool decodePixels(FILE *fp, unsigned char *bits, int64_t width, int64_t height, int64_t stride,
                  int64_t *left, int64_t *reached)
{
    const ImpDecFn kernel = kernels().dec;
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
        *reached = o - bits;
        return false;
    };

    for (int64_t y = 0; y < height; y++) {
        o = bits + y * stride;
        for (int64_t x = 0; x < width;) {
            if (mask == 0) {
                if (!fill())
                    return broken();
                // Whole groups inside the row, as many as the buffer holds.
                if (kernel && width - x >= 8) {
                    size_t n = kernel(in_buf, &nib, 2 * end, o, &pix, size_t((width - x) / 8));
                    x += 8 * int64_t(n);
                    o += 24 * n;
                    if (n > 0)
                        continue;
                }
                if (nib + 2 > 2 * end)
                    return broken();
                flag = unsigned(window(nib) >> 56);
                nib += 2;
                mask = 0x80;
            }
            bool lit = flag & mask;
            if (nib + (lit ? 6 : 3) > 2 * end)
                return broken();
            uint64_t w = window(nib);
            if (lit) {
                // blue, green, red: the top three bytes of the window
                pix = uint32_t(w >> 56) | uint32_t(w >> 40 & 0xFF00) | uint32_t(w >> 24 & 0xFF0000);
                nib += 6;
            } else {
                pix = addBytes(pix, diffTable.v[w >> 52]);
                nib += 3;
            }
            mask >>= 1;
            store3(o, pix);
            o += 3;
            x++;
        }
    }
    return true;
}

} // namespace

const char *impKernelName()
{
    return kernels().enc ? kernels().name : "scalar";
}

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
    // A negative height: the rows lie top-down in the block. They are coded
    // from the last in memory on, which gives the stream of the same
    // picture stored bottom-up.
    bool topDown = height < 0;
    if (topDown)
        height = -height;
    Encoder e;
    encStart(e, fp);

    // A width or height of 0 codes no pixel; so does a negative width.
    if (width > 0 && height > 0) {
        // The depths the coder takes: 24 bits, and palette rows expanded.
        int64_t stride = dibRowSize(width, bitCount);
        if ((bitCount != 24 && bitCount != 8 && bitCount != 4) || stride < 0)
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
        for (int64_t y = 0; y < height && !e.failed; y++) {
            const unsigned char *row = bits + (topDown ? height - 1 - y : y) * stride;
            if (bitCount == 24) {
                encodeRow(e, row, width);
            } else {
                expandRow(scratch.get(), row, width, bitCount, table, colours);
                encodeRow(e, scratch.get(), width);
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
            encodeRow32(e, bits + y * stride, width);
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
    int64_t stride = dibRowSize(width, 24);
    int64_t imageSize = dibImageSize(width, height, 24);
    if (imageSize < 0 || imageSize > bitsLen)
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
