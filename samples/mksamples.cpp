// mksamples: writes the project's sample pictures into a directory.
//   mksamples <dir>
// GIF, JPEG, TIFF and PNG through the codec libraries, and BMP in each
// of its common forms (24-bit, 8/4/1-bit palette, RLE8, RLE4).
#include <cmath>
#include <cstdio>
#include <string>

#include "encoders.h"

namespace {

// A smooth picture: red across, green down, blue in rings.
RawPicture photo(int w, int h)
{
    RawPicture p(w, h, 3);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double dx = x - w / 2.0, dy = y - h / 2.0;
            double d = std::sqrt(dx * dx + dy * dy);
            p.at(x, y, 0) = uint16_t(x * 255 / (w - 1));
            p.at(x, y, 1) = uint16_t(y * 255 / (h - 1));
            p.at(x, y, 2) = uint16_t(127.5 + 127.5 * std::cos(d / 12.0));
        }
    }
    return p;
}

// A palette of n colours running from deep blue over green to orange.
std::vector<uint8_t> ramp(int n)
{
    std::vector<uint8_t> pal;
    for (int i = 0; i < n; i++) {
        double t = n > 1 ? double(i) / (n - 1) : 0.0;
        pal.push_back(uint8_t(255 * t));
        pal.push_back(uint8_t(255 * std::sin(3.14159265 * t)));
        pal.push_back(uint8_t(255 * (1 - t)));
    }
    return pal;
}

// Indexes of a diagonal ramp with n levels, and a frame of index 0.
RawPicture indexed(int w, int h, int n, int bits)
{
    RawPicture p(w, h, 1, bits);
    p.palette = ramp(n);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            bool frame = x < 2 || y < 2 || x >= w - 2 || y >= h - 2;
            p.at(x, y) = frame ? 0 : uint16_t((x + y) * n / (w + h));
        }
    }
    return p;
}

// Flat areas with a few hard edges: what run-length coding is for.
RawPicture blocks(int w, int h, int n, int bits)
{
    RawPicture p(w, h, 1, bits);
    p.palette = ramp(n);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            int v = ((x / 24) + (y / 16)) % n;
            if ((x * 7 + y * 3) % 97 < 3)
                v = (v + n / 2) % n; // some single pixels that break the runs
            p.at(x, y) = uint16_t(v);
        }
    }
    return p;
}

RawPicture scan(int w, int h)
{
    RawPicture p(w, h, 1);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            int paper = 235 - y / 12;
            bool ink = (y % 18) < 4 && (x / 6) % 5 != 4 && x > 16 && x < w - 16;
            p.at(x, y) = uint16_t(ink ? 30 : paper);
        }
    }
    return p;
}

RawPicture logo(int w, int h)
{
    RawPicture p(w, h, 4);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double dx = x - w / 2.0 + 0.5, dy = y - h / 2.0 + 0.5;
            double d = std::sqrt(dx * dx + dy * dy) / (w / 2.0);
            double a = d < 0.9 ? 1.0 : d < 1.0 ? (1.0 - d) * 10 : 0.0;
            p.at(x, y, 0) = uint16_t(40 + 200 * (1 - d > 0 ? 1 - d : 0));
            p.at(x, y, 1) = uint16_t(d < 0.5 ? 200 : 90);
            p.at(x, y, 2) = 220;
            p.at(x, y, 3) = uint16_t(255 * a);
        }
    }
    return p;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mksamples <dir>\n");
        return 2;
    }
    std::string dir = argv[1];
    if (!dir.empty() && dir.back() != '/')
        dir += '/';

    GifOptions gif;
    gif.interlace = true;
    JpegOptions jpg;
    jpg.densityUnit = 1;
    jpg.xDensity = 72;
    jpg.yDensity = 72;
    TiffOptions tif;
    tif.compression = 5; // LZW
    tif.xResolution = 300;
    tif.yResolution = 300;
    PngOptions png;
    png.xPelsPerMeter = 2835;
    png.yPelsPerMeter = 2835;

    RawPicture mono = indexed(97, 61, 2, 1);
    for (int y = 0; y < mono.height; y++) {
        for (int x = 0; x < mono.width; x++)
            mono.at(x, y) = uint16_t(((x / 8) + (y / 8)) & 1);
    }
    mono.palette = {0, 0, 0, 255, 255, 255};

    struct Sample {
        const char *name;
        std::vector<uint8_t> bytes;
    } samples[] = {
        {"gradient.gif", encodeGif(indexed(256, 160, 256, 8), gif)},
        {"photo.jpg", encodeJpeg(photo(320, 240), jpg)},
        {"scan.tif", encodeTiff(scan(240, 180), tif)},
        {"logo.png", encodePng(logo(128, 128), png)},
        {"rgb24.bmp", encodeBmp(photo(161, 97))},
        {"pal8.bmp", encodeBmp(indexed(150, 90, 256, 8))},
        {"pal4.bmp", encodeBmp(indexed(123, 77, 16, 4))},
        {"mono1.bmp", encodeBmp(mono)},
        {"rle8.bmp", encodeBmp(blocks(200, 120, 256, 8), 1)},
        {"rle4.bmp", encodeBmp(blocks(171, 100, 16, 4), 2)},
    };
    int status = 0;
    for (const Sample &s : samples) {
        std::string path = dir + s.name;
        if (s.bytes.empty() || !writeFileBytes(path, s.bytes)) {
            std::fprintf(stderr, "mksamples: cannot write %s\n", path.c_str());
            status = 1;
        }
    }
    return status;
}
