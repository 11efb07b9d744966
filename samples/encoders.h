// Encoders for the sample pictures and the tests: GIF, JPEG, TIFF and PNG
// written through giflib, libjpeg, libtiff and libpng, and BMP (plain and
// run-length coded) written by hand. Each returns the file's bytes, empty
// when the library refused the picture.
#ifndef VEXEL_SAMPLES_ENCODERS_H
#define VEXEL_SAMPLES_ENCODERS_H

#include <cstdint>
#include <string>
#include <vector>

// A picture in memory: rows top-down, `channels` samples per pixel, one
// value per sample whatever the bit depth.
struct RawPicture {
    int width = 0;
    int height = 0;
    int channels = 3;              // 1 grey or index, 2 grey+alpha, 3 RGB, 4 RGBA or CMYK
    int bits = 8;                  // bits per sample: 1, 2, 4, 8 or 16
    std::vector<uint16_t> samples; // width * height * channels values
    std::vector<uint8_t> palette;  // RGB triplets; non-empty for indexed pictures

    RawPicture() = default;
    RawPicture(int w, int h, int ch, int b = 8)
        : width(w), height(h), channels(ch), bits(b), samples(size_t(w) * size_t(h) * size_t(ch))
    {
    }
    uint16_t &at(int x, int y, int c = 0)
    {
        return samples[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)];
    }
    uint16_t at(int x, int y, int c = 0) const
    {
        return samples[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)];
    }
};

struct GifOptions {
    bool interlace = false;
    int screenWidth = 0;  // 0: the picture's size
    int screenHeight = 0;
    int left = 0;         // where the image lies on the screen
    int top = 0;
    int background = 0;
    bool localMap = false; // the colour map goes with the image, not the screen
    std::vector<uint8_t> screenMap = {}; // with localMap: RGB triplets of a screen map too
};
// p: one channel of indexes, palette of up to 256 entries.
std::vector<uint8_t> encodeGif(const RawPicture &p, const GifOptions &o = GifOptions());

struct JpegOptions {
    int quality = 90;
    bool progressive = false;
    bool fullChroma = false; // 4:4:4 instead of 4:2:0
    bool ycck = false;       // four-channel pictures stored as YCCK
    int densityUnit = 0;     // 0 aspect only, 1 per inch, 2 per cm
    int xDensity = 1;
    int yDensity = 1;
};
// p: 1 grey, 3 RGB or 4 CMYK channels of 8 bits (CMYK stored as given).
std::vector<uint8_t> encodeJpeg(const RawPicture &p, const JpegOptions &o = JpegOptions());

struct TiffOptions {
    int compression = 1;     // a libtiff COMPRESSION_ value
    int photometric = -1;    // -1: from the picture (palette, grey or RGB)
    bool tiled = false;      // 16x16 tiles
    bool separate = false;   // one plane per channel
    int rowsPerStrip = 0;    // 0: the library's choice
    int orientation = 1;
    bool alpha = false;      // the last channel is alpha
    bool associated = false; // ... premultiplied (associated), not unassociated
    int sampleFormat = 1;    // 1 unsigned, 2 signed, 3 floating point
    std::vector<uint16_t> colormap = {}; // 16-bit map entries, red then green then blue; else the palette's
    float xResolution = 0;   // written with the unit when non-zero
    float yResolution = 0;
    int resolutionUnit = 2;
};
// p: 1 to 4 channels of 1 to 16 bits; a palette makes a palette TIFF.
std::vector<uint8_t> encodeTiff(const RawPicture &p, const TiffOptions &o = TiffOptions());

struct PngOptions {
    bool interlace = false;
    uint32_t xPelsPerMeter = 0; // pHYs in metres when non-zero
    uint32_t yPelsPerMeter = 0;
};
// p: 1 to 4 channels of 1 to 16 bits; a palette makes a palette PNG.
std::vector<uint8_t> encodePng(const RawPicture &p, const PngOptions &o = PngOptions());

// BMP: 3 channels give a 24-bit file; one channel of indexes with a
// palette gives 1, 4 or 8 bits per pixel (p.bits). compression 1 (RLE8)
// and 2 (RLE4) code the rows by runs.
std::vector<uint8_t> encodeBmp(const RawPicture &p, int compression = 0);

bool writeFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

#endif
