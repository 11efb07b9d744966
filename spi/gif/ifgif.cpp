// ifgif.spi: GIF pictures through giflib. The first image of the file is
// placed on the logical screen and handed out as an 8-bit picture with its
// colour map as the table.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/spicommon.h"

namespace {

bool isGif(const unsigned char *p, size_t n)
{
    return n >= 6 && std::memcmp(p, "GIF", 3) == 0 &&
           (std::memcmp(p + 3, "87a", 3) == 0 || std::memcmp(p + 3, "89a", 3) == 0);
}

// Pixels that one byte of LZW data gives at most: a code of b bits (b up to
// 12) stands for at most 2^b pixels, so 8 x 4096 / 12 a byte.
constexpr int64_t kLzwPixelsPerByte = 2731;

struct MemReader {
    const unsigned char *data;
    size_t size;
    size_t pos;
    size_t pad; // zero bytes still to be made up past the end
};

// A file whose image data lacks only its closing empty block (and the
// trailer) is given that block: every row is there.
int readMem(GifFileType *gif, GifByteType *buf, int len)
{
    auto *m = static_cast<MemReader *>(gif->UserData);
    if (len <= 0)
        return 0;
    size_t n = m->size - m->pos;
    if (n > size_t(len))
        n = size_t(len);
    std::memcpy(buf, m->data + m->pos, n);
    m->pos += n;
    size_t extra = std::min(m->pad, size_t(len) - n);
    std::memset(buf + n, 0, extra);
    m->pad -= extra;
    return int(n + extra);
}

struct GifCloser {
    void operator()(GifFileType *gif) const
    {
        int err;
        DGifCloseFile(gif, &err);
    }
};
using GifPtr = std::unique_ptr<GifFileType, GifCloser>;

// Where the first image lies and how large the screen is that shows it.
struct Layout {
    int screenW, screenH;
    int left, top, width, height;
};

// A GIF open at its first image. The library reads through in, which
// therefore goes only after gif.
struct FirstImage {
    MemReader in;
    GifPtr gif;
    Layout lay;
};

// Opens the GIF and reads up to the first image's descriptor, skipping the
// extensions before it. Returns an SPI result.
int openFirstImage(const SpiSource &src, FirstImage *f)
{
    f->in = MemReader{src.data, src.size, 0, 0};
    Layout *lay = &f->lay;
    int err = 0;
    GifPtr gif(DGifOpen(&f->in, readMem, &err));
    if (!gif)
        return err == D_GIF_ERR_NOT_GIF_FILE ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR)
            return SPI_OUT_OF_ORDER;
        if (type == IMAGE_DESC_RECORD_TYPE)
            break;
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType *ext;
            if (DGifGetExtension(gif.get(), &code, &ext) == GIF_ERROR)
                return SPI_OUT_OF_ORDER;
            while (ext != nullptr) {
                if (DGifGetExtensionNext(gif.get(), &ext) == GIF_ERROR)
                    return SPI_OUT_OF_ORDER;
            }
            continue;
        }
        // the trailer, or anything else, before any image
        return SPI_OUT_OF_ORDER;
    }
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR)
        return SPI_OUT_OF_ORDER;
    const GifImageDesc &d = gif->Image;
    lay->left = d.Left;
    lay->top = d.Top;
    lay->width = d.Width;
    lay->height = d.Height;
    lay->screenW = gif->SWidth;
    lay->screenH = gif->SHeight;
    if (lay->screenW <= 0 || lay->screenH <= 0) {
        // No screen given: the image is the picture.
        lay->screenW = d.Width;
        lay->screenH = d.Height;
        lay->left = 0;
        lay->top = 0;
    }
    if (lay->screenW <= 0 || lay->screenH <= 0 || d.Width < 0 || d.Height < 0)
        return SPI_OUT_OF_ORDER;
    f->gif = std::move(gif);
    return SPI_ALL_RIGHT;
}

int info(const SpiSource &src, PictureInfo *lpInfo)
{
    FirstImage f;
    int rc = openFirstImage(src, &f);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    lpInfo->width = f.lay.screenW;
    lpInfo->height = f.lay.screenH;
    lpInfo->colorDepth = 8;
    return SPI_ALL_RIGHT;
}

int decode(const SpiSource &src, SpiDib *out, const SpiProgress &prog)
{
    FirstImage f;
    int rc = openFirstImage(src, &f);
    if (rc != SPI_ALL_RIGHT)
        return rc;
    GifFileType *gif = f.gif.get();
    const Layout &lay = f.lay;
    // An image larger than its data could make is cut short: refused
    // before its picture is allocated.
    if (int64_t(lay.width) * lay.height / kLzwPixelsPerByte > int64_t(f.in.size - f.in.pos))
        return SPI_OUT_OF_ORDER;
    SpiDib &dib = *out;
    rc = spiAllocDib(&dib, lay.screenW, lay.screenH, 8);
    if (rc != SPI_ALL_RIGHT)
        return rc;

    const ColorMapObject *map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    if (map != nullptr && map->ColorCount > 0 && map->ColorCount <= 256) {
        for (int i = 0; i < map->ColorCount; i++) {
            dib.table[i].rgbRed = map->Colors[i].Red;
            dib.table[i].rgbGreen = map->Colors[i].Green;
            dib.table[i].rgbBlue = map->Colors[i].Blue;
        }
        dib.colors = map->ColorCount;
    } else {
        // no colour map at all: show the indexes as grey levels
        spiGreyTable(dib.table, 256);
        dib.colors = 256;
    }
    // The screen's background is an entry of the global table; without
    // one (or past its end) it is black.
    RGBQUAD bg = {};
    const ColorMapObject *global = gif->SColorMap;
    if (global != nullptr && gif->SBackGroundColor >= 0 && gif->SBackGroundColor < global->ColorCount) {
        const GifColorType &c = global->Colors[gif->SBackGroundColor];
        bg.rgbRed = c.Red, bg.rgbGreen = c.Green, bg.rgbBlue = c.Blue;
    }
    f.in.pad = 1;

    // The part of the image that lies on the screen; the rest is decoded
    // and dropped.
    int x0 = lay.left;
    int x1 = lay.left + lay.width;
    if (x1 > dib.width)
        x1 = dib.width;
    int h = lay.height;
    // an image of no rows still reports a start and an end, of one step
    const int steps = h > 0 ? h : 1;
    if (prog.step(0, steps))
        return SPI_ABORT;
    if (lay.width > 0 && h > 0) {
        std::vector<GifPixelType> line(size_t(lay.width));
        static const int start[4] = {0, 4, 2, 1};
        static const int step[4] = {8, 8, 4, 2};
        int passes = gif->Image.Interlace ? 4 : 1;
        int done = 0;
        // Rows that lie wholly on the screen are decoded straight into the
        // picture; the others go through the line and are cut.
        const bool whole = x1 == lay.left + lay.width;
        for (int pass = 0; pass < passes; pass++) {
            int r0 = passes == 1 ? 0 : start[pass];
            int dr = passes == 1 ? 1 : step[pass];
            for (int r = r0; r < h; r += dr) {
                int y = lay.top + r;
                GifPixelType *to = whole && y < dib.height ? dib.row(y) + x0 : line.data();
                if (DGifGetLine(gif, to, lay.width) == GIF_ERROR)
                    return SPI_OUT_OF_ORDER;
                if (to == line.data() && y < dib.height && x0 < x1)
                    std::memcpy(dib.row(y) + x0, line.data(), size_t(x1 - x0));
                if (prog.step(++done, steps))
                    return SPI_ABORT;
            }
        }
    }
    spiFillOutside(&dib, bg, lay.left, lay.top, lay.left + lay.width, lay.top + lay.height);
    return prog.step(steps, steps) ? SPI_ABORT : SPI_ALL_RIGHT;
}

} // namespace

// The format this plug-in serves, behind its entry points (spientry.cpp).
const SpiFormat spiFormat = {{"GIF plug-in for vexel 1.40 (giflib)", "*.gif", "GIF image"}, isGif, info, decode};
