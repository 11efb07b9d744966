// The four exported entry points of a default plug-in, over the format
// record that the plug-in's own source defines.
#include "common/spicommon.h"

SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen)
{
    return spiPluginInfo(spiFormat.texts, infono, buf, buflen);
}

SPI_EXPORT int SPI_API IsSupported(char *, DWORD_PTR dw)
{
    return spiIsSupported(spiFormat, dw);
}

SPI_EXPORT int SPI_API GetPictureInfo(char *buf, long len, unsigned int flag, PictureInfo *lpInfo)
{
    return spiGetPictureInfo(spiFormat, buf, len, flag, lpInfo);
}

SPI_EXPORT int SPI_API GetPicture(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                  SPI_PROGRESS lpPrgressCallback, long lData)
{
    return spiGetPicture(spiFormat, buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}
