// libFuzzer driver for one image plug-in, linked with the plug-in's own
// sources: every input goes through the four entry points from memory, as a
// host hands over a file it has read. A picture that decodes must be a pair
// the host can use: a whole header and rows as large as it says.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plugins/spi.h"

namespace {

// Stops the decode at the second progress call for inputs whose last byte
// asks for it, so that the abort paths are fuzzed too.
int SPI_API stopEarly(int num, int, long stop)
{
    return stop != 0 && num > 0;
}

void checkPair(HLOCAL hInfo, HLOCAL hBits)
{
    if (hInfo == nullptr || hBits == nullptr || LocalSize(hInfo) < sizeof(BITMAPINFOHEADER))
        std::abort();
    BITMAPINFOHEADER bh;
    std::memcpy(&bh, LocalLock(hInfo), sizeof bh);
    LocalUnlock(hInfo);
    int64_t h = bh.biHeight < 0 ? -int64_t(bh.biHeight) : int64_t(bh.biHeight);
    int64_t row = (int64_t(bh.biWidth) * bh.biBitCount + 31) / 32 * 4;
    if (bh.biWidth <= 0 || h <= 0 || int64_t(LocalSize(hBits)) < row * h)
        std::abort();
    if (bh.biBitCount <= 8 &&
        LocalSize(hInfo) < sizeof(BITMAPINFOHEADER) + size_t(bh.biClrUsed) * sizeof(RGBQUAD))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // IsSupported reads the first 2 KB of the file: always hand it that much.
    unsigned char head[2048] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    IsSupported(const_cast<char *>("fuzz"), reinterpret_cast<DWORD_PTR>(head));

    char *buf = reinterpret_cast<char *>(const_cast<uint8_t *>(data));
    PictureInfo info;
    GetPictureInfo(buf, long(size), SPI_INPUT_MEMORY, &info);

    HLOCAL hInfo = nullptr, hBits = nullptr;
    long stop = size > 0 && data[size - 1] == 0xA5;
    if (GetPicture(buf, long(size), SPI_INPUT_MEMORY, &hInfo, &hBits, stopEarly, stop) == SPI_ALL_RIGHT) {
        checkPair(hInfo, hBits);
        LocalFree(hInfo);
        LocalFree(hBits);
    }
    return 0;
}
