// The native reader: BMP, BM2 and IMP files into a DIB pair.
//
// BMP and BM2 start with the 14-byte file header and an info header whose
// first field is its own size: 40 bytes (Windows), 52 and 56 (with colour
// masks), 108 and 124 (versions 4 and 5), 12 (the OS/2 core header, with
// 16-bit sizes and 3-byte table entries) and 64 (OS/2 version 2). Then come
// the colour masks when a 40-byte header has none inside, the colour table,
// and the pixel data: rows for BMP (plain, run-length coded, or 16 and 32
// bits under masks, which become 24-bit rows), an IMP stream for BM2. IMP
// has a 47-byte header of its own and an optional comment in front of its
// stream.
//
// Each header is parsed into one record with the info header's names; the
// rest of the reader works on that record alone. The DIB always carries a
// plain 40-byte info header, whatever header the file had.
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
#include "support/geom.h"
#include "support/mem.h"
#include "support/msg.h"

namespace {

enum { TYPE_BMP = 0, TYPE_BM2 = 1, TYPE_IMP = 2 };

// What the reader takes from any of the three headers.
struct Header {
    int64_t fileSize = 0;    // bfSize, or the IMP file size
    int64_t dataOffset = 0;  // bfOffBits, or the IMP data offset
    int64_t headerEnd = 0;   // where the info header ends in the file
    int64_t width = 0;
    int64_t height = 0;      // negative: the top row is stored first
    int planes = 1;
    int bitCount = 0;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;  // coded length of run-length data
    int32_t xPels = 0, yPels = 0;
    uint32_t clrUsed = 0, clrImportant = 0;
    int entryBytes = 4;      // colour table entries: RGBQUAD, or 3 bytes (OS/2)
    uint32_t masks[3] = {};  // red, green, blue: 16 and 32 bits
    int64_t tableAt = 0;     // where the colour table begins
    int64_t streamLen = 0;   // IMP: file size minus data offset
};

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

// The shortest IMP stream that codes pixels pixels: a flag byte for every
// eight and a difference code for each (a reader takes one even for the
// first pixel), in nibbles, then the final byte.
int64_t minStreamLength(int64_t pixels)
{
    int64_t nibbles = 2 * ((pixels + 7) / 8) + 3 * pixels;
    return nibbles / 2 + 1;
}

// Takes the 47-byte IMP header and its comment. Returns 0, or -1 after the
// message.
int readImpHeader(FILE *fp, const char *path, int64_t fileLen, Header *h)
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
    h->fileSize = getLE32s(ih + 2);
    h->dataOffset = dataOffset;
    h->width = getLE32s(ih + 10);
    h->height = getLE32s(ih + 14);
    h->bitCount = 24;
    h->streamLen = h->fileSize - dataOffset;
    return 0;
}

// Takes the file header and the info header of a BMP or BM2 file, and the
// colour masks behind a 40-byte one. Returns 0, or -1 after the message.
int readBmpHeader(FILE *fp, const char *path, Header *h)
{
    unsigned char b[14 + 124 + 16];
    if (readBytes(fp, b, 18) != 18)
        return fail("%s: failed to read header\n", path);
    uint32_t infoSize = getLE32(b + 14);
    // The core header is the only one too short to fill the classic 54.
    int64_t want = infoSize == 12 ? 26 : 54;
    if (readBytes(fp, b + 18, want - 18) != want - 18)
        return fail("%s: failed to read header\n", path);
    bool magic = (b[0] == 'B' && (b[1] == 'M' || b[1] == '2')) || (b[0] == 'I' && b[1] == 'M');
    if (!magic)
        return fail("%s: no supporting format file\n", path);
    switch (infoSize) {
    case 12: case 40: case 52: case 56: case 64: case 108: case 124: break;
    default: return fail("%s: no supporting format file\n", path);
    }
    if (infoSize > 40 && readBytes(fp, b + 54, infoSize - 40) != int64_t(infoSize) - 40)
        return fail("%s: failed to read header\n", path);
    const unsigned char *info = b + 14;
    h->fileSize = getLE32s(b + 2);
    h->dataOffset = getLE32s(b + 10);
    h->headerEnd = 14 + int64_t(infoSize);
    if (infoSize == 12) {
        h->width = getLE16(info + 4);
        h->height = getLE16(info + 6);
        h->planes = getLE16(info + 8);
        h->bitCount = getLE16(info + 10);
        h->entryBytes = 3;
    } else {
        h->width = getLE32s(info + 4);
        h->height = getLE32s(info + 8);
        h->planes = getLE16(info + 12);
        h->bitCount = int16_t(getLE16(info + 14));
        h->compression = getLE32(info + 16);
        h->sizeImage = getLE32(info + 20);
        h->xPels = getLE32s(info + 24);
        h->yPels = getLE32s(info + 28);
        h->clrUsed = getLE32(info + 32);
        h->clrImportant = getLE32(info + 36);
    }
    h->tableAt = h->headerEnd;

    // Compressions past the run-length ones: colour masks (3) and masks with
    // alpha (6), for 16 and 32 bits. OS/2's version 2 header gives 3 and 4
    // other meanings, which are not read.
    bool masked = h->compression == 3 || h->compression == 6;
    if (masked && (infoSize == 64 || (h->bitCount != 16 && h->bitCount != 32)))
        return fail("%s: no supporting format file\n", path);
    if (!masked && h->compression > 2)
        return fail("%s: no supporting format file\n", path);
    if (masked) {
        if (infoSize == 40) {
            // The masks follow the header: red, green, blue (and alpha).
            int64_t n = h->compression == 6 ? 16 : 12;
            if (readBytes(fp, b + 54, n) != n)
                return fail("%s: failed to read header\n", path);
            h->tableAt += n;
        }
        for (int i = 0; i < 3; i++)
            h->masks[i] = getLE32(b + 54 + 4 * i);
    } else if (h->bitCount == 16) {
        h->masks[0] = 0x7C00; // 5 bits each
        h->masks[1] = 0x03E0;
        h->masks[2] = 0x001F;
    } else if (h->bitCount == 32) {
        h->masks[0] = 0xFF0000;
        h->masks[1] = 0xFF00;
        h->masks[2] = 0xFF;
    }
    return 0;
}

// One channel of a masked pixel, scaled from the mask's width to 8 bits.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;
};

Channel channelOf(uint32_t mask)
{
    Channel c;
    c.mask = mask;
    if (mask == 0)
        return c;
    while (((mask >> c.shift) & 1) == 0)
        c.shift++;
    c.max = mask >> c.shift;
    return c;
}

inline unsigned char scaled(uint32_t pixel, const Channel &c)
{
    if (c.max == 0)
        return 0;
    uint32_t v = (pixel & c.mask) >> c.shift;
    return static_cast<unsigned char>((uint64_t(v) * 255 + c.max / 2) / c.max);
}

// 16- or 32-bit rows under colour masks into 24-bit rows; alpha is dropped
// and the colours kept as stored. Rows the file lacks stay zero.
void readMaskedRows(FILE *fp, const Header &h, int64_t rows, bool topDown, unsigned char *out)
{
    int64_t inRow = dibRowSize(h.width, h.bitCount), outRow = dibRowSize(h.width, 24);
    Channel red = channelOf(h.masks[0]), green = channelOf(h.masks[1]), blue = channelOf(h.masks[2]);
    std::vector<unsigned char> row(static_cast<size_t>(inRow));
    for (int64_t i = 0; i < rows; i++) {
        if (readBytes(fp, row.data(), inRow) != inRow)
            break;
        unsigned char *o = out + (topDown ? rows - 1 - i : i) * outRow;
        const unsigned char *p = row.data();
        for (int64_t x = 0; x < h.width; x++, o += 3) {
            uint32_t v = h.bitCount == 16 ? getLE16(p + 2 * x) : getLE32(p + 4 * x);
            o[0] = scaled(v, blue);
            o[1] = scaled(v, green);
            o[2] = scaled(v, red);
        }
    }
}

// The DIB's info header in the 54-byte layout that makeBitmapInfo takes.
void dibHeader(const Header &h, int bitCount, int64_t rows, int64_t image, unsigned char *h54)
{
    std::memset(h54, 0, 54);
    putLE32(h54 + 10, 54);
    putLE32(h54 + 14, 40);
    putLE32(h54 + 18, uint32_t(h.width));
    putLE32(h54 + 22, uint32_t(rows));
    putLE16(h54 + 26, uint32_t(h.planes));
    putLE16(h54 + 28, uint32_t(bitCount));
    putLE32(h54 + 34, uint32_t(image));
    putLE32(h54 + 38, uint32_t(h.xPels));
    putLE32(h54 + 42, uint32_t(h.yPels));
    putLE32(h54 + 46, h.clrUsed);
    putLE32(h54 + 50, h.clrImportant);
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
    if (type == TYPE_IMP)
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

    Header h;
    if ((type == TYPE_IMP ? readImpHeader(fp, path, fileLen, &h) : readBmpHeader(fp, path, &h)) != 0)
        return -1;

    // 16 and 32 bits come under masks and leave as 24-bit rows.
    const bool masked = h.bitCount == 16 || h.bitCount == 32;
    if (h.bitCount != 1 && h.bitCount != 4 && h.bitCount != 8 && h.bitCount != 24 && !masked)
        return fail("%s: no supporting format file\n", path);
    // BM2 pixels are an IMP stream, which only holds 24-bit colour.
    if (type == TYPE_BM2 && (h.bitCount != 24 || h.compression != 0))
        return fail("%s: no supporting format file\n", path);
    if (masked && h.compression != 0 && h.compression != 3 && h.compression != 6)
        return fail("%s: no supporting format file\n", path);

    // Rows stored top-down have a negative height; the DIB is bottom-up.
    bool topDown = h.height < 0;
    int64_t rows = topDown ? -h.height : h.height;
    const int outBits = masked ? 24 : h.bitCount;
    int64_t rowSize = dibRowSize(h.width, outBits);
    int64_t imageSize = dibImageSize(h.width, rows, outBits);
    // A BMP the reader cannot take is of a form it does not support; a BM2
    // or IMP header like that can only be broken.
    const char *refusal = type == TYPE_BMP ? "%s: no supporting format file\n" : "%s: broken data file\n";
    if (h.width < 0)
        return fail(refusal, path);
    if (topDown && (type != TYPE_BMP || h.compression == 1 || h.compression == 2))
        return fail(refusal, path);
    if (imageSize < 0 || dibImageSize(h.width, rows, h.bitCount) < 0)
        return fail(refusal, path);

    // The colour table runs from behind the header (and masks) to the pixel
    // data. Palette pictures must have exactly the entries they claim.
    int64_t tableLen = type == TYPE_IMP ? 0 : h.dataOffset - h.tableAt;
    int64_t entries = 0;
    if (h.bitCount <= 8) {
        entries = h.clrUsed != 0 ? int64_t(h.clrUsed) : dibMaxColors(h.bitCount);
        if (tableLen != h.entryBytes * entries)
            return fail("%s: no supporting format file\n", path);
    }
    std::vector<unsigned char> table;
    if (tableLen > 0) {
        if (fileLen >= 0 && tableLen > fileLen - h.tableAt)
            return fail("%s: failed to read\n", path);
        table.resize(size_t(tableLen));
        if (readBytes(fp, table.data(), tableLen) != tableLen)
            return fail("%s: failed to read\n", path);
    }
    if (h.entryBytes == 3) {
        // OS/2 entries have no fourth byte; the DIB's have.
        std::vector<unsigned char> quads(size_t(entries) * 4);
        for (int64_t i = 0; i < entries; i++)
            std::memcpy(&quads[size_t(i) * 4], &table[size_t(i) * 3], 3);
        table.swap(quads);
        h.clrUsed = uint32_t(entries);
    }
    // The colours under masks are in the pixels; a table there is only a
    // hint for displays of few colours.
    if (masked) {
        table.clear();
        h.clrUsed = 0;
        h.clrImportant = 0;
    }

    // The stored data length: table and pixels (BMP), or the stream (BM2,
    // IMP).
    int64_t stored = h.streamLen;
    if (type != TYPE_IMP)
        stored = h.fileSize == 0 ? 0 : h.fileSize - h.headerEnd;
    if (stored < 0)
        return fail("%s: broken data file\n", path);
    long pos = std::ftell(fp);
    int64_t left = fileLen >= 0 && pos >= 0 ? fileLen - pos : -1;
    if (type == TYPE_BMP) {
        // Lengths below 8 are implausible, except for pictures that small.
        int64_t need = (tableLen > 0 ? tableLen : 0) + dibImageSize(h.width, rows, h.bitCount);
        if (stored > 0 && stored < 8 && stored < need)
            return fail("%s: broken data file\n", path);
    } else {
        // A BM2 stream starts behind the colour table, should there be one.
        if (type == TYPE_BM2 && stored > 0 && tableLen > 0)
            stored = stored > tableLen ? stored - tableLen : 0;
        // Without a length the stream runs to the end of the file.
        if (stored == 0)
            stored = left >= 0 ? left : imageSize;
        if (left >= 0 && stored > left)
            return fail("%s: broken data file\n", path);
        if (stored > kMaxDib)
            return fail("%s: broken data file\n", path);
        // No stream shorter than the shortest one for this many pixels
        // can hold them.
        int64_t pixels = h.width * rows;
        if (pixels > 0 && stored < minStreamLength(pixels))
            return fail("%s: broken data file\n", path);
    }

    // Plain bottom-up rows are the picture as the file holds them: a view of
    // the file where one can be had, so that a large picture is not copied.
    const bool plain = type == TYPE_BMP && h.compression == 0 && !masked && !topDown;
    HLOCAL hb = plain && pos >= 0 ? getmemView(fp, pos, imageSize) : nullptr;
    const bool viewed = hb != nullptr;
    // The IMP decoder may take the larger of the image and the stream.
    int64_t bitsLen = type != TYPE_BMP && stored > imageSize ? stored : imageSize;
    if (!viewed)
        hb = getmemLock(int(bitsLen));
    auto *px = static_cast<unsigned char *>(getmemAdr(hb));
    unsigned char h54[54];
    dibHeader(h, outBits, rows, imageSize, h54);

    if (type != TYPE_BMP) {
        HLOCAL hi = makeBitmapInfo(h54, table.data(), int(table.size()), type);
        if (read_data(fp, px, h54, long(stored), long(bitsLen)) != 0) {
            LocalFree(hi);
            LocalFree(hb);
            return fail("%s: broken data file\n", path);
        }
        *info = hi;
        *bits = hb;
        return 0;
    }

    if (h.compression == 1 || h.compression == 2) {
        // Without biSizeImage the coded data runs to bfSize, or to the end
        // of the file.
        int64_t codedLen = h.sizeImage;
        if (codedLen == 0)
            codedLen = h.fileSize > 0 && pos >= 0 ? h.fileSize - pos : kMaxDib;
        if (left >= 0 && codedLen > left)
            codedLen = left;
        if (codedLen > kMaxDib)
            codedLen = kMaxDib;
        std::vector<unsigned char> coded;
        readUpTo(fp, codedLen, coded);
        if (h.compression == 1)
            decodeRle8(coded.data(), int(coded.size()), px, int(imageSize), int(h.width));
        else
            decodeRle4(coded.data(), int(coded.size()), px, int(imageSize), int(h.width));
    } else if (masked) {
        readMaskedRows(fp, h, rows, topDown, px);
    } else if (!topDown) {
        // A short file leaves the rest of the rows at zero.
        if (!viewed)
            readBytes(fp, px, imageSize);
    } else {
        // The top row comes first; each row goes straight to its place in
        // the bottom-up DIB, so rows the file lacks are not touched.
        for (int64_t y = rows - 1; y >= 0 && rowSize > 0; y--) {
            if (readBytes(fp, px + y * rowSize, rowSize) != rowSize)
                break;
        }
    }
    *info = makeBitmapInfo(h54, table.data(), int(table.size()), type);
    *bits = hb;
    return 0;
}
