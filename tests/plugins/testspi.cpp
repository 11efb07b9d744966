// A Susie plug-in for the host's tests, built in several variants: its
// version text, its GetPluginInfo result and its exports are chosen at
// compile time; what GetPicture does is chosen by the first word of the
// input file, so one library covers every result the host tells apart.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugins/spi.h"

#ifndef SPI_INFO_RESULT
#define SPI_INFO_RESULT 1
#endif

namespace {

int calls;

// Successes: "0" a sound 2 x 2 pair, the others a pair the host cannot
// use. info: the size of the info block (0 none), with a 24-bit header of
// width x height when it has room; bits: its size, 0 none, -1 the info
// block again, -2 a made-up handle that is no block.
struct Pair { const char *word; long info; LONG width, height; long bits; };

const Pair pairs[] = {
    {"0", 40, 2, 2, 16},         {"noinfo", 0, 0, 0, 16},     {"nobits", 40, 2, 2, 0},
    {"shortinfo", 20, 2, 2, 16}, {"shortbits", 40, 2, -2, 15}, {"hugebits", 40, 0x7fffffff, -0x7fffffff - 1, 8},
    {"same", 40, 2, 2, -1},      {"stray", 40, 2, 2, -2},
};

HLOCAL block(long size) { return size > 0 ? LocalAlloc(LHND, SIZE_T(size)) : nullptr; }

} // namespace

// strncpy leaves a ten-character text unterminated in a buffer of ten.
SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen)
{
    if (infono != 0 || buflen <= 0)
        return 0;
    std::strncpy(buf, SPI_VERSION, size_t(buflen));
    return SPI_INFO_RESULT;
}

#ifndef SPI_NO_ISSUPPORTED
SPI_EXPORT int SPI_API IsSupported(char *, DWORD_PTR) { return 0; }
#endif

// Any other word is read as a number and returned as the result.
SPI_EXPORT int SPI_API GetPicture(char *buf, long, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm, SPI_PROGRESS,
                                  long)
{
    calls++;
    FILE *fp = (flag & 7) == SPI_INPUT_FILE ? std::fopen(buf, "rb") : nullptr;
    if (fp == nullptr)
        return SPI_FILE_READ_ERROR;
    char word[32] = {0};
    std::fscanf(fp, "%31s", word);
    std::fclose(fp);
    for (const Pair &p : pairs) {
        if (std::strcmp(word, p.word) != 0)
            continue;
        *pHBInfo = block(p.info);
        if (p.info >= long(sizeof(BITMAPINFOHEADER))) {
            auto *bh = static_cast<BITMAPINFOHEADER *>(LocalLock(*pHBInfo));
            bh->biWidth = p.width;
            bh->biHeight = p.height;
            bh->biBitCount = 24;
            LocalUnlock(*pHBInfo);
        }
        *pHBm = p.bits == -2 ? HLOCAL(0x10) : p.bits < 0 ? *pHBInfo : block(p.bits);
        return SPI_ALL_RIGHT;
    }
    return std::atoi(word);
}

// For the tests: how often GetPicture was called.
SPI_EXPORT int probeCalls() { return calls; }
