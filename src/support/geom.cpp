// The one check of a picture's info block against its two blocks.
#include "support/geom.h"

bool dibLayout(const BITMAPINFOHEADER *bih, int64_t infoLen, int64_t bitsLen, DibLayout *out)
{
    DibLayout d = {};
    d.bitCount = bih->biBitCount;
    switch (d.bitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return false;
    }
    if (bih->biCompression == BI_BITFIELDS) {
        if (d.bitCount != 16 && d.bitCount != 32)
            return false;
        d.masks = 12;
    } else if (bih->biCompression != BI_RGB) {
        return false;
    }
    if (bih->biWidth < 0 || bih->biHeight == INT32_MIN)
        return false;
    d.width = bih->biWidth;
    d.topDown = bih->biHeight < 0;
    d.rows = d.topDown ? -int64_t(bih->biHeight) : int64_t(bih->biHeight);
    d.rowSize = dibRowSize(d.width, d.bitCount);
    d.image = dibImageSize(d.width, d.rows, d.bitCount);
    if (d.image < 0)
        return false;

    // The table the header claims must all be there; a file carries no more
    // of it than its pixels can use.
    int64_t claimed = 0;
    if (d.bitCount <= 8) {
        claimed = bih->biClrUsed != 0 ? int64_t(bih->biClrUsed) : dibMaxColors(d.bitCount);
        d.colors = claimed < dibMaxColors(d.bitCount) ? claimed : dibMaxColors(d.bitCount);
    }
    if (infoLen >= 0 && 40 + d.masks + 4 * claimed > infoLen)
        return false;
    if (bitsLen >= 0 && d.image > bitsLen)
        return false;
    if (54 + d.masks + 4 * d.colors + d.image > kMaxDib)
        return false;
    *out = d;
    return true;
}
