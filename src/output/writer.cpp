// The bitmap writer: a DIB pair as a BMP, BM2 or IMP file, the kind taken
// from the output name's extension.
//
// The file is written to a temporary file beside the output and moved over
// it only when it is complete, closed and the drive still had room; on any
// failure the temporary file goes and an existing output stays as it was.
#include "output/output.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "imp/imp.h"
#include "platform/platform.h"
#include "support/bytes.h"
#include "support/msg.h"
#include "support/text.h"

int write_chk = 0;

namespace {

// Largest size a file header field can state.
constexpr int64_t kMaxSize = 0x7FFFFFFF;
// A large stream buffer, and the rows handed over in as few calls as
// possible (the stream then writes them straight from the pixel block),
// keep the number of system calls and copies small.
constexpr size_t kStreamBuffer = size_t(1) << 20;
constexpr int64_t kBlock = int64_t(1) << 30;

enum { KIND_BMP = 0, KIND_BM2 = 1, KIND_IMP = 2 };

// Row width in bytes, including the padding to a 4-byte boundary.
int64_t rowBytes(int64_t width, int bitCount)
{
    return (width * bitCount + 31) / 32 * 4;
}

int64_t absHeight(const BITMAPINFOHEADER *bih)
{
    int64_t h = bih->biHeight;
    return h < 0 ? -h : h;
}

// Colour table bytes that follow the header in a BMP file.
int64_t tableBytes(const BITMAPINFOHEADER *bih)
{
    int bc = bih->biBitCount;
    if (bc == 24)
        return 0;
    if (bc == 1 || bc == 4 || bc == 8)
        return bih->biClrUsed == 0 ? int64_t(4) << bc : int64_t(4) * bih->biClrUsed;
    // 16 and 32 bits: the table the picture says it has, and the three
    // colour masks when it has them.
    return int64_t(4) * bih->biClrUsed + (bih->biCompression == BI_BITFIELDS ? 12 : 0);
}

// Pixel bytes of a BMP file: 24-bit pictures by the row rule, others as
// biSizeImage says, or by the row rule when it says nothing.
int64_t imageBytes(const BITMAPINFOHEADER *bih)
{
    int64_t rule = bih->biWidth < 0 ? 0 : rowBytes(bih->biWidth, bih->biBitCount) * absHeight(bih);
    if (bih->biBitCount == 24 || bih->biSizeImage == 0)
        return rule;
    return bih->biSizeImage;
}

// Whether the file can state its sizes, and takes nothing from beyond the
// info block (40 bytes and the table) or the pixel block.
bool blocksHold(const BITMAPINFOHEADER *bih, int kind, int64_t table, int64_t pixels, long infoLen, long bitsLen)
{
    // A BMP header cannot describe rows of negative width.
    if (kind == KIND_BMP && bih->biWidth < 0)
        return false;
    if (54 + table + pixels > kMaxSize)
        return false;
    if (infoLen >= 0 && 40 + table > infoLen)
        return false;
    if (bitsLen >= 0 && pixels > bitsLen)
        return false;
    return true;
}

// Writes n bytes in large blocks; false on a short write.
bool put(FILE *fp, const void *data, int64_t n)
{
    auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        int64_t k = n < kBlock ? n : kBlock;
        if (std::fwrite(p, 1, size_t(k), fp) != size_t(k))
            return false;
        p += k;
        n -= k;
    }
    return true;
}

int writeFailed(FILE *fp, const char *path, const std::string &temp)
{
    errmsg("%s: writing error\n", path);
    Fclose(fp, path);
    removeFile(temp.c_str());
    return -1;
}

} // namespace

unsigned char *convHeader(const BITMAPINFOHEADER *bih, int flag)
{
    static unsigned char h[54];
    std::memset(h, 0, sizeof h);
    int64_t table = tableBytes(bih);
    int64_t image = imageBytes(bih);
    h[0] = 'B';
    h[1] = flag ? '2' : 'M';
    putLE32(h + 2, uint32_t(54 + table + image));
    putLE32(h + 10, uint32_t(bih->biBitCount == 24 ? 54 : 54 + table));
    putLE32(h + 14, bih->biSize);
    putLE32(h + 18, uint32_t(bih->biWidth));
    putLE32(h + 22, uint32_t(bih->biHeight));
    putLE16(h + 26, bih->biPlanes);
    putLE16(h + 28, bih->biBitCount);
    putLE32(h + 30, bih->biCompression);
    uint32_t sizeImage = bih->biSizeImage;
    if (flag)
        sizeImage = 0;
    else if (sizeImage == 0)
        sizeImage = uint32_t(image);
    putLE32(h + 34, sizeImage);
    putLE32(h + 38, uint32_t(bih->biXPelsPerMeter));
    putLE32(h + 42, uint32_t(bih->biYPelsPerMeter));
    putLE32(h + 46, bih->biClrUsed);
    putLE32(h + 50, bih->biClrImportant);
    return h;
}

unsigned char *convHeader2(const BITMAPINFOHEADER *bih)
{
    static unsigned char h[47];
    std::memset(h, 0, sizeof h);
    h[0] = 'I';
    h[1] = 'M';
    // The comment goes only with the picture of the IMP input it came from.
    uint32_t dataOffset = 47;
    if (impInfoData != nullptr && bih->biXPelsPerMeter == impInfoDataId)
        dataOffset += uint32_t(std::strlen(impInfoData));
    putLE32(h + 6, dataOffset);
    putLE32(h + 10, uint32_t(bih->biWidth));
    putLE32(h + 14, uint32_t(bih->biHeight));
    h[18] = 24;
    return h;
}

int writeBitmap(BITMAPINFO *info, unsigned char *bits, const char *path, long infoLen, long bitsLen)
{
    const char *ext = findExt(path);
    int kind = -1;
    if (ext != nullptr) {
        if (StrCmp(ext + 1, "bmp") == 0)
            kind = KIND_BMP;
        else if (StrCmp(ext + 1, "bm2") == 0)
            kind = KIND_BM2;
        else if (StrCmp(ext + 1, "imp") == 0)
            kind = KIND_IMP;
    }
    if (kind < 0) {
        errmsg("%s: bad extension\n", path);
        return 1;
    }
    if (infoLen >= 0 && infoLen < 40) {
        errmsg("%s: cannot convert\n", path);
        return 1;
    }
    const BITMAPINFOHEADER *bih = &info->bmiHeader;
    if (kind != KIND_BMP && bih->biBitCount != 24) {
        errmsg("%s: cannot convert because of no full color data\n", path);
        return 1;
    }

    // Everything the file will take from the two blocks must be in them.
    int64_t table = 0, pixels = 0;
    if (kind == KIND_BMP) {
        table = tableBytes(bih);
        pixels = imageBytes(bih);
    } else if (bih->biWidth > 0 && bih->biHeight > 0) {
        pixels = rowBytes(bih->biWidth, 24) * bih->biHeight;
    }
    if (!blocksHold(bih, kind, table, pixels, infoLen, bitsLen)) {
        errmsg("%s: cannot convert\n", path);
        return 1;
    }

    if (write_chk && checkOverwrite(0, 0, path) == 0)
        return 1;

    // One buffer serves every output, each closed before the next opens.
    static char buffer[kStreamBuffer];
    std::string temp;
    FILE *fp = openTempBeside(path, temp);
    if (fp == nullptr) {
        errmsg("%s: cannot write\n", path);
        return -1;
    }
    std::setvbuf(fp, buffer, _IOFBF, sizeof buffer);

    unsigned char *work;
    unsigned char impWork[54];
    if (kind != KIND_IMP) {
        work = convHeader(bih, kind == KIND_BM2);
        if (!put(fp, work, 54))
            return writeFailed(fp, path, temp);
        if (bih->biBitCount != 24 && table > 0 &&
            !put(fp, reinterpret_cast<const unsigned char *>(info) + 40, table))
            return writeFailed(fp, path, temp);
    } else {
        unsigned char *h = convHeader2(bih);
        if (!put(fp, h, 47))
            return writeFailed(fp, path, temp);
        uint32_t dataOffset = getLE32(h + 6);
        if (dataOffset > 47 && !put(fp, impInfoData, dataOffset - 47))
            return writeFailed(fp, path, temp);
        // write_data works on the 54-byte layout: the IMP data offset
        // stands where bfOffBits would be read from.
        std::memset(impWork, 0, sizeof impWork);
        impWork[0] = 'I';
        impWork[1] = 'M';
        putLE32(impWork + 14, dataOffset);
        std::memcpy(impWork + 18, h + 10, 8);
        work = impWork;
    }

    if (kind != KIND_BMP) {
        if (write_data(fp, path, work, bits, info, 24) != 0)
            return writeFailed(fp, path, temp);
    } else if (!put(fp, bits, pixels)) {
        return writeFailed(fp, path, temp);
    }

    if (Fclose(fp, path) != 0) {
        errmsg("%s: writing error\n", path);
        removeFile(temp.c_str());
        return -1;
    }
    if (replaceFile(temp.c_str(), path) != 0) {
        errmsg("%s: cannot write\n", path);
        removeFile(temp.c_str());
        return -1;
    }
    return 0;
}
