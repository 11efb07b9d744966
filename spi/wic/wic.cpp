// The image plug-ins of the Windows build, on the Windows Imaging Component:
// ifgif.spi, ifjpeg.spi, iftiff.spi and ifpng.spi, and for today's formats
// ifwebp.spi, ifheic.spi, ifheif.spi, ifavif.spi and ifjxl.spi, are this one
// source, built once per format with VEXEL_WIC_GIF, _JPEG, _TIFF, _PNG,
// _WEBP, _HEIC, _HEIF, _AVIF or _JXL. Today's formats need the codec that
// the system may have (WebP and HEIF come with Windows 10 and later);
// without it a file is refused as of an unknown format.
//
// Pictures are handed over as their POSIX twins hand them: DIB pairs in two
// LocalAlloc(LHND) blocks, rows bottom-up and padded to 4 bytes. GIF, palette
// and greyscale pictures come out with 8 bits per pixel and their table, a
// GIF's first image placed on its logical screen; everything else as 24-bit
// BGR. They follow the same rules: turned as the file says, alpha dropped
// (premultiplied colours divided out), deep samples and CMYK rounded.
#include <initguid.h> // the WIC GUIDs are defined here, not imported

#include <objbase.h>
#include <wincodec.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/spicommon.h"

namespace {

// ---------------------------------------------------------------- the format

// What a picture becomes, by the format and the decoder's pixel format.
enum Form {
    kTrue,    // 24-bit BGR
    kPalette, // 8-bit, the frame's own palette
    kGrey     // 8-bit, a grey ramp of 2^bits levels
};

// The texts, the container of the format's WIC decoder, and whether the n
// bytes at p begin a file of the format.
#if defined(VEXEL_WIC_GIF)
const SpiTexts kTexts = {"GIF plug-in for vexel 1.40 (WIC)", "*.gif", "GIF image"};
const GUID *const kContainer = &GUID_ContainerFormatGif;
bool signature(const unsigned char *p, size_t n)
{
    return n >= 6 && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0);
}
#elif defined(VEXEL_WIC_JPEG)
const SpiTexts kTexts = {"JPEG plug-in for vexel 1.40 (WIC)", "*.jpg;*.jpeg;*.jpe", "JPEG image"};
const GUID *const kContainer = &GUID_ContainerFormatJpeg;
bool signature(const unsigned char *p, size_t n)
{
    return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}
#elif defined(VEXEL_WIC_TIFF)
const SpiTexts kTexts = {"TIFF plug-in for vexel 1.40 (WIC)", "*.tif;*.tiff", "TIFF image"};
const GUID *const kContainer = &GUID_ContainerFormatTiff;
bool signature(const unsigned char *p, size_t n)
{
    return n >= 4 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
                      (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42));
}
#elif defined(VEXEL_WIC_PNG)
const SpiTexts kTexts = {"PNG plug-in for vexel 1.40 (WIC)", "*.png", "PNG image"};
const GUID *const kContainer = &GUID_ContainerFormatPng;
bool signature(const unsigned char *p, size_t n)
{
    static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return n >= 8 && std::memcmp(p, sig, 8) == 0;
}
#elif defined(VEXEL_WIC_WEBP)
const SpiTexts kTexts = {"WebP plug-in for vexel 1.40 (WIC)", "*.webp", "WebP image"};
const GUID *const kContainer = &GUID_ContainerFormatWebp;
bool signature(const unsigned char *p, size_t n)
{
    return n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
}
#elif defined(VEXEL_WIC_HEIC) || defined(VEXEL_WIC_HEIF)
const SpiTexts kTexts = {"HEIF plug-in for vexel 1.40 (WIC)", "*.heic;*.heif;*.hif", "HEIF image"};
const GUID *const kContainer = &GUID_ContainerFormatHeif;
bool signature(const unsigned char *p, size_t n) // HEVC-coded: files that say AVIF are ifavif's
{
    return spiIsHeif(p, n);
}
#elif defined(VEXEL_WIC_AVIF)
// No container of its own in the SDK's headers: the decoder is the one
// the system finds for the stream.
const SpiTexts kTexts = {"AVIF plug-in for vexel 1.40 (WIC)", "*.avif", "AVIF image"};
const GUID *const kContainer = nullptr;
bool signature(const unsigned char *p, size_t n)
{
    return spiIsAvif(p, n);
}
#elif defined(VEXEL_WIC_JXL)
const SpiTexts kTexts = {"JPEG XL plug-in for vexel 1.40 (WIC)", "*.jxl", "JPEG XL image"};
const GUID *const kContainer = nullptr;
bool signature(const unsigned char *p, size_t n)
{
    static const unsigned char box[12] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    return (n >= 2 && p[0] == 0xFF && p[1] == 0x0A) || (n >= 12 && std::memcmp(p, box, 12) == 0);
}
#else
#error "define one of VEXEL_WIC_GIF, _JPEG, _TIFF, _PNG, _WEBP, _HEIC, _HEIF, _AVIF, _JXL"
#endif

// Rows converted per step, between two calls of the progress callback.
constexpr UINT kBandRows = 64;

// ---------------------------------------------------------------- the file's own fields
//
// A few fields that WIC does not give alike on every Windows are read from
// the file's bytes: where a GIF's first image lies on its screen and the
// screen's colour, whether a PNG is greyscale, the densities of JPEG, TIFF
// and PNG files, the orientation of JPEG and TIFF files, and the kinds of
// JPEG and TIFF files that are not handled.

unsigned le16(const unsigned char *p) { return p[0] | unsigned(p[1]) << 8; }
unsigned be16(const unsigned char *p) { return unsigned(p[0]) << 8 | p[1]; }
uint32_t be32(const unsigned char *p) { return uint32_t(be16(p)) << 16 | be16(p + 2); }

struct Facts {
    unsigned screenW = 0, screenH = 0; // GIF: the logical screen
    unsigned left = 0, top = 0;        // GIF: the first image on it
    RGBQUAD background = {};           // GIF: the global map's background entry, else black
    int greyBits = 0;                  // PNG: bits of a greyscale sample, else 0
    LONG xppm = 0, yppm = 0;           // pixels per metre, 0 when unknown
    WORD xdens = 0, ydens = 0;         // the file's own density figures
    int orientation = 1;               // JPEG, TIFF, WebP: the EXIF/TIFF orientation
    bool unsupported = false;          // a valid file of a kind not handled
};

// The screen and the first image descriptor, walking past the global colour
// table and the extensions before it.
[[maybe_unused]] void gifFacts(const unsigned char *p, size_t n, Facts *f)
{
    if (n < 13)
        return;
    f->screenW = le16(p + 6);
    f->screenH = le16(p + 8);
    size_t pos = 13;
    if (p[10] & 0x80) {
        size_t entries = size_t(2) << (p[10] & 7), at = 13 + 3 * size_t(p[11]);
        if (p[11] < entries && at + 3 <= n) {
            f->background.rgbRed = p[at];
            f->background.rgbGreen = p[at + 1];
            f->background.rgbBlue = p[at + 2];
        }
        pos += 3 * entries;
    }
    while (pos < n) {
        if (p[pos] == 0x2C) {
            if (pos + 5 <= n) {
                f->left = le16(p + pos + 1);
                f->top = le16(p + pos + 3);
            }
            return;
        }
        if (p[pos] != 0x21)
            return;
        pos += 2; // introducer and label, then sub-blocks up to an empty one
        while (pos < n && p[pos] != 0)
            pos += size_t(p[pos]) + 1;
        pos++;
    }
}

// The density of the JFIF marker, as the JPEG library reads it: unit 1
// dots per inch, 2 dots per centimetre, 0 only an aspect ratio.
[[maybe_unused]] void jpegFacts(const unsigned char *p, size_t n, Facts *f)
{
    int unit = 0;
    unsigned xd = 1, yd = 1;
    bool exif = false; // the first EXIF block is the one that counts
    size_t pos = 2;
    while (pos + 4 <= n && p[pos] == 0xFF) {
        unsigned m = p[pos + 1];
        if (m == 0xFF) { // fill byte
            pos++;
            continue;
        }
        if (m == 0xDA || m == 0xD9) // the data begins: no markers of interest follow
            break;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            pos += 2;
            continue;
        }
        size_t len = be16(p + pos + 2);
        if (len < 2 || pos + 2 + len > n)
            break;
        // frames of 12 bits, lossless and hierarchical ones are not handled
        bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (frame && (p[pos + 4] != 8 || m == 0xC3 || (m >= 0xC5 && m <= 0xC7) || m >= 0xCB))
            f->unsupported = true;
        if (m == 0xE1 && len >= 8 && std::memcmp(p + pos + 4, "Exif\0\0", 6) == 0 && !exif) {
            f->orientation = spiExifOrientation(p + pos + 10, len - 8);
            exif = true;
        }
        if (m == 0xE0 && len >= 16 && std::memcmp(p + pos + 4, "JFIF", 5) == 0) {
            unit = p[pos + 11];
            xd = be16(p + pos + 12);
            yd = be16(p + pos + 14);
        }
        pos += 2 + len;
    }
    auto ppm = [unit](unsigned d) -> LONG {
        if (unit == 1)
            return LONG(d * 39.37 + 0.5);
        if (unit == 2)
            return LONG(d * 100u);
        return 0;
    };
    f->xppm = ppm(xd);
    f->yppm = ppm(yd);
    if (unit != 0) {
        f->xdens = WORD(xd);
        f->ydens = WORD(yd);
    }
}

// The colour type of the header, and pHYs when it comes before the data.
[[maybe_unused]] void pngFacts(const unsigned char *p, size_t n, Facts *f)
{
    if (n < 33)
        return;
    int depth = p[24], type = p[25];
    if ((type & 2) == 0) // greyscale, with or without alpha
        f->greyBits = depth > 8 ? 8 : depth;
    size_t pos = 8;
    while (pos + 12 <= n) {
        uint32_t len = be32(p + pos);
        const unsigned char *t = p + pos + 4;
        if (std::memcmp(t, "IDAT", 4) == 0)
            break;
        if (std::memcmp(t, "pHYs", 4) == 0 && len >= 9 && pos + 17 <= n) {
            uint32_t x = be32(p + pos + 8), y = be32(p + pos + 12);
            int unit = p[pos + 16];
            f->xppm = f->yppm = 0;
            f->xdens = f->ydens = 0;
            if (unit == 1 && x <= 0x7FFFFFFF && y <= 0x7FFFFFFF) {
                f->xppm = LONG(x);
                f->yppm = LONG(y);
            }
            if (unit != 0 && x <= 0xFFFF && y <= 0xFFFF) {
                f->xdens = WORD(x);
                f->ydens = WORD(y);
            }
        }
        if (uint64_t(len) + 12 > n - pos)
            break;
        pos += size_t(len) + 12;
    }
}

// The resolution tags of the first directory, as the TIFF library reads
// them: the unit defaults to inches.
[[maybe_unused]] void tiffFacts(const unsigned char *p, size_t n, Facts *f)
{
    if (n < 8)
        return;
    bool le = p[0] == 'I';
    auto u16 = [&](size_t at) -> unsigned { return le ? le16(p + at) : be16(p + at); };
    auto u32 = [&](size_t at) -> uint32_t { return le ? u16(at) | uint32_t(u16(at + 2)) << 16 : be32(p + at); };
    uint32_t ifd = u32(4);
    if (ifd > n || n - ifd < 2)
        return;
    unsigned count = u16(ifd);
    float res[2] = {-1, -1};
    unsigned unit = 2;
    for (unsigned i = 0; i < count; i++) {
        size_t e = size_t(ifd) + 2 + size_t(i) * 12;
        if (e + 12 > n)
            break;
        unsigned tag = u16(e), type = u16(e + 2);
        if ((tag == 282 || tag == 283) && type == 5) { // X/YResolution, RATIONAL
            uint32_t at = u32(e + 8);
            if (at <= n && n - at >= 8) {
                uint32_t num = u32(at), den = u32(at + 4);
                res[tag - 282] = num == 0 || den == 0 ? 0.0f : float(double(num) / double(den));
            }
        } else if (tag == 296 && type == 3) { // ResolutionUnit, SHORT
            unit = u16(e + 8);
        } else if (tag == 339 && type == 3) { // SampleFormat: unsigned or untyped only
            size_t at = u32(e + 4) <= 2 ? e + 8 : u32(e + 8);
            f->unsupported = at + 2 <= n && u16(at) != 1 && u16(at) != 4;
        }
    }
    f->orientation = spiExifOrientation(p, n);
    if (res[0] < 0 || res[1] < 0)
        return;
    double scale = unit == 2 ? 39.37 : unit == 3 ? 100.0 : 0.0;
    auto ppm = [scale](float r) -> LONG {
        double v = double(r) * scale + 0.5;
        return v >= 0 && v <= 2147483647.0 ? LONG(v) : 0;
    };
    auto dens = [unit](float r) -> WORD {
        double v = double(r) + 0.5;
        return (unit == 2 || unit == 3) && v >= 0 && v <= 65535.0 ? WORD(v) : 0;
    };
    f->xppm = ppm(res[0]);
    f->yppm = ppm(res[1]);
    f->xdens = dens(res[0]);
    f->ydens = dens(res[1]);
}

// The orientation in a WebP file's EXIF chunk, which the system's codec
// leaves to the caller.
[[maybe_unused]] void webpFacts(const unsigned char *p, size_t n, Facts *f)
{
    for (size_t pos = 12; pos <= n && n - pos >= 8;) {
        uint32_t len = le16(p + pos + 4) | uint32_t(le16(p + pos + 6)) << 16;
        if (len > n - pos - 8)
            return;
        if (std::memcmp(p + pos, "EXIF", 4) == 0) {
            f->orientation = spiExifOrientation(p + pos + 8, len);
            return;
        }
        pos += 8 + size_t(len) + (len & 1);
    }
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
// that a file of another format is refused rather than read, and what the
// plug-in makes of it.
struct Decoded {
    ComScope com;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    UINT width = 0, height = 0; // of the frame
    WICPixelFormatGUID format = {};
    Facts facts;
    Form form = kTrue;
    int bits = 0;               // kPalette: bits per index; kGrey: bits per sample
    UINT outW = 0, outH = 0;    // of the picture handed out
};

// Bits per pixel of an indexed WIC format, 0 for any other.
int indexedBits(const WICPixelFormatGUID &f)
{
    if (IsEqualGUID(f, GUID_WICPixelFormat8bppIndexed))
        return 8;
    if (IsEqualGUID(f, GUID_WICPixelFormat4bppIndexed))
        return 4;
    if (IsEqualGUID(f, GUID_WICPixelFormat2bppIndexed))
        return 2;
    if (IsEqualGUID(f, GUID_WICPixelFormat1bppIndexed))
        return 1;
    return 0;
}

// Bits per sample of a greyscale WIC format as the picture's table has them
// (16-bit samples are scaled to 8), 0 for any other.
[[maybe_unused]] int greyBits(const WICPixelFormatGUID &f)
{
    if (IsEqualGUID(f, GUID_WICPixelFormat8bppGray) || IsEqualGUID(f, GUID_WICPixelFormat16bppGray))
        return 8;
    if (IsEqualGUID(f, GUID_WICPixelFormat4bppGray))
        return 4;
    if (IsEqualGUID(f, GUID_WICPixelFormat2bppGray))
        return 2;
    if (IsEqualGUID(f, GUID_WICPixelFormatBlackWhite))
        return 1;
    return 0;
}

// Picks the form the POSIX plug-in of the same format gives.
void chooseForm(Decoded *d)
{
    d->outW = d->width;
    d->outH = d->height;
#if defined(VEXEL_WIC_GIF)
    d->form = kPalette;
    d->bits = indexedBits(d->format);
    Facts &f = d->facts;
    if (f.screenW > 0 && f.screenH > 0) {
        d->outW = f.screenW;
        d->outH = f.screenH;
    } else {
        // No screen given: the image is the picture.
        f.left = f.top = 0;
    }
#elif defined(VEXEL_WIC_PNG)
    if (indexedBits(d->format)) {
        d->form = kPalette;
        d->bits = indexedBits(d->format);
    } else if (d->facts.greyBits) {
        d->form = kGrey;
        d->bits = d->facts.greyBits;
    }
#else
    if (indexedBits(d->format)) {
        d->form = kPalette;
        d->bits = indexedBits(d->format);
    } else if (greyBits(d->format)) {
        d->form = kGrey;
        d->bits = greyBits(d->format);
    }
#endif
}

// Called on bytes that passed the signature test.
int decode(const SpiSource &src, Decoded *d)
{
#if defined(VEXEL_WIC_GIF)
    gifFacts(src.data, src.size, &d->facts);
#elif defined(VEXEL_WIC_JPEG)
    jpegFacts(src.data, src.size, &d->facts);
#elif defined(VEXEL_WIC_TIFF)
    tiffFacts(src.data, src.size, &d->facts);
#elif defined(VEXEL_WIC_PNG)
    pngFacts(src.data, src.size, &d->facts);
#elif defined(VEXEL_WIC_WEBP)
    webpFacts(src.data, src.size, &d->facts);
#endif
    if (d->facts.unsupported)
        return SPI_NOT_SUPPORT;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void **>(d->factory.out()))))
        return SPI_OTHER_ERROR;
    if (FAILED(d->factory->CreateStream(d->stream.out())) ||
        FAILED(d->stream->InitializeFromMemory(const_cast<BYTE *>(src.data), DWORD(src.size))))
        return SPI_NO_MEMORY;
    // No decoder for the format on this system: a format it does not know.
#if defined(VEXEL_WIC_AVIF) || defined(VEXEL_WIC_JXL)
    HRESULT hr = d->factory->CreateDecoderFromStream(d->stream.p, nullptr, WICDecodeMetadataCacheOnDemand,
                                                     d->decoder.out());
    if (FAILED(hr))
        return hr == WINCODEC_ERR_COMPONENTNOTFOUND ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
#else
    if (FAILED(d->factory->CreateDecoder(*kContainer, nullptr, d->decoder.out())) ||
        FAILED(d->decoder->Initialize(d->stream.p, WICDecodeMetadataCacheOnDemand)))
        return d->decoder.p == nullptr ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
#endif
    if (FAILED(d->decoder->GetFrame(0, d->frame.out())) || FAILED(d->frame->GetSize(&d->width, &d->height)) ||
        FAILED(d->frame->GetPixelFormat(&d->format)))
        return SPI_OUT_OF_ORDER;
    chooseForm(d);
    if (d->form == kPalette && d->bits == 0)
        return SPI_OUT_OF_ORDER;
    // The limits of the pixel block, checked before any decoding.
    if (!spiSizeOk(d->outW, d->outH, d->form == kTrue ? 24 : 8))
        return SPI_NO_MEMORY;
    return SPI_ALL_RIGHT;
}

// ---------------------------------------------------------------- output

// Copies the frame's rows band by band through source (the frame itself or
// a converter), srcStride bytes a row, and hands each row to put(y, row).
template <class Put>
int copyRows(IWICBitmapSource *source, const Decoded &d, UINT srcStride, const SpiProgress &progress, Put put)
{
    UINT w = d.width, h = d.height;
    if (int64_t(srcStride) * kBandRows > kSpiMaxImageBytes)
        return SPI_NO_MEMORY;
    std::unique_ptr<unsigned char[]> band(new (std::nothrow) unsigned char[size_t(srcStride) * kBandRows]);
    if (!band)
        return SPI_NO_MEMORY;
    if (progress.step(0, int(h)))
        return SPI_ABORT;
    for (UINT y0 = 0; y0 < h; y0 += kBandRows) {
        UINT n = h - y0 < kBandRows ? h - y0 : kBandRows;
        WICRect rc = {0, INT(y0), INT(w), INT(n)};
        HRESULT hr = source->CopyPixels(&rc, srcStride, srcStride * n, band.get());
        if (FAILED(hr)) // a codec the decoder needs (HEVC, AV1) may be missing
            return hr == WINCODEC_ERR_COMPONENTNOTFOUND ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
        for (UINT y = 0; y < n; y++)
            put(int(y0 + y), band.get() + size_t(y) * srcStride);
        if (progress.step(int(y0 + n), int(h)))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

// An indexed frame: its own palette, and its indices widened to a byte
// each. A GIF's frame lands at its place on the screen, which shows the
// global map's background colour (or black) elsewhere; what lies off the
// screen is dropped.
int readPalette(Decoded &d, SpiDib *dib, const SpiProgress &progress)
{
    ComPtr<IWICPalette> palette;
    UINT count = 0;
    WICColor colors[256];
    if (FAILED(d.factory->CreatePalette(palette.out())) || FAILED(d.frame->CopyPalette(palette.p)) ||
        FAILED(palette->GetColors(256, colors, &count)) || count == 0) {
#if defined(VEXEL_WIC_GIF)
        // no colour map at all: show the indexes as grey levels
        count = 0;
#else
        return SPI_OUT_OF_ORDER;
#endif
    }
    if (count > 0) {
        for (UINT i = 0; i < count; i++) {
            dib->table[i].rgbBlue = BYTE(colors[i]);
            dib->table[i].rgbGreen = BYTE(colors[i] >> 8);
            dib->table[i].rgbRed = BYTE(colors[i] >> 16);
        }
        dib->colors = int(count);
    } else {
        spiGreyTable(dib->table, 256);
        dib->colors = 256;
    }
    const Facts &f = d.facts;
    // the block is outW x outH
    UINT left = f.left, top = f.top;
    UINT x1 = left < d.outW ? (d.outW - left < d.width ? d.outW : left + d.width) : left;
    int bpp = d.bits;
    UINT perByte = 8 / unsigned(bpp), mask = (1u << bpp) - 1;
    int r = copyRows(d.frame.p, d, (d.width * unsigned(bpp) + 7) / 8, progress, [&](int y, const unsigned char *s) {
        if (top + uint64_t(y) >= d.outH)
            return;
        unsigned char *o = dib->row(int(top) + y);
        for (UINT x = left; x < x1; x++) {
            UINT i = x - left;
            o[x] = bpp == 8 ? s[i] : BYTE((s[i / perByte] >> (8 - bpp - (i % perByte) * bpp)) & mask);
        }
    });
    // a GIF's screen shows its background colour around the image
    if (r == SPI_ALL_RIGHT && kContainer == &GUID_ContainerFormatGif)
        spiFillOutside(dib, f.background, int(left), int(top), int(left + d.width), int(top + d.height));
    return r;
}

// Frames read in their own format, where WIC's conversion would drop the
// low byte of 16-bit samples, keep premultiplied colours, or convert CMYK
// its own way: bytes a pixel, bytes a sample, and the byte offsets of the
// samples (red, green, blue or the first, cyan to black, or grey alone) and
// of premultiplied alpha (-1: none).
struct Direct {
    const GUID *format;
    UINT bytes, depth;
    bool cmyk;
    int at[4];
    int alpha;
};

const Direct kDirect[] = {
    {&GUID_WICPixelFormat16bppGray, 2, 2, false, {0, 0, 0}, -1},
    {&GUID_WICPixelFormat48bppRGB, 6, 2, false, {0, 2, 4}, -1},
    {&GUID_WICPixelFormat48bppBGR, 6, 2, false, {4, 2, 0}, -1},
    {&GUID_WICPixelFormat64bppRGBA, 8, 2, false, {0, 2, 4}, -1},
    {&GUID_WICPixelFormat64bppBGRA, 8, 2, false, {4, 2, 0}, -1},
    {&GUID_WICPixelFormat64bppPRGBA, 8, 2, false, {0, 2, 4}, 6},
    {&GUID_WICPixelFormat32bppPBGRA, 4, 1, false, {2, 1, 0}, 3},
    {&GUID_WICPixelFormat32bppPRGBA, 4, 1, false, {0, 1, 2}, 3},
    {&GUID_WICPixelFormat32bppCMYK, 4, 1, true, {0, 1, 2, 3}, -1},
    {&GUID_WICPixelFormat64bppCMYK, 8, 2, true, {0, 2, 4, 6}, -1},
};

// One sample of a pixel in a WIC format, 8 or 16 bits (little-endian).
uint32_t sampleAt(const unsigned char *p, UINT depth)
{
    return depth == 1 ? p[0] : p[0] | uint32_t(p[1]) << 8;
}

// One sample as 8 bits: rounded, and divided by premultiplied alpha.
BYTE eight(const unsigned char *px, const Direct &f, int i)
{
    uint32_t v = sampleAt(px + f.at[i], f.depth);
    if (f.alpha >= 0)
        return spiStraight(v, sampleAt(px + f.alpha, f.depth));
    return f.depth == 1 ? BYTE(v) : spiScale16(v);
}

// Any other frame, as 24-bit BGR or, for greyscale, as the sample values
// under a grey ramp. Frames of up to 8 bits a sample go through WIC's
// conversion to 32bppBGR (which every decoder's formats convert to; Wine
// refuses some direct conversions to 24bppBGR).
int readConverted(Decoded &d, SpiDib *dib, const SpiProgress &progress)
{
    UINT w = d.width;
    int levels = d.form == kGrey ? 1 << d.bits : 0;
    if (levels) {
        spiGreyTable(dib->table, levels);
        dib->colors = levels;
    }
    for (const Direct &f : kDirect) {
        if (!IsEqualGUID(d.format, *f.format))
            continue;
        if (int64_t(w) * f.bytes > kSpiMaxImageBytes)
            return SPI_NO_MEMORY;
        const uint32_t max = f.depth == 1 ? 255 : 65535;
        return copyRows(d.frame.p, d, w * f.bytes, progress, [&](int y, const unsigned char *s) {
            unsigned char *o = dib->row(y);
            for (UINT x = 0; x < w; x++, s += f.bytes) {
                if (levels) {
                    o[x] = eight(s, f, 0); // greyscale comes as one sample, or red = green = blue
                } else if (f.cmyk) {
                    spiCmykToBgr(sampleAt(s + f.at[0], f.depth), sampleAt(s + f.at[1], f.depth),
                                 sampleAt(s + f.at[2], f.depth), sampleAt(s + f.at[3], f.depth), max, o);
                    o += 3;
                } else {
                    *o++ = eight(s, f, 2);
                    *o++ = eight(s, f, 1);
                    *o++ = eight(s, f, 0);
                }
            }
        });
    }

    ComPtr<IWICFormatConverter> conv;
    if (FAILED(d.factory->CreateFormatConverter(conv.out())) ||
        FAILED(conv->Initialize(d.frame.p, GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom)))
        return SPI_OUT_OF_ORDER;
    if (levels) {
        // The converter spreads a sample of n bits over 0..255; its step
        // gives the sample back.
        unsigned step = 255u / unsigned(levels - 1);
        return copyRows(conv.p, d, w * 4, progress, [&](int y, const unsigned char *s) {
            unsigned char *o = dib->row(y);
            for (UINT x = 0; x < w; x++, s += 4)
                o[x] = BYTE(s[0] / step);
        });
    }
    return copyRows(conv.p, d, w * 4, progress, [&](int y, const unsigned char *s) {
        unsigned char *o = dib->row(y);
        for (UINT x = 0; x < w; x++, s += 4, o += 3) {
            o[0] = s[0];
            o[1] = s[1];
            o[2] = s[2];
        }
    });
}

// GetPictureInfo of the shared path.
int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Decoded d;
    int r = decode(src, &d);
    if (r != SPI_ALL_RIGHT)
        return r;
    lpInfo->width = LONG(d.outW);
    lpInfo->height = LONG(d.outH);
    lpInfo->x_density = d.facts.xdens;
    lpInfo->y_density = d.facts.ydens;
    lpInfo->colorDepth = short(d.form == kTrue ? 24 : 8);
    spiTurnInfo(lpInfo, d.facts.orientation);
    return SPI_ALL_RIGHT;
}

// GetPicture of the shared path.
int decodePicture(const SpiSource &src, SpiDib *dib, const SpiProgress &progress)
{
    Decoded d;
    int r = decode(src, &d);
    if (r != SPI_ALL_RIGHT)
        return r;
    r = spiAllocDib(dib, d.outW, d.outH, d.form == kTrue ? 24 : 8);
    if (r != SPI_ALL_RIGHT)
        return r;
    dib->hdr.biXPelsPerMeter = d.facts.xppm;
    dib->hdr.biYPelsPerMeter = d.facts.yppm;
    r = d.form == kPalette ? readPalette(d, dib, progress) : readConverted(d, dib, progress);
    return r == SPI_ALL_RIGHT ? spiOrient(dib, d.facts.orientation) : r;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {kTexts, signature, info, decodePicture};
