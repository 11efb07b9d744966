// Placeholder until run-length decoding is built.
#include "input/input.h"

int decodeRle8(const unsigned char *, int, unsigned char *, int, int)
{
    return 0;
}

int decodeRle4(const unsigned char *, int, unsigned char *, int, int)
{
    return 0;
}
