// Placeholder until the native reader is built.
#include "input/input.h"

#include "support/msg.h"

int readBitmap(int, const char *path, HLOCAL *, HLOCAL *)
{
    errmsg("%s: reader not built yet\n", path);
    return -1;
}

HLOCAL makeBitmapInfo(const unsigned char *, const unsigned char *, int, int)
{
    return nullptr;
}
