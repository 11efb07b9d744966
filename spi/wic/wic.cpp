// The default image plug-ins of the Windows build, on the Windows Imaging
// Component: ifgif.spi, ifjpeg.spi, iftiff.spi and ifpng.spi are this one
// source, built once per format with VEXEL_WIC_GIF, _JPEG, _TIFF or _PNG.
//
// Pictures are handed over as DIB pairs in two LocalAlloc(LHND) blocks,
// rows bottom-up and padded to 4 bytes: GIF and palette PNG as 8 bits per
// pixel with their own colour table, everything else as 24-bit BGR.
#include <initguid.h> // the WIC GUIDs are defined here, not imported

#include <objbase.h>
#include <wincodec.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "plugins/spi.h"

namespace {

// ---------------------------------------------------------------- the format

struct Format {
    const char *name;    // GetPluginInfo 1
    const char *pattern; // GetPluginInfo 2
    const char *desc;    // GetPluginInfo 3
    const GUID *container;
    bool keepsPalette;   // indexed pictures stay 8-bit
};

// Whether the n bytes at p begin a file of this plug-in's format.
#if defined(VEXEL_WIC_GIF)
const Format kFormat = {"vexel GIF plug-in (WIC) 1.40", "*.gif", "GIF", &GUID_ContainerFormatGif, true};
bool signature(const unsigned char *p, size_t n)
{
    return n >= 6 && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0);
}
#elif defined(VEXEL_WIC_JPEG)
const Format kFormat = {"vexel JPEG plug-in (WIC) 1.40", "*.jpg;*.jpeg;*.jpe", "JPEG",
                        &GUID_ContainerFormatJpeg, false};
bool signature(const unsigned char *p, size_t n)
{
    return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}
#elif defined(VEXEL_WIC_TIFF)
const Format kFormat = {"vexel TIFF plug-in (WIC) 1.40", "*.tif;*.tiff", "TIFF", &GUID_ContainerFormatTiff, false};
bool signature(const unsigned char *p, size_t n)
{
    return n >= 4 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
                      (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42));
}
#elif defined(VEXEL_WIC_PNG)
const Format kFormat = {"vexel PNG plug-in (WIC) 1.40", "*.png", "PNG", &GUID_ContainerFormatPng, true};
bool signature(const unsigned char *p, size_t n)
{
    static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return n >= 8 && std::memcmp(p, sig, 8) == 0;
}
#else
#error "define one of VEXEL_WIC_GIF, VEXEL_WIC_JPEG, VEXEL_WIC_TIFF, VEXEL_WIC_PNG"
#endif

// Largest pixel block handed out: its size must fit biSizeImage and the
// signed arithmetic of any host.
constexpr uint64_t kMaxImageBytes = 0x7FFFFFFFu;
// Largest input read into memory.
constexpr uint64_t kMaxFileBytes = 0x7FFFFFFFu;
constexpr size_t kHeadBytes = 2048;
// Rows converted per step, between two calls of the progress callback.
constexpr UINT kBandRows = 64;

// ---------------------------------------------------------------- input

// The picture file's bytes: read whole from disk, or the caller's memory.
struct Source {
    const unsigned char *data = nullptr;
    size_t size = 0;
    std::unique_ptr<unsigned char[]> owned;
};

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// flag 0: buf names a file and len is the offset of the picture in it;
// flag 1: buf holds len bytes of picture. Returns an SPI result.
int openSource(const char *buf, long len, unsigned int flag, Source *src)
{
    if (buf == nullptr || len < 0)
        return SPI_OTHER_ERROR;
    switch (flag & 7) {
    case SPI_INPUT_MEMORY:
        src->data = reinterpret_cast<const unsigned char *>(buf);
        src->size = size_t(len);
        return SPI_ALL_RIGHT;
    case SPI_INPUT_FILE:
        break;
    default:
        return SPI_NOT_SUPPORT;
    }
    std::unique_ptr<FILE, FileCloser> f(std::fopen(buf, "rb"));
    if (!f)
        return SPI_FILE_READ_ERROR;
    if (_fseeki64(f.get(), 0, SEEK_END) != 0)
        return SPI_FILE_READ_ERROR;
    int64_t end = _ftelli64(f.get());
    if (end < 0 || _fseeki64(f.get(), len, SEEK_SET) != 0)
        return SPI_FILE_READ_ERROR;
    if (end < len)
        return SPI_NOT_SUPPORT; // nothing at that offset
    if (uint64_t(end - len) > kMaxFileBytes)
        return SPI_NO_MEMORY;
    size_t n = size_t(end - len);
    src->owned.reset(new (std::nothrow) unsigned char[n ? n : 1]);
    if (!src->owned)
        return SPI_NO_MEMORY;
    if (std::fread(src->owned.get(), 1, n, f.get()) != n)
        return SPI_FILE_READ_ERROR;
    src->data = src->owned.get();
    src->size = n;
    return SPI_ALL_RIGHT;
}

// ---------------------------------------------------------------- COM

// COM for the length of one call. A host that runs COM in the other
// threading model keeps it; it serves WIC just as well.
struct ComScope {
    bool mine;
    ComScope() : mine(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope()
    {
        if (mine)
            CoUninitialize();
    }
};

template <class T> struct ComPtr {
    T *p = nullptr;
    ComPtr() = default;
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    ~ComPtr()
    {
        if (p)
            p->Release();
    }
    T *operator->() const { return p; }
    T **out() { return &p; }
};

// The first frame of the picture, decoded by this format's own decoder so
// that a file of another format is refused rather than read.
struct Decoded {
    ComScope com;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    UINT width = 0, height = 0;
    WICPixelFormatGUID format = {};
};

int decode(const Source &src, Decoded *d)
{
    if (!signature(src.data, src.size))
        return SPI_NOT_SUPPORT;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void **>(d->factory.out()))))
        return SPI_OTHER_ERROR;
    if (FAILED(d->factory->CreateStream(d->stream.out())) ||
        FAILED(d->stream->InitializeFromMemory(const_cast<BYTE *>(src.data), DWORD(src.size))))
        return SPI_NO_MEMORY;
    if (FAILED(d->factory->CreateDecoder(*kFormat.container, nullptr, d->decoder.out())))
        return SPI_OTHER_ERROR;
    if (FAILED(d->decoder->Initialize(d->stream.p, WICDecodeMetadataCacheOnDemand)) ||
        FAILED(d->decoder->GetFrame(0, d->frame.out())) || FAILED(d->frame->GetSize(&d->width, &d->height)) ||
        FAILED(d->frame->GetPixelFormat(&d->format)))
        return SPI_OUT_OF_ORDER;
    if (d->width == 0 || d->height == 0 || d->width > 0x7FFFFFFF || d->height > 0x7FFFFFFF)
        return SPI_OUT_OF_ORDER;
    return SPI_ALL_RIGHT;
}

// Bits per pixel of an indexed frame that is handed over with its colour
// table, 0 for one that becomes 24-bit.
UINT indexedBits(const Decoded &d)
{
    if (!kFormat.keepsPalette)
        return 0;
    if (IsEqualGUID(d.format, GUID_WICPixelFormat8bppIndexed))
        return 8;
    if (IsEqualGUID(d.format, GUID_WICPixelFormat4bppIndexed))
        return 4;
    if (IsEqualGUID(d.format, GUID_WICPixelFormat2bppIndexed))
        return 2;
    if (IsEqualGUID(d.format, GUID_WICPixelFormat1bppIndexed))
        return 1;
    return 0;
}

// ---------------------------------------------------------------- output

// A DIB pair under construction; the blocks are freed unless handed over.
struct Dib {
    HLOCAL hInfo = nullptr, hBits = nullptr;
    BITMAPINFO *info = nullptr;
    unsigned char *bits = nullptr;
    size_t stride = 0;
    UINT height = 0;

    Dib() = default;
    Dib(const Dib &) = delete;
    Dib &operator=(const Dib &) = delete;
    ~Dib()
    {
        release(hInfo, info);
        release(hBits, bits);
    }
    template <class T> static void release(HLOCAL &h, T *&p)
    {
        if (p)
            LocalUnlock(h);
        if (h)
            LocalFree(h);
        h = nullptr;
        p = nullptr;
    }
    // Row y counted from the top of the picture.
    unsigned char *row(UINT y) const { return bits + size_t(height - 1 - y) * stride; }
};

int allocDib(Dib *dib, UINT width, UINT height, int bitCount, int colors)
{
    uint64_t stride = (uint64_t(width) * uint64_t(bitCount) + 31) / 32 * 4;
    uint64_t image = stride * uint64_t(height); // both below 2^35: no overflow
    if (image > kMaxImageBytes)
        return SPI_NO_MEMORY;
    size_t infoBytes = sizeof(BITMAPINFOHEADER) + size_t(colors) * sizeof(RGBQUAD);
    dib->hInfo = LocalAlloc(LHND, infoBytes);
    dib->hBits = LocalAlloc(LHND, size_t(image));
    if (dib->hInfo == nullptr || dib->hBits == nullptr)
        return SPI_NO_MEMORY;
    dib->info = static_cast<BITMAPINFO *>(LocalLock(dib->hInfo));
    dib->bits = static_cast<unsigned char *>(LocalLock(dib->hBits));
    if (dib->info == nullptr || dib->bits == nullptr)
        return SPI_MEMORY_ERROR;
    dib->stride = size_t(stride);
    dib->height = height;
    BITMAPINFOHEADER &h = dib->info->bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = LONG(width);
    h.biHeight = LONG(height);
    h.biPlanes = 1;
    h.biBitCount = WORD(bitCount);
    h.biCompression = BI_RGB;
    h.biSizeImage = DWORD(image);
    h.biClrUsed = DWORD(colors);
    return SPI_ALL_RIGHT;
}

void handOver(Dib *dib, HLOCAL *pHBInfo, HLOCAL *pHBm)
{
    LocalUnlock(dib->hInfo);
    LocalUnlock(dib->hBits);
    *pHBInfo = dib->hInfo;
    *pHBm = dib->hBits;
    dib->hInfo = dib->hBits = nullptr;
    dib->info = nullptr;
    dib->bits = nullptr;
}

struct Progress {
    SPI_PROGRESS fn;
    long data;
    bool stop(int num, int denom) const { return fn != nullptr && fn(num, denom, data) != 0; }
};

// The rows from..from+count of the source, as 4 bytes per pixel or as the
// frame's own packed indices.
HRESULT copyBand(IWICBitmapSource *source, UINT width, UINT from, UINT count, UINT stride,
                 unsigned char *buf)
{
    WICRect rc = {0, INT(from), INT(width), INT(count)};
    return source->CopyPixels(&rc, stride, stride * count, buf);
}

// An indexed frame: its own palette and its indices widened to 8 bits.
int readIndexed(Decoded &d, UINT bpp, Dib *dib, const Progress &progress)
{
    ComPtr<IWICPalette> palette;
    UINT count = 0;
    WICColor colors[256];
    if (FAILED(d.factory->CreatePalette(palette.out())) || FAILED(d.frame->CopyPalette(palette.p)) ||
        FAILED(palette->GetColors(256, colors, &count)))
        return SPI_OUT_OF_ORDER;

    UINT w = d.width, h = d.height;
    // Rows of packed indices: width * bpp bits, at most width bytes.
    UINT srcStride = (w * bpp + 7) / 8;
    if (uint64_t(srcStride) * kBandRows > kMaxImageBytes)
        return SPI_NO_MEMORY;
    std::unique_ptr<unsigned char[]> band(new (std::nothrow) unsigned char[size_t(srcStride) * kBandRows]);
    if (!band)
        return SPI_NO_MEMORY;
    // The table gets room for every index the rows use; a stray index past
    // the file's own table shows black rather than whatever follows.
    int r = allocDib(dib, w, h, 8, 256);
    if (r != SPI_ALL_RIGHT)
        return r;
    unsigned used = 0;
    for (UINT y0 = 0; y0 < h; y0 += kBandRows) {
        if (progress.stop(int(y0), int(h)))
            return SPI_ABORT;
        UINT n = h - y0 < kBandRows ? h - y0 : kBandRows;
        if (FAILED(copyBand(d.frame.p, w, y0, n, srcStride, band.get())))
            return SPI_OUT_OF_ORDER;
        for (UINT y = 0; y < n; y++) {
            const unsigned char *s = band.get() + size_t(y) * srcStride;
            unsigned char *o = dib->row(y0 + y);
            UINT perByte = 8 / bpp, mask = (1u << bpp) - 1;
            for (UINT x = 0; x < w; x++) {
                unsigned v = bpp == 8 ? s[x]
                                      : (s[x / perByte] >> (8 - bpp - (x % perByte) * bpp)) & mask;
                o[x] = static_cast<unsigned char>(v);
                if (v >= used)
                    used = v + 1;
            }
        }
    }
    if (progress.stop(int(h), int(h)))
        return SPI_ABORT;
    UINT entries = count > used ? count : used;
    RGBQUAD *table = dib->info->bmiColors;
    for (UINT i = 0; i < entries; i++) {
        WICColor c = i < count ? colors[i] : 0;
        table[i].rgbBlue = BYTE(c);
        table[i].rgbGreen = BYTE(c >> 8);
        table[i].rgbRed = BYTE(c >> 16);
        table[i].rgbReserved = 0;
    }
    dib->info->bmiHeader.biClrUsed = entries;
    return SPI_ALL_RIGHT;
}

// Any other frame as 24-bit BGR. WIC is asked for 32bppBGR, which every
// decoder's formats convert to (Wine refuses some direct conversions to
// 24bppBGR), and the fourth byte is dropped here.
int readTrueColour(Decoded &d, Dib *dib, const Progress &progress)
{
    ComPtr<IWICFormatConverter> conv;
    if (FAILED(d.factory->CreateFormatConverter(conv.out())) ||
        FAILED(conv->Initialize(d.frame.p, GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom)))
        return SPI_OUT_OF_ORDER;
    UINT w = d.width, h = d.height;
    if (uint64_t(w) * 4 * kBandRows > kMaxImageBytes)
        return SPI_NO_MEMORY;
    UINT srcStride = w * 4;
    std::unique_ptr<unsigned char[]> band(new (std::nothrow) unsigned char[size_t(srcStride) * kBandRows]);
    if (!band)
        return SPI_NO_MEMORY;
    int r = allocDib(dib, w, h, 24, 0);
    if (r != SPI_ALL_RIGHT)
        return r;
    for (UINT y0 = 0; y0 < h; y0 += kBandRows) {
        if (progress.stop(int(y0), int(h)))
            return SPI_ABORT;
        UINT n = h - y0 < kBandRows ? h - y0 : kBandRows;
        if (FAILED(copyBand(conv.p, w, y0, n, srcStride, band.get())))
            return SPI_OUT_OF_ORDER;
        for (UINT y = 0; y < n; y++) {
            const unsigned char *s = band.get() + size_t(y) * srcStride;
            unsigned char *o = dib->row(y0 + y);
            for (UINT x = 0; x < w; x++, s += 4, o += 3) {
                o[0] = s[0];
                o[1] = s[1];
                o[2] = s[2];
            }
        }
    }
    if (progress.stop(int(h), int(h)))
        return SPI_ABORT;
    return SPI_ALL_RIGHT;
}

int copyText(const char *text, char *buf, int buflen)
{
    if (buf == nullptr || buflen <= 0)
        return 0;
    int n = int(std::strlen(text));
    if (n > buflen)
        n = buflen;
    std::memcpy(buf, text, size_t(n));
    if (n < buflen)
        buf[n] = '\0';
    return n;
}

} // namespace

// ---------------------------------------------------------------- entries

SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen)
{
    switch (infono) {
    case 0:
        return copyText("00IN", buf, buflen);
    case 1:
        return copyText(kFormat.name, buf, buflen);
    case 2:
        return copyText(kFormat.pattern, buf, buflen);
    case 3:
        return copyText(kFormat.desc, buf, buflen);
    default:
        return 0;
    }
}

SPI_EXPORT int SPI_API IsSupported(char *, DWORD_PTR dw)
{
    unsigned char tmp[kHeadBytes];
    const unsigned char *head;
    size_t n;
    if ((dw & ~DWORD_PTR(0xFFFF)) == 0) {
        // An open file, read from where it stands.
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(dw), tmp, sizeof tmp, &got, nullptr))
            return 0;
        head = tmp;
        n = got;
    } else {
        head = reinterpret_cast<const unsigned char *>(dw);
        n = kHeadBytes;
    }
    return signature(head, n) ? 1 : 0;
}

SPI_EXPORT int SPI_API GetPictureInfo(char *buf, long len, unsigned int flag, PictureInfo *lpInfo)
{
    if (lpInfo == nullptr)
        return SPI_OTHER_ERROR;
    Source src;
    int r = openSource(buf, len, flag, &src);
    if (r != SPI_ALL_RIGHT)
        return r;
    Decoded d;
    r = decode(src, &d);
    if (r != SPI_ALL_RIGHT)
        return r;
    std::memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->width = LONG(d.width);
    lpInfo->height = LONG(d.height);
    lpInfo->colorDepth = short(indexedBits(d) ? 8 : 24);
    return SPI_ALL_RIGHT;
}

SPI_EXPORT int SPI_API GetPicture(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                  SPI_PROGRESS lpPrgressCallback, long lData)
{
    if (pHBInfo == nullptr || pHBm == nullptr)
        return SPI_OTHER_ERROR;
    Source src;
    int r = openSource(buf, len, flag, &src);
    if (r != SPI_ALL_RIGHT)
        return r;
    Decoded d;
    r = decode(src, &d);
    if (r != SPI_ALL_RIGHT)
        return r;
    Progress progress = {lpPrgressCallback, lData};
    Dib dib;
    UINT bpp = indexedBits(d);
    r = bpp ? readIndexed(d, bpp, &dib, progress) : readTrueColour(d, &dib, progress);
    if (r != SPI_ALL_RIGHT)
        return r;
    handOver(&dib, pHBInfo, pHBm);
    return SPI_ALL_RIGHT;
}
