// ifheic.spi and ifheif.spi: HEIF pictures coded with HEVC (HEIC, as phones
// write them) through libheif and libde265. The primary image comes out as
// libheif decodes it, its cropping, rotation and mirroring applied:
// greyscale as 8-bit with a grey table, everything else as 24-bit. Alpha is
// dropped, premultiplied colour divided by it first; samples of more than 8
// bits are rounded to 8. Files that declare themselves AVIF are left to
// ifavif.spi.
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/spibits.h"
#include "common/spicommon.h"

namespace {

// ---------------------------------------------------------------- boxes
//
// A few facts are read from the item properties of the file's 'meta' box.

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

// An Exp-Golomb code: n zeros, a one, then n bits.
uint64_t ue(SpiBits &b)
{
    int lead = 0;
    while (b.bit() == 0)
        if (b.over || ++lead > 32)
            return 0;
    return (uint64_t(1) << lead) - 1 + (lead > 0 ? b.get(lead) : 0);
}

// The luma size of an HEVC sequence parameter set (the payload after the
// two-byte NAL unit header), or false when it cannot be read.
bool spsSize(const unsigned char *p, size_t n, uint64_t *w, uint64_t *h)
{
    // The payload without its emulation prevention bytes (the 3 of 00 00 03).
    std::vector<unsigned char> raw;
    raw.reserve(n);
    for (size_t i = 0, zeros = 0; i < n; i++) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        raw.push_back(p[i]);
    }
    SpiBits b(raw.data(), raw.data() + raw.size());
    auto pass = [&b](int bits) {
        for (; bits > 0; bits -= 32)
            b.get(bits < 32 ? bits : 32);
    };
    pass(4);
    int sub = int(b.get(3));
    pass(1 + 96); // nesting flag; profile, tier and level
    int skip = 0;
    for (int i = 0; i < sub; i++) {
        const bool profile = b.bit(), level = b.bit(); // read in this order
        skip += (profile ? 88 : 0) + (level ? 8 : 0);
    }
    pass((sub > 0 ? 2 * (8 - sub) : 0) + skip);
    ue(b);
    if (ue(b) == 3) // chroma_format_idc 4:4:4: the separate colour plane flag
        b.bit();
    *w = ue(b);
    *h = ue(b);
    return !b.over;
}

// The data of item `id` when it lies in one piece in the file or in the
// 'meta' box's 'idat', as the item locations ('iloc') say.
bool itemData(const SpiSource &src, const Box &meta, uint32_t id, Box *out)
{
    Box iloc;
    if (!findBox(meta.body + 4, meta.len - 4, "iloc", &iloc) || iloc.len < 8)
        return false;
    const unsigned char *p = iloc.body, *end = iloc.body + iloc.len;
    const int version = p[0];
    const int offSize = p[4] >> 4, lenSize = p[4] & 15, baseSize = p[5] >> 4;
    const int indexSize = version >= 1 ? p[5] & 15 : 0, idSize = version < 2 ? 2 : 4;
    // big-endian numbers of 0, 4 or 8 bytes (and 2 for ids and counts)
    auto num = [&p, end](int bytes, uint64_t *v) {
        if (bytes != 0 && bytes != 2 && bytes != 4 && bytes != 8)
            return false;
        if (end - p < bytes)
            return false;
        *v = 0;
        for (int i = 0; i < bytes; i++)
            *v = *v << 8 | *p++;
        return true;
    };
    p += 6;
    uint64_t items;
    if (!num(idSize, &items))
        return false;
    for (; items > 0; items--) {
        uint64_t item, method = 0, ref, base, extents;
        if (!num(idSize, &item) || (version >= 1 && !num(2, &method)) || !num(2, &ref) || !num(baseSize, &base) ||
            !num(2, &extents))
            return false;
        method &= 15;
        uint64_t at = 0, len = 0;
        for (uint64_t e = 0; e < extents; e++) {
            uint64_t index;
            if (!num(indexSize, &index) || !num(offSize, &at) || !num(lenSize, &len))
                return false;
        }
        if (item != id)
            continue;
        const unsigned char *from = src.data;
        size_t size = src.size;
        if (method == 1) {
            Box idat;
            if (!findBox(meta.body + 4, meta.len - 4, "idat", &idat))
                return false;
            from = idat.body;
            size = idat.len;
        } else if (method != 0) {
            return false;
        }
        // one extent; a length of 0 runs to the end
        if (extents != 1 || base > size || at > size - base)
            return false;
        at += base;
        if (len == 0 || len > size - at)
            len = size - at;
        *out = Box{from + at, size_t(len), nullptr};
        return true;
    }
    return false;
}

// What the item properties say of the HEVC-coded images: whether every one
// is 4:0:0 (libheif does not tell that before decoding to RGB), and whether
// each is coded no larger than the largest image the file declares, give
// or take a coding block. libheif decodes a tile of whatever size its
// stream says before it compares that with the file, so a stream that is
// larger is refused here.
//
// Overlays are not read: libheif makes the canvas an overlay's data asks
// for before it looks at the images to put on it.
struct Coding {
    bool grey = false;
    bool fits = true;
    bool overlay = false;
};

Coding coding(const SpiSource &src)
{
    Coding c;
    Box meta, iinf, iprp, ipco, b;
    std::vector<uint32_t> grids;
    if (!findBox(src.data, src.size, "meta", &meta) || meta.len < 4) // a full box: version and flags first
        return c;
    if (findBox(meta.body + 4, meta.len - 4, "iinf", &iinf) && iinf.len >= 6) {
        size_t skip = iinf.body[0] == 0 ? 6 : 8; // version, flags and the count of entries
        const unsigned char *p = iinf.body + skip;
        size_t n = iinf.len > skip ? iinf.len - skip : 0;
        while (nextBox(&p, &n, &b)) // item information: version 2 or 3, item, protection, type
            if (std::memcmp(b.type, "infe", 4) == 0 && b.len >= 12 && b.body[0] >= 2) {
                size_t at = b.body[0] == 2 ? 8 : 10;
                if (b.len < at + 4)
                    continue;
                c.overlay |= std::memcmp(b.body + at, "iovl", 4) == 0;
                if (std::memcmp(b.body + at, "grid", 4) == 0)
                    grids.push_back(b.body[0] == 2 ? (b.body[4] << 8 | b.body[5]) : be32(b.body + 4));
            }
    }
    if (!findBox(meta.body + 4, meta.len - 4, "iprp", &iprp) || !findBox(iprp.body, iprp.len, "ipco", &ipco))
        return c;
    uint64_t maxW = 0, maxH = 0;
    const unsigned char *p = ipco.body;
    size_t n = ipco.len;
    while (nextBox(&p, &n, &b))
        if (std::memcmp(b.type, "ispe", 4) == 0 && b.len >= 12) {
            maxW = std::max<uint64_t>(maxW, be32(b.body + 4));
            maxH = std::max<uint64_t>(maxH, be32(b.body + 8));
        }
    int configs = 0, greys = 0;
    for (p = ipco.body, n = ipco.len; nextBox(&p, &n, &b);) {
        if (std::memcmp(b.type, "hvcC", 4) != 0 || b.len < 23)
            continue;
        configs++;
        greys += (b.body[16] & 3) == 0; // chroma_format_idc
        // The parameter sets: arrays of a type byte and counted NAL units.
        // The decoder goes by each unit's own header, not by its array's.
        size_t at = 23;
        for (int arrays = b.body[22]; arrays > 0 && at + 3 <= b.len; arrays--) {
            int count = b.body[at + 1] << 8 | b.body[at + 2];
            for (at += 3; count > 0 && at + 2 <= b.len; count--) {
                size_t len = size_t(b.body[at] << 8 | b.body[at + 1]);
                at += 2;
                if (len > b.len - at)
                    break;
                uint64_t w, h;
                const bool sps = len > 2 && (b.body[at] >> 1 & 0x3F) == 33;
                if (sps && (!spsSize(b.body + at + 2, len - 2, &w, &h) || w > maxW + 64 || h > maxH + 64))
                    c.fits = false;
                at += len;
            }
        }
    }
    c.grey = configs > 0 && greys == configs;
    // libheif makes a grid's canvas as its description asks, before any
    // tile: no larger than the largest image the file declares. A
    // description not found where the item locations plainly say cannot be
    // checked, and is refused.
    for (uint32_t id : grids) {
        Box data;
        const bool found = itemData(src, meta, id, &data) && data.len >= 8;
        const bool wide = found && (data.body[1] & 1); // 32-bit sizes
        if (!found || data.len < (wide ? 12u : 8u)) {
            c.fits = false;
            continue;
        }
        uint64_t w = wide ? be32(data.body + 4) : uint32_t(data.body[4] << 8 | data.body[5]);
        uint64_t h = wide ? be32(data.body + 8) : uint32_t(data.body[6] << 8 | data.body[7]);
        if (w > maxW || h > maxH)
            c.fits = false;
    }
    return c;
}

// ---------------------------------------------------------------- libheif

struct Heif {
    heif_context *ctx = nullptr;
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    heif_decoding_options *options = nullptr;
    Heif()
    {
        // The library's decoders are registered once, for as long as the
        // plug-in is loaded: a batch opens many files.
        static const bool ready = heif_init(nullptr).code == heif_error_Ok;
        ctx = ready ? heif_context_alloc() : nullptr;
    }
    Heif(const Heif &) = delete;
    Heif &operator=(const Heif &) = delete;
    ~Heif()
    {
        heif_image_release(image);
        heif_image_handle_release(handle);
        heif_decoding_options_free(options);
        heif_context_free(ctx);
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

// The primary image's handle, its size as it is to be seen and whether it
// is grey, for a file the plug-in reads.
int openPrimary(Heif *h, const SpiSource &src, int *width, int *height, bool *grey)
{
    if (h->ctx == nullptr)
        return SPI_NO_MEMORY;
    int rc = result(heif_context_read_from_memory_without_copy(h->ctx, src.data, src.size, nullptr));
    if (rc == SPI_ALL_RIGHT)
        rc = result(heif_context_get_primary_image_handle(h->ctx, &h->handle));
    if (rc != SPI_ALL_RIGHT)
        return rc;
    Coding c = coding(src);
    if (c.overlay)
        return SPI_NOT_SUPPORT;
    if (!c.fits)
        return SPI_OUT_OF_ORDER;
    *width = heif_image_handle_get_width(h->handle);
    *height = heif_image_handle_get_height(h->handle);
    *grey = c.grey;
    return spiSizeOk(*width, *height, c.grey ? 8 : 24) ? SPI_ALL_RIGHT : SPI_NO_MEMORY;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    Heif h;
    int w, ht;
    bool grey;
    int rc = openPrimary(&h, src, &w, &ht, &grey);
    if (rc != SPI_ALL_RIGHT)
        return rc;
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
            const uint32_t a = sample(3);
            if (f.grey) {
                *o++ = spiStraight(rgb[1], a);
            } else {
                for (int c = 2; c >= 0; c--)
                    *o++ = spiStraight(rgb[c], a);
            }
        } else if (f.grey) {
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
    RowFormat f = {3, 8, false, false};
    int rc = openPrimary(&h, src, &w, &ht, &f.grey);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(h.handle) > 8;
    f.premultiplied = heif_image_handle_has_alpha_channel(h.handle) && heif_image_handle_is_premultiplied_alpha(h.handle);
    // libheif's picture, before the DIB is made from it, follows the limits too.
    if (!spiDibFits(*dib, int64_t(w) * (f.premultiplied ? 4 : 3) * (deep ? 2 : 1), ht, 8))
        return SPI_NO_MEMORY;
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
    {"HEIF plug-in for vexel 1.40 (libheif)", "*.heic;*.heif;*.hif", "HEIF image"}, spiIsHeif, info, decode};
