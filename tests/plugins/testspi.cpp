// A Susie plug-in for the host's tests, built in several variants: its
// version text, its GetPluginInfo result and its exports are chosen at
// compile time; what GetPicture does is chosen by the first word of the
// input file, so one library covers every result the host tells apart.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugins/spi.h"

#ifndef SPI_INFO_RESULT
#define SPI_INFO_RESULT int(sizeof SPI_VERSION - 1)
#endif

namespace {

int calls;
long lastLen = -1;
unsigned int lastFlag = 99;
int lastProgress = -1;
long lastData = -1;

HLOCAL block(SIZE_T size)
{
    return LocalAlloc(LHND, size);
}

// A 2 x 2 24-bit picture: one row of 6 bytes padded to 8, bottom-up.
HLOCAL pictureInfo(LONG width, LONG height)
{
    HLOCAL h = block(sizeof(BITMAPINFOHEADER));
    auto *bh = static_cast<BITMAPINFOHEADER *>(LocalLock(h));
    bh->biSize = sizeof(BITMAPINFOHEADER);
    bh->biWidth = width;
    bh->biHeight = height;
    bh->biPlanes = 1;
    bh->biBitCount = 24;
    bh->biCompression = BI_RGB;
    LocalUnlock(h);
    return h;
}

HLOCAL pictureBits(SIZE_T size)
{
    HLOCAL h = block(size);
    auto *p = static_cast<unsigned char *>(LocalLock(h));
    for (SIZE_T i = 0; i < size; i++)
        p[i] = static_cast<unsigned char>(i * 7 + 1);
    LocalUnlock(h);
    return h;
}

} // namespace

SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen)
{
    const char *text = infono == 0 ? SPI_VERSION : infono == 1 ? "vexel test plug-in" : nullptr;
    if (text == nullptr || buflen <= 0)
        return 0;
    int n = int(std::strlen(text));
#ifdef SPI_NO_TERMINATOR
    // Fills the buffer to its length, as some plug-ins do.
    if (n > buflen)
        n = buflen;
    std::memcpy(buf, text, size_t(n));
    return SPI_INFO_RESULT;
#else
    if (n > buflen - 1)
        n = buflen - 1;
    std::memcpy(buf, text, size_t(n));
    buf[n] = '\0';
    return infono == 0 ? SPI_INFO_RESULT : n;
#endif
}

#ifndef SPI_NO_ISSUPPORTED
SPI_EXPORT int SPI_API IsSupported(char *, DWORD_PTR)
{
    return 0;
}
#endif

SPI_EXPORT int SPI_API GetPictureInfo(char *, long, unsigned int, PictureInfo *)
{
    return SPI_NOT_SUPPORT;
}

// The file's first word decides: a number is returned as the result (0
// with a valid picture), a name asks for one kind of faulty success.
SPI_EXPORT int SPI_API GetPicture(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                  SPI_PROGRESS progress, long lData)
{
    calls++;
    lastLen = len;
    lastFlag = flag;
    lastProgress = progress != nullptr;
    lastData = lData;

    FILE *fp = std::fopen(buf, "rb");
    if (fp == nullptr)
        return SPI_FILE_READ_ERROR;
    char word[32] = {0};
    int got = std::fscanf(fp, "%31s", word);
    std::fclose(fp);
    if (got != 1)
        return SPI_OUT_OF_ORDER;

    if (std::strcmp(word, "noinfo") == 0) {
        *pHBm = pictureBits(8 * 2);
        return SPI_ALL_RIGHT;
    }
    if (std::strcmp(word, "nobits") == 0) {
        *pHBInfo = pictureInfo(2, 2);
        return SPI_ALL_RIGHT;
    }
    if (std::strcmp(word, "shortinfo") == 0) {
        *pHBInfo = block(20);
        *pHBm = pictureBits(8 * 2);
        return SPI_ALL_RIGHT;
    }
    if (std::strcmp(word, "shortbits") == 0) {
        *pHBInfo = pictureInfo(2, -2);
        *pHBm = pictureBits(8 * 2 - 1);
        return SPI_ALL_RIGHT;
    }
    if (std::strcmp(word, "hugebits") == 0) {
        *pHBInfo = pictureInfo(0x7fffffff, -0x7fffffff - 1);
        *pHBm = pictureBits(8);
        return SPI_ALL_RIGHT;
    }
    if (std::strcmp(word, "same") == 0) {
        *pHBInfo = *pHBm = pictureInfo(2, 2);
        return SPI_ALL_RIGHT;
    }
    char *end = nullptr;
    long result = std::strtol(word, &end, 10);
    if (end == word || *end != '\0')
        return SPI_NOT_SUPPORT;
    if (result == SPI_ALL_RIGHT) {
        *pHBInfo = pictureInfo(2, 2);
        *pHBm = pictureBits(8 * 2);
    }
    return int(result);
}

// For the tests: how often GetPicture was called, and with what.
SPI_EXPORT int probeCalls(long *len, unsigned int *flag, int *progress, long *lData)
{
    *len = lastLen;
    *flag = lastFlag;
    *progress = lastProgress;
    *lData = lastData;
    return calls;
}
