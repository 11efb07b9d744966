// Helpers for the tests of the default plug-ins: loading one from the build
// tree, decoding through it, and the checks every handed-over DIB pair must
// pass.
#ifndef VEXEL_TESTS_SPI_PLUGIN_H
#define VEXEL_TESTS_SPI_PLUGIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/spi.h"

// One default plug-in, loaded with LoadLibraryA from VEXEL_SPI_DIR.
struct SpiPlugin {
    HMODULE h = nullptr;
    GetPluginInfoFn info = nullptr;
    IsSupportedFn supported = nullptr;
    GetPictureInfoFn pictureInfo = nullptr;
    GetPictureFn picture = nullptr;

    explicit SpiPlugin(const std::string &file); // e.g. "ifgif.spi"
    ~SpiPlugin();
    SpiPlugin(const SpiPlugin &) = delete;
    SpiPlugin &operator=(const SpiPlugin &) = delete;
    bool loaded() const { return h && info && supported && pictureInfo && picture; }
};

// A picture as a plug-in handed it over, copied out of the pair, which is
// then freed.
struct SpiPicture {
    int rc = -1;
    int width = 0;
    int height = 0;
    int bitCount = 0;
    int32_t xppm = 0;
    int32_t yppm = 0;
    std::vector<RGBQUAD> table;
    std::vector<uint8_t> pixels; // rows top-down: indexes or RGB triplets
    std::string fault;           // what the pair got wrong, empty when nothing

    // RGB triplets of every pixel, top-down, through the table if any.
    std::vector<uint8_t> rgb() const;
};

// GetPicture on the bytes of a file: flag 1 hands them over in memory;
// flag 0 writes them to a scratch file after `offset` filler bytes and
// passes its path with that offset.
SpiPicture spiDecode(const SpiPlugin &p, const std::vector<uint8_t> &file, unsigned flag = 1,
                     SPI_PROGRESS progress = nullptr, long lData = 0, long offset = 0);

// A scratch file with the given bytes, removed at the end of scope.
struct SpiTempFile {
    std::string path;
    explicit SpiTempFile(const std::vector<uint8_t> &bytes);
    ~SpiTempFile();
};

// Where two RGB pictures first differ, for the failure message; empty when
// they are equal.
std::string spiFirstDifference(const std::vector<uint8_t> &want, const std::vector<uint8_t> &got, int width);

// Deterministic pseudo-random bytes for pictures and corruptions.
struct SpiRandom {
    uint32_t state;
    explicit SpiRandom(uint32_t seed) : state(seed * 2654435761u + 1) {}
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    int below(int n) { return int(next() % uint32_t(n)); }
};

#endif
