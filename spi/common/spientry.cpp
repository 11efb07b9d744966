// The four exported entry points of a default plug-in, over the format
// record that the plug-in's own source defines. Nothing a codec library or
// the C++ runtime throws leaves them: running out of memory is the memory
// result, anything else the failure result.
#include <new>

#include "common/spicommon.h"

namespace {

template <class F>
int guarded(F call)
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return SPI_NO_MEMORY;
    } catch (...) {
        return SPI_OTHER_ERROR;
    }
}

} // namespace

SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen)
{
    // Copies a constant text; nothing here can throw.
    return spiPluginInfo(spiFormat.texts, infono, buf, buflen);
}

SPI_EXPORT int SPI_API IsSupported(char *, DWORD_PTR dw)
{
    // 0 says "not this format", which is all a failure can mean here.
    int r = guarded([&] { return spiIsSupported(spiFormat, dw); });
    return r == 1 ? 1 : 0;
}

SPI_EXPORT int SPI_API GetPictureInfo(char *buf, long len, unsigned int flag, PictureInfo *lpInfo)
{
    return guarded([&] { return spiGetPictureInfo(spiFormat, buf, len, flag, lpInfo); });
}

SPI_EXPORT int SPI_API GetPicture(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                  SPI_PROGRESS lpPrgressCallback, long lData)
{
    return guarded([&] {
        return spiGetPicture(spiFormat, buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
    });
}
