// Picture geometry: how many bytes the rows of a DIB take, and what a
// picture's info block says about the blocks that hold it. Every part that
// sizes pixel rows (readers, writer, run-length decoder, IMP coder,
// plug-ins) takes its sizes from here, so that they agree and none can
// overflow.
#ifndef VEXEL_SUPPORT_GEOM_H
#define VEXEL_SUPPORT_GEOM_H

#include <cstdint>

#include "platform/winapi.h"

// Largest block, and largest size a file header field can state.
constexpr int64_t kMaxDib = INT64_C(0x7FFFFFFF);

// Bytes of one row of width pixels of bitCount bits: whole bytes, then up to
// a multiple of 4. -1 when width or bitCount is negative or the row would
// pass kMaxDib.
inline int64_t dibRowSize(int64_t width, int64_t bitCount)
{
    if (width < 0 || bitCount < 0 || bitCount > 64 || width > kMaxDib)
        return -1;
    int64_t row = (width * bitCount + 31) / 32 * 4;
    return row <= kMaxDib ? row : -1;
}

// Row size times rows: the bytes of the picture. -1 when rows is negative or
// the picture would pass kMaxDib.
inline int64_t dibImageSize(int64_t width, int64_t rows, int64_t bitCount)
{
    int64_t row = dibRowSize(width, bitCount);
    if (row < 0 || rows < 0 || (row != 0 && rows > kMaxDib / row))
        return -1;
    return row * rows;
}

// Colour table entries that pixels of bitCount bits can index: 2, 16 or
// 256 for 1, 4 and 8 bits; none for more.
inline int64_t dibMaxColors(int bitCount)
{
    return bitCount == 1 || bitCount == 4 || bitCount == 8 ? int64_t(1) << bitCount : 0;
}

// What a picture's info block says, checked: the form in which the writer
// takes it, and in which the driver takes a plug-in's picture.
struct DibLayout {
    int bitCount;      // 1, 4, 8, 16, 24 or 32
    int64_t width;     // 0 or more
    int64_t rows;      // the height without its sign
    bool topDown;      // rows stored top row first (negative height)
    int64_t rowSize;   // bytes per row, padding included
    int64_t image;     // bytes of all rows
    int64_t masks;     // bytes of colour masks behind the 40-byte header: 12 or 0
    int64_t colors;    // table entries a file of this picture carries
};

// Fills *out from the info header and checks the two blocks. infoLen and
// bitsLen are the sizes of the info block and of the pixel block, or -1
// when not known. True when the picture is one the program can write:
// - 1, 4, 8, 16, 24 or 32 bits per pixel, plain rows (or colour masks for 16
//   and 32 bits); no negative width, no height of -2^31;
// - the info block holds the header, the masks and every table entry the
//   header claims, and the pixel block holds every row;
// - a BMP file of it (54 bytes of header, masks, table, rows) can state its
//   own size.
// The table a file carries is the one the header claims, but never more
// entries than the pixels can index, and none for 16, 24 and 32 bits.
bool dibLayout(const BITMAPINFOHEADER *bih, int64_t infoLen, int64_t bitsLen, DibLayout *out);

#endif
