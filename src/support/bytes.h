// Little-endian fields of file headers, read and written byte by byte so
// that neither the host's byte order nor alignment matters.
#ifndef VEXEL_SUPPORT_BYTES_H
#define VEXEL_SUPPORT_BYTES_H

#include <cstdint>

inline uint16_t getLE16(const unsigned char *p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t getLE32(const unsigned char *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline int32_t getLE32s(const unsigned char *p)
{
    return int32_t(getLE32(p));
}

inline void putLE16(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void putLE32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Size arithmetic on values taken from files: 64-bit, with the result
// checked against the limit the caller can hold.
inline bool mulSize(int64_t a, int64_t b, int64_t limit, int64_t *out)
{
    if (a < 0 || b < 0)
        return false;
    if (a != 0 && b > limit / a)
        return false;
    *out = a * b;
    return true;
}

inline bool addSize(int64_t a, int64_t b, int64_t limit, int64_t *out)
{
    if (a < 0 || b < 0 || a > limit - b)
        return false;
    *out = a + b;
    return true;
}

#endif
