// ifpic.spi: PIC pictures of the X68000 (machine type 0) and of the generic
// machine type 15. Palette pictures (4 and 8 bits) come out as 8-bit with
// their table, direct colour (12, 15, 16 and 24 bits) as 24-bit, at the
// stored size. The PC-88VA, FM TOWNS and Macintosh types are not served.
//
// The header is a comment up to 0x1A, skipped bytes up to 0x00, a reserved
// 0x00, the machine byte, depth, width and height (big-endian), then from
// the generic type an extension and, for palette pictures, the palette.
// From there one bit stream: the picture is one line of dots, the rows
// joined, and the stream gives only the dots where the colour changes, each
// as its distance from the last and its colour; new colours go into a
// cache of 128 slots, which later change points can name. A change point
// may start a chain of steps one row down and up to two dots sideways that
// marks dots below it as changing to its colour too.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/spibits.h"
#include "common/spicommon.h"

namespace {

uint32_t be16(const unsigned char *p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

// Whether the machine byte names a type and mode this plug-in serves.
bool machineOk(unsigned char m)
{
    int type = m & 15, mode = m >> 4;
    return (type == 0 && mode == 0) || (type == 15 && (mode == 0 || mode == 1 || mode == 15));
}

// "PIC", and where the bytes given reach that far, a reserved 0x00 and a
// machine byte served here: other formats named PIC fail there. A comment
// longer than the bytes given is left to the decoder to judge.
bool isPic(const unsigned char *p, size_t n)
{
    if (n < 3 || std::memcmp(p, "PIC", 3) != 0)
        return false;
    size_t i = spiPastText(p, n, 3); // the reserved byte
    if (i == 0 || i >= n)
        return true;
    return p[i] == 0 && (i + 1 >= n || machineOk(p[i + 1]));
}

// How colour codes turn into blue, green and red.
enum Colour {
    kPalette, // an index into the palette
    kWord,    // X68000 word GGGGG RRRRR BBBBB I, I the lowest bit of all three
    kRgb15,   // GGGGG RRRRR BBBBB
    kRgb12,   // GGGG RRRR BBBB
    kRgb24    // G, R, B bytes
};

struct Header {
    int type;
    int depth;
    Colour colour;
    int palBits;  // bits of a palette component; 0: X68000 words
    int64_t width, height;
    LONG left, top;
    size_t data;  // offset of the palette, or of the stream without one
};

int readHeader(const SpiSource &src, Header *h)
{
    const unsigned char *d = src.data;
    const size_t n = src.size;
    size_t i = spiPastText(d, n, 3);
    if (i == 0 || n - i < 8)
        return SPI_OUT_OF_ORDER;
    // The identification has checked the reserved byte and the machine.
    h->type = d[i + 1] & 15;
    h->depth = int(be16(d + i + 2));
    h->width = be16(d + i + 4);
    h->height = be16(d + i + 6);
    h->left = h->top = 0;
    h->palBits = 0;
    i += 8;
    static const int x68k[] = {4, 8, 15, 16}, generic[] = {4, 8, 12, 15, 16, 24};
    const int *depths = h->type == 0 ? x68k : generic;
    const int count = h->type == 0 ? 4 : 6;
    if (std::find(depths, depths + count, h->depth) == depths + count)
        return SPI_NOT_SUPPORT;
    const bool indexed = h->depth <= 8;
    if (h->type == 15) {
        size_t ext = indexed ? 7 : 6;
        if (n - i < ext)
            return SPI_OUT_OF_ORDER;
        // The place the picture was saved at, 0xFFFF for none.
        uint32_t x = be16(d + i), y = be16(d + i + 2);
        h->left = x == 0xFFFF ? 0 : LONG(x);
        h->top = y == 0xFFFF ? 0 : LONG(y);
        if (indexed && d[i + 6] > 8)
            return SPI_NOT_SUPPORT;
        h->palBits = indexed ? d[i + 6] : 0;
        i += ext;
    }
    if (h->width == 0 || h->height == 0)
        return SPI_OUT_OF_ORDER;
    switch (h->depth) {
    case 12: h->colour = kRgb12; break;
    case 15: h->colour = kRgb15; break;
    case 16: h->colour = kWord; break;
    case 24: h->colour = kRgb24; break;
    default: h->colour = kPalette; break;
    }
    h->data = i;
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *info)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    info->left = h.left;
    info->top = h.top;
    info->width = LONG(h.width);
    info->height = LONG(h.height);
    info->colorDepth = h.colour == kPalette ? 8 : 24;
    return SPI_ALL_RIGHT;
}

// A direct colour code as blue | green << 8 | red << 16.
uint32_t toBgr(Colour kind, uint32_t c)
{
    uint32_t g, r, b;
    switch (kind) {
    case kWord: {
        uint32_t i = c & 1;
        g = spiWiden((c >> 10 & 0x3E) | i, 6);
        r = spiWiden((c >> 5 & 0x3E) | i, 6);
        b = spiWiden((c & 0x3E) | i, 6);
        break;
    }
    case kRgb15:
        g = spiWiden(c >> 10 & 31, 5);
        r = spiWiden(c >> 5 & 31, 5);
        b = spiWiden(c & 31, 5);
        break;
    case kRgb12:
        g = (c >> 8 & 15) * 17;
        r = (c >> 4 & 15) * 17;
        b = (c & 15) * 17;
        break;
    default:
        g = c >> 16 & 255;
        r = c >> 8 & 255;
        b = c & 255;
        break;
    }
    return b | g << 8 | r << 16;
}

// The colour cache: 128 slots with the order of their last use. A new
// colour replaces the least recently used slot.
struct Cache {
    uint32_t bgr[128] = {};
    unsigned char prev[128], next[128];
    int head, tail;

    // Every slot holds 0; from the most recent, 0, 127, 126 ... 1.
    Cache()
    {
        head = 0;
        tail = 1;
        int order[128] = {0};
        for (int k = 1; k < 128; k++)
            order[k] = 128 - k;
        for (int k = 0; k < 128; k++) {
            prev[order[k]] = (unsigned char)order[k > 0 ? k - 1 : 0];
            next[order[k]] = (unsigned char)order[k < 127 ? k + 1 : 127];
        }
    }

    void toFront(int s)
    {
        if (s == head)
            return;
        next[prev[s]] = next[s];
        if (s == tail)
            tail = prev[s];
        else
            prev[next[s]] = prev[s];
        next[s] = (unsigned char)head;
        prev[head] = (unsigned char)s;
        head = s;
    }

    uint32_t use(int s)
    {
        toFront(s);
        return bgr[s];
    }

    void add(uint32_t v)
    {
        int s = tail;
        bgr[s] = v;
        toFront(s);
    }
};

// The picture as one line of dots in the DIB, with a mark bit per dot for
// the dots that chains have set.
struct Dots {
    SpiDib *dib;
    int64_t width, n;
    size_t bpp; // bytes a dot, 1 or 3
    std::vector<uint64_t> marks;

    unsigned char *at(int64_t p) const
    {
        int64_t y = p / width;
        return dib->row(int(y)) + size_t(p - y * width) * bpp;
    }
    void put(unsigned char *o, uint32_t v) const
    {
        o[0] = (unsigned char)v;
        if (bpp == 3) {
            o[1] = (unsigned char)(v >> 8);
            o[2] = (unsigned char)(v >> 16);
        }
    }
    uint32_t get(const unsigned char *o) const { return bpp == 3 ? o[0] | o[1] << 8 | o[2] << 16 : o[0]; }
    bool marked(int64_t p) const { return marks[size_t(p >> 6)] >> (p & 63) & 1; }
    void mark(int64_t p) { marks[size_t(p >> 6)] |= uint64_t(1) << (p & 63); }
};

// A distance between change points: k 1s, a 0, then k + 1 bits; at most
// 31 ones are needed for any picture, -1 for more.
int64_t readLength(SpiBits &in)
{
    const uint64_t v = in.window();
    const int k = ~v == 0 ? 64 : __builtin_clzll(~v);
    if (k > 31)
        return -1;
    if (k > 26) { // longer than the window holds for sure
        in.skip(k + 1);
        return (int64_t(2) << k) - 1 + in.get(k + 1);
    }
    in.skip(2 * k + 2);
    return (int64_t(2) << k) - 1 + int64_t(v << (k + 1) >> (63 - k));
}

int decodeDots(SpiBits &in, const Header &h, Dots &dots, const SpiProgress &prog)
{
    const int64_t n = dots.n, w = dots.width;
    const bool cached = h.colour != kPalette;
    const int rows = int(h.height);
    Cache cache;
    uint32_t c = 0; // colour code 0 (index 0, or black) before the first change
    int64_t p = -1, x = w - 1, mark = 0;
    int y = -1;
    unsigned char *o = nullptr;
    for (;;) {
        if (in.over)
            return SPI_OUT_OF_ORDER;
        if (p >= mark) {
            if (prog.step(int(p / w), rows))
                return SPI_ABORT;
            mark = p + 16 * w;
        }
        int64_t len = readLength(in);
        if (len < 0)
            return SPI_OUT_OF_ORDER;
        // The dots up to the next change point keep the current colour,
        // but those a chain has marked, which change it.
        for (int64_t i = 0; i < len; i++) {
            if (++p == n)
                return in.over ? SPI_OUT_OF_ORDER : SPI_ALL_RIGHT;
            if (++x == w) {
                x = 0;
                o = dots.dib->row(++y);
            } else {
                o += dots.bpp;
            }
            if (i + 1 == len)
                break;
            if (dots.marked(p))
                c = dots.get(o);
            else
                dots.put(o, c);
        }
        // The change point itself.
        if (!cached)
            c = in.get(h.depth);
        else if (in.bit())
            c = cache.use(int(in.get(7)));
        else
            cache.add(c = toBgr(h.colour, in.get(h.depth)));
        dots.put(o, c);
        if (!in.bit())
            continue;
        // A chain: each step goes one row down and d dots sideways, as a
        // step in the line of dots, so that it may cross the row's edge.
        // Steps that leave the picture mark nothing, but the chain goes on.
        for (int64_t q = p;;) {
            int64_t d;
            uint32_t s = in.get(2);
            if (s != 0)
                d = int64_t(s) - 2;
            else if (!in.bit())
                break;
            else
                d = in.bit() ? 2 : -2;
            q += w + d;
            if (q > p && q < n) {
                dots.put(dots.at(q), c);
                dots.mark(q);
            }
            if (in.over)
                return SPI_OUT_OF_ORDER;
        }
    }
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    const int64_t n = h.width * h.height;
    const bool indexed = h.colour == kPalette;
    rc = spiAllocDib(dib, h.width, h.height, indexed ? 8 : 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    SpiBits in(src.data + h.data, src.data + src.size);
    if (indexed) {
        // X68000 words, or three components of palBits bits: G, R, B.
        const int colors = 1 << h.depth;
        for (int i = 0; i < colors; i++) {
            uint32_t bgr;
            if (h.palBits == 0) {
                bgr = toBgr(kWord, in.get(16));
            } else {
                uint32_t g = spiWiden(in.get(h.palBits), h.palBits), r = spiWiden(in.get(h.palBits), h.palBits);
                bgr = spiWiden(in.get(h.palBits), h.palBits) | g << 8 | r << 16;
            }
            dib->table[i] = {BYTE(bgr), BYTE(bgr >> 8), BYTE(bgr >> 16), 0};
        }
        dib->colors = colors;
        if (in.over)
            return SPI_OUT_OF_ORDER;
    }
    Dots dots{dib, h.width, n, indexed ? size_t(1) : size_t(3), {}};
    dots.marks.assign(size_t((n + 63) / 64), 0);
    if (prog.step(0, dib->height))
        return SPI_ABORT;
    rc = decodeDots(in, h, dots, prog);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    return prog.step(dib->height, dib->height) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"PIC plug-in for vexel 1.40", "*.pic", "PIC (X68000) image"}, isPic, info, decode,
                           kSpiOldMaxImage};
