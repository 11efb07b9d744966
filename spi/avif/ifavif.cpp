// ifavif.spi: AVIF pictures through libavif and its AV1 decoder (dav1d).
// The primary image, or an image sequence's first, comes out with its
// cropping, rotation and mirroring applied as libheif applies them:
// monochrome (4:0:0) pictures as 8-bit with a grey table, everything else as
// 24-bit. Alpha is dropped, premultiplied colour divided by it first; libavif
// rounds samples of more than 8 bits to 8 as it converts them to RGB.
#include <avif/avif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "common/spicommon.h"

namespace {

int result(avifResult r)
{
    switch (r) {
    case AVIF_RESULT_OK:
        return SPI_ALL_RIGHT;
    case AVIF_RESULT_OUT_OF_MEMORY:
        return SPI_NO_MEMORY;
    case AVIF_RESULT_NO_CODEC_AVAILABLE:
    case AVIF_RESULT_NOT_IMPLEMENTED:
    case AVIF_RESULT_UNSUPPORTED_DEPTH:
        return SPI_NOT_SUPPORT;
    default:
        return SPI_OUT_OF_ORDER;
    }
}

struct Decoder {
    avifDecoder *p = avifDecoderCreate();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    Decoder() = default;
    ~Decoder()
    {
        if (p != nullptr)
            avifDecoderDestroy(p);
    }
};

// What the container says of the picture: the part of the decoded image to
// show, and how to turn it (an EXIF orientation value).
struct Layout {
    avifCropRect crop;
    int orientation;
    bool grey;
    int width() const { return int(orientation >= 5 ? crop.height : crop.width); }
    int height() const { return int(orientation >= 5 ? crop.width : crop.height); }
};

// The orientation of a rotation by irot x 90 degrees anticlockwise followed
// by the mirroring of imir (0 top to bottom, 1 left to right), the order in
// which the container applies them.
const int kOrientation[4][3] = {{1, 4, 2}, {8, 5, 7}, {3, 2, 4}, {6, 7, 5}};

Layout layoutOf(const avifImage *im)
{
    Layout lay = {{0, 0, im->width, im->height}, 1, im->yuvFormat == AVIF_PIXEL_FORMAT_YUV400};
    avifCropRect crop;
    avifDiagnostics diag;
    // A clean aperture that is not valid is ignored, as libheif ignores it.
    if ((im->transformFlags & AVIF_TRANSFORM_CLAP) &&
        avifCropRectConvertCleanApertureBox(&crop, &im->clap, im->width, im->height, im->yuvFormat, &diag) &&
        crop.width > 0 && crop.height > 0)
        lay.crop = crop;
    int angle = im->transformFlags & AVIF_TRANSFORM_IROT ? im->irot.angle & 3 : 0;
    int mirror = im->transformFlags & AVIF_TRANSFORM_IMIR ? 1 + (im->imir.mode & 1) : 0;
    lay.orientation = kOrientation[angle][mirror];
    return lay;
}

int open(Decoder *d, const SpiSource &src)
{
    if (d->p == nullptr)
        return SPI_NO_MEMORY;
    unsigned cores = std::thread::hardware_concurrency();
    d->p->maxThreads = cores > 0 ? int(cores) : 1;
    d->p->ignoreExif = AVIF_TRUE;
    d->p->ignoreXMP = AVIF_TRUE;
    int rc = result(avifDecoderSetIOMemory(d->p, src.data, src.size));
    return rc != SPI_ALL_RIGHT ? rc : result(avifDecoderParse(d->p));
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Decoder d;
    int rc = open(&d, src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    Layout lay = layoutOf(d.p->image);
    if (!spiSizeOk(lay.width(), lay.height(), lay.grey ? 8 : 24))
        return SPI_NO_MEMORY;
    lpInfo->width = lay.width();
    lpInfo->height = lay.height();
    lpInfo->colorDepth = lay.grey ? 8 : 24;
    return SPI_ALL_RIGHT;
}

// The rectangle (x, y, w, h) of the decoded image as an image of its own,
// sharing its planes: a shallow copy that is never destroyed. x and y are
// even where the chroma planes are subsampled (a valid clean aperture
// makes them so).
avifImage view(const avifImage *im, uint32_t x, uint32_t y, uint32_t w, uint32_t h)
{
    avifImage v = *im;
    const size_t bytes = im->depth > 8 ? 2 : 1;
    const uint32_t sx = im->yuvFormat == AVIF_PIXEL_FORMAT_YUV420 || im->yuvFormat == AVIF_PIXEL_FORMAT_YUV422;
    const uint32_t sy = im->yuvFormat == AVIF_PIXEL_FORMAT_YUV420;
    for (int i = 0; i < AVIF_PLANE_COUNT_YUV; i++) {
        if (v.yuvPlanes[i] == nullptr)
            continue;
        uint32_t px = i == 0 ? x : x >> sx, py = i == 0 ? y : y >> sy;
        v.yuvPlanes[i] += size_t(py) * v.yuvRowBytes[i] + px * bytes;
    }
    if (v.alphaPlane != nullptr)
        v.alphaPlane += size_t(y) * v.alphaRowBytes + x * bytes;
    v.width = w;
    v.height = h;
    return v;
}

// Rows of a monochrome picture converted at a time.
constexpr uint32_t kBand = 16;

// Converts the crop of the decoded image into the DIB's block, top row
// first (the DIB seen upside down).
//
// libavif multiplies the colour by alpha when it converts to a format
// without alpha, so the straight colour of an image with alpha comes from a
// view without its alpha plane; premultiplied colour is divided by alpha in
// a format with it, through a buffer. Monochrome pictures go through a
// buffer of a few rows.
int toRgb(const avifImage *im, const Layout &lay, SpiDib *dib)
{
    const avifCropRect &c = lay.crop;
    avifImage v = view(im, c.x, c.y, c.width, c.height);
    const bool premultiplied = im->alphaPremultiplied && im->alphaPlane != nullptr;
    if (!premultiplied) {
        v.alphaPlane = nullptr;
        v.alphaRowBytes = 0;
    }
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, &v);
    rgb.depth = 8;
    rgb.format = premultiplied ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
    if (!premultiplied && !lay.grey) {
        rgb.pixels = dib->bits;
        rgb.rowBytes = uint32_t(dib->stride);
        return result(avifImageYUVToRGB(&v, &rgb));
    }
    const uint32_t px = premultiplied ? 4 : 3, rows = premultiplied ? c.height : kBand;
    rgb.rowBytes = c.width * px;
    if (int64_t(rgb.rowBytes) * rows > kSpiMaxImageBytes)
        return SPI_NO_MEMORY;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[size_t(rgb.rowBytes) * rows]);
    if (!buf)
        return SPI_NO_MEMORY;
    rgb.pixels = buf.get();
    for (uint32_t y0 = 0; y0 < c.height; y0 += rows) {
        avifImage band = v;
        if (lay.grey) // no chroma to upsample: the rows convert alike in any band
            band = view(&v, 0, y0, c.width, rows < c.height - y0 ? rows : c.height - y0);
        rgb.height = band.height;
        int rc = result(avifImageYUVToRGB(&band, &rgb));
        if (rc != SPI_ALL_RIGHT)
            return rc;
        for (uint32_t y = 0; y < band.height; y++) {
            const unsigned char *s = buf.get() + size_t(y) * rgb.rowBytes;
            unsigned char *o = dib->bits + size_t(y0 + y) * dib->stride;
            for (uint32_t x = 0; x < c.width; x++, s += px)
                if (lay.grey)
                    *o++ = s[1];
                else
                    *o++ = s[0], *o++ = s[1], *o++ = s[2];
        }
    }
    return SPI_ALL_RIGHT;
}

// The orientation that turns the DIB, filled top row first, the way the
// file says: the given one after a flip from top to bottom.
const int kAfterFlip[9] = {0, 4, 3, 2, 1, 6, 5, 8, 7};

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Decoder d;
    int rc = open(&d, src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    // The image the container declares, and what the AV1 decoder may make of
    // it, within what the picture may take.
    if (!spiDibFits(*dib, d.p->image->width, d.p->image->height, 24))
        return SPI_NO_MEMORY;
    d.p->imageSizeLimit = uint32_t(std::min<int64_t>(d.p->imageSizeLimit, dib->maxImage / 3));
    // Progress: the AV1 decode, the conversion and the turn, one step each.
    if (prog.step(0, 3))
        return SPI_ABORT;
    rc = result(avifDecoderNextImage(d.p));
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (prog.step(1, 3))
        return SPI_ABORT;
    // The decoded image, not the container, gives the size from here on.
    const avifImage *im = d.p->image;
    Layout lay = layoutOf(im);
    rc = spiAllocDib(dib, lay.crop.width, lay.crop.height, lay.grey ? 8 : 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (lay.grey) {
        spiGreyTable(dib->table, 256);
        dib->colors = 256;
    }
    rc = toRgb(im, lay, dib);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (prog.step(2, 3))
        return SPI_ABORT;
    rc = spiOrient(dib, kAfterFlip[lay.orientation]);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    return prog.step(3, 3) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"AVIF plug-in for vexel 1.40 (libavif)", "*.avif", "AVIF image"}, spiIsAvif, info, decode};
