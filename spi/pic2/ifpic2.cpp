// ifpic2.spi and ifp2.spi: PIC2 pictures ("P2DT"), the direct-colour
// format of the X68000 and its successors, 3 to 24 bits a pixel. The file
// is a 124-byte header, an optional palette, a comment and a chain of
// blocks, each a rectangle placed on a common canvas and coded one of four
// ways: arithmetic-coded (P2SS), bit codes (P2SF), or raw 16-bit units big-
// or little-endian (P2BM, P2BI). The picture comes out as 24 bits, each
// channel widened to 8 bits by repeating its bits. Palette pictures (depth
// 8) are not read.
//
// The same source is built as ifpic2.spi and as ifp2.spi, the file name the
// format's files often carry; PIC2_PATTERN tells them apart.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/spibits.h"
#include "common/spicommon.h"

#ifndef PIC2_PATTERN
#define PIC2_PATTERN "*.pic2"
#endif

namespace {

constexpr size_t kHeadSize = 124;
constexpr size_t kBlockHead = 26;
// The largest canvas and block; larger ones are refused as too large.
constexpr int64_t kMaxPixels = INT64_C(1) << 26;
// The most pixels decoded from all the blocks of one file together, and no
// more than its picture could be (three bytes a pixel).
constexpr int64_t kMaxWork = INT64_C(1) << 28;
constexpr uint32_t kNone = 0xFFFFFFFF; // no chain point here

uint32_t be16(const unsigned char *p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const unsigned char *p) { return be16(p) << 16 | be16(p + 2); }

bool depthOk(uint32_t d) { return d >= 3 && d <= 24 && d % 3 == 0; }

bool isPic2(const unsigned char *p, size_t n)
{
    if (n < 4 || std::memcmp(p, "P2DT", 4) != 0)
        return false;
    return n < 112 || depthOk(be16(p + 110));
}

enum Coding { kUnknown, kSS, kSF, kBM, kBI };

struct Block {
    Coding coding;
    int w, h, x, y;          // size and place on the canvas
    int rows;                // rows to decode: those down to the canvas's bottom
    bool keyed;              // pixels of colour `key` are not painted
    uint32_t key;
    const unsigned char *data; // the coded pixels
    size_t size;
};

// The block at *pos, moving *pos past it; *more turns false at the end of
// the chain, which is a zero byte or the end of the file.
int nextBlock(const SpiSource &src, size_t *pos, Block *b, bool *more)
{
    *more = false;
    const size_t at = *pos;
    if (src.size - at < 8 || src.data[at] == 0)
        return SPI_ALL_RIGHT;
    const unsigned char *p = src.data + at;
    uint32_t len = be32(p + 4);
    if (len < 8 || len > src.size - at)
        return SPI_OUT_OF_ORDER;
    b->coding = std::memcmp(p, "P2SS", 4) == 0   ? kSS
                : std::memcmp(p, "P2SF", 4) == 0 ? kSF
                : std::memcmp(p, "P2BM", 4) == 0 ? kBM
                : std::memcmp(p, "P2BI", 4) == 0 ? kBI
                                                 : kUnknown;
    if (b->coding != kUnknown) {
        if (len < kBlockHead)
            return SPI_OUT_OF_ORDER;
        b->keyed = (be16(p + 8) & 1) != 0;
        b->w = int(be16(p + 10));
        b->h = int(be16(p + 12));
        b->x = int(int16_t(be16(p + 14)));
        b->y = int(int16_t(be16(p + 16)));
        b->key = be32(p + 18);
        b->data = p + kBlockHead;
        b->size = len - kBlockHead;
    }
    *pos = at + len;
    *more = true;
    return SPI_ALL_RIGHT;
}

// What the header and the block chain say of the picture.
struct Layout {
    int depth;
    int64_t width, height;
    size_t first;   // offset of the first block
};

int readLayout(const SpiSource &src, Layout *lay)
{
    const unsigned char *p = src.data;
    const size_t n = src.size;
    if (n < kHeadSize)
        return SPI_OUT_OF_ORDER;
    lay->depth = int(be16(p + 110));
    if (!depthOk(uint32_t(lay->depth)))
        return SPI_NOT_SUPPORT;
    // The palette of palette pictures; here only its length counts, to
    // find where the comment starts.
    size_t body = kHeadSize;
    if (be16(p + 98) & 1) {
        if (n < kHeadSize + 3)
            return SPI_OUT_OF_ORDER;
        body += 3 + 3 * size_t(be16(p + 125));
    }
    uint32_t first = be32(p + 106);
    if (first < body || first > n)
        return SPI_OUT_OF_ORDER;
    lay->first = first;

    bool known = false;
    int64_t right = 0, bottom = 0, work = 0;
    size_t pos = first;
    for (;;) {
        Block b;
        bool more;
        int rc = nextBlock(src, &pos, &b, &more);
        if (rc != SPI_ALL_RIGHT)
            return rc;
        if (!more)
            break;
        if (b.coding == kUnknown)
            continue;
        known = true;
        int64_t area = int64_t(b.w) * b.h;
        if (area == 0)
            continue;
        work += area;
        if (area > kMaxPixels || work > kMaxWork || 3 * work > spiMaxImage(src.size))
            return SPI_NO_MEMORY;
        right = std::max(right, int64_t(b.x) + b.w);
        bottom = std::max(bottom, int64_t(b.y) + b.h);
    }
    if (!known)
        return SPI_NOT_SUPPORT;
    lay->width = be16(p + 116);
    lay->height = be16(p + 118);
    // A canvas of no size is taken as the smallest that holds every block.
    if (lay->width == 0 || lay->height == 0) {
        lay->width = right;
        lay->height = bottom;
    }
    if (lay->width <= 0 || lay->height <= 0)
        return SPI_OUT_OF_ORDER;
    if (lay->width * lay->height > kMaxPixels)
        return SPI_NO_MEMORY;
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *info)
{
    Layout lay;
    int rc = readLayout(src, &lay);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    info->width = LONG(lay.width);
    info->height = LONG(lay.height);
    info->colorDepth = 24;
    return SPI_ALL_RIGHT;
}

// Colours are held as D-bit numbers, red on top, then green, then blue, c
// bits each. The coded colours of P2SF and raw 15-bit pixels have green on
// top: exchanging the top two fields turns either order into the other.
struct Channels {
    int c;
    uint32_t max;
    uint32_t r(uint32_t v) const { return v >> 2 * c; }
    uint32_t g(uint32_t v) const { return v >> c & max; }
    uint32_t b(uint32_t v) const { return v & max; }
    uint32_t swap(uint32_t v) const { return g(v) << 2 * c | r(v) << c | b(v); }
    uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) const { return r << 2 * c | g << c | b; }
};

// The canvas being painted, and the progress over the rows of all blocks.
struct Canvas {
    SpiDib *dib;
    Channels ch;
    unsigned char wide[256]; // a channel widened to 8 bits
    const SpiProgress *prog;
    int64_t done, total;
};

// Paints row y of block b; false when the caller asks to stop.
bool paint(Canvas &cv, const Block &b, int y, const uint32_t *row)
{
    const SpiDib &dib = *cv.dib;
    const int64_t cy = int64_t(b.y) + y;
    if (cy >= 0 && cy < dib.height) {
        unsigned char *o = dib.row(int(cy));
        int x0 = std::max(0, -b.x);
        int x1 = int(std::min<int64_t>(b.w, int64_t(dib.width) - b.x));
        for (int x = x0; x < x1; x++) {
            uint32_t v = row[x];
            if (b.keyed && v == b.key)
                continue;
            unsigned char *q = o + 3 * size_t(b.x + x);
            q[0] = cv.wide[cv.ch.b(v)];
            q[1] = cv.wide[cv.ch.g(v)];
            q[2] = cv.wide[cv.ch.r(v)];
        }
    }
    return !cv.prog->step(int(++cv.done), int(cv.total));
}

// Raw blocks: w x h pixels of (D + 7) / 8 bytes, top row first.
int decodeRaw(const Block &b, Canvas &cv)
{
    const int d = cv.ch.c * 3;
    const size_t bytes = size_t(d + 7) / 8;
    if (uint64_t(b.w) * uint64_t(b.h) * bytes > b.size)
        return SPI_OUT_OF_ORDER;
    const uint32_t mask = (uint32_t(1) << d) - 1;
    std::vector<uint32_t> row(size_t(b.w));
    const unsigned char *p = b.data;
    for (int y = 0; y < b.rows; y++) {
        for (int x = 0; x < b.w; x++, p += bytes) {
            uint32_t v;
            if (bytes == 1)
                v = p[0];
            else if (bytes == 3)
                v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; // red first in both
            else if (b.coding == kBM)
                v = be16(p);
            else
                v = uint32_t(p[1]) << 8 | p[0];
            // 15 bits are an X68000 word, GGGGGRRRRRBBBBB and a spare bit.
            row[size_t(x)] = d == 15 ? cv.ch.swap(v >> 1) : v & mask;
        }
        if (!paint(cv, b, y, row.data()))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

// P2SF: runs of the colour before, change points with a new or a cached
// colour, and chains that carry a change point's colour one row down.
struct Sf {
    SpiBits in; // bits past the end read as 0: one writer leaves its last partial byte out
    Channels ch;
    int depth;
    int w;
    uint32_t cur = 0;
    int64_t run = 0;
    uint32_t batch = 0; // chain points still to pass before a change point
    std::vector<uint32_t> here, below; // chain points of this row and the next
    std::vector<uint32_t> slot;        // 256 contexts of 64 colours
    unsigned char pos[256] = {};

    Sf(const Block &b, const Channels &c)
        : in(b.data, b.data + b.size), ch(c), depth(3 * c.c), w(b.w), here(size_t(b.w), kNone), below(size_t(b.w), kNone),
          slot(256 * 64, 0)
    {
    }
};

// A length: a ones, a zero and a bits give v + 2^a - 1; 1023 says to pass
// 1023 chain points, and longer runs are sent one longer than they are.
bool sfLength(Sf &s)
{
    int a = 0;
    while (s.in.bit())
        if (++a > 31)
            return false;
    uint64_t v = a ? s.in.get(a) + (uint64_t(1) << a) - 1 : 0;
    if (v < 1023) {
        s.run = int64_t(v);
        s.batch = 0;
    } else if (v == 1023) {
        s.batch = 1023;
    } else {
        s.run = int64_t(v) - 1;
        s.batch = 0;
    }
    return true;
}

// The chain code of the point at column x: none, or a target in the next
// row at x, x - 1, x - 2, x + 1 or x + 2.
void sfChain(Sf &s, int x, bool lastRow)
{
    if (!s.in.bit())
        return;
    int t = x;
    if (!s.in.bit()) {
        int left = int(s.in.bit()), step = s.in.bit() ? 1 : 2;
        t = left ? x - step : x + step;
    }
    if (!lastRow && t >= 0 && t < s.w)
        s.below[size_t(t)] = s.cur;
}

// A colour code: a new colour in green-red-blue order, or one of the 64
// cached under the top 8 bits of the colour before.
void sfColour(Sf &s)
{
    uint32_t grb = s.ch.swap(s.cur);
    size_t k = s.depth >= 8 ? grb >> (s.depth - 8) : grb << (8 - s.depth);
    uint32_t *cache = &s.slot[k * 64];
    if (s.in.bit()) {
        s.cur = cache[(s.pos[k] + s.in.get(6)) & 63];
    } else {
        s.cur = s.ch.swap(s.in.get(s.depth));
        s.pos[k] = (s.pos[k] - 1) & 63;
        cache[s.pos[k]] = s.cur;
    }
}

int decodeSf(const Block &b, Canvas &cv)
{
    Sf s(b, cv.ch);
    std::vector<uint32_t> row(size_t(b.w));
    if (!sfLength(s))
        return SPI_OUT_OF_ORDER;
    for (int y = 0; y < b.rows; y++) {
        const bool last = y == b.h - 1;
        std::fill(s.below.begin(), s.below.end(), kNone);
        for (int x = 0; x < b.w; x++) {
            const uint32_t chained = s.here[size_t(x)];
            if (chained != kNone) {
                s.cur = chained;
                sfChain(s, x, last);
                if (s.batch > 0 && --s.batch == 0 && !sfLength(s))
                    return SPI_OUT_OF_ORDER;
            } else if (s.batch == 0 && --s.run < 0) {
                sfColour(s);
                sfChain(s, x, last);
                if (!sfLength(s))
                    return SPI_OUT_OF_ORDER;
            }
            row[size_t(x)] = s.cur;
        }
        std::swap(s.here, s.below);
        if (!paint(cv, b, y, row.data()))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

// The binary arithmetic decoder of P2SS: T[x] is the chance, in 1/65536,
// that a decision in context x is 0.
struct Arith {
    SpiBits in; // bits past the end read as 0: one writer leaves its last partial byte out
    uint32_t a = 0xFFFF, v;
    uint32_t t[128];
    // A code value at or above the range marks a broken stream; one that
    // starts so stays so, and is seen after the first decision.
    bool bad = false;

    Arith(const Block &b) : in(b.data + 256, b.data + b.size)
    {
        for (int i = 0; i < 128; i++)
            t[i] = be16(b.data + 2 * i);
        v = in.get(16);
    }
    int decide(int x)
    {
        uint32_t cut = std::max<uint32_t>((a >> 8) * t[x] >> 8, 1);
        int d = v >= cut;
        if (d) {
            v -= cut;
            a -= cut;
        } else {
            a = cut;
        }
        while (a < 0x8000) {
            a <<= 1;
            v = v << 1 | in.bit();
        }
        bad |= v >= a;
        return d;
    }
    // A number 0 to 255 in the group of contexts at x: the place of the
    // first 1 among eight decisions, then that many low bits.
    int number(int x)
    {
        for (int k = 0; k < 8; k++) {
            if (decide(x + k)) {
                int n = 0;
                for (int i = 0; i < k; i++)
                    n |= decide(x + 8 + i) << i;
                return (1 << k) - 1 + n;
            }
        }
        return 255;
    }
};

// Contexts of P2SS.
enum {
    kNewAfterHit = 15,  // new colour or cached, after a cached one
    kNewAfterNew = 16,  // ... at the start and after a new one
    kCacheIndex = 17,
    kGreen = 32,
    kRed = 48,
    kBlue = 64,
    kChain = 80, // 80 + 6s for a chain point reached by step s
};

// A component from its number n and prediction e: small numbers alternate
// above and below e, the rest count from the side with more room.
int fromNumber(int n, int e, int max)
{
    if (2 * e > max) {
        if (n > 2 * (max - e))
            return max - n;
    } else if (n > 2 * e) {
        return n;
    }
    return n & 1 ? e + (n + 1) / 2 : e - n / 2;
}

struct Ss {
    Arith ac;
    Channels ch;
    int w;
    int hc = kNewAfterNew;
    std::vector<uint32_t> prev, row;   // the row above and this one
    std::vector<uint32_t> here, below; // chain points: colour, step on top
    std::vector<unsigned char> marks[3]; // change points of this row and the two above, two spare each side
    std::vector<uint32_t> slot;          // 512 contexts of 32 colours
    unsigned char pos[512] = {};

    Ss(const Block &b, const Channels &c)
        : ac(b), ch(c), w(b.w), prev(size_t(b.w), 0), row(size_t(b.w), 0), here(size_t(b.w), kNone),
          below(size_t(b.w), kNone), slot(512 * 32, 0)
    {
        for (auto &m : marks)
            m.assign(size_t(b.w) + 4, 0);
    }
};

// A colour: predicted from the pixels above and to the left, or taken
// from the cache of the colour above, which moves it to the front.
bool ssColour(Ss &s, int x, int y, uint32_t *cur)
{
    const Channels &ch = s.ch;
    const int max = int(ch.max);
    uint32_t up = y ? s.prev[size_t(x)] : 0;
    uint32_t left = x ? s.row[size_t(x) - 1] : y ? s.prev[size_t(s.w) - 1] : 0;
    size_t k = 0;
    if (ch.c >= 3) {
        int sh = ch.c - 3;
        k = (ch.r(up) >> sh) << 6 | (ch.g(up) >> sh) << 3 | ch.b(up) >> sh;
    }
    uint32_t *cache = &s.slot[k * 32];
    unsigned char &m = s.pos[k];
    if (s.ac.decide(s.hc)) {
        s.hc = kNewAfterNew;
        int pr = int(ch.r(up) + ch.r(left)) / 2, pg = int(ch.g(up) + ch.g(left)) / 2,
            pb = int(ch.b(up) + ch.b(left)) / 2;
        int g = fromNumber(s.ac.number(kGreen), pg, max);
        if (g < 0 || g > max)
            return false;
        int pr2 = std::min(std::max(pr + g - pg, 0), max), pb2 = std::min(std::max(pb + g - pg, 0), max);
        int r = fromNumber(s.ac.number(kRed), pr2, max);
        if (r < 0 || r > max)
            return false;
        int b = fromNumber(s.ac.number(kBlue), pb2, max);
        if (b < 0 || b > max)
            return false;
        *cur = ch.rgb(uint32_t(r), uint32_t(g), uint32_t(b));
        m = (m - 1) & 31;
        cache[m] = *cur;
    } else {
        s.hc = kNewAfterHit;
        int j = s.ac.number(kCacheIndex) & 31;
        int i = (m + j / 2) & 31, q = (m + j) & 31;
        *cur = cache[q];
        cache[q] = cache[i];
        cache[i] = cache[m];
        cache[m] = *cur;
    }
    return true;
}

// The chain of a point at column x, whose decisions start at context base:
// none, or a target in the next row at x, x - 1, x + 1, x - 2 or x + 2,
// which remembers the step that reached it.
void ssChain(Ss &s, int x, int base, uint32_t cur)
{
    if (s.ac.decide(base))
        return;
    static const int kMove[6] = {0, 0, -1, 1, -2, 2};
    int step = 1;
    while (step < 4 && !s.ac.decide(base + step))
        step++;
    if (step == 4 && !s.ac.decide(base + 4))
        step = 5;
    int t = x + kMove[step];
    if (t >= 0 && t < s.w)
        s.below[size_t(t)] = uint32_t(step) << 24 | cur;
}

int decodeSs(const Block &b, Canvas &cv)
{
    if (b.size < 256)
        return SPI_OUT_OF_ORDER;
    Ss s(b, cv.ch);
    for (int y = 0; y < b.rows; y++) {
        const bool last = y == b.h - 1;
        std::fill(s.below.begin(), s.below.end(), kNone);
        std::rotate(s.marks, s.marks + 2, s.marks + 3); // the oldest row becomes this one
        unsigned char *m0 = s.marks[0].data() + 2, *m1 = s.marks[1].data() + 2, *m2 = s.marks[2].data() + 2;
        std::fill(m0 - 2, m0 + b.w + 2, 0);
        uint32_t cur = y ? s.prev[size_t(b.w) - 1] : 0;
        for (int x = 0; x < b.w; x++) {
            const uint32_t chained = s.here[size_t(x)];
            if (chained != kNone) {
                cur = chained & 0xFFFFFF;
                if (!last)
                    ssChain(s, x, kChain + 6 * int(chained >> 24), cur);
            } else {
                int ctx = m0[x - 1] + m0[x - 2] + m1[x - 1] + m1[x] + m1[x + 1] + m2[x - 1] + m2[x] + m2[x + 1];
                if (s.ac.decide(ctx)) {
                    m0[x] = 1;
                    if (!ssColour(s, x, y, &cur))
                        return SPI_OUT_OF_ORDER;
                    if (!last)
                        ssChain(s, x, kChain, cur);
                }
            }
            if (s.ac.bad)
                return SPI_OUT_OF_ORDER;
            s.row[size_t(x)] = cur;
        }
        std::swap(s.here, s.below);
        std::swap(s.prev, s.row);
        if (!paint(cv, b, y, s.prev.data()))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Layout lay;
    int rc = readLayout(src, &lay);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    rc = spiAllocDib(dib, lay.width, lay.height, 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    Canvas cv;
    cv.dib = dib;
    cv.ch.c = lay.depth / 3;
    cv.ch.max = (uint32_t(1) << cv.ch.c) - 1;
    for (uint32_t v = 0; v <= cv.ch.max; v++)
        cv.wide[v] = spiWiden(v, cv.ch.c);
    cv.prog = &prog;
    cv.done = 0;
    cv.total = 0;
    for (int pass = 0; pass < 2; pass++) {
        // The first pass counts the rows for the progress calls, the
        // second decodes the blocks in file order, each afresh.
        size_t pos = lay.first;
        for (;;) {
            Block b;
            bool more;
            rc = nextBlock(src, &pos, &b, &more);
            if (rc != SPI_ALL_RIGHT || !more)
                break;
            if (b.coding == kUnknown)
                continue;
            // Nothing after a row below the canvas shows, nor a block
            // wholly beside it: neither is decoded.
            b.rows = int(std::min<int64_t>(b.h, std::max<int64_t>(lay.height - b.y, 0)));
            if (b.w == 0 || b.rows == 0 || b.x >= lay.width || b.x + b.w <= 0 || b.y + b.h <= 0)
                continue;
            if (pass == 0) {
                cv.total += b.rows;
                continue;
            }
            rc = b.coding == kSS ? decodeSs(b, cv) : b.coding == kSF ? decodeSf(b, cv) : decodeRaw(b, cv);
            if (rc != SPI_ALL_RIGHT)
                return rc;
        }
        if (rc != SPI_ALL_RIGHT)
            return rc;
        cv.total = std::max<int64_t>(cv.total, 1);
        if (pass == 0 && prog.step(0, int(cv.total)))
            return SPI_ABORT;
    }
    return prog.step(int(cv.total), int(cv.total)) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"PIC2 plug-in for vexel 1.40", PIC2_PATTERN, "PIC2 image"}, isPic2, info, decode};
