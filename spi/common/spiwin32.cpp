// What the shared plug-in code needs from Windows.
#include <windows.h>

#include "spicommon.h"

size_t spiReadStart(DWORD_PTR file, unsigned char *buf, size_t size)
{
    // An open file: its first bytes, wherever it stands, and it is left
    // standing there.
    HANDLE h = reinterpret_cast<HANDLE>(file);
    LARGE_INTEGER zero = {}, at;
    DWORD got = 0;
    if (!SetFilePointerEx(h, zero, &at, FILE_CURRENT) || !SetFilePointerEx(h, zero, nullptr, FILE_BEGIN))
        return 0;
    if (!ReadFile(h, buf, DWORD(size), &got, nullptr))
        got = 0;
    SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    return got;
}

int64_t spiSeek(FILE *f, int64_t offset, int whence)
{
    if (_fseeki64(f, offset, whence) != 0)
        return -1;
    return _ftelli64(f);
}
