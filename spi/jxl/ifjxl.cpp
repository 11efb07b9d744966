// ifjxl.spi: JPEG XL pictures, bare codestreams and containers, through
// libjxl. The first frame, as libjxl composes it, comes out turned the way
// the file says: greyscale as 8-bit with a grey table, everything else as
// 24-bit. Alpha is dropped, premultiplied colour divided by it first; libjxl
// rounds samples of more than 8 bits to 8. Floating-point pictures are
// refused as unsupported.
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cstring>

#include "common/spicommon.h"

namespace {

bool isJxl(const unsigned char *p, size_t n)
{
    static const unsigned char box[12] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    return (n >= 2 && p[0] == 0xFF && p[1] == 0x0A) || (n >= 12 && std::memcmp(p, box, 12) == 0);
}

struct Decoder {
    JxlDecoder *dec = JxlDecoderCreate(nullptr);
    void *runner = nullptr;
    Decoder() = default;
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    ~Decoder()
    {
        JxlDecoderDestroy(dec);
        if (runner != nullptr)
            JxlThreadParallelRunnerDestroy(runner);
    }
};

// What the basic information says of the picture: a result, and whether
// it comes out grey and turned by a quarter.
int check(const JxlBasicInfo &bi, bool *grey, bool *turned)
{
    if (bi.exponent_bits_per_sample != 0)
        return SPI_NOT_SUPPORT;
    *grey = bi.num_color_channels == 1;
    *turned = bi.orientation >= JXL_ORIENT_TRANSPOSE;
    return spiSizeOk(bi.xsize, bi.ysize, *grey ? 8 : 24) ? SPI_ALL_RIGHT : SPI_NO_MEMORY;
}

// Whether libjxl failed for want of memory cannot be told from its result:
// every failure is taken for damage.
int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Decoder d;
    JxlBasicInfo bi;
    if (d.dec == nullptr)
        return SPI_NO_MEMORY;
    if (JxlDecoderSubscribeEvents(d.dec, JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(d.dec, src.data, src.size) != JXL_DEC_SUCCESS)
        return SPI_OTHER_ERROR;
    JxlDecoderCloseInput(d.dec);
    if (JxlDecoderProcessInput(d.dec) != JXL_DEC_BASIC_INFO || JxlDecoderGetBasicInfo(d.dec, &bi) != JXL_DEC_SUCCESS)
        return SPI_OUT_OF_ORDER;
    bool grey, turned;
    int rc = check(bi, &grey, &turned);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    lpInfo->width = LONG(turned ? bi.ysize : bi.xsize);
    lpInfo->height = LONG(turned ? bi.xsize : bi.ysize);
    lpInfo->colorDepth = grey ? 8 : 24;
    return SPI_ALL_RIGHT;
}

// The picture as libjxl writes it, top row first and RGB, made the DIB's
// bottom-up BGR in one pass: rows swapped from both ends, and for colour
// the red and blue of every pixel exchanged on the way.
void toDibOrder(SpiDib *dib)
{
    const size_t bytes = size_t(dib->width) * (dib->hdr.biBitCount / 8);
    for (int y = 0, z = dib->height - 1; y <= z; y++, z--) {
        unsigned char *a = dib->row(y), *b = dib->row(z);
        if (dib->hdr.biBitCount == 8) {
            std::swap_ranges(a, a + bytes, b);
            continue;
        }
        for (size_t x = 0; x < bytes; x += 3) {
            unsigned char r = a[x], g = a[x + 1], bl = a[x + 2];
            a[x] = b[x + 2], a[x + 1] = b[x + 1], a[x + 2] = b[x];
            b[x] = bl, b[x + 1] = g, b[x + 2] = r;
        }
    }
}

// libjxl's thread pool, wrapped so that the progress callback is called
// before each parallel stage of the decode, on the thread that called the
// plug-in. How many stages a picture takes is not known in advance: each is
// reported as the next step of one more. A stage cannot be refused (libjxl
// 0.7 ends the process when some of them fail), so a request to stop is
// kept, no further call is made, and the decode ends with the frame,
// handing out nothing.
struct Runner {
    void *pool;
    const SpiProgress &prog;
    int stages = 0;
    bool stopped = false;
};

JxlParallelRetCode runStage(void *opaque, void *jxl, JxlParallelRunInit init, JxlParallelRunFunction func,
                            uint32_t start, uint32_t end)
{
    auto *r = static_cast<Runner *>(opaque);
    if (!r->stopped) {
        r->stages++;
        r->stopped = r->prog.step(r->stages, r->stages + 1);
    }
    return JxlThreadParallelRunner(r->pool, jxl, init, func, start, end);
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Decoder d;
    if (d.dec == nullptr)
        return SPI_NO_MEMORY;
    d.runner = JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    Runner runner{d.runner, prog};
    if (d.runner == nullptr || JxlDecoderSetParallelRunner(d.dec, runStage, &runner) != JXL_DEC_SUCCESS ||
        JxlDecoderSubscribeEvents(d.dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(d.dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(d.dec, src.data, src.size) != JXL_DEC_SUCCESS)
        return SPI_OTHER_ERROR;
    JxlDecoderCloseInput(d.dec);
    JxlBasicInfo bi;
    JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool grey = false, turned = false;
    if (prog.step(0, 1))
        return SPI_ABORT;
    for (;;) {
        JxlDecoderStatus st = JxlDecoderProcessInput(d.dec);
        if (st == JXL_DEC_FULL_IMAGE)
            break; // the first frame is the picture
        if (st == JXL_DEC_BASIC_INFO) {
            int rc = JxlDecoderGetBasicInfo(d.dec, &bi) == JXL_DEC_SUCCESS ? check(bi, &grey, &turned) : SPI_OUT_OF_ORDER;
            if (rc != SPI_ALL_RIGHT)
                return rc;
            // before libjxl makes its buffers for the frame
            if (!spiDibFits(*dib, bi.xsize, bi.ysize, grey ? 8 : 24))
                return SPI_NO_MEMORY;
            format.num_channels = grey ? 1 : 3;
        } else if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            // The frame's headers are read: the pixels follow.
            int rc = spiAllocDib(dib, turned ? bi.ysize : bi.xsize, turned ? bi.xsize : bi.ysize, grey ? 8 : 24);
            if (rc != SPI_ALL_RIGHT)
                return rc;
            if (grey) {
                spiGreyTable(dib->table, 256);
                dib->colors = 256;
            }
            // Rows padded to 4 bytes, as the DIB's are.
            format.align = 4;
            if (JxlDecoderSetImageOutBuffer(d.dec, &format, dib->bits, dib->stride * size_t(dib->height)) !=
                JXL_DEC_SUCCESS)
                return SPI_OUT_OF_ORDER;
        } else {
            return runner.stopped ? SPI_ABORT : SPI_OUT_OF_ORDER; // damaged, or cut short
        }
    }
    if (runner.stopped)
        return SPI_ABORT;
    toDibOrder(dib);
    return prog.step(runner.stages + 1, runner.stages + 1) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"JPEG XL plug-in for vexel 1.40 (libjxl)", "*.jxl", "JPEG XL image"}, isJxl, info, decode};
