// ifjpeg.spi: JPEG pictures through libjpeg (libjpeg-turbo). Colour pictures
// come out as 24-bit BGR decoded straight into the bottom-up rows of the
// DIB, greyscale ones as 8-bit with a grey table.
#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "common/spicommon.h"

namespace {

// libjpeg's dynamic memory beyond the picture itself (coefficient buffers
// of progressive files): more than this and the file is refused.
constexpr long kMaxWorkMemory = 1L << 30;

bool isJpeg(const unsigned char *p, size_t n)
{
    return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}

struct ErrorMgr {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

// A fatal error leaves through longjmp, never through exit().
void errorExit(j_common_ptr cinfo)
{
    longjmp(reinterpret_cast<ErrorMgr *>(cinfo->err)->jump, 1);
}

// Warnings stay silent, but running out of data means a truncated file:
// the library would go on with a grey rest, we refuse it.
void emitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF)
        longjmp(reinterpret_cast<ErrorMgr *>(cinfo->err)->jump, 1);
}

void outputMessage(j_common_ptr) {}

// How the plug-in hands out a file of the given colour space.
enum Kind { kGrey, kColour, kCmyk, kRefused };

Kind kindOf(const jpeg_decompress_struct &cinfo)
{
    switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
        return kGrey;
    case JCS_YCbCr:
    case JCS_RGB:
        return kColour;
    case JCS_CMYK:
    case JCS_YCCK:
        return kCmyk;
    default:
        return kRefused;
    }
}

// Pixels per metre from the JFIF density.
LONG pelsPerMeter(int unit, unsigned density)
{
    if (unit == 1)
        return LONG(density * 39.37 + 0.5);
    if (unit == 2)
        return LONG(density * 100u);
    return 0;
}

// CMYK rows to BGR. Adobe's files store the inks inverted (255 = no ink),
// and so do most others that carry the Adobe marker.
void cmykToBgr(const JSAMPLE *in, unsigned char *out, JDIMENSION width, bool inverted)
{
    for (JDIMENSION x = 0; x < width; x++, in += 4, out += 3) {
        unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[0] = JSAMPLE((y * k + 127) / 255);
        out[1] = JSAMPLE((m * k + 127) / 255);
        out[2] = JSAMPLE((c * k + 127) / 255);
    }
}

// The decompressor and its error manager, destroyed on every way out.
struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorMgr err;
    bool created = false;
    ~Decoder()
    {
        if (created)
            jpeg_destroy_decompress(&cinfo);
    }
};

// Sets up d on the file's bytes. Must be called from the function that holds
// the setjmp.
void start(Decoder *d, const SpiSource &src)
{
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = errorExit;
    d->err.pub.emit_message = emitMessage;
    d->err.pub.output_message = outputMessage;
    jpeg_create_decompress(&d->cinfo);
    d->created = true;
    d->cinfo.mem->max_memory_to_use = kMaxWorkMemory;
    jpeg_mem_src(&d->cinfo, src.data, static_cast<unsigned long>(src.size));
}

int readHeader(Decoder *d, const SpiSource &src)
{
    if (setjmp(d->err.jump))
        return SPI_OUT_OF_ORDER;
    start(d, src);
    jpeg_read_header(&d->cinfo, TRUE);
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Decoder d;
    int rc = readHeader(&d, src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    Kind kind = kindOf(d.cinfo);
    if (kind == kRefused)
        return SPI_OUT_OF_ORDER;
    lpInfo->width = LONG(d.cinfo.image_width);
    lpInfo->height = LONG(d.cinfo.image_height);
    if (d.cinfo.density_unit != 0) {
        lpInfo->x_density = d.cinfo.X_density;
        lpInfo->y_density = d.cinfo.Y_density;
    }
    lpInfo->colorDepth = kind == kGrey ? 8 : 24;
    return SPI_ALL_RIGHT;
}

// What one decode owns besides the picture. It lives in the caller of the
// function that holds the setjmp, so a longjmp back leaves none of it
// indeterminate, and its destructors release everything on every way out.
struct Job {
    Decoder d;
    std::vector<JSAMPROW> rows;
    std::vector<JSAMPLE> cmyk;
};

int decodeInto(Job *job, const SpiSource &src, SpiDib *out, const SpiProgress &prog)
{
    if (setjmp(job->d.err.jump))
        return SPI_OUT_OF_ORDER;
    start(&job->d, src);
    jpeg_decompress_struct &ci = job->d.cinfo;
    SpiDib &dib = *out;
    jpeg_read_header(&ci, TRUE);
    Kind kind = kindOf(ci);
    switch (kind) {
    case kGrey: ci.out_color_space = JCS_GRAYSCALE; break;
    case kColour: ci.out_color_space = JCS_EXT_BGR; break;
    case kCmyk: ci.out_color_space = JCS_CMYK; break;
    case kRefused: return SPI_OUT_OF_ORDER;
    }
    jpeg_calc_output_dimensions(&ci);
    int rc = spiAllocDib(&dib, ci.output_width, ci.output_height, kind == kGrey ? 8 : 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (kind == kGrey) {
        spiGreyTable(dib.table, 256);
        dib.colors = 256;
    }
    dib.hdr.biXPelsPerMeter = pelsPerMeter(ci.density_unit, ci.X_density);
    dib.hdr.biYPelsPerMeter = pelsPerMeter(ci.density_unit, ci.Y_density);

    const int h = dib.height;
    if (prog.step(0, h))
        return SPI_ABORT;
    jpeg_start_decompress(&ci);
    if (int(ci.output_width) != dib.width || int(ci.output_height) != h)
        return SPI_OTHER_ERROR;

    // Row pointers straight into the DIB: the picture's top row is the last
    // one in memory.
    std::vector<JSAMPROW> &rows = job->rows;
    rows.resize(size_t(h));
    for (int y = 0; y < h; y++)
        rows[size_t(y)] = dib.row(y);
    if (kind == kCmyk) {
        bool inverted = ci.saw_Adobe_marker != 0;
        job->cmyk.resize(size_t(dib.width) * 4);
        JSAMPROW line = job->cmyk.data();
        while (ci.output_scanline < ci.output_height) {
            JDIMENSION y = ci.output_scanline;
            if (jpeg_read_scanlines(&ci, &line, 1) != 1)
                return SPI_OUT_OF_ORDER;
            cmykToBgr(line, rows[y], ci.output_width, inverted);
            if (prog.step(int(y) + 1, h))
                return SPI_ABORT;
        }
    } else {
        while (ci.output_scanline < ci.output_height) {
            JDIMENSION y = ci.output_scanline;
            if (jpeg_read_scanlines(&ci, &rows[y], ci.output_height - y) == 0)
                return SPI_OUT_OF_ORDER;
            if (prog.step(int(ci.output_scanline), h))
                return SPI_ABORT;
        }
    }
    // The rows are complete; what follows them in the file does not matter.
    return prog.step(h, h) ? SPI_ABORT : SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Job job;
    return decodeInto(&job, src, dib, prog);
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {
    {"JPEG plug-in for vexel 1.40 (libjpeg-turbo)", "*.jpg;*.jpeg;*.jpe", "JPEG image"}, isJpeg, info, decode};
