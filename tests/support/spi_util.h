// Helpers of the plug-in tests that call the exports themselves: a plug-in
// as built, loaded with its entry points; GetPicture's pair checked against
// the rules of its form and copied out; a progress callback that logs its
// calls and can ask to stop.
#ifndef VEXEL_TESTS_SUPPORT_SPI_UTIL_H
#define VEXEL_TESTS_SUPPORT_SPI_UTIL_H

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/winapi.h"
#include "plugins/spi.h"
#include "support/bmp_util.h"

template <class Fn> Fn spiEntry(HMODULE h, const char *name)
{
    return h ? reinterpret_cast<Fn>(GetProcAddress(h, name)) : nullptr;
}

// A plug-in of the build's plug-in directory, e.g. SpiPlugin("ifgif.spi").
struct SpiPlugin {
    HMODULE h;
    GetPluginInfoFn info = spiEntry<GetPluginInfoFn>(h, "GetPluginInfo");
    IsSupportedFn supported = spiEntry<IsSupportedFn>(h, "IsSupported");
    GetPictureInfoFn pictureInfo = spiEntry<GetPictureInfoFn>(h, "GetPictureInfo");
    GetPictureFn picture = spiEntry<GetPictureFn>(h, "GetPicture");
    explicit SpiPlugin(const std::string &file) : h(LoadLibraryA((VEXEL_SPI_DIR "/" + file).c_str())) {}
    SpiPlugin(const SpiPlugin &) = delete;
    SpiPlugin &operator=(const SpiPlugin &) = delete;
    ~SpiPlugin()
    {
        if (h != nullptr)
            FreeLibrary(h);
    }
};

// A scratch file: `offset` filler bytes, then the given ones.
struct SpiFile : BmpTempDir {
    std::string path = file("f");
    explicit SpiFile(const Bytes &b, long offset = 0) { writeBytes(path, join(Bytes(size_t(offset), 'Z'), b)); }
};

// A picture as a plug-in handed it over, copied out of the pair.
struct SpiPic {
    int rc = -1, w = 0, h = 0, bits = 0;
    Bytes rgb;         // rows top-down, through the table if any
    Bytes alt;         // references: another value as right as rgb's, if any
    std::string fault; // what the pair got wrong
    bool operator==(const SpiPic &o) const { return w == o.w && h == o.h && bits == o.bits && rgb == o.rgb; }
};

// Where got's rows first differ from the reference's, or -1.
inline long differs(const SpiPic &want, const SpiPic &got)
{
    if (got.w != want.w || got.h != want.h || got.rgb.size() != want.rgb.size())
        return 0;
    for (size_t i = 0; i < want.rgb.size(); i++) {
        if (got.rgb[i] != want.rgb[i] && (want.alt.empty() || got.rgb[i] != want.alt[i]))
            return long(i / 3);
    }
    return -1;
}

// GetPicture on a file's bytes: flag 1 hands over an exact-size copy, so
// reads past it are caught; flag 0 a scratch file with the bytes at offset.
// The pair is checked against the rules of its form, copied out and freed.
inline SpiPic spiDecode(const SpiPlugin &p, Bytes file, unsigned flag = 1, SPI_PROGRESS progress = nullptr,
                        long lData = 0, long offset = 0)
{
    SpiPic out;
    HLOCAL hInfo = nullptr, hBm = nullptr;
    SpiFile tmp(flag ? Bytes() : file, offset);
    char *buf = flag ? reinterpret_cast<char *>(file.data()) : &tmp.path[0];
    if ((out.rc = p.picture(buf, flag ? long(file.size()) : offset, flag, &hInfo, &hBm, progress, lData)) != 0)
        return out;
    auto *info = static_cast<const uint8_t *>(LocalLock(hInfo)), *bits = static_cast<const uint8_t *>(LocalLock(hBm));
    BITMAPINFOHEADER bi = {};
    if (info != nullptr && LocalSize(hInfo) >= sizeof bi)
        std::memcpy(&bi, info, sizeof bi);
    size_t colors = bi.biBitCount == 8 ? bi.biClrUsed : 0, depth = bi.biBitCount / 8u;
    size_t stride = (size_t(std::max(bi.biWidth, 0)) * bi.biBitCount + 31) / 32 * 4;
    size_t image = stride * size_t(std::max(bi.biHeight, 0));
    bool sound = bits != nullptr && bi.biSize == 40 && bi.biPlanes == 1 && bi.biCompression == BI_RGB &&
                 bi.biWidth > 0 && bi.biHeight > 0 &&
                 (bi.biBitCount == 24 || (bi.biBitCount == 8 && colors >= 1 && colors <= 256)) &&
                 LocalSize(hInfo) >= sizeof bi + colors * 4 && LocalSize(hBm) >= image &&
                 (bi.biSizeImage == 0 || bi.biSizeImage == image);
    out.fault = sound ? "" : "header fields, depth, or blocks smaller than the table or the rows";
    for (size_t i = 0; sound && i < image; i++) {
        if (i % stride >= size_t(bi.biWidth) * depth && bits[i] != 0)
            out.fault = "row padding not zero";
    }
    for (int y = bi.biHeight - 1; sound && y >= 0; y--) {
        for (const uint8_t *q = bits + size_t(y) * stride; q < bits + size_t(y) * stride + bi.biWidth * depth; q += depth) {
            if (depth == 1 && *q >= colors)
                out.fault = "an index past the table";
            const uint8_t *bgr = depth == 3 ? q : info + sizeof bi + 4 * std::min(size_t(*q), colors - 1);
            out.rgb.insert(out.rgb.end(), {bgr[2], bgr[1], bgr[0]});
        }
    }
    out.w = bi.biWidth, out.h = bi.biHeight, out.bits = bi.biBitCount;
    LocalUnlock(hInfo);
    LocalUnlock(hBm);
    if (LocalFree(hInfo) != nullptr || LocalFree(hBm) != nullptr)
        out.fault += " (not local memory)";
    return out;
}

// A PNG as 8-bit RGB, through libpng. 16-bit samples hold `bits`
// significant bits at their top and are rounded to 8 (V x 255 / max); grey
// is repeated; alpha is dropped, divided out of the colour first when asked.
inline SpiPic spiReadPng(const std::string &path, int bits = 16, bool unpremultiply = false)
{
    SpiPic r;
    FILE *f = std::fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (f != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_GRAY_TO_RGB, nullptr);
        r.w = int(png_get_image_width(png, info)), r.h = int(png_get_image_height(png, info));
        const int ch = png_get_channels(png, info), wide = png_get_bit_depth(png, info) == 16;
        const uint32_t max = wide ? (1u << bits) - 1 : 255;
        for (int y = 0; y < r.h; y++) {
            const png_bytep row = png_get_rows(png, info)[y];
            for (int i = 0; i < r.w * ch; i += ch) {
                auto at = [&](int c) { return wide ? uint32_t(row[2 * (i + c)] << 8 | row[2 * (i + c) + 1]) >> (16 - bits) : row[i + c]; };
                for (int c = 0; c < 3; c++) {
                    uint32_t v = at(c), a = ch == 4 && unpremultiply ? at(3) : max;
                    v = a == 0 ? 0 : std::min(max, (v * max + a / 2) / a);
                    r.rgb.push_back(uint8_t((v * 510 + max) / (2 * max)));
                }
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (f != nullptr)
        std::fclose(f);
    return r;
}

// Progress calls as (num, denom). With lData the address of such a log,
// spiProgressLog appends each call and asks to stop at the call whose
// number (from 0) the log's first entry holds.
using SpiCalls = std::vector<std::pair<int, int>>;
inline int SPI_API spiProgressLog(int num, int denom, long lData)
{
    auto *log = reinterpret_cast<SpiCalls *>(lData);
    log->emplace_back(num, denom);
    return int(log->size()) - 2 == log->front().first;
}

#endif
