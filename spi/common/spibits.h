// Reading a byte range as a stream of bits, most significant bit of each
// byte first, for the plug-ins whose formats are bit streams. Reading past
// the end gives zero bits and sets `over`, which the caller tests where it
// is convenient: a run of zeros ends every code these formats have, so a
// decoder never loops on them.
#ifndef VEXEL_SPI_BITS_H
#define VEXEL_SPI_BITS_H

#include <cstddef>
#include <cstdint>

struct SpiBits {
    const unsigned char *p;   // next byte not yet in acc
    const unsigned char *end;
    uint64_t acc = 0;         // the coming bits, first at the top
    int have = 0;             // bits in acc
    bool over = false;        // a bit past the end was asked for

    SpiBits(const unsigned char *begin, const unsigned char *stop) : p(begin), end(stop) {}

    // Tops acc up to at least 56 bits, or to the end of the range. With 8
    // bytes left they are loaded at once: the part of a byte that does not
    // fit lands below `have` and is the same when that byte comes in whole.
    void fill()
    {
        if (end - p >= 8) {
            // big-endian, written out so that compilers make one load of it
            uint64_t v = uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
                         uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | p[7];
            acc |= v >> have;
            int take = (63 - have) >> 3;
            p += take;
            have += take * 8;
            return;
        }
        while (have <= 56 && p < end) {
            acc |= uint64_t(*p++) << (56 - have);
            have += 8;
        }
    }

    // The next n bits (1 to 32) as a number, the first bit the highest.
    uint32_t get(int n)
    {
        if (have < n) {
            fill();
            if (have < n) {
                over = true;
                have = n; // the missing bits read as zeros
            }
        }
        uint32_t v = uint32_t(acc >> (64 - n));
        acc <<= n;
        have -= n;
        return v;
    }

    uint32_t bit() { return get(1); }

    // The coming bits without taking them, the first at bit 63: at least 56
    // of them while the range lasts, and zeros past its end. Codes that are
    // quicker to decode from a window take their bits with skip(), which
    // must not be asked for more than 56 at a time.
    uint64_t window()
    {
        fill();
        return acc;
    }

    void skip(int n)
    {
        if (n > have) {
            over = true;
            acc = 0;
            have = 0;
            return;
        }
        acc <<= n;
        have -= n;
    }
};

#endif
