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
#include "support/geom.h"
#include "support/msg.h"
#include "support/text.h"

int write_chk = 0;

namespace {

// The encoders of BM2 and IMP write a large stream buffer; a BMP's rows go
// unbuffered, in as few calls as possible, straight from the pixel block
// to the file (a buffer would take a copy of its first megabyte and of its
// end).
constexpr size_t kStreamBuffer = size_t(1) << 20;
constexpr int64_t kBlock = int64_t(1) << 30;

enum { KIND_BMP = 0, KIND_BM2 = 1, KIND_IMP = 2 };

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

int writeFailed(OutFile &out, const char *path)
{
    errmsg("%s: writing error\n", path);
    Fclose(out, path);
    outAbandon(out);
    return -1;
}

} // namespace

unsigned char *convHeader(const BITMAPINFOHEADER *bih, int flag)
{
    static unsigned char h[54];
    std::memset(h, 0, sizeof h);
    // The header describes the file written: the 40-byte info header, the
    // table and rows by the picture's own geometry. A picture the writer
    // refuses gets no sizes.
    DibLayout d = {};
    bool ok = dibLayout(bih, -1, -1, &d);
    int64_t table = d.masks + 4 * d.colors;
    h[0] = 'B';
    h[1] = flag ? '2' : 'M';
    putLE32(h + 2, ok ? uint32_t(54 + table + d.image) : 0);
    putLE32(h + 10, uint32_t(54 + table));
    putLE32(h + 14, 40);
    putLE32(h + 18, uint32_t(bih->biWidth));
    // A BM2 stream always codes the bottom row first.
    putLE32(h + 22, uint32_t(flag && d.topDown ? int32_t(d.rows) : bih->biHeight));
    putLE16(h + 26, 1);
    putLE16(h + 28, bih->biBitCount);
    putLE32(h + 30, bih->biCompression);
    putLE32(h + 34, flag || !ok ? 0 : uint32_t(d.image));
    putLE32(h + 38, uint32_t(bih->biXPelsPerMeter));
    putLE32(h + 42, uint32_t(bih->biYPelsPerMeter));
    putLE32(h + 46, uint32_t(d.colors));
    putLE32(h + 50, bih->biClrImportant <= uint32_t(d.colors) ? bih->biClrImportant : 0);
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
    // The stream codes the bottom row first, whatever order the rows have
    // in memory.
    int64_t height = bih->biHeight;
    putLE32(h + 14, uint32_t(height < 0 ? -height : height));
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

    // Everything the file will take from the two blocks must be in them, and
    // a BMP file must hold at least one pixel for other programs to read it.
    DibLayout d;
    if (!dibLayout(bih, infoLen, bitsLen, &d) || (kind == KIND_BMP && d.image == 0)) {
        errmsg("%s: cannot convert\n", path);
        return 1;
    }

    if (write_chk && checkOverwrite(0, 0, path) == 0)
        return 1;

    // One buffer serves every output, each closed before the next opens.
    static char buffer[kStreamBuffer];
    OutFile out;
    if (!outOpen(out, path)) {
        errmsg("%s: cannot write\n", path);
        return -1;
    }
    FILE *fp = out.fp;
    if (kind == KIND_BMP)
        std::setvbuf(fp, nullptr, _IONBF, 0);
    else
        std::setvbuf(fp, buffer, _IOFBF, sizeof buffer);

    unsigned char *work;
    unsigned char impWork[54];
    if (kind != KIND_IMP) {
        work = convHeader(bih, kind == KIND_BM2);
        if (!put(fp, work, 54))
            return writeFailed(out, path);
        // Masks and table as the info block has them behind its header.
        int64_t table = d.masks + 4 * d.colors;
        if (table > 0 && !put(fp, reinterpret_cast<const unsigned char *>(info) + 40, table))
            return writeFailed(out, path);
        if (kind == KIND_BM2) {
            // The encoder takes the rows in memory order, top-down ones
            // by the sign of the height.
            std::memcpy(impWork, work, 54);
            putLE32(impWork + 22, uint32_t(bih->biHeight));
            work = impWork;
        }
    } else {
        unsigned char *h = convHeader2(bih);
        if (!put(fp, h, 47))
            return writeFailed(out, path);
        uint32_t dataOffset = getLE32(h + 6);
        if (dataOffset > 47 && !put(fp, impInfoData, dataOffset - 47))
            return writeFailed(out, path);
        // write_data works on the 54-byte layout: the IMP data offset
        // stands where bfOffBits would be read from.
        std::memset(impWork, 0, sizeof impWork);
        impWork[0] = 'I';
        impWork[1] = 'M';
        putLE32(impWork + 14, dataOffset);
        putLE32(impWork + 18, uint32_t(bih->biWidth));
        putLE32(impWork + 22, uint32_t(bih->biHeight));
        work = impWork;
    }

    if (kind != KIND_BMP) {
        if (write_data(fp, path, work, bits, info, 24) != 0)
            return writeFailed(out, path);
    } else if (!put(fp, bits, d.image)) {
        return writeFailed(out, path);
    }

    if (Fclose(out, path) != 0) {
        errmsg("%s: writing error\n", path);
        outAbandon(out);
        return -1;
    }
    if (outCommit(out) != 0) {
        errmsg("%s: cannot write\n", path);
        return -1;
    }
    return 0;
}
