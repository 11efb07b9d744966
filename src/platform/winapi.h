// The Windows facilities this program is built on: local memory, modules,
// file attributes and the bitmap records. On Windows they come from the
// system; elsewhere posix.cpp provides equivalents with the same contracts.
// Plug-ins include this header too: on POSIX they resolve the local-memory
// functions against the host process, so a picture allocated by a plug-in
// is released by the host with the very same allocator.
#ifndef VEXEL_PLATFORM_WINAPI_H
#define VEXEL_PLATFORM_WINAPI_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else

#include <cstddef>
#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef void *HLOCAL;
typedef void *HMODULE;
typedef void *LPVOID;
typedef void (*FARPROC)(void);
typedef const char *LPCSTR;

#define WINAPI
#define TRUE 1
#define FALSE 0

#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#define BI_RGB 0
#define BI_RLE8 1
#define BI_RLE4 2
#define BI_BITFIELDS 3

#pragma pack(push, 1)
typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
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

#define VEXEL_HOST_API extern "C" __attribute__((visibility("default")))

// Local memory. Every block is movable: the handle is not the address.
VEXEL_HOST_API HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
VEXEL_HOST_API LPVOID LocalLock(HLOCAL hMem);
VEXEL_HOST_API BOOL LocalUnlock(HLOCAL hMem);
VEXEL_HOST_API HLOCAL LocalFree(HLOCAL hMem); // null on success
VEXEL_HOST_API SIZE_T LocalSize(HLOCAL hMem);

// Modules, over the dynamic loader.
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE h, LPCSTR name);
BOOL FreeLibrary(HMODULE h);

// File attributes: INVALID_FILE_ATTRIBUTES when the path does not exist.
DWORD GetFileAttributesA(LPCSTR path);

#endif // _WIN32

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER must be 40 bytes");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD must be 4 bytes");

#endif
