/* The floor a conversion is measured against: a codec library's fastest
 * decode of a whole picture into memory, as 8-bit RGB, with every core the
 * library can use. The file is read whole first, as the plug-ins read it.
 *
 *   floor FORMAT FILE      prints the picture's size; status 0 when it decoded
 *   floor                  lists the formats
 *
 * One function per format in the table below; a format is added by writing
 * its function and its row. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <avif/avif.h>
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>
#include <libheif/heif.h>
#include <webp/decode.h>

/* A decoded picture: rows of 3 bytes a pixel, no padding, in a block of
 * its own unless the library keeps it. */
struct Picture {
    int width, height;
    uint8_t *rgb;
};

static int cores(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)n : 1;
}

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

static const struct {
    const char *name;
    int (*decode)(const uint8_t *data, size_t size, struct Picture *p);
} formats[] = {
    {"webp", webp},
    {"heif", heif},
    {"avif", avif},
    {"jxl", jxl},
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
