// ifheic.spi and ifheif.spi: HEIF pictures coded with HEVC (HEIC, as phones
// write them) through libheif and libde265. The primary image comes out as
// libheif decodes it, its cropping, rotation and mirroring applied:
// greyscale as 8-bit with a grey table, everything else as 24-bit. Alpha is
// dropped, premultiplied colour divided by it first; samples of more than 8
// bits are rounded to 8. Files that declare themselves AVIF are left to
// ifavif.spi.
#include <libheif/heif.h>

#include <cstring>

#include "common/spicommon.h"

namespace {

bool isHeif(const unsigned char *p, size_t n)
{
    return spiFtypBrand(p, n, "heicheixhevchevxheimheishevmhevs") ||
           (spiFtypBrand(p, n, "mif1msf1") && !spiFtypBrand(p, n, "avifavis"));
}

// ---------------------------------------------------------------- boxes
//
// libheif does not tell whether an image is monochrome before decoding it
// to RGB; its HEVC configuration ('hvcC') does.

uint32_t be32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct Box {
    const unsigned char *body;
    size_t len;
    const unsigned char *type;
};

// The box at the start of [*p, *p + *n), moving past it; false at the end
// of the boxes or at one that does not fit.
bool nextBox(const unsigned char **p, size_t *n, Box *b)
{
    if (*n < 8)
        return false;
    uint64_t size = be32(*p), head = 8;
    if (size == 1) { // a 64-bit size follows the type
        if (*n < 16)
            return false;
        size = uint64_t(be32(*p + 8)) << 32 | be32(*p + 12);
        head = 16;
    } else if (size == 0) { // up to the end
        size = *n;
    }
    if (size < head || size > *n)
        return false;
    *b = Box{*p + head, size_t(size - head), *p + 4};
    *p += size;
    *n -= size_t(size);
    return true;
}

// The body of the first box of the type among those of [p, p + n).
bool findBox(const unsigned char *p, size_t n, const char *type, Box *b)
{
    while (nextBox(&p, &n, b))
        if (std::memcmp(b->type, type, 4) == 0)
            return true;
    return false;
}

// Whether the file's item properties hold HEVC configurations and all of
// them are 4:0:0 (chroma_format_idc, in the low bits of the 17th byte).
bool monochrome(const SpiSource &src)
{
    Box meta, iprp, ipco, b;
    if (!findBox(src.data, src.size, "meta", &meta) || meta.len < 4 || // a full box: version and flags first
        !findBox(meta.body + 4, meta.len - 4, "iprp", &iprp) || !findBox(iprp.body, iprp.len, "ipco", &ipco))
        return false;
    const unsigned char *p = ipco.body;
    size_t n = ipco.len;
    int found = 0;
    while (nextBox(&p, &n, &b)) {
        if (std::memcmp(b.type, "hvcC", 4) != 0)
            continue;
        if (b.len < 17 || (b.body[16] & 3) != 0)
            return false;
        found++;
    }
    return found > 0;
}

// ---------------------------------------------------------------- libheif

struct Heif {
    heif_context *ctx = nullptr;
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    heif_decoding_options *options = nullptr;
    Heif()
    {
        heif_init(nullptr);
        ctx = heif_context_alloc();
    }
    Heif(const Heif &) = delete;
    Heif &operator=(const Heif &) = delete;
    ~Heif()
    {
        heif_image_release(image);
        heif_image_handle_release(handle);
        heif_decoding_options_free(options);
        heif_context_free(ctx);
        heif_deinit();
    }
};

int result(const heif_error &e)
{
    switch (e.code) {
    case heif_error_Ok:
        return SPI_ALL_RIGHT;
    case heif_error_Memory_allocation_error:
        return SPI_NO_MEMORY;
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
        return SPI_NOT_SUPPORT;
    default:
        return SPI_OUT_OF_ORDER;
    }
}

// The primary image's handle, and its size as it is to be seen.
int open(Heif *h, const SpiSource &src, int *width, int *height)
{
    if (h->ctx == nullptr)
        return SPI_NO_MEMORY;
    int rc = result(heif_context_read_from_memory_without_copy(h->ctx, src.data, src.size, nullptr));
    if (rc == SPI_ALL_RIGHT)
        rc = result(heif_context_get_primary_image_handle(h->ctx, &h->handle));
    if (rc != SPI_ALL_RIGHT)
        return rc;
    *width = heif_image_handle_get_width(h->handle);
    *height = heif_image_handle_get_height(h->handle);
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Heif h;
    int w, ht;
    int rc = open(&h, src, &w, &ht);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    bool grey = monochrome(src);
    if (!spiSizeOk(w, ht, grey ? 8 : 24))
        return SPI_NO_MEMORY;
    lpInfo->width = w;
    lpInfo->height = ht;
    lpInfo->colorDepth = grey ? 8 : 24;
    return SPI_ALL_RIGHT;
}

// One row of interleaved samples, 3 or 4 a pixel of 8 bits or of 16 bits
// holding `bits`, to BGR or to grey (the green sample: all three are the
// same in a monochrome picture). Premultiplied colour is divided by alpha.
struct RowFormat {
    int channels;
    int bits;
    bool premultiplied;
    bool grey;
};

void convertRow(const unsigned char *s, unsigned char *o, int width, const RowFormat &f)
{
    if (f.bits == 8 && !f.premultiplied && !f.grey) {
        for (int x = 0; x < width; x++, s += 3, o += 3)
            o[0] = s[2], o[1] = s[1], o[2] = s[0];
        return;
    }
    const uint32_t max = (uint32_t(1) << f.bits) - 1;
    const size_t bytes = f.bits > 8 ? 2 : 1;
    auto sample = [&](int c) -> uint32_t {
        const unsigned char *p = s + size_t(c) * bytes;
        return bytes == 1 ? *p : uint32_t(p[0] | p[1] << 8);
    };
    for (int x = 0; x < width; x++, s += size_t(f.channels) * bytes) {
        uint32_t rgb[3] = {sample(0), sample(1), sample(2)};
        if (f.premultiplied) {
            uint32_t a = sample(3);
            for (uint32_t &c : rgb)
                c = a == 0 ? 0 : c >= a ? max : (c * max + a / 2) / a;
        }
        if (f.grey) {
            *o++ = spiScaleTo8(rgb[1] > max ? max : rgb[1], max);
        } else {
            for (int c = 2; c >= 0; c--)
                *o++ = spiScaleTo8(rgb[c] > max ? max : rgb[c], max);
        }
    }
}

int decode(const SpiSource &src, SpiDib *dib, const SpiProgress &prog)
{
    Heif h;
    int w, ht;
    int rc = open(&h, src, &w, &ht);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    RowFormat f = {3, 8, false, monochrome(src)};
    if (!spiSizeOk(w, ht, f.grey ? 8 : 24))
        return SPI_NO_MEMORY;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(h.handle) > 8;
    f.premultiplied = heif_image_handle_has_alpha_channel(h.handle) && heif_image_handle_is_premultiplied_alpha(h.handle);
    heif_chroma chroma = f.premultiplied ? (deep ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA)
                                         : (deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
    if (prog.step(0, ht))
        return SPI_ABORT;

    h.options = heif_decoding_options_alloc();
    if (h.options == nullptr)
        return SPI_NO_MEMORY;
    h.options->strict_decoding = 1; // a damaged file is refused, not patched up
    rc = result(heif_decode_image(h.handle, &h.image, heif_colorspace_RGB, chroma, h.options));
    if (rc != SPI_ALL_RIGHT)
        return rc;
    int stride = 0;
    const unsigned char *plane = heif_image_get_plane_readonly(h.image, heif_channel_interleaved, &stride);
    w = heif_image_get_width(h.image, heif_channel_interleaved);
    ht = heif_image_get_height(h.image, heif_channel_interleaved);
    f.channels = f.premultiplied ? 4 : 3;
    f.bits = heif_image_get_bits_per_pixel_range(h.image, heif_channel_interleaved);
    const int64_t rowBytes = int64_t(w) * f.channels * (f.bits > 8 ? 2 : 1);
    if (plane == nullptr || f.bits < 8 || f.bits > 16 || (f.bits > 8) != deep || stride < rowBytes)
        return SPI_OUT_OF_ORDER;

    // The picture is whole: only now the block it is handed out in.
    rc = spiAllocDib(dib, w, ht, f.grey ? 8 : 24);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    if (f.grey) {
        spiGreyTable(dib->table, 256);
        dib->colors = 256;
    }
    for (int y = 0; y < ht; y++) {
        convertRow(plane + size_t(y) * size_t(stride), dib->row(y), w, f);
        if (prog.step(y + 1, ht))
            return SPI_ABORT;
    }
    return SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {
    {"HEIF plug-in for vexel 1.40 (libheif)", "*.heic;*.heif;*.hif", "HEIF image"}, isHeif, info, decode};
