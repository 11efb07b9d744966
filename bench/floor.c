/* The floor a conversion is measured against: a codec library's fastest
 * decode of a whole picture into memory, as 8-bit RGB (or the indexes of a
 * palette picture), with every core the library can use. The file is read
 * whole first, as the plug-ins read it.
 *
 *   floor FORMAT FILE      prints the picture's size; status 0 when it decoded
 *   floor                  lists the formats
 *
 * One function per format in the table below; a format is added by writing
 * its function and its row. The program is built once per library, with
 * FLOOR_<LIBRARY> defined (bench/formats.sh), so that a run loads that
 * library alone: loading them all would add the start of every other one
 * to each floor, tens of milliseconds with the encoders libheif pulls in. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* A decoded picture: rows of 3 bytes a pixel, no padding, in a block of
 * its own unless the library keeps it. */
struct Picture {
    int width, height;
    uint8_t *rgb;
};

/* The file's bytes, read by the libraries that take a reader. */
struct Mem {
    const uint8_t *data;
    size_t size, pos;
};

/* The cores the machine has, for the libraries that take a count. */
static inline int cores(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)n : 1;
}

#ifdef FLOOR_GIF
#include <gif_lib.h>

static int gifRead(GifFileType *gif, GifByteType *buf, int len)
{
    struct Mem *m = gif->UserData;
    size_t n = m->size - m->pos < (size_t)len ? m->size - m->pos : (size_t)len;
    memcpy(buf, m->data + m->pos, n);
    m->pos += n;
    return (int)n;
}

/* GIF: DGifSlurp, every image into giflib's own blocks, an index a pixel. */
static int gif(const uint8_t *data, size_t size, struct Picture *p)
{
    struct Mem m = {data, size, 0};
    int err;
    GifFileType *g = DGifOpen(&m, gifRead, &err);
    if (g == NULL)
        return 0;
    int ok = DGifSlurp(g) == GIF_OK && g->ImageCount > 0;
    p->width = g->SWidth;
    p->height = g->SHeight;
    DGifCloseFile(g, &err);
    return ok;
}
#endif

#ifdef FLOOR_TIFF
#include <tiffio.h>

static tmsize_t tiffRead(thandle_t h, void *buf, tmsize_t len)
{
    struct Mem *m = h;
    size_t n = m->size - m->pos < (size_t)len ? m->size - m->pos : (size_t)len;
    memcpy(buf, m->data + m->pos, n);
    m->pos += n;
    return (tmsize_t)n;
}

static tmsize_t tiffWrite(thandle_t h, void *buf, tmsize_t len)
{
    (void)h, (void)buf, (void)len;
    return -1;
}

static toff_t tiffSeek(thandle_t h, toff_t off, int whence)
{
    struct Mem *m = h;
    m->pos = (whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->size : 0) + off;
    return m->pos;
}

static int tiffClose(thandle_t h)
{
    (void)h;
    return 0;
}

static toff_t tiffSize(thandle_t h)
{
    return ((struct Mem *)h)->size;
}

static int tiffMap(thandle_t h, void **base, toff_t *size)
{
    struct Mem *m = h;
    *base = (void *)m->data;
    *size = m->size;
    return 1;
}

static void tiffUnmap(thandle_t h, void *base, toff_t size)
{
    (void)h, (void)base, (void)size;
}

/* TIFF: TIFFReadEncodedStrip of every strip, each into its place in one
 * block: the samples as stored, no conversion. */
static int tiff(const uint8_t *data, size_t size, struct Picture *p)
{
    struct Mem m = {data, size, 0};
    TIFF *t = TIFFClientOpen("floor", "r", &m, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, tiffMap,
                             tiffUnmap);
    if (t == NULL)
        return 0;
    uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    p->width = (int)w;
    p->height = (int)h;
    tmsize_t strip = TIFFStripSize(t);
    uint32_t n = TIFFNumberOfStrips(t);
    int ok = strip > 0 && (p->rgb = malloc((size_t)strip * n)) != NULL;
    for (uint32_t s = 0; ok && s < n; s++)
        ok = TIFFReadEncodedStrip(t, s, p->rgb + (size_t)strip * s, strip) > 0;
    TIFFClose(t);
    return ok;
}
#endif

#ifdef FLOOR_JPEG
#include <jpeglib.h>

/* JPEG: libjpeg-turbo straight to BGR, the colour order of a bitmap. */
static int jpeg(const uint8_t *data, size_t size, struct Picture *p)
{
    struct jpeg_decompress_struct ci;
    struct jpeg_error_mgr jerr;
    ci.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&ci);
    jpeg_mem_src(&ci, data, (unsigned long)size);
    jpeg_read_header(&ci, TRUE);
    ci.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&ci);
    p->width = (int)ci.output_width;
    p->height = (int)ci.output_height;
    size_t stride = (size_t)p->width * 3;
    p->rgb = malloc(stride * p->height);
    int ok = p->rgb != NULL;
    while (ok && ci.output_scanline < ci.output_height) {
        JSAMPROW rows[16];
        JDIMENSION n = ci.output_height - ci.output_scanline < 16 ? ci.output_height - ci.output_scanline : 16;
        for (JDIMENSION r = 0; r < n; r++)
            rows[r] = p->rgb + stride * (ci.output_scanline + r);
        jpeg_read_scanlines(&ci, rows, n);
    }
    if (ok)
        jpeg_finish_decompress(&ci);
    jpeg_destroy_decompress(&ci);
    return ok;
}
#endif

#ifdef FLOOR_PNG
#include <png.h>

/* PNG: libpng's simplified reader, to BGR; a palette picture to its
 * indexes and colour map, as a bitmap holds it. */
static int png(const uint8_t *data, size_t size, struct Picture *p)
{
    png_image img;
    uint8_t map[256 * 3];
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, data, size))
        return 0;
    img.format = img.format & PNG_FORMAT_FLAG_COLORMAP ? PNG_FORMAT_BGR_COLORMAP : PNG_FORMAT_BGR;
    p->width = (int)img.width;
    p->height = (int)img.height;
    p->rgb = malloc(PNG_IMAGE_SIZE(img));
    int ok = p->rgb != NULL && png_image_finish_read(&img, NULL, p->rgb, 0, map);
    png_image_free(&img);
    return ok;
}
#endif

#ifdef FLOOR_WEBP
#include <webp/decode.h>

static int webp(const uint8_t *data, size_t size, struct Picture *p)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config) || WebPGetFeatures(data, size, &config.input) != VP8_STATUS_OK)
        return 0;
    p->width = config.input.width;
    p->height = config.input.height;
    p->rgb = malloc((size_t)p->width * p->height * 3);
    if (p->rgb == NULL)
        return 0;
    config.options.use_threads = 1;
    config.output.colorspace = MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = p->rgb;
    config.output.u.RGBA.stride = p->width * 3;
    config.output.u.RGBA.size = (size_t)p->width * p->height * 3;
    return WebPDecode(data, size, &config) == VP8_STATUS_OK;
}
#endif

#ifdef FLOOR_HEIF
#include <libheif/heif.h>

/* HEIF, and AVIF through libheif: its decoders choose their threads. The
 * picture stays in libheif's image. */
static int heif(const uint8_t *data, size_t size, struct Picture *p)
{
    struct heif_context *ctx = heif_context_alloc();
    struct heif_image_handle *h = NULL;
    struct heif_image *img = NULL;
    int ok = heif_context_read_from_memory_without_copy(ctx, data, size, NULL).code == heif_error_Ok &&
             heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
             heif_decode_image(h, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGB, NULL).code ==
                 heif_error_Ok;
    if (ok) {
        p->width = heif_image_get_width(img, heif_channel_interleaved);
        p->height = heif_image_get_height(img, heif_channel_interleaved);
    }
    heif_image_release(img);
    heif_image_handle_release(h);
    heif_context_free(ctx);
    return ok;
}
#endif

#ifdef FLOOR_AVIF
#include <avif/avif.h>

static int avif(const uint8_t *data, size_t size, struct Picture *p)
{
    avifDecoder *dec = avifDecoderCreate();
    avifImage *img = avifImageCreateEmpty();
    int ok = 0;
    if (dec != NULL && img != NULL) {
        dec->maxThreads = cores();
        if (avifDecoderReadMemory(dec, img, data, size) == AVIF_RESULT_OK) {
            avifRGBImage rgb;
            avifRGBImageSetDefaults(&rgb, img);
            rgb.format = AVIF_RGB_FORMAT_RGB;
            rgb.depth = 8;
            rgb.rowBytes = img->width * 3;
            p->width = (int)img->width;
            p->height = (int)img->height;
            p->rgb = rgb.pixels = malloc((size_t)rgb.rowBytes * img->height);
            ok = rgb.pixels != NULL && avifImageYUVToRGB(img, &rgb) == AVIF_RESULT_OK;
        }
    }
    avifImageDestroy(img);
    avifDecoderDestroy(dec);
    return ok;
}
#endif

#ifdef FLOOR_JXL
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

static int jxl(const uint8_t *data, size_t size, struct Picture *p)
{
    JxlDecoder *dec = JxlDecoderCreate(NULL);
    void *runner = JxlThreadParallelRunnerCreate(NULL, (size_t)cores());
    JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    int ok = 0;
    if (dec == NULL || runner == NULL ||
        JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetParallelRunner(dec, JxlThreadParallelRunner, runner) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec, data, size) != JXL_DEC_SUCCESS)
        goto done;
    JxlDecoderCloseInput(dec);
    for (;;) {
        JxlDecoderStatus st = JxlDecoderProcessInput(dec);
        if (st == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                goto done;
            p->width = (int)info.xsize;
            p->height = (int)info.ysize;
        } else if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t bytes = (size_t)p->width * p->height * 3;
            p->rgb = malloc(bytes);
            if (p->rgb == NULL || JxlDecoderSetImageOutBuffer(dec, &format, p->rgb, bytes) != JXL_DEC_SUCCESS)
                goto done;
        } else if (st == JXL_DEC_FULL_IMAGE) {
            ok = 1; /* the first frame is the picture */
            break;
        } else {
            goto done;
        }
    }
done:
    JxlThreadParallelRunnerDestroy(runner);
    JxlDecoderDestroy(dec);
    return ok;
}
#endif

static const struct {
    const char *name;
    int (*decode)(const uint8_t *data, size_t size, struct Picture *p);
} formats[] = {
#ifdef FLOOR_GIF
    {"gif", gif},
#endif
#ifdef FLOOR_TIFF
    {"tiff", tiff},
#endif
#ifdef FLOOR_JPEG
    {"jpeg", jpeg},
#endif
#ifdef FLOOR_PNG
    {"png", png},
#endif
#ifdef FLOOR_WEBP
    {"webp", webp},
#endif
#ifdef FLOOR_HEIF
    {"heif", heif},
#endif
#ifdef FLOOR_AVIF
    {"avif", avif},
#endif
#ifdef FLOOR_JXL
    {"jxl", jxl},
#endif
};

int main(int argc, char **argv)
{
    size_t n = sizeof formats / sizeof formats[0], i = 0;
    if (argc != 3) {
        fprintf(stderr, "usage: floor FORMAT FILE\nformats:");
        for (i = 0; i < n; i++)
            fprintf(stderr, " %s", formats[i].name);
        fprintf(stderr, "\n");
        return 2;
    }
    while (i < n && strcmp(formats[i].name, argv[1]) != 0)
        i++;
    FILE *f = fopen(argv[2], "rb");
    if (i == n || f == NULL || fseek(f, 0, SEEK_END) != 0) {
        fprintf(stderr, "floor: no format %s or no file %s\n", argv[1], argv[2]);
        return 2;
    }
    long size = ftell(f);
    uint8_t *data = size > 0 ? malloc((size_t)size) : NULL;
    rewind(f);
    if (data == NULL || fread(data, 1, (size_t)size, f) != (size_t)size)
        return 1;
    fclose(f);
    struct Picture p = {0, 0, NULL};
    if (!formats[i].decode(data, (size_t)size, &p)) {
        fprintf(stderr, "floor: %s does not decode\n", argv[2]);
        return 1;
    }
    printf("%dx%d\n", p.width, p.height);
    free(p.rgb);
    free(data);
    return 0;
}
