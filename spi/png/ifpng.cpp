// ifpng.spi: PNG pictures through libpng. Palette and greyscale pictures
// come out as 8-bit with their table, everything else as 24-bit; 16-bit
// samples are scaled to 8 bits and alpha is dropped.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "common/spicommon.h"

namespace {

const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// Largest ancillary chunk the library may hold in memory.
constexpr png_alloc_size_t kMaxChunkBytes = 1 << 20;
// Bytes of image data that one byte of deflate data gives at most.
constexpr int64_t kDeflateRatio = 1032;
// Chunks of text, and others the picture does not need that could be large:
// skipped unread.
const png_byte kSkipped[] = "tEXt\0zTXt\0iTXt\0sPLT\0iCCP\0eXIf\0pCAL\0sCAL\0";

bool isPng(const unsigned char *p, size_t n)
{
    return n >= 8 && std::memcmp(p, kSignature, 8) == 0;
}

struct MemReader {
    const unsigned char *data;
    size_t size;
    size_t pos;
};

void readMem(png_structp png, png_bytep buf, png_size_t len)
{
    auto *m = static_cast<MemReader *>(png_get_io_ptr(png));
    if (len > m->size - m->pos)
        png_error(png, "unexpected end of file");
    std::memcpy(buf, m->data + m->pos, len);
    m->pos += len;
}

// Errors leave through longjmp, silently; warnings are dropped.
void errorFn(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void warningFn(png_structp, png_const_charp) {}

struct Job {
    MemReader in;
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~Job()
    {
        if (png != nullptr)
            png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

// The header facts the plug-in works from.
struct Layout {
    png_uint_32 width, height;
    int bitDepth, colorType, interlace;
    bool indexed;
    LONG xppm, yppm;
    WORD xdens, ydens;
};

int create(Job *job, const SpiSource &src)
{
    job->in = MemReader{src.data, src.size, 0};
    job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, errorFn, warningFn);
    if (job->png == nullptr)
        return SPI_NO_MEMORY;
    job->info = png_create_info_struct(job->png);
    if (job->info == nullptr)
        return SPI_NO_MEMORY;
    png_set_read_fn(job->png, &job->in, readMem);
    png_set_chunk_malloc_max(job->png, kMaxChunkBytes);
    png_set_keep_unknown_chunks(job->png, PNG_HANDLE_CHUNK_NEVER, kSkipped, int(sizeof kSkipped / 5));
    return SPI_ALL_RIGHT;
}

// Reads the chunks up to the image data. Called with the setjmp armed.
void readLayout(Job *job, Layout *lay)
{
    png_structp png = job->png;
    png_infop info = job->info;
    png_read_info(png, info);
    png_get_IHDR(png, info, &lay->width, &lay->height, &lay->bitDepth, &lay->colorType, &lay->interlace,
                 nullptr, nullptr);
    lay->indexed = lay->colorType == PNG_COLOR_TYPE_PALETTE || (lay->colorType & PNG_COLOR_MASK_COLOR) == 0;
    lay->xppm = lay->yppm = 0;
    lay->xdens = lay->ydens = 0;
    png_uint_32 xres, yres;
    int unit;
    if (png_get_pHYs(png, info, &xres, &yres, &unit)) {
        if (unit == PNG_RESOLUTION_METER && xres <= 0x7FFFFFFF && yres <= 0x7FFFFFFF) {
            lay->xppm = LONG(xres);
            lay->yppm = LONG(yres);
        }
        if (unit != PNG_RESOLUTION_UNKNOWN && xres <= 0xFFFF && yres <= 0xFFFF) {
            lay->xdens = WORD(xres);
            lay->ydens = WORD(yres);
        }
    }
}

int infoInto(Job *job, const SpiSource &src, Layout *lay)
{
    int rc = create(job, src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (setjmp(png_jmpbuf(job->png)))
        return SPI_OUT_OF_ORDER;
    readLayout(job, lay);
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Job job;
    Layout lay;
    int rc = infoInto(&job, src, &lay);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    lpInfo->width = LONG(lay.width);
    lpInfo->height = LONG(lay.height);
    lpInfo->x_density = lay.xdens;
    lpInfo->y_density = lay.ydens;
    lpInfo->colorDepth = lay.indexed ? 8 : 24;
    return SPI_ALL_RIGHT;
}

int decodeInto(Job *job, const SpiSource &src, SpiDib *out, const SpiProgress &prog)
{
    int rc = create(job, src);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (setjmp(png_jmpbuf(job->png)))
        return SPI_OUT_OF_ORDER;
    png_structp png = job->png;
    png_infop info = job->info;
    Layout lay;
    readLayout(job, &lay);
    // Image data that the rest of the file could not hold is cut short:
    // refused before the picture is allocated.
    int64_t row = int64_t(lay.width) * png_get_channels(png, info) * lay.bitDepth / 8;
    if (row > 0 && int64_t(lay.height) > int64_t(job->in.size - job->in.pos) * kDeflateRatio / row)
        return SPI_OUT_OF_ORDER;
    SpiDib &dib = *out;
    rc = spiAllocDib(&dib, lay.width, lay.height, lay.indexed ? 8 : 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    dib.hdr.biXPelsPerMeter = lay.xppm;
    dib.hdr.biYPelsPerMeter = lay.yppm;

    if (lay.bitDepth == 16)
        png_set_scale_16(png);
    if (lay.bitDepth < 8)
        png_set_packing(png); // one index or grey level per byte, values kept
    if (lay.colorType & PNG_COLOR_MASK_ALPHA)
        png_set_strip_alpha(png);
    if (!lay.indexed)
        png_set_bgr(png);
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    png_size_t rowBytes = png_get_rowbytes(png, info);
    if (rowBytes != size_t(dib.width) * (lay.indexed ? 1 : 3))
        return SPI_OTHER_ERROR;

    if (lay.colorType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp pal;
        int n = 0;
        if (!png_get_PLTE(png, info, &pal, &n) || n <= 0 || n > 256)
            return SPI_OUT_OF_ORDER;
        for (int i = 0; i < n; i++) {
            dib.table[i].rgbRed = pal[i].red;
            dib.table[i].rgbGreen = pal[i].green;
            dib.table[i].rgbBlue = pal[i].blue;
        }
        dib.colors = n;
    } else if (lay.indexed) {
        int levels = 1 << (lay.bitDepth > 8 ? 8 : lay.bitDepth);
        spiGreyTable(dib.table, levels);
        dib.colors = levels;
    }

    const int h = dib.height;
    const int total = passes * h;
    if (prog.step(0, total))
        return SPI_ABORT;
    // Interlaced files fill the rows pass by pass; each pass adds its
    // pixels to what the rows already hold.
    int done = 0;
    for (int pass = 0; pass < passes; pass++) {
        for (int y = 0; y < h; y++) {
            png_read_row(png, dib.row(y), nullptr);
            if (prog.step(++done, total))
                return SPI_ABORT;
        }
    }
    // The chunks after the image data are not read: the picture is whole.
    return prog.step(h, h) ? SPI_ABORT : SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Job job;
    return decodeInto(&job, src, dib, prog);
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"PNG plug-in for vexel 1.40 (libpng)", "*.png", "PNG image"}, isPng, info, decode};
