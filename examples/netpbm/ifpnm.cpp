// ifpnm.spi: a vexel plug-in for the binary netpbm formats, PBM, PGM and
// PPM (magic numbers P4, P5 and P6), built against the installed plug-in
// kit (see the Makefile). vexel takes a plug-in's key from its file name,
// so the one library is installed as ifpnm.spi and linked as ifpbm.spi,
// ifpgm.spi and ifppm.spi, and loaded with -a.
//
// A netpbm file is a text header (magic, width, height and, but for PBM,
// the largest sample value maxval; white space and # comments between
// them), one white-space character, and the raster: rows top to bottom,
// PBM with 8 pixels a byte (1 is black), PGM and PPM with one or three
// samples a pixel, of one byte, or of two (most significant first) when
// maxval is above 255. PBM becomes a 1-bit picture, PGM an 8-bit one with
// a grey table, PPM a 24-bit one; samples are scaled to 0..255, rounded.
#include <vexel/spi.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Largest pixel block handed over, so that its size fits biSizeImage.
constexpr uint64_t kMaxImage = 0x7FFFFFFF;

struct Header {
    char kind; // '4' PBM, '5' PGM, '6' PPM
    uint32_t width, height, maxval;
    size_t raster; // offset of the first row
};

bool isSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isNetpbm(const unsigned char *p, size_t n)
{
    return n >= 3 && p[0] == 'P' && p[1] >= '4' && p[1] <= '6' && (isSpace(p[2]) || p[2] == '#');
}

// The decimal number at *pos, after white space and comments; false when
// there is none or it exceeds limit.
bool number(const unsigned char *p, size_t n, size_t *pos, uint32_t limit, uint32_t *value)
{
    size_t i = *pos;
    while (i < n && (isSpace(p[i]) || p[i] == '#')) {
        if (p[i] == '#')
            while (i < n && p[i] != '\n' && p[i] != '\r')
                i++;
        else
            i++;
    }
    if (i == n || p[i] < '0' || p[i] > '9')
        return false;
    uint32_t v = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) {
        if (v > (limit - (p[i] - '0')) / 10)
            return false;
        v = v * 10 + (p[i] - '0');
    }
    *pos = i;
    *value = v;
    return true;
}

int readHeader(const unsigned char *p, size_t n, Header *h)
{
    if (!isNetpbm(p, n))
        return SPI_NOT_SUPPORT;
    h->kind = char(p[1]);
    h->maxval = 1;
    size_t pos = 2;
    if (!number(p, n, &pos, 0x7FFFFFFF, &h->width) || h->width == 0)
        return SPI_OUT_OF_ORDER;
    if (!number(p, n, &pos, 0x7FFFFFFF, &h->height) || h->height == 0)
        return SPI_OUT_OF_ORDER;
    if (h->kind != '4' && (!number(p, n, &pos, 65535, &h->maxval) || h->maxval == 0))
        return SPI_OUT_OF_ORDER;
    if (pos == n || !isSpace(p[pos]))
        return SPI_OUT_OF_ORDER;
    h->raster = pos + 1;
    return SPI_ALL_RIGHT;
}

int bitCount(const Header &h)
{
    return h.kind == '4' ? 1 : h.kind == '5' ? 8 : 24;
}

// The input: the caller's bytes, or the file read whole.
struct Input {
    std::unique_ptr<unsigned char[]> owned;
    const unsigned char *data = nullptr;
    size_t size = 0;
};

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

int load(const char *buf, long len, unsigned int flag, Input *in)
{
    if ((flag & 7) == SPI_INPUT_MEMORY) {
        if (buf == nullptr || len < 0)
            return SPI_NOT_SUPPORT;
        in->data = reinterpret_cast<const unsigned char *>(buf);
        in->size = size_t(len);
        return SPI_ALL_RIGHT;
    }
    if ((flag & 7) != SPI_INPUT_FILE)
        return SPI_OTHER_ERROR;
    if (buf == nullptr || len < 0)
        return SPI_FILE_READ_ERROR;
    std::unique_ptr<FILE, FileCloser> f(std::fopen(buf, "rb"));
    if (!f || fseeko(f.get(), 0, SEEK_END) != 0)
        return SPI_FILE_READ_ERROR;
    off_t end = ftello(f.get());
    if (end < len || fseeko(f.get(), len, SEEK_SET) != 0)
        return SPI_FILE_READ_ERROR;
    uint64_t size = uint64_t(end - len);
    // At two bytes a sample the raster of the largest picture is twice its
    // block; a file far larger than that is not read.
    if (size > 4 * kMaxImage)
        return SPI_NO_MEMORY;
    in->owned.reset(new (std::nothrow) unsigned char[size + 1]);
    if (!in->owned)
        return SPI_NO_MEMORY;
    if (std::fread(in->owned.get(), 1, size, f.get()) != size)
        return SPI_FILE_READ_ERROR;
    in->data = in->owned.get();
    in->size = size;
    return SPI_ALL_RIGHT;
}

// The two blocks of a picture, freed unless handed over.
struct Pair {
    HLOCAL info = nullptr, bits = nullptr;
    ~Pair()
    {
        HLOCAL both[] = {info, bits};
        for (HLOCAL h : both) {
            if (h != nullptr) {
                LocalUnlock(h);
                LocalFree(h);
            }
        }
    }
};

int decode(const Input &in, HLOCAL *pHBInfo, HLOCAL *pHBm, SPI_PROGRESS progress, long lData)
{
    Header h;
    int r = readHeader(in.data, in.size, &h);
    if (r != SPI_ALL_RIGHT)
        return r;
    int samples = h.kind == '6' ? 3 : 1;
    int wide = h.maxval > 255 ? 2 : 1;
    uint64_t inRow = h.kind == '4' ? (uint64_t(h.width) + 7) / 8 : uint64_t(h.width) * samples * wide;
    uint64_t outRow = (uint64_t(h.width) * bitCount(h) + 31) / 32 * 4;
    if (outRow > kMaxImage / h.height)
        return SPI_NO_MEMORY;
    if (inRow > (in.size - h.raster) / h.height)
        return SPI_OUT_OF_ORDER;

    int colors = h.kind == '4' ? 2 : h.kind == '5' ? 256 : 0;
    Pair pair;
    pair.info = LocalAlloc(LHND, sizeof(BITMAPINFOHEADER) + colors * sizeof(RGBQUAD));
    pair.bits = LocalAlloc(LHND, size_t(outRow * h.height));
    if (pair.info == nullptr || pair.bits == nullptr)
        return SPI_NO_MEMORY;
    auto *bi = static_cast<BITMAPINFO *>(LocalLock(pair.info));
    auto *bits = static_cast<unsigned char *>(LocalLock(pair.bits));
    if (bi == nullptr || bits == nullptr)
        return SPI_MEMORY_ERROR;

    BITMAPINFOHEADER &bh = bi->bmiHeader;
    bh.biSize = sizeof(BITMAPINFOHEADER);
    bh.biWidth = LONG(h.width);
    bh.biHeight = LONG(h.height);
    bh.biPlanes = 1;
    bh.biBitCount = WORD(bitCount(h));
    bh.biCompression = BI_RGB;
    bh.biSizeImage = DWORD(outRow * h.height);
    bh.biClrUsed = DWORD(colors);
    // PBM: 0 is white and 1 black, as the rows are stored.
    for (int i = 0; i < colors; i++) {
        BYTE v = colors == 2 ? BYTE(255 * (1 - i)) : BYTE(i);
        bi->bmiColors[i] = RGBQUAD{v, v, v, 0};
    }

    // Every sample value scaled once: v x 255 / maxval, rounded.
    unsigned char scale[65536];
    for (uint32_t v = 0; v <= h.maxval; v++)
        scale[v] = (unsigned char)((uint64_t(v) * 255 + h.maxval / 2) / h.maxval);

    for (uint32_t y = 0; y < h.height; y++) {
        if (progress != nullptr && progress(int(y), int(h.height), lData) != 0)
            return SPI_ABORT;
        const unsigned char *src = in.data + h.raster + y * inRow;
        unsigned char *dst = bits + (h.height - 1 - y) * outRow;
        if (h.kind == '4') {
            std::memcpy(dst, src, size_t(inRow));
            continue;
        }
        for (uint64_t i = 0; i < uint64_t(h.width) * samples; i += samples) {
            for (int c = 0; c < samples; c++) {
                const unsigned char *s = src + (i + c) * wide;
                uint32_t v = wide == 2 ? uint32_t(s[0]) << 8 | s[1] : s[0];
                if (v > h.maxval)
                    return SPI_OUT_OF_ORDER;
                // red, green, blue in the file; blue, green, red in a DIB
                dst[i + samples - 1 - c] = scale[v];
            }
        }
    }
    if (progress != nullptr && progress(int(h.height), int(h.height), lData) != 0)
        return SPI_ABORT;

    LocalUnlock(pair.info);
    LocalUnlock(pair.bits);
    *pHBInfo = pair.info;
    *pHBm = pair.bits;
    pair.info = pair.bits = nullptr;
    return SPI_ALL_RIGHT;
}

} // namespace

SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen)
{
    static const char *const texts[] = {"00IN", "netpbm reader (vexel example)", "*.pbm;*.pgm;*.ppm;*.pnm",
                                        "netpbm pictures (binary)"};
    if (infono < 0 || infono > 3 || buf == nullptr || buflen <= 0)
        return 0;
    size_t n = std::strlen(texts[infono]);
    if (n > size_t(buflen))
        n = size_t(buflen);
    std::memcpy(buf, texts[infono], n);
    if (n < size_t(buflen))
        buf[n] = '\0';
    return int(n);
}

SPI_EXPORT int SPI_API IsSupported(char *, DWORD_PTR dw)
{
    unsigned char head[3];
    // Below 0x10000 dw is an open file; otherwise it points at its start.
    if (dw < 0x10000)
        return pread(int(dw), head, sizeof head, 0) == ssize_t(sizeof head) && isNetpbm(head, sizeof head);
    return isNetpbm(reinterpret_cast<const unsigned char *>(dw), sizeof head);
}

// Reads the whole input for the header: short, at the cost of speed, and
// vexel itself never asks.
SPI_EXPORT int SPI_API GetPictureInfo(char *buf, long len, unsigned int flag, PictureInfo *lpInfo)
{
    if (lpInfo == nullptr)
        return SPI_OTHER_ERROR;
    Input in;
    Header h;
    int r = load(buf, len, flag, &in);
    if (r == SPI_ALL_RIGHT)
        r = readHeader(in.data, in.size, &h);
    if (r != SPI_ALL_RIGHT)
        return r;
    std::memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->width = LONG(h.width);
    lpInfo->height = LONG(h.height);
    lpInfo->colorDepth = short(bitCount(h));
    return SPI_ALL_RIGHT;
}

SPI_EXPORT int SPI_API GetPicture(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                  SPI_PROGRESS lpPrgressCallback, long lData)
{
    Input in;
    int r = load(buf, len, flag, &in);
    if (r != SPI_ALL_RIGHT)
        return r;
    return decode(in, pHBInfo, pHBm, lpPrgressCallback, lData);
}
