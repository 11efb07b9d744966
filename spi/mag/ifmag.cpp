// ifmag.spi: MAG ("MAKI02") pictures of 16 and 256 colours, handed out as
// 8-bit pictures with their colour table. Pictures of 200-line screens keep
// their stored rows; doubling them is left to the user.
//
// After the signature comes informational text up to a 0x1A, then a 32-byte
// header, the palette, and three streams the header points at. The picture
// is stored in 2-byte words, in rows of whole cells of two words. Every word
// is either the next word of the pixel stream or a copy of one of 15 nearby
// words, as a 4-bit code says; the two codes of a cell make its flag byte.
// Each flag byte is stored as its difference (xor) from the one above it:
// flag A has a bit per cell saying whether it changed, flag B the changes.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/spicommon.h"

namespace {

const unsigned char kSignature[8] = {'M', 'A', 'K', 'I', '0', '2', ' ', ' '};

bool isMag(const unsigned char *p, size_t n)
{
    return n >= 8 && std::memcmp(p, kSignature, 8) == 0;
}

uint32_t le16(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t le32(const unsigned char *p)
{
    return le16(p) | le16(p + 2) << 16;
}

// What the header says, with the offsets made file offsets.
struct Header {
    const unsigned char *pal; // G R B entries
    bool deep;                // 256 colours, 8 bits a dot
    uint32_t x1, y1, x2, y2;
    int64_t offA, offB, offP; // file offsets of the streams
    uint32_t sizeB, sizeP;
    int64_t width, height;
};

int readHeader(const SpiSource &src, Header *h)
{
    const unsigned char *d = src.data;
    const size_t n = src.size;
    // The text before the header runs to the first 0x1A: Shift_JIS never
    // holds one, and writers do not agree on the lengths of its parts.
    const void *eof = std::memchr(d + 8, 0x1A, n - 8);
    if (eof == nullptr)
        return SPI_OUT_OF_ORDER;
    const size_t hs = size_t(static_cast<const unsigned char *>(eof) - d) + 1;
    if (n - hs < 32)
        return SPI_OUT_OF_ORDER;
    const unsigned char *p = d + hs;
    h->deep = (p[3] & 0x80) != 0;
    h->x1 = le16(p + 4);
    h->y1 = le16(p + 6);
    h->x2 = le16(p + 8);
    h->y2 = le16(p + 10);
    h->offA = int64_t(hs) + le32(p + 12);
    h->offB = int64_t(hs) + le32(p + 16);
    h->sizeB = le32(p + 20);
    h->offP = int64_t(hs) + le32(p + 24);
    h->sizeP = le32(p + 28);
    if (h->x1 > h->x2 || h->y1 > h->y2)
        return SPI_OUT_OF_ORDER;
    h->width = int64_t(h->x2) - h->x1 + 1;
    h->height = int64_t(h->y2) - h->y1 + 1;
    if (n - hs - 32 < (h->deep ? 768u : 48u))
        return SPI_OUT_OF_ORDER;
    h->pal = p + 32;
    // MSX screens 10 to 12 hold YJK colour, not palette indexes.
    if (p[1] == 0x03 && (p[2] == 0x24 || p[2] == 0x34 || p[2] == 0x44))
        return SPI_NOT_SUPPORT;
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *info)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    info->left = LONG(h.x1);
    info->top = LONG(h.y1);
    info->width = LONG(h.width);
    info->height = LONG(h.height);
    info->colorDepth = 8;
    return SPI_ALL_RIGHT;
}

// How the stored rows lie: `cells` cells a row, the picture starting `left`
// dots into each.
struct Layout {
    int64_t cells;
    int64_t left;
};

// Cells of 8 dots at 16 colours and 4 dots (two words) at 256.
Layout cellLayout(const Header &h)
{
    const uint32_t dots = h.deep ? 4 : 8;
    return {int64_t(h.x2 / dots) - h.x1 / dots + 1, h.x1 % dots};
}

// The 256-colour layout of the writers that align rows to 8 dots as at 16
// colours: twice as many cells of 4 dots.
Layout octetLayout(const Header &h)
{
    return {2 * (int64_t(h.x2 / 8) - h.x1 / 8 + 1), h.x1 % 8};
}

// The bytes of the stream at file offset `off` that the file holds, of
// `size` the header gives it.
size_t present(const SpiSource &src, int64_t off, int64_t size)
{
    if (off >= int64_t(src.size))
        return 0;
    int64_t left = int64_t(src.size) - off;
    return size_t(size < left ? size : left);
}

// One reading of the streams with a layout: the stored words, row after
// row, and how much of flag B and the pixel data it took.
struct Reading {
    int rc = SPI_OUT_OF_ORDER;
    std::unique_ptr<uint16_t[]> words;
    int64_t needA = 0;
    size_t usedB = 0, usedP = 0;
};

void readStreams(const SpiSource &src, const Header &h, Layout lay, const SpiProgress &prog, Reading *out)
{
    const int64_t cells = lay.cells, wd = 2 * cells, rows = h.height;
    out->needA = (cells * rows + 7) / 8;
    if (out->needA > int64_t(src.size) || h.offA > int64_t(src.size) - out->needA) {
        out->rc = SPI_OUT_OF_ORDER; // flag A is needed whole
        return;
    }
    // Flag A holds a bit per cell, so the file bounds the words too.
    out->words.reset(new (std::nothrow) uint16_t[size_t(wd * rows)]);
    if (!out->words) {
        out->rc = SPI_NO_MEMORY;
        return;
    }
    const unsigned char *a = src.data + h.offA;
    const unsigned char *b = src.data + (h.offB < int64_t(src.size) ? h.offB : 0);
    const unsigned char *px = src.data + (h.offP < int64_t(src.size) ? h.offP : 0);
    const size_t lenB = present(src, h.offB, h.sizeB), lenP = present(src, h.offP, h.sizeP);
    // How far back each code copies from, in words: dx to the left and dy
    // rows up, counted in one run of words so that a copy from left of the
    // row start reaches into the end of an earlier row.
    static const int dx[16] = {0, 1, 2, 4, 0, 1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0};
    static const int dy[16] = {0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16};
    int64_t back[16];
    for (int i = 0; i < 16; i++)
        back[i] = dy[i] * wd + dx[i];
    std::vector<unsigned char> flag(size_t(cells), 0);
    uint16_t *w = out->words.get();
    size_t bitA = 0, ib = 0, ip = 0;
    int64_t t = 0;
    // Written without branches where the data decides, which a picture
    // makes hard to foresee; the checks are branches that are never taken
    // in a sound file. b[0] can always be read (lenB 0 or not).
    for (int64_t r = 0; r < rows; r++) {
        for (int64_t c = 0; c < cells; c++, bitA++) {
            const unsigned changed = a[bitA >> 3] >> (7 - (bitA & 7)) & 1;
            if (changed && ib == lenB)
                return; // flag B ends early
            const unsigned f = flag[size_t(c)] ^= b[ib < lenB ? ib : 0] & (0u - changed);
            ib += changed;
            // The left word's code in the high nibble, the right one's low:
            // code 0 takes the next word of the pixel data, the others an
            // earlier word of the picture.
            for (unsigned i = 0, code = f >> 4; i < 2; i++, t++, code = f & 15) {
                const bool pixel = code == 0;
                if ((t < back[code]) | (pixel & (lenP - ip < 2)))
                    return; // a copy from before the picture, or the pixel data ends early
                const void *from = pixel ? px + ip : static_cast<const void *>(w + (t - back[code]));
                std::memcpy(&w[t], from, 2);
                ip += pixel ? 2 : 0;
            }
        }
        if (prog.step(int(r + 1), int(rows))) {
            out->rc = SPI_ABORT;
            return;
        }
    }
    out->usedB = ib;
    out->usedP = ip;
    out->rc = SPI_ALL_RIGHT;
}

// Whether a reading took its streams as their writer sized them: all the
// pixel data, and flag A and flag B but for a byte of padding at most.
bool fits(const Header &h, const Reading &r)
{
    if (r.rc != SPI_ALL_RIGHT || r.usedP != h.sizeP || h.sizeB - r.usedB > 1)
        return false;
    if (h.offB < h.offA)
        return true;
    int64_t spare = h.offB - h.offA - r.needA;
    return spare == 0 || spare == 1;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Header h;
    int rc = readHeader(src, &h);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (!spiDibFits(*dib, h.width, h.height, 8))
        return SPI_NO_MEMORY;
    const int colors = h.deep ? 256 : 16;
    for (int i = 0; i < colors; i++) {
        dib->table[i].rgbGreen = h.pal[3 * i];
        dib->table[i].rgbRed = h.pal[3 * i + 1];
        dib->table[i].rgbBlue = h.pal[3 * i + 2];
    }
    if (prog.step(0, int(h.height)))
        return SPI_ABORT;

    // One widely used writer stores 256-colour rows in 8-dot units as at 16
    // colours. Where the two layouts differ, the one that takes the streams
    // exactly as long as the header says is the one the file was written in;
    // when neither does, the cell layout stands.
    Layout lay = cellLayout(h);
    Reading first, second, *use = &first;
    readStreams(src, h, lay, prog, &first);
    if (first.rc != SPI_ALL_RIGHT && first.rc != SPI_OUT_OF_ORDER)
        return first.rc;
    const Layout octet = octetLayout(h);
    if (h.deep && (octet.cells != lay.cells || octet.left != lay.left) && !fits(h, first)) {
        readStreams(src, h, octet, prog, &second);
        if (second.rc != SPI_ALL_RIGHT && second.rc != SPI_OUT_OF_ORDER)
            return second.rc;
        if (fits(h, second)) {
            use = &second;
            lay = octet;
        }
    }
    if (use->rc != SPI_ALL_RIGHT)
        return use->rc;

    rc = spiAllocDib(dib, h.width, h.height, 8);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    dib->colors = colors;
    const size_t rowBytes = size_t(lay.cells) * 4, w = size_t(h.width), left = size_t(lay.left);
    const unsigned char *stored = reinterpret_cast<const unsigned char *>(use->words.get());
    for (int y = 0; y < dib->height; y++, stored += rowBytes) {
        unsigned char *o = dib->row(y);
        if (h.deep) {
            std::memcpy(o, stored + left, w);
            continue;
        }
        // Two dots a byte, the left one in the high nibble.
        for (size_t x = left; x < left + w; x++)
            *o++ = (stored[x >> 1] >> (x & 1 ? 0 : 4)) & 15;
    }
    return prog.step(dib->height, dib->height) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"MAG plug-in for vexel 1.40", "*.mag", "MAG (MAKI02) image"}, isMag, info, decode,
                           kSpiOldMaxImage};
