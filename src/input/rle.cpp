// Run-length decoding of 8-bit and 4-bit BMP pixel data.
//
// The data is a sequence of two-byte codes: a count of 1 to 255 repeats the
// value (one pixel, or two alternating nibbles); a count of 0 is an escape:
// 0 end of line, 1 end of bitmap, 2 delta (two more bytes, dx and dy), 3 to
// 255 an absolute run of that many pixels, padded to a 16-bit boundary.
//
// Both decoders keep a row and column position in the zero-filled output,
// so that an end of line or a delta lands where the writer meant it to,
// whatever padding the rows have. Nothing is ever written outside the
// picture: pixels past the right edge are dropped, and decoding stops once
// the position has left the top row. A code whose bytes are not all present
// is not applied; it ends the decoding.
#include "input/input.h"

#include <cstdint>

#include "support/geom.h"

namespace {

// Position of the next pixel in the output rows.
struct RlePos {
    unsigned char *out;
    int64_t rowSize; // bytes per row, padding included
    int64_t rows;    // whole rows that fit in the output
    int64_t width;   // pixels per row
    int64_t x, y;
};

// Sets up the position; false when not a single pixel can be written.
bool rleStart(RlePos &p, unsigned char *out, int outLen, int width, int bitCount)
{
    if (out == nullptr || outLen <= 0 || width <= 0)
        return false;
    p.rowSize = dibRowSize(width, bitCount);
    p.rows = outLen / p.rowSize;
    p.width = width;
    p.out = out;
    p.x = 0;
    p.y = 0;
    return p.rows > 0;
}

// Moves dx pixels right and dy rows up; false once past the last row.
bool rleMove(RlePos &p, int dx, int dy)
{
    p.y += dy;
    p.x += dx;
    if (p.x > p.width)
        p.x = p.width;
    return p.y < p.rows;
}

// Starts the next row; false when there is none.
bool rleNextLine(RlePos &p)
{
    p.x = 0;
    p.y++;
    return p.y < p.rows;
}

// Pixels past the right edge are dropped; the column stays at the edge.
// Puts one pixel; pixels past the right edge are dropped and the column
// stays at the edge.
template <int Bits> inline void put(RlePos &p, unsigned v)
{
    if (p.x >= p.width)
        return;
    unsigned char *row = p.out + p.y * p.rowSize;
    if (Bits == 8) {
        row[p.x] = (unsigned char)v;
    } else {
        unsigned char &b = row[p.x >> 1];
        if (p.x & 1)
            b = (unsigned char)((b & 0xF0) | (v & 0x0F));
        else
            b = (unsigned char)((b & 0x0F) | (v << 4));
    }
    p.x++;
}

// Pixel j of a run or of absolute data: a whole byte for 8 bits, the high
// then the low nibble for 4 bits.
template <int Bits> inline unsigned pixelOf(const unsigned char *data, int j, bool run)
{
    if (Bits == 8)
        return run ? data[0] : data[j];
    unsigned b = run ? data[0] : data[j / 2];
    return (j & 1) ? b & 0x0F : b >> 4;
}

template <int Bits> int decodeRle(const unsigned char *src, int srcLen, unsigned char *out, int outLen, int width)
{
    RlePos p;
    if (src == nullptr || srcLen <= 0 || !rleStart(p, out, outLen, width, Bits))
        return 0;
    int64_t i = 0, n = srcLen;
    while (n - i >= 2) {
        int count = src[i], value = src[i + 1];
        i += 2;
        if (count > 0) {
            for (int j = 0; j < count; j++)
                put<Bits>(p, pixelOf<Bits>(src + i - 1, j, true));
            continue;
        }
        if (value == 0) {
            if (!rleNextLine(p))
                break;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (n - i < 2)
                break;
            int dx = src[i], dy = src[i + 1];
            i += 2;
            if (!rleMove(p, dx, dy))
                break;
        } else {
            // value pixels, in whole bytes padded to a 16-bit boundary.
            int bytes = Bits == 8 ? value : (value + 1) / 2;
            if (n - i < bytes)
                break;
            for (int j = 0; j < value; j++)
                put<Bits>(p, pixelOf<Bits>(src + i, j, false));
            i += bytes + (bytes & 1);
        }
    }
    return 0;
}

} // namespace

int decodeRle8(const unsigned char *src, int srcLen, unsigned char *out, int outLen, int width)
{
    return decodeRle<8>(src, srcLen, out, outLen, width);
}

int decodeRle4(const unsigned char *src, int srcLen, unsigned char *out, int outLen, int width)
{
    return decodeRle<4>(src, srcLen, out, outLen, width);
}
