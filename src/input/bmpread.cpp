// The native reader: BMP, BM2 and IMP files into a DIB pair.
//
// BMP and BM2 start with the 54-byte file and info header, the colour table
// and then the pixel data: rows for BMP (plain or run-length coded), an IMP
// stream for BM2. IMP has a 47-byte header of its own and an optional
// comment in front of its stream; the reader turns that header into the
// 54-byte form so that the rest of the program sees one layout.
//
// Every size in a header is checked in 64 bits before anything is allocated,
// and no length taken from the file is trusted beyond the file's own length.
#include "input/input.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "imp/imp.h"
#include "support/bytes.h"
#include "support/mem.h"
#include "support/msg.h"

namespace {

// Largest block or file field the DIB can describe.
constexpr int64_t kMaxSize = 0x7FFFFFFF;

// The input stays open until the reader returns, whichever way it does.
struct InFile {
    FILE *fp = nullptr;
    ~InFile()
    {
        if (fp != nullptr)
            std::fclose(fp);
    }
};

// Reads up to n bytes and tells how many came.
int64_t readBytes(FILE *fp, void *buf, int64_t n)
{
    if (n <= 0)
        return 0;
    return int64_t(std::fread(buf, 1, size_t(n), fp));
}

// Reads up to limit bytes, growing the buffer only as data arrives, so that
// a length field far beyond the file's end costs nothing.
void readUpTo(FILE *fp, int64_t limit, std::vector<unsigned char> &buf)
{
    constexpr int64_t kChunk = int64_t(1) << 20;
    buf.clear();
    while (int64_t(buf.size()) < limit) {
        int64_t want = limit - int64_t(buf.size());
        if (want > kChunk)
            want = kChunk;
        size_t at = buf.size();
        buf.resize(at + size_t(want));
        int64_t got = readBytes(fp, buf.data() + at, want);
        buf.resize(at + size_t(got));
        if (got < want)
            break;
    }
}

// Length of the file, or -1 when it cannot be told (a pipe).
int64_t fileLength(FILE *fp)
{
    if (std::fseek(fp, 0, SEEK_END) != 0)
        return -1;
    long len = std::ftell(fp);
    if (std::fseek(fp, 0, SEEK_SET) != 0)
        return -1;
    return len < 0 ? -1 : int64_t(len);
}

int fail(const char *format, const char *path)
{
    if (vexel_msgout)
        errmsg(format, path);
    return -1;
}

// Row width in bytes, including the padding to a 4-byte boundary.
int64_t rowBytes(int64_t width, int bitCount)
{
    return (width * bitCount + 31) / 32 * 4;
}

// The shortest IMP stream that codes pixels pixels: a flag byte for every
// eight, a literal for the first and difference codes for the rest (in
// nibbles), then the final byte.
int64_t minStreamLength(int64_t pixels)
{
    if (pixels <= 0)
        return 1;
    int64_t nibbles = 2 * ((pixels + 7) / 8) + 6 + 3 * (pixels - 1);
    return nibbles / 2 + 1;
}

// Takes the 47-byte IMP header and its comment, and builds the 54-byte
// header from it. Returns 0, or -1 after the message.
int readImpHeader(FILE *fp, const char *path, int64_t fileLen, unsigned char *h54, int64_t *streamLen)
{
    unsigned char ih[47];
    if (readBytes(fp, ih, 47) != 47)
        return fail("%s: failed to read header\n", path);
    int64_t dataOffset = getLE32s(ih + 6);
    int64_t commentLen = dataOffset - 47;
    if (impInfoData_setFlg) {
        // A picture without a comment must not pass on an older one.
        freemem(impInfoData);
        impInfoData = nullptr;
        if (commentLen > 0) {
            if (fileLen >= 0 && commentLen > fileLen - 47)
                return fail("%s: failed to read header\n", path);
            auto *text = static_cast<char *>(getmem(int(commentLen + 1)));
            if (text == nullptr || readBytes(fp, text, commentLen) != commentLen) {
                freemem(text);
                return fail("%s: failed to read header\n", path);
            }
            text[commentLen] = '\0';
            impInfoData = text;
        }
    } else if (commentLen > 0) {
        std::fseek(fp, long(commentLen), SEEK_CUR);
    }
    if (ih[0] != 'I' || ih[1] != 'M' || ih[18] != 24)
        return fail("%s: no supporting format file\n", path);

    std::memset(h54, 0, 54);
    putLE32(h54 + 10, 54);
    putLE32(h54 + 14, 40);
    std::memcpy(h54 + 18, ih + 10, 4);
    std::memcpy(h54 + 22, ih + 14, 4);
    putLE16(h54 + 26, 1);
    putLE16(h54 + 28, 24);
    *streamLen = int64_t(getLE32s(ih + 2)) - dataOffset;
    return 0;
}

} // namespace

HLOCAL makeBitmapInfo(const unsigned char *header54, const unsigned char *table, int tableLen, int type)
{
    if (tableLen < 0 || table == nullptr)
        tableLen = 0;
    HLOCAL h = getmemLock(tableLen + 40);
    auto *p = static_cast<unsigned char *>(getmemAdr(h));
    BITMAPINFOHEADER bih;
    const unsigned char *f = header54 + 14;
    bih.biSize = getLE32(f);
    bih.biWidth = getLE32s(f + 4);
    bih.biHeight = getLE32s(f + 8);
    bih.biPlanes = getLE16(f + 12);
    bih.biBitCount = getLE16(f + 14);
    bih.biCompression = getLE32(f + 16);
    bih.biSizeImage = getLE32(f + 20);
    bih.biXPelsPerMeter = getLE32s(f + 24);
    bih.biYPelsPerMeter = getLE32s(f + 28);
    bih.biClrUsed = getLE32(f + 32);
    bih.biClrImportant = getLE32(f + 36);
    // The mark by which the IMP writer knows this picture's comment.
    if (type == 2)
        bih.biXPelsPerMeter = impInfoData_setFlg ? impInfoDataId : 0;
    std::memcpy(p, &bih, 40);
    if (tableLen > 0)
        std::memcpy(p + 40, table, size_t(tableLen));
    return h;
}

int readBitmap(int type, const char *path, HLOCAL *info, HLOCAL *bits)
{
    InFile in;
    in.fp = std::fopen(path, "rb");
    if (in.fp == nullptr) {
        errmsg("%s: file not found\n", path);
        return -1;
    }
    FILE *fp = in.fp;
    int64_t fileLen = fileLength(fp);

    unsigned char h[54];
    int64_t streamLen = 0;
    if (type == 2) {
        if (readImpHeader(fp, path, fileLen, h, &streamLen) != 0)
            return -1;
    } else {
        if (readBytes(fp, h, 54) != 54)
            return fail("%s: failed to read header\n", path);
        bool magic = (h[0] == 'B' && (h[1] == 'M' || h[1] == '2')) || (h[0] == 'I' && h[1] == 'M');
        if (!magic)
            return fail("%s: no supporting format file\n", path);
    }

    int bitCount = int16_t(getLE16(h + 28));
    uint32_t compression = getLE32(h + 30);
    int64_t width = getLE32s(h + 18);
    int64_t height = getLE32s(h + 22);
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24)
        return fail("%s: no supporting format file\n", path);
    if (compression > 2)
        return fail("%s: no supporting format file\n", path);
    // BM2 pixels are an IMP stream, which only holds 24-bit colour.
    if (type == 1 && (bitCount != 24 || compression != 0))
        return fail("%s: no supporting format file\n", path);

    // Rows stored top-down have a negative height; the DIB is bottom-up.
    bool topDown = height < 0;
    int64_t rows = topDown ? -height : height;
    int64_t rowSize = width >= 0 ? rowBytes(width, bitCount) : 0;
    int64_t imageSize = 0;
    bool fits = width >= 0 && rowSize <= kMaxSize && mulSize(rowSize, rows, kMaxSize, &imageSize);
    // A BMP the reader cannot take is of a form it does not support; a BM2
    // or IMP header like that can only be broken.
    const char *refusal = type == 0 ? "%s: no supporting format file\n" : "%s: broken data file\n";
    if (width < 0)
        return fail(refusal, path);
    if (topDown && (type != 0 || compression != 0))
        return fail(refusal, path);
    if (!fits)
        return fail(refusal, path);

    // The colour table runs from the end of the header to the pixel data.
    int64_t tableLen = type == 2 ? 0 : int64_t(getLE32s(h + 10)) - 54;
    if (bitCount != 24) {
        uint32_t clrUsed = getLE32(h + 46);
        int64_t want = clrUsed == 0 ? int64_t(4) << bitCount : int64_t(4) * clrUsed;
        if (tableLen != want)
            return fail("%s: no supporting format file\n", path);
    }
    std::vector<unsigned char> table;
    if (tableLen > 0) {
        if (fileLen >= 0 && tableLen > fileLen - 54)
            return fail("%s: failed to read\n", path);
        table.resize(size_t(tableLen));
        if (readBytes(fp, table.data(), tableLen) != tableLen)
            return fail("%s: failed to read\n", path);
    }

    // The stored data length: colour table and pixels (BMP), or the
    // stream (BM2, IMP).
    int64_t stored = streamLen;
    if (type != 2) {
        int64_t bfSize = getLE32s(h + 2);
        stored = bfSize == 0 ? 0 : bfSize - 54;
    }
    if (stored < 0)
        return fail("%s: broken data file\n", path);
    long pos = std::ftell(fp);
    int64_t left = fileLen >= 0 && pos >= 0 ? fileLen - pos : -1;
    if (type == 0) {
        // Lengths below 8 are implausible, except for pictures that small.
        if (stored > 0 && stored < 8 && stored < (tableLen > 0 ? tableLen : 0) + imageSize)
            return fail("%s: broken data file\n", path);
        if (stored == 0)
            stored = imageSize;
        // Room for what the header promises, but never more than the file.
        if (fileLen >= 0 && stored > fileLen)
            stored = fileLen;
    } else {
        // A BM2 stream starts behind the colour table, should there be one.
        if (type == 1 && stored > 0 && tableLen > 0)
            stored = stored > tableLen ? stored - tableLen : 0;
        // Without a length the stream runs to the end of the file.
        if (stored == 0)
            stored = left >= 0 ? left : imageSize;
        if (left >= 0 && stored > left)
            return fail("%s: broken data file\n", path);
        if (stored > kMaxSize)
            return fail("%s: broken data file\n", path);
        // No stream shorter than the shortest one for this many pixels
        // can hold them.
        int64_t pixels = width * rows;
        if (pixels > 0 && stored < minStreamLength(pixels))
            return fail("%s: broken data file\n", path);
    }

    int64_t bitsLen = stored > imageSize ? stored : imageSize;
    HLOCAL hb = getmemLock(int(bitsLen));
    auto *px = static_cast<unsigned char *>(getmemAdr(hb));

    if (type != 0) {
        // The DIB tells the size of its pixels, not of the stream.
        putLE32(h + 34, uint32_t(imageSize));
        HLOCAL hi = makeBitmapInfo(h, table.data(), int(table.size()), type);
        if (read_data(fp, px, h, long(stored), long(bitsLen)) != 0) {
            LocalFree(hi);
            LocalFree(hb);
            return fail("%s: broken data file\n", path);
        }
        *info = hi;
        *bits = hb;
        return 0;
    }

    if (compression != 0) {
        // Without biSizeImage the coded data runs to bfSize, or to the end
        // of the file.
        int64_t codedLen = getLE32(h + 34);
        if (codedLen == 0) {
            int64_t bfSize = getLE32s(h + 2);
            codedLen = bfSize > 0 && pos >= 0 ? bfSize - pos : kMaxSize;
        }
        if (left >= 0 && codedLen > left)
            codedLen = left;
        if (codedLen > kMaxSize)
            codedLen = kMaxSize;
        std::vector<unsigned char> coded;
        readUpTo(fp, codedLen, coded);
        if (compression == 1)
            decodeRle8(coded.data(), int(coded.size()), px, int(imageSize), int(width));
        else
            decodeRle4(coded.data(), int(coded.size()), px, int(imageSize), int(width));
        putLE32(h + 30, 0);
        putLE32(h + 34, uint32_t(imageSize));
    } else {
        // A short file leaves the rest of the rows at zero.
        if (!topDown) {
            readBytes(fp, px, imageSize);
        } else {
            // The top row comes first; each row goes straight to its place
            // in the bottom-up DIB, so rows the file lacks are not touched.
            for (int64_t y = rows - 1; y >= 0 && rowSize > 0; y--) {
                if (readBytes(fp, px + y * rowSize, rowSize) != rowSize)
                    break;
            }
            putLE32(h + 22, uint32_t(rows));
        }
    }
    *info = makeBitmapInfo(h, table.data(), int(table.size()), type);
    *bits = hb;
    return 0;
}
