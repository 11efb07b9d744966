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

// Largest picture handed out, well above any real one.
constexpr int64_t kMaxDib = INT64_C(1) << 28;

// Offset of the mode byte: just past the 0x00 that follows the first 0x1A,
// or 0 when the n bytes at p do not reach that far.
size_t modeAt(const unsigned char *p, size_t n)
{
    const void *eof = n > 2 ? std::memchr(p + 2, 0x1A, n - 2) : nullptr;
    if (eof == nullptr)
        return 0;
    size_t i = size_t(static_cast<const unsigned char *>(eof) - p) + 1;
    const void *zero = std::memchr(p + i, 0, n - i);
    return zero != nullptr ? size_t(static_cast<const unsigned char *>(zero) - p) + 1 : 0;
}

// "Pi" is a weak signature: the header must also reach a planes byte of 4
// or 8 within the bytes given.
bool isPi(const unsigned char *p, size_t n)
{
    if (n < 2 || p[0] != 'P' || p[1] != 'i')
        return false;
    size_t m = modeAt(p, n);
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
    size_t i = modeAt(d, n);
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
            t[i] = {BYTE(b * 85), BYTE(g << 5 | g << 2 | g >> 1), BYTE(r << 5 | r << 2 | r >> 1), 0};
        }
    }
}

// The move-to-front lists, one per colour of the left neighbour.
struct Lists {
    int planes;
    unsigned char t[256][256];

    explicit Lists(int bits) : planes(bits)
    {
        const int n = 1 << bits;
        for (int c = 0; c < n; c++)
            for (int k = 0; k < n; k++)
                t[c][k] = (unsigned char)((c - k) & (n - 1));
    }

    // The next colour of the stream, whose left neighbour has colour `left`:
    // a place in that colour's list, 1x for 0-1, else 1s up to planes - 2,
    // ended by a 0 below the maximum, then one more bit than there were 1s.
    unsigned char read(SpiBits &in, unsigned char left)
    {
        int k;
        if (in.bit()) {
            k = int(in.bit());
        } else {
            int j = in.ones(planes - 2);
            k = (2 << j) + int(in.get(j + 1));
        }
        unsigned char *l = t[left];
        unsigned char c = l[k];
        std::memmove(l + 1, l, size_t(k));
        l[0] = c;
        return c;
    }
};

// A run length in pairs: j 1s ended by a 0, then j bits. No picture needs
// more than 31 ones; -1 for a longer prefix.
int64_t readLength(SpiBits &in)
{
    int j = in.ones(32);
    if (j == 32)
        return -1;
    return j == 0 ? 1 : (int64_t(1) << j) + in.get(j);
}

// Decodes the n pixels of the stream into px, which has 2 x width bytes
// before it for the two rows above the picture.
int decodePixels(SpiBits &in, Lists &lists, unsigned char *px, int64_t width, int64_t n, const SpiProgress &prog,
                 int rows)
{
    // Pictures one or two pixels wide are plain colours, each with the
    // one before it as its left neighbour.
    if (width <= 2) {
        unsigned char left = 0;
        for (int64_t p = 0; p < n; p++)
            left = px[p] = lists.read(in, left);
        return in.over ? SPI_OUT_OF_ORDER : SPI_ALL_RIGHT;
    }
    // The first two colours fill the two rows above, which copies may read.
    unsigned char c0 = lists.read(in, 0), c1 = lists.read(in, c0);
    for (int64_t i = 0; i < 2 * width; i += 2) {
        px[i - 2 * width] = c0;
        px[i + 1 - 2 * width] = c1;
    }
    const int64_t far[5] = {0, width, 2 * width, width - 1, width + 1};
    int last = -1; // position of the last copy, none after colours
    int64_t p = 0, mark = 0;
    while (p < n) {
        if (in.over)
            return SPI_OUT_OF_ORDER;
        if (p >= mark) {
            if (prog.step(int(p / width), rows))
                return SPI_ABORT;
            mark = p + 16 * width;
        }
        int q = int(in.get(2));
        if (q == 3)
            q += int(in.bit());
        if (q != last) {
            int64_t len = readLength(in);
            if (len < 0)
                return SPI_OUT_OF_ORDER;
            int64_t d = q != 0 ? far[q] : px[p - 2] == px[p - 1] ? 2 : 4;
            if (p - d < -2 * width)
                return SPI_OUT_OF_ORDER;
            int64_t end = p + 2 * len < n ? p + 2 * len : n; // cut at the end of the picture
            if (d >= end - p) {
                std::memcpy(px + p, px + p - d, size_t(end - p));
            } else {
                // A source that overlaps the copy repeats its pixels.
                for (unsigned char *o = px + p, *e = px + end; o < e; o++)
                    *o = o[-d];
            }
            p = end;
            last = q;
            continue;
        }
        // The same position again: colours follow, in pairs, while a 1 bit
        // asks for more.
        do {
            px[p] = lists.read(in, px[p - 1]);
            if (++p == n)
                break;
            px[p] = lists.read(in, px[p - 1]);
            ++p;
        } while (p < n && in.bit());
        last = -1;
    }
    return in.over ? SPI_OUT_OF_ORDER : SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if ((h.width + 3) / 4 * 4 * h.height > kMaxDib)
        return SPI_NO_MEMORY;
    const int64_t n = h.width * h.height;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[size_t(n + 2 * h.width)]);
    std::unique_ptr<Lists> lists(new (std::nothrow) Lists(h.planes));
    if (!buf || !lists)
        return SPI_NO_MEMORY;
    rc = spiAllocDib(dib, h.width, h.height, 8);
    if (rc != SPI_ALL_RIGHT)
        return rc;
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
    rc = decodePixels(in, *lists, px, h.width, n, prog, dib->height);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    for (int y = 0; y < dib->height; y++)
        std::memcpy(dib->row(y), px + int64_t(y) * h.width, size_t(h.width));
    return prog.step(dib->height, dib->height) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"Pi plug-in for vexel 1.40", "*.pi", "Pi image"}, isPi, info, decode};
