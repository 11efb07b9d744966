// Speed of the IMP coder against the reference QOI codec and memcpy, on
// three made-up pictures: photo-like, screenshot-like and noise, or on a
// picture file. The coder runs its real path: write_data into a FILE that
// lives in memory, and read_data from one, with the vector kernels and
// with the portable code alone. Every decode is checked against the
// original.
//
// Usage: imp_bench [runs [photo|screenshot|noise|FILE]]
//   best of runs (default 5); all three made-up pictures by default. FILE
//   is a 24-bit BMP or a binary PPM (P6, 8-bit samples).

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

#include "imp/imp.h"
#include "imp/kernels.h"
#include "input/input.h"
#include "support/bytes.h"

#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

namespace {

struct Picture {
    std::string name;
    int width, height;
    std::vector<unsigned char> bits; // 24-bit rows, bottom-up; widths are multiples of 4
};

// xorshift: quick, deterministic pseudo-random numbers.
struct Rng {
    uint64_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 32);
    }
    int range(int lo, int hi) { return lo + int(next() % uint32_t(hi - lo + 1)); }
};

unsigned char clamp8(double v)
{
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Smooth light and colour, mid-scale texture from a coarse random grid,
// a few objects with hard edges, and a little sensor noise.
Picture makePhoto()
{
    Picture p{"photo", 4000, 3000, {}};
    p.bits.resize(size_t(p.width) * p.height * 3);
    Rng rng{0x9E3779B97F4A7C15ull};
    const int cell = 24;
    int gw = p.width / cell + 2, gh = p.height / cell + 2;
    std::vector<float> grid(size_t(gw) * gh);
    for (float &g : grid)
        g = float(rng.range(-30, 30));
    struct Disc {
        int x, y, r;
        double b, g, rr;
    };
    std::vector<Disc> discs;
    for (int i = 0; i < 40; i++)
        discs.push_back({rng.range(0, p.width), rng.range(0, p.height), rng.range(50, 500),
                         double(rng.range(0, 255)), double(rng.range(0, 255)),
                         double(rng.range(0, 255))});
    for (int y = 0; y < p.height; y++) {
        for (int x = 0; x < p.width; x++) {
            double fx = double(x) / p.width, fy = double(y) / p.height;
            double b = 90 + 80 * std::sin(3.1 * fx + 1.3 * fy);
            double g = 110 + 70 * std::cos(2.3 * fy - 0.7 * fx);
            double r = 120 + 60 * std::sin(4.0 * fx * fy + 0.5);
            for (const Disc &d : discs) {
                long dx = x - d.x, dy = y - d.y;
                if (dx * dx + dy * dy < long(d.r) * d.r) {
                    b = 0.5 * b + 0.5 * d.b;
                    g = 0.5 * g + 0.5 * d.g;
                    r = 0.5 * r + 0.5 * d.rr;
                }
            }
            int gx = x / cell, gy = y / cell;
            double tx = double(x % cell) / cell, ty = double(y % cell) / cell;
            double t = (1 - ty) * ((1 - tx) * grid[size_t(gy) * gw + gx] + tx * grid[size_t(gy) * gw + gx + 1]) +
                       ty * ((1 - tx) * grid[size_t(gy + 1) * gw + gx] + tx * grid[size_t(gy + 1) * gw + gx + 1]);
            unsigned char *o = &p.bits[(size_t(y) * p.width + x) * 3];
            o[0] = clamp8(b + t + rng.range(-3, 3));
            o[1] = clamp8(g + t + rng.range(-3, 3));
            o[2] = clamp8(r + t * 0.8 + rng.range(-3, 3));
        }
    }
    return p;
}

void fillRect(Picture &p, int x0, int y0, int w, int h, int b, int g, int r)
{
    for (int y = std::max(y0, 0); y < std::min(y0 + h, p.height); y++) {
        for (int x = std::max(x0, 0); x < std::min(x0 + w, p.width); x++) {
            unsigned char *o = &p.bits[(size_t(y) * p.width + x) * 3];
            o[0] = uint8_t(b);
            o[1] = uint8_t(g);
            o[2] = uint8_t(r);
        }
    }
}

// A desktop: flat background, windows with gradient title bars, lines of
// anti-aliased glyphs and a few colourful icons.
Picture makeScreenshot()
{
    Picture p{"screenshot", 3840, 2160, {}};
    p.bits.resize(size_t(p.width) * p.height * 3);
    Rng rng{12345};
    fillRect(p, 0, 0, p.width, p.height, 160, 120, 60);
    std::vector<uint8_t> glyphs(64 * 7 * 5);
    for (auto &g : glyphs)
        g = uint8_t(rng.range(0, 2) == 0 ? 255 : rng.range(0, 3) == 0 ? 128 : 0);
    for (int w = 0; w < 9; w++) {
        int wx = rng.range(0, p.width - 900), wy = rng.range(0, p.height - 700);
        int ww = rng.range(500, 1400), wh = rng.range(300, 900);
        fillRect(p, wx, wy, ww, wh, 250, 250, 250);
        for (int y = 0; y < 30; y++)
            fillRect(p, wx, wy + y, ww, 1, 200 - 2 * y, 140 - y, 60 + y);
        // Text: 9-pixel glyph cells on 14-pixel lines.
        for (int ly = wy + 40; ly + 8 < wy + wh && ly + 8 < p.height; ly += 14) {
            int len = rng.range(10, ww / 9);
            for (int c = 0; c < len; c++) {
                int gx = wx + 8 + c * 9;
                if (gx + 6 >= std::min(wx + ww, p.width))
                    break;
                if (rng.range(0, 6) == 0)
                    continue; // a space
                const uint8_t *gl = &glyphs[size_t(rng.range(0, 63)) * 35];
                for (int y = 0; y < 7; y++) {
                    for (int x = 0; x < 5; x++) {
                        unsigned ink = gl[y * 5 + x];
                        if (ink == 0)
                            continue;
                        unsigned char *o = &p.bits[(size_t(ly + y) * p.width + gx + x) * 3];
                        for (int k = 0; k < 3; k++)
                            o[k] = uint8_t(o[k] - (o[k] - 20) * ink / 255);
                    }
                }
            }
        }
    }
    for (int i = 0; i < 60; i++) {
        int ix = rng.range(0, p.width - 48), iy = rng.range(0, p.height - 48);
        for (int y = 0; y < 48; y++)
            for (int x = 0; x < 48; x++) {
                unsigned char *o = &p.bits[(size_t(iy + y) * p.width + ix + x) * 3];
                o[0] = uint8_t(x * 5 + i);
                o[1] = uint8_t(y * 5);
                o[2] = uint8_t(rng.range(100, 140));
            }
    }
    return p;
}

Picture makeNoise()
{
    Picture p{"noise", 2048, 1536, {}};
    p.bits.resize(size_t(p.width) * p.height * 3);
    Rng rng{777};
    for (auto &b : p.bits)
        b = uint8_t(rng.next() >> 24);
    return p;
}

// The width is cut to a multiple of 4, so that rows have no padding for
// QOI to stumble on; a few columns make no difference to the speed.
bool readPpm(const char *path, Picture &p)
{
    FILE *fp = fopen(path, "rb");
    if (fp == nullptr)
        return false;
    // "P6", width, height, maxval, each after white space or comments.
    auto number = [fp]() {
        int c = fgetc(fp);
        while (c == '#' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (c == '#')
                while (c != '\n' && c != EOF)
                    c = fgetc(fp);
            c = fgetc(fp);
        }
        long v = 0;
        for (; c >= '0' && c <= '9' && v < 100000; c = fgetc(fp))
            v = v * 10 + (c - '0');
        return v; // the one white-space character after it is gone too
    };
    bool ok = fgetc(fp) == 'P' && fgetc(fp) == '6';
    long w = ok ? number() : 0, h = ok ? number() : 0, maxval = ok ? number() : 0;
    ok = ok && w >= 4 && h >= 1 && w <= 65535 && h <= 65535 && maxval == 255;
    std::vector<unsigned char> row(size_t(w) * 3);
    if (ok) {
        p.width = int(w & ~3L);
        p.height = int(h);
        p.bits.resize(size_t(p.width) * p.height * 3);
        // Top row first in the file, bottom row first in the picture; RGB to BGR.
        for (long y = h - 1; ok && y >= 0; y--) {
            ok = fread(row.data(), 1, row.size(), fp) == row.size();
            unsigned char *o = &p.bits[size_t(y) * p.width * 3];
            for (int x = 0; x < p.width; x++) {
                o[3 * x] = row[3 * x + 2];
                o[3 * x + 1] = row[3 * x + 1];
                o[3 * x + 2] = row[3 * x];
            }
        }
    }
    fclose(fp);
    return ok;
}

// A 24-bit BMP through the program's own reader, cut like a PPM.
bool readBmp(const char *path, Picture &p)
{
    HLOCAL info = nullptr, bits = nullptr;
    if (readBitmap(0, path, &info, &bits) != 0)
        return false;
    auto *bih = static_cast<BITMAPINFOHEADER *>(LocalLock(info));
    auto *px = static_cast<const unsigned char *>(LocalLock(bits));
    bool ok = bih->biBitCount == 24 && bih->biWidth >= 4 && bih->biHeight != 0;
    if (ok) {
        size_t stride = (size_t(bih->biWidth) * 3 + 3) / 4 * 4;
        p.width = bih->biWidth & ~3;
        p.height = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
        p.bits.resize(size_t(p.width) * p.height * 3);
        for (int y = 0; y < p.height; y++)
            std::memcpy(&p.bits[size_t(y) * p.width * 3], px + y * stride, size_t(p.width) * 3);
    } else {
        fprintf(stderr, "%s: a 24-bit BMP is needed\n", path);
    }
    LocalFree(info);
    LocalFree(bits);
    return ok;
}

Picture readPicture(const char *path)
{
    const char *slash = strrchr(path, '/');
    Picture p{slash ? slash + 1 : path, 0, 0, {}};
    size_t n = strlen(path);
    bool bmp = n > 4 && (!strcmp(path + n - 4, ".bmp") || !strcmp(path + n - 4, ".BMP"));
    if (!(bmp ? readBmp(path, p) : readPpm(path, p))) {
        fprintf(stderr, "%s: cannot read the picture (24-bit BMP or binary PPM)\n", path);
        std::exit(1);
    }
    return p;
}

// The stream of p, through write_data into a FILE in memory, with the
// kernels or (scalar set) the portable code alone.
long impEncode(const Picture &p, std::vector<unsigned char> &file, int scalar)
{
    imp_scalar = scalar;
    FILE *fp = fmemopen(file.data(), file.size(), "w+");
    if (fp == nullptr) {
        perror("fmemopen");
        std::exit(1);
    }
    unsigned char header[54] = {'B', '2'};
    putLE32(header + 18, uint32_t(p.width));
    putLE32(header + 22, uint32_t(p.height));
    fwrite(header, 1, 54, fp);
    if (write_data(fp, "bench.bm2", header, p.bits.data(), nullptr, 24) != 0) {
        fprintf(stderr, "write_data failed\n");
        std::exit(1);
    }
    fclose(fp);
    return long(getLE32(header + 2)) - 54;
}

// Decodes the stream held in fp, a temporary file: read_data takes it as
// it takes an IMP file, from the system's cache with one copy. (A FILE in
// memory would add a second copy through its own buffer.)
void impDecode(const Picture &p, FILE *fp, long len, std::vector<unsigned char> &out, int scalar)
{
    imp_scalar = scalar;
    rewind(fp);
    unsigned char header[54] = {'B', '2'};
    putLE32(header + 18, uint32_t(p.width));
    putLE32(header + 22, uint32_t(p.height));
    if (read_data(fp, out.data(), header, len, long(out.size())) != 0) {
        fprintf(stderr, "read_data failed\n");
        std::exit(1);
    }
}

void row(const char *pic, const char *codec, double mpix, double enc, double dec, double size,
         double bytes)
{
    printf("%-11s %-7s %10.1f %10.1f %10.2f %9.1f%%\n", pic, codec, mpix / enc, mpix / dec,
           size / 1e6, 100.0 * size / bytes);
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const char *only = argc > 2 ? argv[2] : nullptr;
    std::vector<Picture> pics;
    bool made = !only || !strcmp(only, "photo") || !strcmp(only, "screenshot") || !strcmp(only, "noise");
    if (!made)
        pics.push_back(readPicture(only));
    if (!only || !strcmp(only, "photo"))
        pics.push_back(makePhoto());
    if (!only || !strcmp(only, "screenshot"))
        pics.push_back(makeScreenshot());
    if (!only || !strcmp(only, "noise"))
        pics.push_back(makeNoise());

    printf("best of %d runs, processor time; MP/s = million pixels per second\n", runs);
    printf("IMP: the %s kernels; IMP-ref: the portable code alone\n\n", impKernelName());
    printf("%-11s %-7s %10s %10s %10s %10s\n", "picture", "codec", "enc MP/s", "dec MP/s", "size MB",
           "of raw");
    std::vector<std::string> ratios;
    for (const Picture &p : pics) {
        size_t bytes = p.bits.size();
        double mpix = double(p.width) * p.height / 1e6;

        // The streams to decode, each codec's own, checked once.
        std::vector<unsigned char> file(54 + bytes / 24 * 25 + 64), stream;
        long len = 0;
        for (int scalar : {1, 0}) {
            len = impEncode(p, file, scalar);
            if (scalar) {
                stream.assign(file.begin() + 54, file.begin() + 54 + len);
            } else if (!std::equal(stream.begin(), stream.end(), file.begin() + 54)) {
                fprintf(stderr, "%s: the kernels' stream differs\n", p.name.c_str());
                return 1;
            }
        }
        FILE *streamFile = tmpfile();
        if (streamFile == nullptr || fwrite(stream.data(), 1, stream.size(), streamFile) != stream.size()) {
            perror("tmpfile");
            return 1;
        }
        qoi_desc desc = {unsigned(p.width), unsigned(p.height), 3, QOI_SRGB};
        int qlen = 0;
        void *q = qoi_encode(p.bits.data(), &desc, &qlen), *qe = nullptr, *qd = nullptr;

        // The codecs take turns in every run, so that a busy moment of the
        // machine falls on all of them alike; the best run of each counts.
        // Times are processor time of the process, not wall time, so that
        // other work on a shared machine counts as little as it can.
        std::vector<unsigned char> copy(bytes, 0), out(bytes, 0), outRef(bytes, 0);
        struct Job {
            std::function<void()> fn;
            double best;
        };
        Job jobs[] = {
            {[&] { std::memcpy(copy.data(), p.bits.data(), bytes); }, 1e30},
            {[&] { impEncode(p, file, 0); }, 1e30},
            {[&] { impDecode(p, streamFile, len, out, 0); }, 1e30},
            {[&] { impEncode(p, file, 1); }, 1e30},
            {[&] { impDecode(p, streamFile, len, outRef, 1); }, 1e30},
            {[&] {
                 free(qe);
                 qe = qoi_encode(p.bits.data(), &desc, &qlen);
             }, 1e30},
            {[&] {
                 qoi_desc d;
                 free(qd);
                 qd = qoi_decode(q, qlen, &d, 3);
             }, 1e30},
        };
        for (int r = 0; r < runs; r++) {
            for (Job &j : jobs) {
                std::clock_t t0 = std::clock();
                j.fn();
                std::clock_t t1 = std::clock();
                j.best = std::min(j.best, double(t1 - t0) / CLOCKS_PER_SEC);
            }
        }
        imp_scalar = 0;
        if (out != p.bits || outRef != p.bits) {
            fprintf(stderr, "%s: IMP round trip differs\n", p.name.c_str());
            return 1;
        }
        if (qd == nullptr || std::memcmp(qd, p.bits.data(), bytes) != 0) {
            fprintf(stderr, "%s: QOI round trip differs\n", p.name.c_str());
            return 1;
        }
        fclose(streamFile);
        free(q);
        free(qe);
        free(qd);
        double tcopy = jobs[0].best, tenc[2] = {jobs[1].best, jobs[3].best},
               tdec[2] = {jobs[2].best, jobs[4].best}, tqenc = jobs[5].best, tqdec = jobs[6].best;

        char label[300];
        snprintf(label, sizeof label, "%s %dx%d", p.name.c_str(), p.width, p.height);
        printf("%s\n", label);
        row("", "IMP", mpix, tenc[0], tdec[0], double(len), double(bytes));
        row("", "IMP-ref", mpix, tenc[1], tdec[1], double(len), double(bytes));
        row("", "QOI", mpix, tqenc, tqdec, double(qlen), double(bytes));
        row("", "memcpy", mpix, tcopy, tcopy, double(bytes), double(bytes));
        char r[400];
        snprintf(r, sizeof r, "%-11s IMP/QOI encode %.2fx, decode %.2fx; IMP decode %.2f GB/s of pixels",
                 p.name.substr(0, 11).c_str(), tqenc / tenc[0], tqdec / tdec[0], double(bytes) / tdec[0] / 1e9);
        ratios.push_back(r);
    }
    printf("\n");
    for (const std::string &r : ratios)
        printf("%s\n", r.c_str());
    return 0;
}
