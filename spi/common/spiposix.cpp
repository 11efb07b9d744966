// What the shared plug-in code needs from a POSIX system.
#include "spicommon.h"

#include <unistd.h>

size_t spiReadStart(DWORD_PTR file, unsigned char *buf, size_t size)
{
    // pread leaves the descriptor's offset alone
    ssize_t n = pread(int(file), buf, size, 0);
    return n > 0 ? size_t(n) : 0;
}

int64_t spiSeek(FILE *f, int64_t offset, int whence)
{
    if (fseeko(f, off_t(offset), whence) != 0)
        return -1;
    return int64_t(ftello(f));
}
