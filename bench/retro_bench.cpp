// Decoding speed of the MAG, Pi and PIC plug-ins against libpng, each on
// the same picture: a 640x400 picture of 256 colours as MAG and as Pi, and
// a 512x512 picture of 15-bit colour as X68000 PIC, each also saved as PNG
// by libpng. The plug-ins decode from memory through GetPicture, as built;
// libpng reads the PNG row by row into a buffer, and again through the PNG
// plug-in, whose way to the picture is the same as theirs. The files come from small
// encoders here, and every decode is checked against the picture.
//
// Usage: retro_bench [runs [format]]   (best of runs, default 7; all formats)

#include <malloc.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/winapi.h"
#include "plugins/spi.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A picture: palette indexes with a 256-entry R G B palette, or 15-bit
// colour codes GGGGG RRRRR BBBBB.
struct Picture {
    int w, h;
    std::vector<uint32_t> px;
    Bytes pal;
};

// The kind of picture these formats were made for: smooth shading with a
// few flat areas and ordered dithering over parts of it.
Picture makePicture(int w, int h, bool direct)
{
    Picture p{w, h, std::vector<uint32_t>(size_t(w) * h), {}};
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double fx = double(x) / w, fy = double(y) / h;
            double v = 0.5 + 0.25 * std::sin(7 * fx + 3 * fy) + 0.25 * std::cos(5 * fy - 4 * fx * fy);
            bool dither = (x / 80 + y / 80) % 3 == 0;
            int disc = -1;
            for (int k = 0; k < 6; k++) {
                int cx = w * (k + 1) / 7, cy = h * ((k * 5) % 7 + 1) / 8, r = w / 12;
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r)
                    disc = k;
            }
            uint32_t &o = p.px[size_t(y) * w + x];
            if (!direct) {
                int level = int(v * 191 * 16) + (dither ? bayer[y & 3][x & 3] - 8 : 0);
                o = disc >= 0 ? uint32_t(192 + disc * 10) : uint32_t(std::clamp(level / 16, 0, 191));
            } else {
                double t = v * 31 + (dither ? (bayer[y & 3][x & 3] - 7.5) / 16 : 0);
                uint32_t g = uint32_t(std::clamp(t, 0.0, 31.0)), r = uint32_t(std::clamp(31 * fx, 0.0, 31.0));
                uint32_t b = uint32_t(std::clamp(31 * (1 - fy), 0.0, 31.0));
                o = disc >= 0 ? uint32_t(disc * 4000 + 99) & 0x7FFF : g << 10 | r << 5 | b;
            }
        }
    }
    if (!direct)
        for (int i = 0; i < 256; i++)
            p.pal.insert(p.pal.end(), {uint8_t(i * 3), uint8_t(255 - i), uint8_t(i * 7)});
    return p;
}

// Bits, the first at bit 7 of each byte.
struct BitWriter {
    Bytes out;
    int used = 8;
    void put(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (used == 8) {
                out.push_back(0);
                used = 0;
            }
            out.back() |= uint8_t((v >> i & 1) << (7 - used++));
        }
    }
    void ones(int n) { put((1u << n) - 1, n); }
};

void le(Bytes &b, uint32_t v, int n)
{
    for (int i = 0; i < n; i++)
        b.push_back(uint8_t(v >> (8 * i)));
}

void be(Bytes &b, uint32_t v, int n)
{
    for (int i = n - 1; i >= 0; i--)
        b.push_back(uint8_t(v >> (8 * i)));
}

// MAG, 256 colours, from x1 = 0: every word the first of the copy codes
// that repeats it, else a word of the pixel data.
Bytes encodeMag(const Picture &p)
{
    const int wd = p.w / 2, cells = wd / 2;
    std::vector<uint16_t> w(size_t(wd) * p.h);
    for (size_t t = 0; t < w.size(); t++)
        w[t] = uint16_t(p.px[2 * t] | p.px[2 * t + 1] << 8);
    static const int dx[16] = {0, 1, 2, 4, 0, 1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0};
    static const int dy[16] = {0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16};
    static const int order[15] = {4, 1, 5, 6, 2, 7, 8, 9, 3, 10, 11, 12, 13, 14, 15};
    Bytes a((size_t(cells) * p.h + 7) / 8), b, pix;
    std::vector<uint8_t> above(size_t(cells), 0);
    size_t bit = 0;
    for (int r = 0; r < p.h; r++) {
        for (int c = 0; c < cells; c++, bit++) {
            int codes[2];
            for (int i = 0; i < 2; i++) {
                long t = long(r) * wd + 2 * c + i;
                codes[i] = 0;
                for (int k : order) {
                    long s = t - dy[k] * wd - dx[k];
                    if (s >= 0 && w[size_t(s)] == w[size_t(t)]) {
                        codes[i] = k;
                        break;
                    }
                }
                if (codes[i] == 0)
                    le(pix, w[size_t(t)], 2);
            }
            uint8_t f = uint8_t(codes[0] << 4 | codes[1]);
            if (f != above[size_t(c)]) {
                a[bit / 8] |= uint8_t(0x80 >> (bit % 8));
                b.push_back(f ^ above[size_t(c)]);
                above[size_t(c)] = f;
            }
        }
    }
    if (a.size() % 2)
        a.push_back(0);
    if (b.size() % 2)
        b.push_back(0);
    Bytes f = {'M', 'A', 'K', 'I', '0', '2', ' ', ' ', 'B', 'N', 'C', 'H'};
    f.resize(30, ' ');
    f.push_back(0x1A);
    Bytes head = {0, 0, 0, 0x80};
    le(head, 0, 4);
    le(head, uint32_t(p.w - 1), 2);
    le(head, uint32_t(p.h - 1), 2);
    uint32_t offA = 32 + 768, offB = offA + uint32_t(a.size()), offP = offB + uint32_t(b.size());
    for (uint32_t v : {offA, offB, uint32_t(b.size()), offP, uint32_t(pix.size())})
        le(head, v, 4);
    f.insert(f.end(), head.begin(), head.end());
    for (int i = 0; i < 256; i++)
        f.insert(f.end(), {p.pal[3 * i + 1], p.pal[3 * i], p.pal[3 * i + 2]});
    for (const Bytes *s : {&a, &b, &pix})
        f.insert(f.end(), s->begin(), s->end());
    return f;
}

// Pi, 256 colours: the longest copy of the five places wherever one
// repeats a pair, colours where none does.
Bytes encodePi(const Picture &p)
{
    const long w = p.w, n = long(p.px.size());
    std::vector<uint8_t> buf(size_t(2 * w + n));
    uint8_t *px = buf.data() + 2 * w;
    for (long i = 0; i < n; i++)
        px[i] = uint8_t(p.px[size_t(i)]);
    for (long i = -2 * w; i < 0; i++)
        px[i] = px[i & 1]; // the rows above repeat the first two pixels
    static uint8_t lists[256][256];
    for (int c = 0; c < 256; c++)
        for (int k = 0; k < 256; k++)
            lists[c][k] = uint8_t(c - k);
    BitWriter out;
    auto colour = [&](uint8_t left, uint8_t c) {
        uint8_t *l = lists[left];
        int k = int(std::find(l, l + 256, c) - l);
        std::memmove(l + 1, l, size_t(k));
        l[0] = c;
        if (k < 2) {
            out.put(2 | uint32_t(k), 2);
            return;
        }
        int j = 0;
        while ((4 << j) <= k)
            j++;
        out.put(0, 1);
        out.ones(j);
        if (j < 6)
            out.put(0, 1);
        out.put(uint32_t(k - (2 << j)), j + 1);
    };
    auto pairs = [&](long at, int q) { // pairs a copy from place q repeats
        long d = q == 0 ? (px[at - 2] == px[at - 1] ? 2 : 4) : q == 1 ? w : q == 2 ? 2 * w : q == 3 ? w - 1 : w + 1;
        long i = at;
        while (i < n && px[i] == px[i - d])
            i++;
        return (i - at + (i == n)) / 2;
    };
    static const uint32_t code[5] = {0, 1, 2, 6, 7};
    static const int bits[5] = {2, 2, 2, 3, 3};
    colour(0, px[0]);
    colour(px[0], px[1]);
    long at = 0;
    int last = -1;
    while (at < n) {
        int best = -1;
        long len = 0;
        for (int q = 0; q < 5; q++) {
            long l = q == last ? 0 : pairs(at, q);
            if (l > len)
                len = l, best = q;
        }
        if (best >= 0) {
            out.put(code[best], bits[best]);
            int j = 0;
            while ((2l << j) <= len)
                j++;
            out.ones(j);
            out.put(0, 1);
            if (j > 0)
                out.put(uint32_t(len - (1l << j)), j);
            at += 2 * len;
            last = best;
            continue;
        }
        out.put(code[last], bits[last]);
        for (;;) {
            colour(px[at - 1], px[at]);
            if (++at == n)
                break;
            colour(px[at - 1], px[at]);
            if (++at == n)
                break;
            bool copy = false;
            for (int q = 0; q < 5 && !copy; q++)
                copy = pairs(at, q) > 0;
            out.put(copy ? 0 : 1, 1);
            if (copy)
                break;
        }
        last = -1;
    }
    out.put(0, 32);
    Bytes f = {'P', 'i', 'B', 'N', 'C', 'H', 0x1A, 0, 0, 0, 0, 8, 'B', 'N', 'C', 'H', 0, 0};
    be(f, uint32_t(p.w), 2);
    be(f, uint32_t(p.h), 2);
    f.insert(f.end(), p.pal.begin(), p.pal.end());
    f.insert(f.end(), out.out.begin(), out.out.end());
    return f;
}

// X68000 PIC in 15-bit colour: change points with their distances and the
// colour cache, and chains down through the dots that change to the same
// colour.
Bytes encodePic(const Picture &p)
{
    const long w = p.w, n = long(p.px.size());
    std::vector<bool> marked(static_cast<size_t>(n));
    uint32_t slot[128] = {};
    std::vector<int> recent = {0}; // most recent first
    for (int s = 127; s >= 1; s--)
        recent.push_back(s);
    BitWriter out;
    auto length = [&](long l) {
        int k = 0;
        while ((4l << k) - 1 <= l)
            k++;
        out.ones(k);
        out.put(0, 1);
        out.put(uint32_t(l - ((2l << k) - 1)), k + 1);
    };
    uint32_t c = 0;
    long last = -1;
    for (long i = 0; i < n; i++) {
        const uint32_t v = p.px[size_t(i)];
        if (marked[size_t(i)] || v == c) {
            c = v;
            continue;
        }
        length(i - last);
        last = i;
        c = v;
        int s = int(std::find(slot, slot + 128, v) - slot);
        if (s < 128 && std::find(recent.begin(), recent.end(), s) != recent.end()) {
            out.put(128 | uint32_t(s), 8);
        } else {
            s = recent.back();
            slot[s] = v;
            out.put(0, 1);
            out.put(v, 15);
        }
        recent.erase(std::find(recent.begin(), recent.end(), s));
        recent.insert(recent.begin(), s);
        // Follow the edge down while a dot below starts the same colour.
        static const int ds[5] = {0, -1, 1, -2, 2};
        static const uint32_t codes[5] = {2, 1, 3, 2, 3};
        static const int widths[5] = {2, 2, 2, 4, 4};
        std::vector<int> steps;
        for (long q = i;;) {
            int k = 0;
            for (; k < 5; k++) {
                long t = q + w + ds[k];
                if (t < n && !marked[size_t(t)] && p.px[size_t(t)] == v && p.px[size_t(t) - 1] != v)
                    break;
            }
            if (k == 5)
                break;
            q += w + ds[k];
            marked[size_t(q)] = true;
            steps.push_back(k);
        }
        out.put(steps.empty() ? 0 : 1, 1);
        for (int k : steps)
            out.put(codes[k], widths[k]);
        if (!steps.empty())
            out.put(0, 3);
    }
    length(n - last);
    out.put(0, 16);
    Bytes f = {'P', 'I', 'C', 'B', 0x1A, 0, 0, 0};
    be(f, 15, 2);
    be(f, uint32_t(p.w), 2);
    be(f, uint32_t(p.h), 2);
    f.insert(f.end(), out.out.begin(), out.out.end());
    return f;
}

void pngWrite(png_structp png, png_bytep data, png_size_t len)
{
    auto *b = static_cast<Bytes *>(png_get_io_ptr(png));
    b->insert(b->end(), data, data + len);
}

void pngFlush(png_structp) {}

// The picture as libpng saves it by default: a palette picture, or 8-bit
// RGB from the 15-bit codes.
Bytes encodePng(const Picture &p, Bytes *rows)
{
    const bool direct = p.pal.empty();
    const size_t stride = size_t(p.w) * (direct ? 3 : 1);
    rows->resize(stride * size_t(p.h));
    for (size_t i = 0; i < p.px.size(); i++) {
        uint32_t v = p.px[i];
        if (!direct) {
            (*rows)[i] = uint8_t(v);
            continue;
        }
        auto five = [](uint32_t c) { return uint8_t(c << 3 | c >> 2); };
        (*rows)[3 * i] = five(v >> 5 & 31);
        (*rows)[3 * i + 1] = five(v >> 10 & 31);
        (*rows)[3 * i + 2] = five(v & 31);
    }
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        fprintf(stderr, "libpng could not write\n");
        std::exit(1);
    }
    png_set_write_fn(png, &out, pngWrite, pngFlush);
    png_set_IHDR(png, info, png_uint_32(p.w), png_uint_32(p.h), 8, direct ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!direct)
        png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(p.pal.data()), 256);
    png_write_info(png, info);
    for (int y = 0; y < p.h; y++)
        png_write_row(png, rows->data() + stride * size_t(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

struct PngInput {
    const Bytes *b;
    size_t pos;
};

void pngRead(png_structp png, png_bytep data, png_size_t len)
{
    auto *in = static_cast<PngInput *>(png_get_io_ptr(png));
    if (len > in->b->size() - in->pos)
        png_error(png, "short");
    std::memcpy(data, in->b->data() + in->pos, len);
    in->pos += len;
}

// libpng's decode of a PNG into rows, as a program reading it would.
bool pngDecode(const Bytes &file, Bytes *rows)
{
    PngInput in{&file, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &in, pngRead);
    png_read_info(png, info);
    size_t stride = png_get_rowbytes(png, info);
    rows->resize(stride * png_get_image_height(png, info));
    for (png_uint_32 y = 0; y < png_get_image_height(png, info); y++)
        png_read_row(png, rows->data() + stride * y, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// A plug-in's decode from memory, as the rows a PNG holds (top-down,
// unpadded): indexes, or R G B.
bool spiDecode(GetPictureFn get, const Bytes &file, Bytes *rows)
{
    HLOCAL hInfo = nullptr, hBm = nullptr;
    if (get(reinterpret_cast<char *>(const_cast<unsigned char *>(file.data())), long(file.size()), SPI_INPUT_MEMORY,
            &hInfo, &hBm, nullptr, 0) != SPI_ALL_RIGHT)
        return false;
    if (rows != nullptr) {
        BITMAPINFOHEADER bi;
        std::memcpy(&bi, LocalLock(hInfo), sizeof bi);
        auto *bits = static_cast<const unsigned char *>(LocalLock(hBm));
        const size_t px = bi.biBitCount / 8u, stride = (size_t(bi.biWidth) * bi.biBitCount + 31) / 32 * 4;
        rows->clear();
        for (long y = bi.biHeight - 1; y >= 0; y--) {
            const unsigned char *r = bits + stride * size_t(y);
            for (long x = 0; x < bi.biWidth; x++, r += px)
                if (px == 1)
                    rows->push_back(r[0]);
                else
                    rows->insert(rows->end(), {r[2], r[1], r[0]});
        }
        LocalUnlock(hInfo);
        LocalUnlock(hBm);
    }
    LocalFree(hInfo);
    LocalFree(hBm);
    return true;
}

// Processor time of the fastest of `runs` runs, each of `reps` calls, per
// call: what the rest of the shared machine does counts little.
double bestSeconds(int runs, int reps, const std::function<void()> &fn)
{
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        std::clock_t t0 = std::clock();
        for (int k = 0; k < reps; k++)
            fn();
        best = std::min(best, double(std::clock() - t0) / CLOCKS_PER_SEC / reps);
    }
    return best;
}

// GetPicture of the plug-in `name` in the plug-in directory, or null.
GetPictureFn loadPlugin(const char *name)
{
    HMODULE lib = LoadLibraryA((std::string(VEXEL_SPI_DIR) + "/" + name).c_str());
    auto get = lib ? reinterpret_cast<GetPictureFn>(GetProcAddress(lib, "GetPicture")) : nullptr;
    if (get == nullptr)
        fprintf(stderr, "cannot load %s from %s\n", name, VEXEL_SPI_DIR);
    return get;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    // The C library keeps what is freed, rather than give it back to the
    // system and fault it in again on the next decode: whether it does
    // otherwise depends on what was freed before, and costs a picture of
    // this size about 0.1 ms, which would measure the allocator.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    Picture indexed = makePicture(640, 400, false), direct = makePicture(512, 512, true);
    struct Case {
        const char *name, *spi;
        const Picture *pic;
        Bytes (*encode)(const Picture &);
    } cases[] = {{"MAG 640x400x256", "ifmag.spi", &indexed, encodeMag},
                 {"Pi 640x400x256", "ifpi.spi", &indexed, encodePi},
                 {"PIC 512x512x15", "ifpic.spi", &direct, encodePic}};
    GetPictureFn ifpng = loadPlugin("ifpng.spi");
    if (ifpng == nullptr)
        return 1;
    printf("processor time per decode in ms, best of %d runs\n\n", runs);
    printf("%-16s %8s %7s %8s %8s %8s %10s %10s\n", "picture", "file KB", "PNG KB", "plug-in", "libpng", "ifpng",
           "/ libpng", "/ ifpng");
    int failed = 0;
    for (const Case &c : cases) {
        if (argc > 2 && std::strncmp(c.name, argv[2], std::strlen(argv[2])) != 0)
            continue;
        GetPictureFn get = loadPlugin(c.spi);
        if (get == nullptr)
            return 1;
        Bytes file = c.encode(*c.pic), want, png = encodePng(*c.pic, &want), got, pngRows, spiRows;
        if (!spiDecode(get, file, &got) || got != want || !pngDecode(png, &pngRows) || pngRows != want ||
            !spiDecode(ifpng, png, &spiRows) || spiRows != want) {
            fprintf(stderr, "%s: a decode differs from the picture\n", c.name);
            failed = 1;
            continue;
        }
        double tPlugin = 0, tPng = 0, tIfpng = 0;
        // Alternated, so that all see the same state of the machine.
        for (int i = 0; i < 2; i++) {
            tPlugin = bestSeconds(runs, 20, [&] { spiDecode(get, file, nullptr); });
            tPng = bestSeconds(runs, 20, [&] { pngDecode(png, &pngRows); });
            tIfpng = bestSeconds(runs, 20, [&] { spiDecode(ifpng, png, nullptr); });
        }
        printf("%-16s %8.1f %7.1f %8.2f %8.2f %8.2f %9.2fx %9.2fx\n", c.name, file.size() / 1024.0,
               png.size() / 1024.0, tPlugin * 1e3, tPng * 1e3, tIfpng * 1e3, tPlugin / tPng, tPlugin / tIfpng);
    }
    printf("\nlibpng: libpng itself, into one buffer kept from decode to decode; ifpng: the PNG\n"
           "plug-in through GetPicture, which, like the plug-in measured, makes a new picture\n"
           "each time. Ratios below 1: the plug-in is faster.\n");
    return failed;
}
