// Placeholder until the bitmap writer is built.
#include "output/output.h"

#include "support/msg.h"

int write_chk = 0;

int writeBitmap(BITMAPINFO *, unsigned char *, const char *path, long, long)
{
    errmsg("%s: writer not built yet\n", path);
    return 1;
}

unsigned char *convHeader(const BITMAPINFOHEADER *, int)
{
    static unsigned char h[54];
    return h;
}

unsigned char *convHeader2(const BITMAPINFOHEADER *)
{
    static unsigned char h[47];
    return h;
}
