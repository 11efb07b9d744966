// ifpi.spi: Pi pictures of 16 and 256 colours, handed out as 8-bit
// pictures with their colour table, at their stored size whatever shape
// the file says its dots have.
//
// The header is a comment up to 0x1A, skipped bytes up to 0x00, a few
// fields (big-endian), the size and the palette. Then one bit stream codes
// the pixels in reading order, the rows joined, in pairs: a step either
// copies a run of pairs from one of five nearby places, or gives colours
// one by one, each as its place in a move-to-front list kept for the colour
// of the pixel to its left.
#include <cstring>
#include <memory>
#include <new>

#include "common/spibits.h"
#include "common/spicommon.h"

namespace {

// "Pi" is a weak signature: the header must also reach a planes byte of 4
// or 8 within the bytes given.
bool isPi(const unsigned char *p, size_t n)
{
    if (n < 2 || p[0] != 'P' || p[1] != 'i')
        return false;
    size_t m = spiPastText(p, n, 2); // the mode byte
    return m != 0 && n - m > 3 && (p[m + 3] == 4 || p[m + 3] == 8);
}

uint32_t be16(const unsigned char *p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

struct Header {
    int planes;               // 4 or 8 bits a pixel
    const unsigned char *pal; // R G B entries, or null for the default
    int64_t width, height;
    size_t data;              // offset of the bit stream
};

int readHeader(const SpiSource &src, Header *h)
{
    const unsigned char *d = src.data;
    const size_t n = src.size;
    // The identification has found the mode and a planes byte of 4 or 8.
    size_t i = spiPastText(d, n, 2);
    if (n - i < 10)
        return SPI_OUT_OF_ORDER;
    const bool ownPalette = (d[i] & 0x80) == 0;
    h->planes = d[i + 3];
    // The aspect bytes and the machine name do not change the pixels; nor
    // does the extension, whatever it holds.
    size_t ext = be16(d + i + 8);
    i += 10;
    if (n - i < ext + 4)
        return SPI_OUT_OF_ORDER;
    i += ext;
    h->width = be16(d + i);
    h->height = be16(d + i + 2);
    i += 4;
    h->pal = nullptr;
    if (ownPalette) {
        size_t bytes = size_t(3) << h->planes;
        if (n - i < bytes)
            return SPI_OUT_OF_ORDER;
        h->pal = d + i;
        i += bytes;
    }
    if (h->width == 0 || h->height == 0)
        return SPI_OUT_OF_ORDER;
    h->data = i;
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *info)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    info->width = LONG(h.width);
    info->height = LONG(h.height);
    info->colorDepth = 8;
    return SPI_ALL_RIGHT;
}

// The colours of files without a palette. 16: bit 0 blue, 1 red, 2 green,
// at half strength below 8 and full from 8. 256: GGGRRRBB, each level
// widened to 8 bits by repeating its bits.
void defaultPalette(int planes, RGBQUAD *t)
{
    for (int i = 0; i < (1 << planes); i++) {
        if (planes == 4) {
            BYTE on = i & 8 ? 0xF0 : 0x70;
            t[i] = {BYTE(i & 1 ? on : 0), BYTE(i & 4 ? on : 0), BYTE(i & 2 ? on : 0), 0};
        } else {
            int g = i >> 5, r = (i >> 2) & 7, b = i & 3;
            t[i] = {spiWiden(b, 2), spiWiden(g, 3), spiWiden(r, 3), 0};
        }
    }
}

// The move-to-front lists, one per colour of the left neighbour: list c
// starts c, c - 1, c - 2 ... all the way round.
struct Lists {
    unsigned char t[256][256];

    explicit Lists(int planes)
    {
        const unsigned mask = (1u << planes) - 1;
        for (unsigned c = 0; c < 256; c++)
            for (unsigned k = 0; k < 256; k++)
                t[c][k] = (unsigned char)((c - k) & mask);
    }
};

// Codes are read from a window of the coming bits (SpiBits::window), at
// least 56 of them, taken from the top; the stream then skips what was
// used. A pair of colours with the bit after it, or a position with a run
// length below 2^27, fits in one window.
struct Window {
    uint64_t v;
    int used;

    uint32_t take(int n) // 1 to 32 bits
    {
        uint32_t r = uint32_t(v >> (64 - n));
        v <<= n;
        used += n;
        return r;
    }
};

// A place in a colour list: 1x for 0-1, else 0, 1s up to planes - 2 ended
// by a 0 below the maximum, then one more bit than there were 1s. Codes of
// up to 13 bits (all of them at 16 colours, places below 128 at 256) are
// looked up by the next 13 bits: their place, and their length above it.
struct Places {
    uint16_t code[1 << 13] = {}; // 0: a longer code
    explicit Places(int planes)
    {
        for (int k = 0; k < (1 << planes); k++) {
            int j = 0, n, bits;
            if (k < 2) {
                n = 2, bits = 2 | k;
            } else {
                while ((4 << j) <= k)
                    j++;
                // 0, j ones, a 0 below the maximum, j + 1 bits
                const int stop = j < planes - 2;
                n = 1 + j + stop + j + 1;
                bits = (((1 << j) - 1) << stop << (j + 1)) | (k - (2 << j));
            }
            if (n > 13)
                continue;
            for (int low = 0; low < (1 << (13 - n)); low++)
                code[bits << (13 - n) | low] = uint16_t(n << 8 | k);
        }
    }
};

const Places &places(int planes)
{
    static const Places four(4), eight(8);
    return planes == 4 ? four : eight;
}

inline int readPlace(Window &w, const Places &tab)
{
    const unsigned e = tab.code[w.v >> 51];
    if (e != 0) {
        const int n = int(e >> 8);
        w.v <<= n;
        w.used += n;
        return int(e & 255);
    }
    // 14 bits at 256 colours: 0, six 1s, 7 bits
    w.take(7);
    return 128 + int(w.take(7));
}

// Eight bytes as a number, the first the lowest, and back: one load or
// store each for compilers.
inline uint64_t load8(const unsigned char *p)
{
    return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24 |
           uint64_t(p[4]) << 32 | uint64_t(p[5]) << 40 | uint64_t(p[6]) << 48 | uint64_t(p[7]) << 56;
}

inline void store8(unsigned char *p, uint64_t v)
{
    p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8), p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24), p[4] = (unsigned char)(v >> 32), p[5] = (unsigned char)(v >> 40);
    p[6] = (unsigned char)(v >> 48), p[7] = (unsigned char)(v >> 56);
}

// The colour at place k of list l, moved to its front. Most places are
// below 8: the first 8 bytes are then rebuilt at once, the colour and the
// k before it moved back one, with no loop whose end the data decides (and
// one store, which the next look at the same list can read back whole).
inline unsigned char toFront(unsigned char *l, int k)
{
    const unsigned char c = l[k];
    if (k < 8) {
        const uint64_t old = load8(l), moved = ~uint64_t(0) >> (56 - 8 * k); // places 0 to k
        store8(l, ((old << 8 | c) & moved) | (old & ~moved));
    } else {
        std::memmove(l + 1, l, size_t(k));
        l[0] = c;
    }
    return c;
}

// The next colour, whose left neighbour has colour `left`. Kept inline:
// it is the heart of the decoding loop.
[[gnu::always_inline]] inline unsigned char readColour(Window &w, Lists &lists, const Places &tab, unsigned char left)
{
    return toFront(lists.t[left], readPlace(w, tab));
}

// Decodes the n pixels of the stream into px, which has 2 x width bytes
// before it for the two rows above the picture, and 16 after it. The
// reader is a copy, for the compiler to keep in registers.
int decodePixels(SpiBits in, Lists &lists, int planes, unsigned char *px, int64_t width, int64_t n,
                 const SpiProgress &prog, int rows)
{
    const Places &tab = places(planes);
    // Pictures one or two pixels wide are plain colours, each with the
    // one before it as its left neighbour.
    if (width <= 2) {
        unsigned char left = 0;
        for (int64_t p = 0; p < n; p++) {
            Window w{in.window(), 0};
            left = px[p] = readColour(w, lists, tab, left);
            in.skip(w.used);
        }
        return in.over ? SPI_OUT_OF_ORDER : SPI_ALL_RIGHT;
    }
    // The first two colours fill the two rows above, which copies may read.
    Window first{in.window(), 0};
    const unsigned char c0 = readColour(first, lists, tab, 0), c1 = readColour(first, lists, tab, c0);
    in.skip(first.used);
    for (int64_t i = 0; i < 2 * width; i += 2) {
        px[i - 2 * width] = c0;
        px[i + 1 - 2 * width] = c1;
    }
    int64_t dist[5] = {0, width, 2 * width, width - 1, width + 1};
    int last = -1; // position of the last copy, none after colours
    int64_t p = 0, mark = 0;
    // A stream that ends early reads as zeros, which still fill at least a
    // pixel a step: it is found out every 16 rows and at the end.
    while (p < n) {
        if (p >= mark) {
            if (in.over)
                return SPI_OUT_OF_ORDER;
            if (prog.step(int(p / width), rows))
                return SPI_ABORT;
            mark = p + 16 * width;
        }
        // 00, 01, 10 for positions 0 to 2; 110 and 111 for 3 and 4.
        static const unsigned char place[8] = {0, 0, 1, 1, 2, 2, 3, 4}, bits[8] = {2, 2, 2, 2, 2, 2, 3, 3};
        Window w{in.window(), 0};
        const unsigned top = unsigned(w.v >> 61);
        const int q = place[top];
        w.take(bits[top]);
        if (q == last) {
            // The same position again: colours follow, in pairs, while a
            // 1 bit asks for more.
            in.skip(w.used);
            for (bool more = true; more;) {
                Window c{in.window(), 0};
                px[p] = readColour(c, lists, tab, px[p - 1]);
                if (++p < n) {
                    px[p] = readColour(c, lists, tab, px[p - 1]);
                    more = ++p < n && c.take(1);
                } else {
                    more = false;
                }
                in.skip(c.used);
            }
            last = -1;
            continue;
        }
        // A copy of a run of pairs. Its length: j 1s ended by a 0, then j
        // bits; no picture needs more than 31 ones.
        const int j = ~w.v == 0 ? 64 : __builtin_clzll(~w.v);
        int64_t len;
        if (j <= 26) {
            // the j bits after the 0, none for j = 0
            len = (int64_t(1) << j) + int64_t(w.v << (j + 1) >> 1 >> (63 - j));
            in.skip(w.used + 2 * j + 1);
        } else if (j <= 31) { // longer than a window holds for sure
            in.skip(w.used + j + 1);
            len = (int64_t(1) << j) + in.get(j);
        } else {
            return SPI_OUT_OF_ORDER;
        }
        // The distance: a copy never starts before the rows above, as
        // p >= 0 and no distance exceeds 2 x width.
        dist[0] = px[p - 2] == px[p - 1] ? 2 : 4;
        const int64_t d = dist[q];
        const int64_t end = p + 2 * len < n ? p + 2 * len : n; // cut at the end of the picture
        // Pixel by pixel in order, so that a source that overlaps the copy
        // repeats its pixels; but in pieces of 8 or 16 where they come out
        // the same, most copies being short: from 16 or 8 back, whose
        // source is always written already. The up to 15 pixels too many
        // (there is room after the picture) are written over later.
        unsigned char *o = px + p, *e = px + end;
        if (d >= 16) {
            do {
                std::memcpy(o, o - d, 16);
                o += 16;
            } while (o < e);
        } else if (d >= 8) {
            do {
                std::memcpy(o, o - d, 8);
                o += 8;
            } while (o < e);
        } else {
            for (; o < e; o++)
                *o = o[-d];
        }
        p = end;
        last = q;
    }
    return in.over ? SPI_OUT_OF_ORDER : SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    // The picture first, which must also fit what the file can make; the
    // pixels are decoded beside it, in a line with the rows above.
    rc = spiAllocDib(dib, h.width, h.height, 8);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    const int64_t n = h.width * h.height;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[size_t(2 * h.width + n + 16)]);
    // The lists in their first state are made once, then copied.
    static const Lists four(4), eight(8);
    std::unique_ptr<Lists> lists(new (std::nothrow) Lists(h.planes == 4 ? four : eight));
    if (!buf || !lists)
        return SPI_NO_MEMORY;
    const int colors = 1 << h.planes;
    if (h.pal == nullptr) {
        defaultPalette(h.planes, dib->table);
    } else {
        for (int i = 0; i < colors; i++)
            dib->table[i] = {h.pal[3 * i + 2], h.pal[3 * i + 1], h.pal[3 * i], 0};
    }
    dib->colors = colors;
    if (prog.step(0, dib->height))
        return SPI_ABORT;
    SpiBits in(src.data + h.data, src.data + src.size);
    unsigned char *px = buf.get() + 2 * h.width;
    rc = decodePixels(in, *lists, h.planes, px, h.width, n, prog, dib->height);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    for (int y = 0; y < dib->height; y++)
        std::memcpy(dib->row(y), px + int64_t(y) * h.width, size_t(h.width));
    return prog.step(dib->height, dib->height) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"Pi plug-in for vexel 1.40", "*.pi", "Pi image"}, isPi, info, decode,
                           kSpiOldMaxImage};
