// The Susie image plug-in interface: the four entry points of an if*.spi
// library, its PictureInfo record and its result codes. Shared by the host
// and by the plug-ins themselves.
#ifndef VEXEL_PLUGINS_SPI_H
#define VEXEL_PLUGINS_SPI_H

#include "platform/winapi.h"

#ifdef _WIN32
#define SPI_API __stdcall
#define SPI_EXPORT extern "C" __declspec(dllexport)
#else
#define SPI_API
#define SPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Result codes of GetPicture and GetPictureInfo.
enum {
    SPI_ALL_RIGHT = 0,
    SPI_ABORT = 1,          // the progress callback asked to stop
    SPI_NOT_SUPPORT = 2,    // unknown format
    SPI_OUT_OF_ORDER = 3,   // broken data
    SPI_NO_MEMORY = 4,      // a block could not be allocated
    SPI_MEMORY_ERROR = 5,   // a block could not be locked
    SPI_FILE_READ_ERROR = 6,
    SPI_OTHER_ERROR = 8     // internal error
};

// flag bits of GetPicture and GetPictureInfo: the low three bits say where
// the input is.
enum {
    SPI_INPUT_FILE = 0,   // buf names a file, len is the offset in it
    SPI_INPUT_MEMORY = 1  // buf holds the file's bytes, len is their count
};

#pragma pack(push, 1)
typedef struct PictureInfo {
    LONG left, top;  // where the picture lies on its screen
    LONG width;
    LONG height;
    WORD x_density;  // pixels per unit, when the file says
    WORD y_density;
    short colorDepth; // bits per pixel
    HLOCAL hInfo;    // text information of the file, or null
} PictureInfo;
#pragma pack(pop)

// Called now and then with progress nNum of nDenom; a non-zero result asks
// the plug-in to stop with SPI_ABORT.
typedef int(SPI_API *SPI_PROGRESS)(int nNum, int nDenom, long lData);

extern "C" {
typedef int(SPI_API *GetPluginInfoFn)(int infono, char *buf, int buflen);
// dw below 0x10000 is an open file (a descriptor on POSIX, a HANDLE on
// Windows); otherwise it points at the first 2 KB of the file.
typedef int(SPI_API *IsSupportedFn)(char *filename, DWORD_PTR dw);
typedef int(SPI_API *GetPictureInfoFn)(char *buf, long len, unsigned int flag, PictureInfo *lpInfo);
typedef int(SPI_API *GetPictureFn)(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo,
                                   HLOCAL *pHBm, SPI_PROGRESS lpPrgressCallback, long lData);
}

#endif
