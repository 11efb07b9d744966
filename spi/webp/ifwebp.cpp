// ifwebp.spi: WebP pictures through libwebp, lossy and lossless, as 24-bit
// pictures. Alpha is dropped (WebP stores straight colour); an animation
// gives its first frame on the canvas, which shows the background colour
// where the frame does not cover it; the EXIF orientation is applied.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>

#include "common/spicommon.h"

namespace {

bool isWebp(const unsigned char *p, size_t n)
{
    return n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
}

// The container taken apart, its first frame, and what the plug-in reads
// from its chunks.
struct Demuxed {
    WebPDemuxer *dmux = nullptr;
    WebPIterator frame = {};
    bool framed = false;
    int width = 0, height = 0; // of the canvas, as stored
    int orientation = 1;
    ~Demuxed()
    {
        if (framed)
            WebPDemuxReleaseIterator(&frame);
        WebPDemuxDelete(dmux);
    }
};

// Only a whole file is taken apart: one cut short is refused here.
int demux(const SpiSource &src, Demuxed *d)
{
    WebPData data = {src.data, src.size};
    d->dmux = WebPDemux(&data);
    if (d->dmux == nullptr)
        return SPI_OUT_OF_ORDER;
    d->width = int(WebPDemuxGetI(d->dmux, WEBP_FF_CANVAS_WIDTH));
    d->height = int(WebPDemuxGetI(d->dmux, WEBP_FF_CANVAS_HEIGHT));
    d->framed = WebPDemuxGetFrame(d->dmux, 1, &d->frame) != 0;
    if (!d->framed || !d->frame.complete || d->frame.x_offset < 0 || d->frame.y_offset < 0 ||
        d->frame.width > d->width - d->frame.x_offset || d->frame.height > d->height - d->frame.y_offset)
        return SPI_OUT_OF_ORDER;
    WebPChunkIterator exif;
    if (WebPDemuxGetChunk(d->dmux, "EXIF", 1, &exif)) {
        d->orientation = spiExifOrientation(exif.chunk.bytes, exif.chunk.size);
        WebPDemuxReleaseChunkIterator(&exif);
    }
    return SPI_ALL_RIGHT;
}

// Whether the first frame's data can hold its picture. A lossy frame spends
// more than three bits on each 16x16 macroblock in its first partition
// alone (a key frame codes the prediction modes with fixed probabilities),
// so one that holds less than a bit for each is cut short or damaged,
// whatever its header says. Lossless frames can be far smaller than that.
bool canHold(const WebPIterator &f)
{
    WebPBitstreamFeatures bf;
    if (WebPGetFeatures(f.fragment.bytes, f.fragment.size, &bf) != VP8_STATUS_OK)
        return false;
    uint64_t blocks = (uint64_t(f.width) + 15) / 16 * ((uint64_t(f.height) + 15) / 16);
    return bf.format != 1 || uint64_t(f.fragment.size) * 8 >= blocks;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Demuxed d;
    int rc = demux(src, &d);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    bool turned = d.orientation >= 5;
    lpInfo->width = turned ? d.height : d.width;
    lpInfo->height = turned ? d.width : d.height;
    lpInfo->colorDepth = 24;
    return SPI_ALL_RIGHT;
}

struct Incremental {
    WebPIDecoder *p = nullptr;
    ~Incremental() { WebPIDelete(p); }
};

// The steps the frame's data is handed to the decoder in, each followed by
// a progress call.
constexpr size_t kSteps = 16;

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Demuxed d;
    int rc = demux(src, &d);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    const WebPIterator &f = d.frame;
    if (!canHold(f))
        return SPI_OUT_OF_ORDER;
    rc = spiAllocDib(dib, d.width, d.height, 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (f.width < d.width || f.height < d.height) {
        // The canvas colour, stored as blue, green, red and alpha.
        uint32_t bg = WebPDemuxGetI(d.dmux, WEBP_FF_BACKGROUND_COLOR);
        for (int y = 0; y < dib->height; y++)
            for (unsigned char *p = dib->row(y), *end = p + size_t(dib->width) * 3; p < end; p += 3)
                p[0] = uint8_t(bg), p[1] = uint8_t(bg >> 8), p[2] = uint8_t(bg >> 16);
    }

    // The frame goes straight into its place in the bottom-up rows: flipped,
    // so that its top row lands at the highest address.
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return SPI_OTHER_ERROR;
    config.options.flip = 1;
    config.options.use_threads = 1;
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = dib->row(f.y_offset + f.height - 1) + size_t(f.x_offset) * 3;
    config.output.u.RGBA.stride = int(dib->stride);
    config.output.u.RGBA.size = (size_t(f.height) - 1) * dib->stride + size_t(f.width) * 3;
    Incremental idec;
    idec.p = WebPIDecode(nullptr, 0, &config);
    if (idec.p == nullptr)
        return SPI_NO_MEMORY;

    const int h = f.height;
    if (prog.step(0, h))
        return SPI_ABORT;
    const size_t size = f.fragment.size;
    VP8StatusCode st = VP8_STATUS_SUSPENDED;
    for (size_t i = 1; i <= kSteps && st == VP8_STATUS_SUSPENDED; i++) {
        st = WebPIUpdate(idec.p, f.fragment.bytes, size / kSteps * i + (i == kSteps ? size % kSteps : 0));
        int rows = 0;
        if (WebPIDecGetRGB(idec.p, &rows, nullptr, nullptr, nullptr) == nullptr)
            rows = 0;
        if (prog.step(rows < h ? rows : h, h))
            return SPI_ABORT;
    }
    if (st == VP8_STATUS_OUT_OF_MEMORY)
        return SPI_NO_MEMORY;
    if (st != VP8_STATUS_OK)
        return SPI_OUT_OF_ORDER; // damaged, or the frame's data ends early
    rc = spiOrient(dib, d.orientation);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    return prog.step(h, h) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"WebP plug-in for vexel 1.40 (libwebp)", "*.webp", "WebP image"}, isWebp, info, decode};
