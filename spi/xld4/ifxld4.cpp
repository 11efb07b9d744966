// ifxld4.spi: XLD4 (Q4) pictures of the PC-9801, 640 x 400 dots in 16
// colours from 4,096, handed out as 8-bit pictures with a 16-entry table.
//
// The file is a 16-byte header ("MAJYO" at 11, the file length at 8) and a
// run of chunks, each a 6-byte header and LZW-coded bytes 0 to 16 whose
// code width grows by escape codes. The unpacked bytes are palette indexes
// and base-17 run lengths; the first chunk holds the palette, the others
// the pixels, top row first.
//
// No description of the format from its author exists; what is read here
// is what makes the known decoder's files decode. Anything outside that
// structure is refused rather than guessed at: a chunk must supply exactly
// the pixels its header counts (so no run crosses into the next chunk), the
// palette chunk exactly its 96 values, and the file must end with the last
// chunk.
#include <cstring>
#include <vector>

#include "common/spicommon.h"

namespace {

constexpr size_t kHeadSize = 16;
constexpr size_t kChunkHead = 6;
constexpr int kWidth = 640, kHeight = 400;
constexpr size_t kMaxUnpacked = 65536;
constexpr uint32_t kMaxStep = 16384;

uint32_t le16(const unsigned char *p) { return uint32_t(p[1]) << 8 | p[0]; }

// "MAJYO" at 11, and the byte pattern at 1 to 3 that the known files show.
bool isXld4(const unsigned char *p, size_t n)
{
    if (n < 22 || std::memcmp(p + 11, "MAJYO", 5) != 0)
        return false;
    return p[2] == 2 || (p[1] <= 1 && p[3] <= 1);
}

// The length at 8 is the whole file's, so a file cut short or run on is
// seen before anything else is read.
int info(const SpiSource &src, PictureInfo *info)
{
    if (le16(src.data + 8) != src.size)
        return SPI_OUT_OF_ORDER;
    info->width = kWidth;
    info->height = kHeight;
    info->colorDepth = 8;
    return SPI_ALL_RIGHT;
}

// One chunk: where it lies and what its header says.
struct Chunk {
    const unsigned char *data;
    size_t size;
    uint32_t halfPixels; // half the pixels a pixel chunk supplies
};

// The chunk at *pos, moving *pos past it: header and data inside the file.
bool nextChunk(const SpiSource &src, size_t *pos, Chunk *c)
{
    size_t at = *pos;
    if (src.size - at < kChunkHead)
        return false;
    const unsigned char *p = src.data + at;
    c->size = le16(p);
    c->halfPixels = le16(p + 4);
    if (src.size - at - kChunkHead < c->size)
        return false;
    c->data = p + kChunkHead;
    *pos = at + kChunkHead + c->size;
    return true;
}

// The LZW layer: codes of b bits, first bit on top, b growing from 3 by
// the escape 1; 0 ends the chunk, and v >= 2 is code v - 2. Codes 0 to 16
// are those bytes; code 17 + t stands for what step t appended plus the
// first byte of what step t + 1 appended. Returns false for a chunk that
// unpacks past the limit or takes too many steps.
bool unpack(const Chunk &c, std::vector<unsigned char> *out, std::vector<uint32_t> *start)
{
    out->clear();
    const uint64_t bits = uint64_t(c.size) * 8;
    uint64_t at = 0;
    int width = 3;
    uint32_t step = 17;
    for (;;) {
        if (bits - at < uint64_t(width))
            return true;
        uint32_t v = 0;
        for (int i = 0; i < width; i++, at++)
            v = v << 1 | (c.data[at >> 3] >> (7 - (at & 7)) & 1);
        if (v == 0)
            return true;
        if (v == 1) {
            if (++width == 16)
                return true;
            continue;
        }
        uint32_t code = v - 2;
        if (code >= step)
            return true; // no such phrase yet: taken as the end
        (*start)[step] = uint32_t(out->size());
        if (code <= 16) {
            if (out->size() >= kMaxUnpacked)
                return false;
            out->push_back(static_cast<unsigned char>(code));
        } else {
            // For code = step - 1 the last byte is the first one this step
            // writes: copying from the front makes it in time.
            uint32_t from = (*start)[code], len = (*start)[code + 1] - from + 1;
            if (out->size() + len > kMaxUnpacked)
                return false;
            for (uint32_t i = 0; i < len; i++) {
                unsigned char b = (*out)[from + i];
                out->push_back(b);
            }
        }
        if (++step == kMaxStep)
            return false;
    }
}

// The run-length layer over one chunk's bytes: a byte below 16 is a
// value; 16 starts a run of 17 x c1 + c2 copies of the run value, which a
// c1 of 0 first replaces by the byte after it.
struct Runs {
    const std::vector<unsigned char> *in;
    size_t pos = 0;
    uint32_t left = 0; // copies of the run still to come
    unsigned char value = 0;

    explicit Runs(const std::vector<unsigned char> *bytes) : in(bytes) {}
    bool done() const { return left == 0 && pos == in->size(); }
    bool byte(unsigned char *b)
    {
        if (pos >= in->size())
            return false;
        *b = (*in)[pos++];
        return true;
    }
    // The next value; false when the chunk has none left.
    bool next(unsigned char *v)
    {
        while (left == 0) {
            unsigned char x, c1, c2;
            if (!byte(&x))
                return false;
            if (x < 16) {
                *v = x;
                return true;
            }
            if (!byte(&c1))
                return false;
            if (c1 == 0) {
                if (!byte(&value) || value >= 16 || !byte(&c1))
                    return false;
            }
            if (!byte(&c2))
                return false;
            left = 17u * c1 + c2;
        }
        left--;
        *v = value;
        return true;
    }
};

// The palette: 16 entries of red, green and blue, each a pair of values of
// which the second is the 4-bit component; stored entry i is index j.
int readPalette(Runs *runs, SpiDib *dib)
{
    for (int i = 0; i < 16; i++) {
        unsigned char c[6];
        for (unsigned char &v : c)
            if (!runs->next(&v))
                return SPI_OUT_OF_ORDER;
        int j = (i & 8) | (i & 1) << 2 | (i >> 1 & 3);
        dib->table[j].rgbRed = static_cast<BYTE>(c[1] * 17);
        dib->table[j].rgbGreen = static_cast<BYTE>(c[3] * 17);
        dib->table[j].rgbBlue = static_cast<BYTE>(c[5] * 17);
    }
    dib->colors = 16;
    return SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    PictureInfo pi;
    int rc = info(src, &pi);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    rc = spiAllocDib(dib, kWidth, kHeight, 8);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (prog.step(0, kHeight))
        return SPI_ABORT;

    std::vector<unsigned char> bytes;
    std::vector<uint32_t> start(kMaxStep);
    bytes.reserve(kMaxUnpacked);
    size_t pos = kHeadSize;
    Chunk c;
    if (!nextChunk(src, &pos, &c) || !unpack(c, &bytes, &start))
        return SPI_OUT_OF_ORDER;
    Runs runs(&bytes);
    rc = readPalette(&runs, dib);
    if (rc != SPI_ALL_RIGHT)
        return rc;

    // Each chunk, the palette's too, must have given all its values when
    // the next one is loaded.
    uint32_t left = 0; // pixels the current chunk still owes
    for (int y = 0; y < kHeight; y++) {
        unsigned char *o = dib->row(y);
        for (int x = 0; x < kWidth; x++) {
            if (left == 0) {
                if (!runs.done() || !nextChunk(src, &pos, &c) || c.halfPixels == 0 || !unpack(c, &bytes, &start))
                    return SPI_OUT_OF_ORDER;
                runs = Runs(&bytes);
                left = 2 * c.halfPixels;
            }
            if (!runs.next(&o[x]))
                return SPI_OUT_OF_ORDER;
            left--;
        }
        if (prog.step(y + 1, kHeight))
            return SPI_ABORT;
    }
    if (left != 0 || !runs.done() || pos != src.size)
        return SPI_OUT_OF_ORDER;
    return SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"XLD4 plug-in for vexel 1.40", "*.xld4;*.q4", "XLD4 image"}, isXld4, info, decode};
