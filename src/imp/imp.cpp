// Placeholder until the IMP coder is built.
#include "imp/imp.h"

char *impInfoData = nullptr;
int impInfoDataId = 1000;
int impInfoData_setFlg = 1;

int write_data(FILE *, const char *, unsigned char *, const unsigned char *, const BITMAPINFO *, int)
{
    return -1;
}

int write_bits(FILE *, const unsigned char *, int)
{
    return -1;
}

int write_data2(FILE *, const char *, unsigned char *, const unsigned char *)
{
    return -1;
}

int read_data(FILE *, unsigned char *, const unsigned char *, long, long)
{
    return -1;
}
