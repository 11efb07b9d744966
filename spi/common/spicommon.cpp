// Shared parts of the default image plug-ins, the same on every system.
#include "spicommon.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "support/geom.h"

int spiPluginInfo(const SpiTexts &texts, int infono, char *buf, int buflen)
{
    const char *text;
    switch (infono) {
    case 0: text = "00IN"; break;
    case 1: text = texts.name; break;
    case 2: text = texts.pattern; break;
    case 3: text = texts.desc; break;
    default: return 0;
    }
    if (buf == nullptr || buflen <= 0)
        return 0;
    size_t n = std::strlen(text);
    if (n > size_t(buflen))
        n = size_t(buflen);
    std::memcpy(buf, text, n);
    // A text that fills the buffer exactly goes out unterminated, as the
    // caller asked for no more than buflen bytes.
    if (n < size_t(buflen))
        buf[n] = '\0';
    return int(n);
}

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

int readFile(const char *path, long offset, SpiSource *src)
{
    if (path == nullptr || offset < 0)
        return SPI_FILE_READ_ERROR;
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
    if (!f)
        return SPI_FILE_READ_ERROR;
    int64_t end = spiSeek(f.get(), 0, SEEK_END);
    if (end < 0 || offset > end)
        return SPI_FILE_READ_ERROR;
    int64_t size = end - offset;
    if (size > kSpiMaxFileBytes)
        return SPI_NO_MEMORY;
    if (spiSeek(f.get(), offset, SEEK_SET) < 0)
        return SPI_FILE_READ_ERROR;
    src->owned.reset(new (std::nothrow) unsigned char[size_t(size) + 1]);
    if (!src->owned)
        return SPI_NO_MEMORY;
    size_t got = std::fread(src->owned.get(), 1, size_t(size), f.get());
    if (got != size_t(size))
        return SPI_FILE_READ_ERROR;
    src->data = src->owned.get();
    src->size = got;
    return SPI_ALL_RIGHT;
}

} // namespace

int spiOpenSource(const char *buf, long len, unsigned int flag, SpiSource *src)
{
    switch (flag & 7) {
    case SPI_INPUT_FILE:
        return readFile(buf, len, src);
    case SPI_INPUT_MEMORY:
        if (buf == nullptr || len < 0)
            return SPI_NOT_SUPPORT;
        src->data = reinterpret_cast<const unsigned char *>(buf);
        src->size = size_t(len);
        return SPI_ALL_RIGHT;
    default:
        return SPI_OTHER_ERROR;
    }
}

SpiDib::~SpiDib()
{
    if (hBm != nullptr) {
        LocalUnlock(hBm);
        LocalFree(hBm);
    }
}

namespace {

// Row size and image size of a picture, or false when they pass the limit.
bool dibSizes(int64_t width, int64_t height, int bitCount, int64_t *stride, int64_t *image)
{
    if (width < 1 || height < 1)
        return false;
    *stride = dibRowSize(width, bitCount);
    *image = dibImageSize(width, height, bitCount);
    return *image > 0 && *image <= kSpiMaxImageBytes;
}

} // namespace

bool spiSizeOk(int64_t width, int64_t height, int bitCount)
{
    int64_t stride, image;
    return dibSizes(width, height, bitCount, &stride, &image);
}

bool spiDibFits(const SpiDib &dib, int64_t width, int64_t height, int bitCount)
{
    int64_t stride, image;
    return dibSizes(width, height, bitCount, &stride, &image) && image <= dib.maxImage;
}

int spiAllocDib(SpiDib *dib, int64_t width, int64_t height, int bitCount, bool whole)
{
    int64_t stride, image;
    if (bitCount != 8 && bitCount != 24)
        return SPI_OTHER_ERROR;
    if (!dibSizes(width, height, bitCount, &stride, &image) || image > dib->maxImage)
        return SPI_NO_MEMORY;
    HLOCAL h = LocalAlloc(whole ? LMEM_MOVEABLE : LHND, size_t(image));
    if (h == nullptr)
        return SPI_NO_MEMORY;
    auto *bits = static_cast<unsigned char *>(LocalLock(h));
    if (bits == nullptr) {
        LocalFree(h);
        return SPI_MEMORY_ERROR;
    }
    const size_t used = size_t(width) * size_t(bitCount / 8);
    for (int64_t y = 0; whole && used < size_t(stride) && y < height; y++)
        std::memset(bits + size_t(y) * size_t(stride) + used, 0, size_t(stride) - used);
    dib->hBm = h;
    dib->bits = bits;
    dib->stride = size_t(stride);
    dib->width = int(width);
    dib->height = int(height);
    BITMAPINFOHEADER &bi = dib->hdr;
    bi = BITMAPINFOHEADER();
    bi.biSize = sizeof(BITMAPINFOHEADER);
    bi.biWidth = LONG(width);
    bi.biHeight = LONG(height);
    bi.biPlanes = 1;
    bi.biBitCount = WORD(bitCount);
    bi.biCompression = BI_RGB;
    bi.biSizeImage = DWORD(image);
    dib->colors = 0;
    return SPI_ALL_RIGHT;
}

namespace {

// The largest index that the rows of an 8-bit picture use.
int maxIndex(const SpiDib &dib)
{
    unsigned char seen[256] = {};
    for (int y = 0; y < dib.height; y++) {
        const unsigned char *p = dib.bits + size_t(y) * dib.stride;
        for (int x = 0; x < dib.width; x++)
            seen[p[x]] = 1;
    }
    int m = 255;
    while (m > 0 && !seen[m])
        m--;
    return m;
}

} // namespace

int spiHandOver(SpiDib *dib, HLOCAL *pHBInfo, HLOCAL *pHBm)
{
    if (pHBInfo == nullptr || pHBm == nullptr || dib->hBm == nullptr)
        return SPI_OTHER_ERROR;
    int colors = 0;
    if (dib->hdr.biBitCount <= 8) {
        colors = dib->colors;
        if (colors < 256) {
            int m = maxIndex(*dib);
            if (m >= colors)
                colors = m + 1; // the entries past the file's table stay black
        }
        dib->hdr.biClrUsed = DWORD(colors);
    }
    size_t infoSize = sizeof(BITMAPINFOHEADER) + size_t(colors) * sizeof(RGBQUAD);
    HLOCAL hInfo = LocalAlloc(LHND, infoSize);
    if (hInfo == nullptr)
        return SPI_NO_MEMORY;
    auto *info = static_cast<unsigned char *>(LocalLock(hInfo));
    if (info == nullptr) {
        LocalFree(hInfo);
        return SPI_MEMORY_ERROR;
    }
    std::memcpy(info, &dib->hdr, sizeof(BITMAPINFOHEADER));
    if (colors > 0)
        std::memcpy(info + sizeof(BITMAPINFOHEADER), dib->table, size_t(colors) * sizeof(RGBQUAD));
    LocalUnlock(hInfo);
    LocalUnlock(dib->hBm);
    *pHBInfo = hInfo;
    *pHBm = dib->hBm;
    dib->hBm = nullptr;
    dib->bits = nullptr;
    return SPI_ALL_RIGHT;
}

void spiGreyTable(RGBQUAD *pal, int levels)
{
    for (int i = 0; i < levels; i++) {
        BYTE v = BYTE(i * 255 / (levels - 1));
        pal[i].rgbBlue = v;
        pal[i].rgbGreen = v;
        pal[i].rgbRed = v;
        pal[i].rgbReserved = 0;
    }
}

size_t spiPastText(const unsigned char *p, size_t n, size_t from)
{
    const void *eof = n > from ? std::memchr(p + from, 0x1A, n - from) : nullptr;
    if (eof == nullptr)
        return 0;
    size_t i = size_t(static_cast<const unsigned char *>(eof) - p) + 1;
    const void *zero = std::memchr(p + i, 0, n - i);
    return zero != nullptr ? size_t(static_cast<const unsigned char *>(zero) - p) + 1 : 0;
}

int spiIsSupported(const SpiFormat &fmt, DWORD_PTR dw)
{
    // Below 0x10000 dw is an open file, else the address of the file's
    // first 2 KB.
    if (dw >= 0x10000)
        return fmt.signature(reinterpret_cast<const unsigned char *>(dw), kSpiHeadBytes) ? 1 : 0;
    unsigned char head[kSpiHeadBytes];
    size_t n = spiReadStart(dw, head, sizeof head);
    return fmt.signature(head, n) ? 1 : 0;
}

namespace {

// The input of GetPictureInfo and GetPicture, refused unless it begins as a
// file of the format does.
int openFormat(const SpiFormat &fmt, const char *buf, long len, unsigned int flag, SpiSource *src)
{
    int rc = spiOpenSource(buf, len, flag, src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    return fmt.signature(src->data, src->size) ? SPI_ALL_RIGHT : SPI_NOT_SUPPORT;
}

} // namespace

int spiGetPictureInfo(const SpiFormat &fmt, char *buf, long len, unsigned int flag, PictureInfo *lpInfo)
{
    if (lpInfo == nullptr)
        return SPI_OTHER_ERROR;
    SpiSource src;
    int rc = openFormat(fmt, buf, len, flag, &src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    // The caller's record is changed only by a success.
    PictureInfo info;
    std::memset(&info, 0, sizeof info);
    rc = fmt.info(src, &info);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    std::memcpy(lpInfo, &info, sizeof info);
    return SPI_ALL_RIGHT;
}

int spiGetPicture(const SpiFormat &fmt, char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                  SPI_PROGRESS lpPrgressCallback, long lData)
{
    SpiSource src;
    int rc = openFormat(fmt, buf, len, flag, &src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    // Without room for the picture nothing is decoded; a source that cannot
    // be opened is still reported first.
    if (pHBInfo == nullptr || pHBm == nullptr)
        return SPI_OTHER_ERROR;
    SpiDib dib;
    dib.maxImage = std::min(spiMaxImage(src.size), fmt.maxImage);
    rc = fmt.decode(src, &dib, SpiProgress{lpPrgressCallback, lData});
    if (rc != SPI_ALL_RIGHT)
        return rc;
    return spiHandOver(&dib, pHBInfo, pHBm);
}

namespace {

// Where displayed pixel (x, y), counted from the top left of the w x h
// picture as it is to be seen, lies in the stored picture of sw x sh.
inline void storedAt(int orientation, int x, int y, int sw, int sh, int *sx, int *sy)
{
    switch (orientation) {
    case 2: *sx = sw - 1 - x; *sy = y; break;
    case 3: *sx = sw - 1 - x; *sy = sh - 1 - y; break;
    case 4: *sx = x; *sy = sh - 1 - y; break;
    case 5: *sx = y; *sy = x; break;
    case 6: *sx = y; *sy = sh - 1 - x; break;
    case 7: *sx = sw - 1 - y; *sy = sh - 1 - x; break;
    case 8: *sx = sw - 1 - y; *sy = x; break;
    default: *sx = x; *sy = y; break;
    }
}

} // namespace

int spiOrient(SpiDib *dib, int orientation)
{
    if (orientation < 2 || orientation > 8 || dib->hBm == nullptr)
        return SPI_ALL_RIGHT;
    if (orientation == 4) {
        spiFlipRows(dib);
        return SPI_ALL_RIGHT;
    }
    const int bitCount = dib->hdr.biBitCount;
    if (bitCount != 8 && bitCount != 24)
        return SPI_OTHER_ERROR;
    const bool turned = orientation >= 5;
    const int sw = dib->width, sh = dib->height;
    SpiDib out;
    int rc = spiAllocDib(&out, turned ? sh : sw, turned ? sw : sh, bitCount, true);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    const ptrdiff_t px = bitCount / 8;
    // Byte offset in the stored block of displayed pixel (x, y).
    auto offset = [&](int x, int y) {
        int sx, sy;
        storedAt(orientation, x, y, sw, sh, &sx, &sy);
        return (ptrdiff_t(sh) - 1 - sy) * ptrdiff_t(dib->stride) + sx * px;
    };
    // Along a displayed row the source moves by a fixed step: a pixel, or
    // a stored row when turned. Turned pictures go in squares of 64, so
    // that the stored rows a square reads stay in the cache.
    constexpr int kSquare = 64;
    for (int y0 = 0; y0 < out.height; y0 += kSquare) {
        const int y1 = std::min(y0 + kSquare, out.height);
        for (int x0 = 0; x0 < out.width; x0 += turned ? kSquare : out.width) {
            const int x1 = turned ? std::min(x0 + kSquare, out.width) : out.width;
            for (int y = y0; y < y1; y++) {
                const ptrdiff_t first = offset(x0, y), step = offset(x0 + 1, y) - first;
                const unsigned char *s = dib->bits + first;
                unsigned char *o = out.row(y) + x0 * px;
                const ptrdiff_t n = x1 - x0;
                if (px == 1) {
                    for (ptrdiff_t i = 0; i < n; i++)
                        o[i] = s[i * step];
                } else {
                    for (ptrdiff_t i = 0; i < n; i++) {
                        o[3 * i] = s[i * step];
                        o[3 * i + 1] = s[i * step + 1];
                        o[3 * i + 2] = s[i * step + 2];
                    }
                }
            }
        }
    }
    // The rest of the description goes along; resolutions swap with the axes.
    BITMAPINFOHEADER hdr = dib->hdr;
    hdr.biWidth = out.hdr.biWidth;
    hdr.biHeight = out.hdr.biHeight;
    hdr.biSizeImage = out.hdr.biSizeImage;
    if (turned)
        std::swap(hdr.biXPelsPerMeter, hdr.biYPelsPerMeter);
    std::swap(dib->hBm, out.hBm);
    std::swap(dib->bits, out.bits);
    dib->stride = out.stride;
    dib->width = out.width;
    dib->height = out.height;
    dib->hdr = hdr;
    return SPI_ALL_RIGHT;
}

void spiFlipRows(SpiDib *dib)
{
    for (int y = 0, z = dib->height - 1; y < z; y++, z--)
        std::swap_ranges(dib->row(y), dib->row(y) + dib->stride, dib->row(z));
}

void spiTurnInfo(PictureInfo *info, int orientation)
{
    if (orientation >= 5 && orientation <= 8) {
        std::swap(info->width, info->height);
        std::swap(info->x_density, info->y_density);
    }
}

int spiExifOrientation(const unsigned char *p, size_t n)
{
    // Some writers keep the "Exif\0\0" that starts the block in a JPEG.
    if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
        p += 6;
        n -= 6;
    }
    if (n < 8 || !((p[0] == 'I' && p[1] == 'I') || (p[0] == 'M' && p[1] == 'M')))
        return 1;
    const bool le = p[0] == 'I';
    auto u16 = [&](size_t at) { return le ? unsigned(p[at] | p[at + 1] << 8) : unsigned(p[at] << 8 | p[at + 1]); };
    auto u32 = [&](size_t at) {
        return le ? u16(at) | uint32_t(u16(at + 2)) << 16 : uint32_t(u16(at)) << 16 | u16(at + 2);
    };
    uint32_t ifd = u32(4);
    if (ifd > n || n - ifd < 2)
        return 1;
    unsigned count = u16(ifd);
    for (unsigned i = 0; i < count; i++) {
        size_t e = size_t(ifd) + 2 + size_t(i) * 12;
        if (e + 12 > n)
            break;
        // a SHORT, whose value sits at the start of the value field
        if (u16(e) == 274 && u16(e + 2) == 3 && u32(e + 4) >= 1)
            return int(u16(e + 8));
    }
    return 1;
}

void spiFillOutside(SpiDib *dib, RGBQUAD c, int x0, int y0, int x1, int y1)
{
    x0 = std::max(x0, 0), y0 = std::max(y0, 0);
    x1 = std::min(x1, dib->width), y1 = std::min(y1, dib->height);
    const bool inside = x0 < x1 && y0 < y1;
    if (inside && x0 == 0 && y0 == 0 && x1 == dib->width && y1 == dib->height)
        return;
    auto same = [&](const RGBQUAD &q) {
        return q.rgbRed == c.rgbRed && q.rgbGreen == c.rgbGreen && q.rgbBlue == c.rgbBlue;
    };
    int index = 0;
    while (index < dib->colors && !same(dib->table[index]))
        index++;
    if (index == dib->colors) {
        bool used[256] = {};
        for (int y = y0; inside && y < y1; y++) {
            const unsigned char *p = dib->row(y);
            for (int x = x0; x < x1; x++)
                used[p[x]] = true;
        }
        // unused indexes from the end of the table on, then before it
        index = -1;
        for (int i = 0; i < 256 && index < 0; i++) {
            int j = (dib->colors + i) % 256;
            if (!used[j])
                index = j;
        }
        if (index < 0) {
            // every index in use: the nearest colour stands in
            index = 0;
            long best = -1;
            for (int i = 0; i < dib->colors; i++) {
                const RGBQUAD &q = dib->table[i];
                long dr = q.rgbRed - c.rgbRed, dg = q.rgbGreen - c.rgbGreen, db = q.rgbBlue - c.rgbBlue;
                long d = dr * dr + dg * dg + db * db;
                if (best < 0 || d < best)
                    best = d, index = i;
            }
        } else {
            dib->table[index] = c;
            dib->table[index].rgbReserved = 0;
            dib->colors = std::max(dib->colors, index + 1);
        }
    }
    const auto v = static_cast<unsigned char>(index);
    for (int y = 0; y < dib->height; y++) {
        unsigned char *p = dib->row(y);
        if (!inside || y < y0 || y >= y1) {
            std::memset(p, v, size_t(dib->width));
            continue;
        }
        std::memset(p, v, size_t(x0));
        std::memset(p + x1, v, size_t(dib->width - x1));
    }
}

bool spiFtypBrand(const unsigned char *p, size_t n, const char *brands)
{
    if (n < 16 || std::memcmp(p + 4, "ftyp", 4) != 0)
        return false;
    uint32_t size = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    if (size < 16)
        return false;
    size_t end = size < n ? size : n;
    for (size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) // the major brand, the minor version, the rest
        for (const char *b = brands; *b != '\0'; b += 4)
            if (std::memcmp(p + at, b, 4) == 0)
                return true;
    return false;
}
