/* The interface of vexel's image plug-ins, for the host and for the
 * plug-ins themselves (installed as <vexel/spi.h>; C or C++).
 *
 * A plug-in is a loadable library named if<key>.spi that reads one picture
 * format; vexel gives it the input files whose extension is <key>. It
 * exports the four entry points declared at the end of this file. A
 * picture goes to the host as a DIB pair: two local-memory blocks from
 * LocalAlloc, the first holding a BITMAPINFOHEADER and then the colour
 * table (biClrUsed entries, or 1 << biBitCount when that is 0, for 1, 4 and
 * 8 bits per pixel; none for 24), the second the pixel rows, bottom-up,
 * each padded to a multiple of 4 bytes. Once GetPicture returns
 * SPI_ALL_RIGHT both blocks belong to the host, which releases them with
 * LocalFree; on any other result the host touches neither.
 *
 * On Windows the types and the local memory are the system's own. On
 * POSIX systems this header declares the same types and records, and a
 * plug-in takes the local-memory functions from the host process when it
 * is loaded: build it as a shared module that leaves them undefined
 * (g++ -shared -fPIC), so that a block it allocates is released by the
 * host with the same allocator.
 */
#ifndef VEXEL_SPI_H
#define VEXEL_SPI_H

#ifdef __cplusplus
#define SPI_EXTERN_C extern "C"
#else
#define SPI_EXTERN_C extern
#endif

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define SPI_API __stdcall
#define SPI_EXPORT SPI_EXTERN_C __declspec(dllexport)
#else

#include <stddef.h>
#include <stdint.h>

#define SPI_API
#define SPI_EXPORT SPI_EXTERN_C __attribute__((visibility("default")))

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef void *HLOCAL;
typedef void *LPVOID;

#define TRUE 1
#define FALSE 0

#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define BI_RGB 0
#define BI_RLE8 1
#define BI_RLE4 2
#define BI_BITFIELDS 3

#pragma pack(push, 1)
typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;           /* 40 */
    LONG biWidth;
    LONG biHeight;          /* rows are stored bottom-up */
    WORD biPlanes;          /* 1 */
    WORD biBitCount;        /* bits per pixel */
    DWORD biCompression;    /* BI_RGB */
    DWORD biSizeImage;      /* bytes of pixel rows, or 0 */
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;        /* colour table entries, 0 for all */
    DWORD biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO;
#pragma pack(pop)

/* Local memory, provided by the host. Every block is movable: the handle
 * is not the address; LocalLock gives the address. As on Windows, a block
 * comes cleared only when asked (LMEM_ZEROINIT, as in LHND). */
#define VEXEL_HOST_API SPI_EXTERN_C __attribute__((visibility("default")))
VEXEL_HOST_API HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
VEXEL_HOST_API LPVOID LocalLock(HLOCAL hMem);
VEXEL_HOST_API BOOL LocalUnlock(HLOCAL hMem);
VEXEL_HOST_API HLOCAL LocalFree(HLOCAL hMem); /* null on success */
VEXEL_HOST_API SIZE_T LocalSize(HLOCAL hMem);

#endif /* _WIN32 */

#ifdef __cplusplus
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER must be 40 bytes");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD must be 4 bytes");
#endif

/* Results of GetPicture and GetPictureInfo. */
enum {
    SPI_ALL_RIGHT = 0,
    SPI_ABORT = 1,          /* the progress callback asked to stop */
    SPI_NOT_SUPPORT = 2,    /* unknown format */
    SPI_OUT_OF_ORDER = 3,   /* broken data */
    SPI_NO_MEMORY = 4,      /* a block could not be allocated */
    SPI_MEMORY_ERROR = 5,   /* a block could not be locked */
    SPI_FILE_READ_ERROR = 6,
    SPI_OTHER_ERROR = 8     /* internal error */
};

/* flag of GetPicture and GetPictureInfo: its low three bits say where the
 * input is. */
enum {
    SPI_INPUT_FILE = 0,   /* buf names a file, len is the offset in it */
    SPI_INPUT_MEMORY = 1  /* buf holds the file's bytes, len is their count */
};

#pragma pack(push, 1)
typedef struct PictureInfo {
    LONG left, top;   /* where the picture lies on its screen */
    LONG width;
    LONG height;
    WORD x_density;   /* pixels per unit, when the file says */
    WORD y_density;
    short colorDepth; /* bits per pixel */
    HLOCAL hInfo;     /* text information of the file, or null */
} PictureInfo;
#pragma pack(pop)

/* Called now and then with progress nNum of nDenom; a non-zero result asks
 * the plug-in to stop with SPI_ABORT. */
typedef int(SPI_API *SPI_PROGRESS)(int nNum, int nDenom, long lData);

/* The entry points. vexel calls GetPluginInfo(0, buf, 10) once after
 * loading and wants a non-zero result and a version text whose third
 * character is 'I' ("00IN"); then GetPicture(path, 0, SPI_INPUT_FILE,
 * &info, &bits, NULL, 0) for each input file. IsSupported must be
 * exported; GetPictureInfo may be. */

/* Writes text number infono (0 the version, 1 the name, then pairs of
 * file pattern and description) into buf, at most buflen bytes; returns
 * the count written, 0 for no such text. */
SPI_EXPORT int SPI_API GetPluginInfo(int infono, char *buf, int buflen);
/* Non-zero when the file is of this format. dw below 0x10000 is an open
 * file (a descriptor on POSIX, a HANDLE on Windows); otherwise it points at
 * the first 2 KB of the file. */
SPI_EXPORT int SPI_API IsSupported(char *filename, DWORD_PTR dw);
/* Fills in *lpInfo from the file's header. */
SPI_EXPORT int SPI_API GetPictureInfo(char *buf, long len, unsigned int flag, PictureInfo *lpInfo);
/* Decodes the picture into a new DIB pair: *pHBInfo the header and colour
 * table, *pHBm the pixel rows. */
SPI_EXPORT int SPI_API GetPicture(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                  SPI_PROGRESS lpPrgressCallback, long lData);

/* The same, as the host finds them in a loaded library. */
#ifdef __cplusplus
extern "C" {
#endif
typedef int(SPI_API *GetPluginInfoFn)(int infono, char *buf, int buflen);
typedef int(SPI_API *IsSupportedFn)(char *filename, DWORD_PTR dw);
typedef int(SPI_API *GetPictureInfoFn)(char *buf, long len, unsigned int flag, PictureInfo *lpInfo);
typedef int(SPI_API *GetPictureFn)(char *buf, long len, unsigned int flag, HLOCAL *pHBInfo, HLOCAL *pHBm,
                                   SPI_PROGRESS lpPrgressCallback, long lData);
#ifdef __cplusplus
}
#endif

#endif
