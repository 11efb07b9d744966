// The Windows facilities this program is built on: local memory, modules,
// file attributes and the bitmap records. On Windows they come from the
// system; elsewhere posix.cpp provides equivalents with the same contracts.
// The part that plug-ins share with the host (the types, the bitmap records
// and local memory) is declared in plugins/spi.h, the header plug-ins
// build against: on POSIX they resolve the local-memory functions against
// the host process, so a picture allocated by a plug-in is released by the
// host with the very same allocator.
#ifndef VEXEL_PLATFORM_WINAPI_H
#define VEXEL_PLATFORM_WINAPI_H

#include "plugins/spi.h"

#ifndef _WIN32

typedef void *HMODULE;
typedef void (*FARPROC)(void);
typedef const char *LPCSTR;

#define WINAPI

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// Modules, over the dynamic loader.
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE h, LPCSTR name);
BOOL FreeLibrary(HMODULE h);

// File attributes: INVALID_FILE_ATTRIBUTES when the path does not exist.
DWORD GetFileAttributesA(LPCSTR path);

#endif // !_WIN32

#endif
