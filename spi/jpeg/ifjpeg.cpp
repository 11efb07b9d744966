// ifjpeg.spi: JPEG pictures through libjpeg (libjpeg-turbo). Colour pictures
// come out as 24-bit BGR decoded straight into the bottom-up rows of the
// DIB, greyscale ones as 8-bit with a grey table.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "common/spicommon.h"

namespace {

// libjpeg's dynamic memory beyond the picture itself (coefficient buffers
// of progressive files): more than this, or than the largest picture the
// file could make, and the file is refused.
constexpr long kMaxWorkMemory = 1L << 30;

bool isJpeg(const unsigned char *p, size_t n)
{
    return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}

struct ErrorMgr {
    jpeg_error_mgr pub;
    jmp_buf jump;
    bool eof; // the data ran out before the end marker
};

// Longjmp values: the file is damaged, or of a kind not handled here.
enum { kBroken = 1, kUnsupported = 2 };

// A fatal error leaves through longjmp, never through exit(). Valid files
// of a kind the library does not decode say so.
void errorExit(j_common_ptr cinfo)
{
    int code = cinfo->err->msg_code;
    bool unsupported = code == JERR_BAD_PRECISION || code == JERR_SOF_UNSUPPORTED || code == JERR_NOT_COMPILED ||
                       code == JERR_ARITH_NOTIMPL || code == JERR_CONVERSION_NOTIMPL;
    longjmp(reinterpret_cast<ErrorMgr *>(cinfo->err)->jump, unsupported ? kUnsupported : kBroken);
}

// Warnings stay silent. Data that ends before the end marker is noted, and
// judged once the rows are out; a scan that runs out of data in its middle
// would be finished in grey, and is refused at once.
void emitMessage(j_common_ptr cinfo, int level)
{
    auto *err = reinterpret_cast<ErrorMgr *>(cinfo->err);
    if (level < 0 && err->pub.msg_code == JWRN_JPEG_EOF)
        err->eof = true;
    if (level < 0 && err->pub.msg_code == JWRN_HIT_MARKER)
        longjmp(err->jump, kBroken);
}

void outputMessage(j_common_ptr) {}

// How the plug-in hands out a file of the given colour space.
enum Kind { kGrey, kColour, kCmyk, kUnknown };

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
        return kUnknown;
    }
}

// The EXIF orientation, from the first APP1 block that holds EXIF.
int orientationOf(const jpeg_decompress_struct &cinfo)
{
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
        if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0)
            return spiExifOrientation(m->data + 6, m->data_length - 6);
    }
    return 1;
}

// Whether the coded data left after the header could hold every block.
// Each block of a Huffman-coded scan takes a bit at least (its DC code in
// the first scan that has it); arithmetic coding has no such floor.
bool dataCanFill(const jpeg_decompress_struct &cinfo)
{
    if (cinfo.arith_code)
        return true;
    int64_t fewest = INT64_MAX;
    for (int c = 0; c < cinfo.num_components; c++) {
        const jpeg_component_info &comp = cinfo.comp_info[c];
        fewest = std::min(fewest, int64_t(comp.width_in_blocks) * comp.height_in_blocks);
    }
    return fewest / 8 <= int64_t(cinfo.src->bytes_in_buffer);
}

// Whether a file that ended before its end marker still gave every row
// whole. A single Huffman-coded scan did, as missing data in it is refused
// as it happens; a progressive file did when every coefficient got its last
// refinement. Other files cannot tell.
bool wholeWithoutEnd(const jpeg_decompress_struct &cinfo)
{
    if (cinfo.arith_code)
        return false;
    if (!cinfo.progressive_mode)
        return !jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&cinfo));
    for (int c = 0; c < cinfo.num_components; c++) {
        for (int k = 0; k < DCTSIZE2; k++) {
            if (cinfo.coef_bits[c][k] != 0)
                return false;
        }
    }
    return true;
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
    const unsigned flip = inverted ? 255 : 0;
    for (JDIMENSION x = 0; x < width; x++, in += 4, out += 3)
        spiCmykToBgr(in[0] ^ flip, in[1] ^ flip, in[2] ^ flip, in[3] ^ flip, 255, out);
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
    d->err.eof = false;
    jpeg_create_decompress(&d->cinfo);
    d->created = true;
    d->cinfo.mem->max_memory_to_use = long(std::min<int64_t>(kMaxWorkMemory, spiMaxImage(src.size)));
    jpeg_mem_src(&d->cinfo, src.data, static_cast<unsigned long>(src.size));
    jpeg_save_markers(&d->cinfo, JPEG_APP0 + 1, 0xFFFF);
}

int readHeader(Decoder *d, const SpiSource &src)
{
    if (int jumped = setjmp(d->err.jump))
        return jumped == kUnsupported ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
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
    if (kind == kUnknown)
        return SPI_NOT_SUPPORT;
    lpInfo->width = LONG(d.cinfo.image_width);
    lpInfo->height = LONG(d.cinfo.image_height);
    if (d.cinfo.density_unit != 0) {
        lpInfo->x_density = d.cinfo.X_density;
        lpInfo->y_density = d.cinfo.Y_density;
    }
    lpInfo->colorDepth = kind == kGrey ? 8 : 24;
    spiTurnInfo(lpInfo, orientationOf(d.cinfo));
    return SPI_ALL_RIGHT;
}

// What one decode owns besides the picture. It lives in the caller of the
// function that holds the setjmp, so a longjmp back leaves none of it
// indeterminate, and its destructors release everything on every way out.
struct Job {
    Decoder d;
    std::vector<JSAMPLE> cmyk;
    int orientation = 1;
};

// Rows handed to the library at a time: more than it gives in one call.
constexpr int kBatch = 16;

int decodeInto(Job *job, const SpiSource &src, SpiDib *out, const SpiProgress &prog)
{
    if (int jumped = setjmp(job->d.err.jump))
        return jumped == kUnsupported ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
    start(&job->d, src);
    jpeg_decompress_struct &ci = job->d.cinfo;
    SpiDib &dib = *out;
    jpeg_read_header(&ci, TRUE);
    Kind kind = kindOf(ci);
    switch (kind) {
    case kGrey: ci.out_color_space = JCS_GRAYSCALE; break;
    case kColour: ci.out_color_space = JCS_EXT_BGR; break;
    case kCmyk: ci.out_color_space = JCS_CMYK; break;
    case kUnknown: return SPI_NOT_SUPPORT;
    }
    if (!dataCanFill(ci))
        return SPI_OUT_OF_ORDER;
    job->orientation = orientationOf(ci);
    jpeg_calc_output_dimensions(&ci);
    // every row is read whole, or the decode fails
    int rc = spiAllocDib(&dib, ci.output_width, ci.output_height, kind == kGrey ? 8 : 24, true);
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
    // Files of several scans are read whole here.
    jpeg_start_decompress(&ci);
    if (int(ci.output_width) != dib.width || int(ci.output_height) != h)
        return SPI_OTHER_ERROR;
    if (job->d.err.eof && !wholeWithoutEnd(ci))
        return SPI_OUT_OF_ORDER;

    // Rows straight into the DIB, whose top row is the last one in memory.
    if (kind == kCmyk) {
        bool inverted = ci.saw_Adobe_marker != 0;
        job->cmyk.resize(size_t(dib.width) * 4);
        JSAMPROW line = job->cmyk.data();
        while (ci.output_scanline < ci.output_height) {
            JDIMENSION y = ci.output_scanline;
            if (jpeg_read_scanlines(&ci, &line, 1) != 1)
                return SPI_OUT_OF_ORDER;
            cmykToBgr(line, dib.row(int(y)), ci.output_width, inverted);
            if (prog.step(int(y) + 1, h))
                return SPI_ABORT;
        }
    } else {
        JSAMPROW rows[kBatch];
        while (ci.output_scanline < ci.output_height) {
            int y = int(ci.output_scanline), n = std::min(kBatch, h - y);
            for (int i = 0; i < n; i++)
                rows[i] = dib.row(y + i);
            if (jpeg_read_scanlines(&ci, rows, JDIMENSION(n)) == 0)
                return SPI_OUT_OF_ORDER;
            if (prog.step(int(ci.output_scanline), h))
                return SPI_ABORT;
        }
    }
    if (job->d.err.eof && !wholeWithoutEnd(ci))
        return SPI_OUT_OF_ORDER;
    // The rows are complete; what follows them in the file does not matter.
    return prog.step(h, h) ? SPI_ABORT : SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Job job;
    int rc = decodeInto(&job, src, dib, prog);
    return rc == SPI_ALL_RIGHT ? spiOrient(dib, job.orientation) : rc;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {
    {"JPEG plug-in for vexel 1.40 (libjpeg-turbo)", "*.jpg;*.jpeg;*.jpe", "JPEG image"}, isJpeg, info, decode};
