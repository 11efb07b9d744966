// libFuzzer target over the native reader: each input is read as a BMP, a
// BM2 and an IMP file. A picture that reads is written back as BMP, and a
// 24-bit one also as IMP, which must read back with the same pixels.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input/input.h"
#include "output/output.h"
#include "support/mem.h"

namespace {

std::string inPath, bmpPath, impPath;

// Pictures up to this size are written back; larger ones only cost time.
constexpr long kWriteLimit = 1 << 20;

void writeInput(const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(inPath.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
}

void checkImpRoundTrip(HLOCAL info, HLOCAL bits)
{
    auto *bi = static_cast<BITMAPINFO *>(getmemAdr(info));
    auto *px = static_cast<unsigned char *>(getmemAdr(bits));
    if (writeBitmap(bi, px, impPath.c_str(), getmemSize(info), getmemSize(bits)) != 0)
        return;
    HLOCAL info2 = nullptr, bits2 = nullptr;
    if (readBitmap(2, impPath.c_str(), &info2, &bits2) != 0)
        std::abort(); // the reader refuses what the writer wrote
    const BITMAPINFOHEADER &a = bi->bmiHeader;
    int64_t row = (int64_t(a.biWidth) * 3 + 3) / 4 * 4;
    auto *px2 = static_cast<unsigned char *>(getmemAdr(bits2));
    for (int64_t y = 0; a.biWidth > 0 && y < a.biHeight; y++) {
        if (std::memcmp(px + y * row, px2 + y * row, size_t(a.biWidth) * 3) != 0)
            std::abort(); // pixels changed on the way
    }
    LocalFree(info2);
    LocalFree(bits2);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Memory-backed files where there are any: the reader wants a path.
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string base = dir + "/vexel-bmp-fuzz-" + std::to_string(getpid());
    inPath = base + ".in";
    bmpPath = base + ".bmp";
    impPath = base + ".imp";
    vexel_msgout = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeInput(data, size);
    for (int type = 0; type <= 2; type++) {
        HLOCAL info = nullptr, bits = nullptr;
        if (readBitmap(type, inPath.c_str(), &info, &bits) != 0)
            continue;
        if (getmemSize(bits) <= kWriteLimit) {
            auto *bi = static_cast<BITMAPINFO *>(getmemAdr(info));
            writeBitmap(bi, static_cast<unsigned char *>(getmemAdr(bits)), bmpPath.c_str(), getmemSize(info),
                        getmemSize(bits));
            if (bi->bmiHeader.biBitCount == 24)
                checkImpRoundTrip(info, bits);
        }
        LocalFree(info);
        LocalFree(bits);
    }
    // Nothing stays behind, even when a later input ends the run.
    std::remove(inPath.c_str());
    std::remove(bmpPath.c_str());
    std::remove(impPath.c_str());
    return 0;
}
