// Shared parts of the default image plug-ins: where the input comes from,
// the DIB pair a picture is handed over in, the progress callback, the
// texts of GetPluginInfo, and the four entry points themselves, which serve
// each format through its SpiFormat record. Every plug-in links its own
// copy; nothing here is exported.
//
// spicommon.cpp is the same on every system. The two things it needs from
// the system, reading the start of an open file and seeking in a large one,
// are spiReadStart and spiSeek below: spiposix.cpp has them for the POSIX
// plug-ins, and the Windows plug-ins bring their own.
#ifndef VEXEL_SPI_COMMON_H
#define VEXEL_SPI_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/winapi.h"
#include "plugins/spi.h"

// Largest picture handed out: the pixel block must stay below 2 GB so that
// its size fits the header's biSizeImage and any host's signed arithmetic.
constexpr int64_t kSpiMaxImageBytes = INT64_C(0x7FFFFFFF);
// Largest input read into memory.
constexpr int64_t kSpiMaxFileBytes = INT64_C(0x7FFFFFFF);
// IsSupported gets at least this much of the file's start.
constexpr size_t kSpiHeadBytes = 2048;
// Largest picture per byte of its file: no picture that is meant to be
// seen compresses further (a blank page of fax or arithmetic-coded JPEG
// comes nearest), so a file that asks for more is refused before anything
// is allocated, as a picture too large to hold. Run codes of the old
// formats do pack a flat picture further, so any file may still make a
// picture of a screen's size (16 MB, 2364 x 2364 at 24 bits).
constexpr int64_t kSpiMaxExpansion = 65536;
constexpr int64_t kSpiAnyFileImage = INT64_C(16) << 20;
// Largest picture of the formats of the old computers (8192 x 8192 in 256
// colours), far above any they made.
constexpr int64_t kSpiOldMaxImage = INT64_C(1) << 26;

// The largest block a plug-in allocates for a file of `size` bytes: the
// picture, and any buffer on the way to it.
inline int64_t spiMaxImage(size_t size)
{
    if (int64_t(size) >= kSpiMaxImageBytes / kSpiMaxExpansion)
        return kSpiMaxImageBytes;
    return int64_t(size) * kSpiMaxExpansion > kSpiAnyFileImage ? int64_t(size) * kSpiMaxExpansion : kSpiAnyFileImage;
}

// Texts of one plug-in for GetPluginInfo 1 to 3 ("00IN" is common).
struct SpiTexts {
    const char *name;    // name and version
    const char *pattern; // file pattern, e.g. "*.gif"
    const char *desc;    // what the pattern stands for
};

// GetPluginInfo: copies at most buflen bytes of the text for infono,
// terminated when there is room, and returns the count of characters
// copied; 0 for numbers without a text.
int spiPluginInfo(const SpiTexts &texts, int infono, char *buf, int buflen);

// The bytes of a picture file, read whole from disk or borrowed from the
// caller's memory.
struct SpiSource {
    const unsigned char *data = nullptr;
    size_t size = 0;
    std::unique_ptr<unsigned char[]> owned;
};

// Fills src from GetPicture's (buf, len, flag): flag 0 reads the file named
// buf from offset len, flag 1 borrows len bytes at buf. Returns an SPI result.
int spiOpenSource(const char *buf, long len, unsigned int flag, SpiSource *src);

// The progress callback with its user data; step() says whether to stop.
struct SpiProgress {
    SPI_PROGRESS fn;
    long data;
    bool step(int num, int denom) const { return fn != nullptr && fn(num, denom, data) != 0; }
};

// A picture under construction: the pixel block from LocalAlloc(LHND),
// locked while the plug-in fills it, and the header and colour table kept
// here until the pair is handed over. The block is freed when this goes out
// of scope unless it was handed over.
struct SpiDib {
    HLOCAL hBm = nullptr;
    unsigned char *bits = nullptr;
    size_t stride = 0;          // bytes per row, a multiple of 4
    int width = 0;
    int height = 0;
    BITMAPINFOHEADER hdr = {};
    RGBQUAD table[256] = {};    // 8-bit pictures: entries 0 to colors-1
    int colors = 0;
    int64_t maxImage = kSpiMaxImageBytes; // largest pixel block spiAllocDib gives

    SpiDib() = default;
    SpiDib(const SpiDib &) = delete;
    SpiDib &operator=(const SpiDib &) = delete;
    ~SpiDib();

    // Row y counted from the top of the picture: DIB rows are bottom-up.
    unsigned char *row(int y) const { return bits + size_t(height - 1 - y) * stride; }
};

// Whether a width x height picture of bitCount bits fits the limits.
bool spiSizeOk(int64_t width, int64_t height, int bitCount);

// Allocates the pixel block for a width x height picture of 8 or 24 bits
// per pixel and fills in the header. Checks every size first, against
// dib->maxImage too; returns an SPI result. The block comes cleared, unless
// the decoder writes every pixel of every row (`whole`) or fails: then only
// the rows' padding is cleared, and a batch is spared clearing the memory
// its last picture leaves.
int spiAllocDib(SpiDib *dib, int64_t width, int64_t height, int bitCount, bool whole = false);

// Whether spiAllocDib would give dib a width x height picture of bitCount
// bits: for the checks before a library decodes into buffers of its own.
bool spiDibFits(const SpiDib &dib, int64_t width, int64_t height, int bitCount);

// Makes the info block (header and colors table entries) and gives both
// blocks to the caller. An 8-bit picture whose rows use an index past its
// table gets the table extended with black up to that index, so that every
// pixel has a colour. Returns an SPI result; on failure nothing is handed.
int spiHandOver(SpiDib *dib, HLOCAL *pHBInfo, HLOCAL *pHBm);

// A grey ramp of `levels` entries (2 to 256) from black to white.
void spiGreyTable(RGBQUAD *pal, int levels);

// For formats whose header follows a text ended by 0x1A and skipped bytes
// ended by 0x00: the offset just past that 0x00, for the first 0x1A at or
// after offset `from`; 0 when the n bytes at p do not hold both.
size_t spiPastText(const unsigned char *p, size_t n, size_t from);

// A sample of 0..max scaled to 8 bits, rounded: v x 255 / max.
inline unsigned char spiScaleTo8(uint32_t v, uint32_t max)
{
    return static_cast<unsigned char>((uint64_t(v) * 255 + max / 2) / max);
}
// An n-bit component (1 to 8 bits) widened to 8 bits by repeating its bits
// below it, as the old computers' formats expect; this differs from
// spiScaleTo8 at some values.
inline unsigned char spiWiden(uint32_t v, int n)
{
    if (n <= 0 || n > 8)
        return 0;
    uint32_t top = v << (8 - n), out = top;
    for (int s = n; s < 8; s += n)
        out |= top >> s;
    return static_cast<unsigned char>(out);
}
// A 16-bit sample scaled to 8 bits, rounded ((v + 128) / 257 is exact for
// every v below 65536).
inline unsigned char spiScale16(uint32_t v)
{
    return static_cast<unsigned char>((v + 128) / 257);
}

// A colour sample c premultiplied by alpha a (both of the same depth) as
// the straight 8-bit colour, rounded: c x 255 / a. Nothing is left of the
// colour under alpha 0, and c above a (which no writer should store) is
// full colour.
inline unsigned char spiStraight(uint32_t c, uint32_t a)
{
    if (a == 0)
        return 0;
    if (c >= a)
        return 255;
    return static_cast<unsigned char>((uint64_t(c) * 255 + a / 2) / a);
}

// One pixel of ink amounts of 0..max (0 = no ink) as 8-bit BGR, rounded:
// each colour is (max - ink)(max - K) / max^2 of full. JPEG and TIFF both
// convert with this, at 8 and at 16 bits.
inline void spiCmykToBgr(uint32_t c, uint32_t m, uint32_t y, uint32_t k, uint32_t max, unsigned char *bgr)
{
    const uint64_t den = uint64_t(max) * max, paper = uint64_t(max - k) * 255;
    bgr[0] = static_cast<unsigned char>(((max - y) * paper + den / 2) / den);
    bgr[1] = static_cast<unsigned char>(((max - m) * paper + den / 2) / den);
    bgr[2] = static_cast<unsigned char>(((max - c) * paper + den / 2) / den);
}

// The orientation tag (274) of the first directory of the TIFF-structured
// block at p (an EXIF block, with or without the "Exif\0\0" in front of it,
// or a TIFF file itself), 1 when it has none.
int spiExifOrientation(const unsigned char *p, size_t n);

// Fills the part of an 8-bit picture outside the rectangle [x0, x1) x
// [y0, y1) with colour c. The colour takes the first table entry that has
// it; else the first index no pixel inside the rectangle uses, from the end
// of the table on (the table grows up to it, the entries between black);
// else, with all 256 in use, the nearest entry.
void spiFillOutside(SpiDib *dib, RGBQUAD c, int x0, int y0, int x1, int y1);

// Turns the decoded picture the way the file says it is to be seen. The
// values are those of the EXIF and TIFF orientation tag: 1 as stored, 2
// mirrored left to right, 3 turned half round, 4 mirrored top to bottom, 5
// transposed, 6 turned a quarter clockwise, 7 transversed, 8 turned a
// quarter anticlockwise. Any other value leaves the picture as stored.
// 5 to 8 swap width and height (and the resolutions) and need a second
// block of the picture's size for a moment. Returns an SPI result.
int spiOrient(SpiDib *dib, int orientation);

// The picture's rows in the opposite order, in place: orientation 4, or
// rows written top row first made bottom-up as a DIB's are.
void spiFlipRows(SpiDib *dib);

// What GetPictureInfo tells of a stored picture, made to tell of the same
// picture turned by spiOrient: for 5 to 8, width and height and the two
// densities change places.
void spiTurnInfo(PictureInfo *info, int orientation);

// Whether the n bytes at p begin with an ISO media file's 'ftyp' box that
// names one of the brands, four characters each, strung together in
// `brands` ("avifavis"), as its major or as a compatible brand.
bool spiFtypBrand(const unsigned char *p, size_t n, const char *brands);

// An AVIF file; a HEIF one of HEVC pictures (the general brands count when
// no AVIF brand is named, the AVIF plug-in's files otherwise).
inline bool spiIsAvif(const unsigned char *p, size_t n)
{
    return spiFtypBrand(p, n, "avifavis");
}
inline bool spiIsHeif(const unsigned char *p, size_t n)
{
    return spiFtypBrand(p, n, "heicheixhevchevxheimheishevmhevs") ||
           (spiFtypBrand(p, n, "mif1msf1") && !spiIsAvif(p, n));
}

// What one plug-in knows of its format. info and decode are called only on
// bytes that passed the signature test, and return an SPI result.
struct SpiFormat {
    SpiTexts texts;
    // Whether the n bytes at p begin a file of the format.
    bool (*signature)(const unsigned char *p, size_t n);
    // Fills in what the file says of the picture; info comes zeroed.
    int (*info)(const SpiSource &src, PictureInfo *info);
    // Decodes the picture into dib, making every progress call from the
    // first to the closing one.
    int (*decode)(const SpiSource &src, SpiDib *dib, const SpiProgress &prog);
    // Largest pixel block handed out, for formats whose pictures never
    // come near the shared limit.
    int64_t maxImage = kSpiMaxImageBytes;
};

// The format of the plug-in being built: each plug-in defines it, and
// spientry.cpp exports the four entry points over it.
extern const SpiFormat spiFormat;

// The entry points IsSupported, GetPictureInfo and GetPicture for the
// format fmt, with their arguments.
int spiIsSupported(const SpiFormat &fmt, DWORD_PTR dw);
int spiGetPictureInfo(const SpiFormat &fmt, char *buf, long len, unsigned int flag, PictureInfo *lpInfo);
int spiGetPicture(const SpiFormat &fmt, char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                  SPI_PROGRESS lpPrgressCallback, long lData);

// Provided by the system's own file.
//
// Up to size bytes from the start of the file open as `file` (IsSupported's
// handle below 0x10000), leaving where the file stands as it was. Returns
// the count read, 0 when nothing could be.
size_t spiReadStart(DWORD_PTR file, unsigned char *buf, size_t size);
// fseek with 64-bit offsets: returns the new position, or -1.
int64_t spiSeek(FILE *f, int64_t offset, int whence);

#endif
