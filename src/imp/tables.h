// Shuffle tables of the IMP kernels (imp_x86.cpp, imp_neon.cpp), one
// definition for both families: an index byte picks a byte of the source
// register, and an index of 0x80 clears its byte in either.
#ifndef VEXEL_IMP_TABLES_H
#define VEXEL_IMP_TABLES_H

#include <cstdint>
#include <cstring>

struct ImpTables {
    // Encoder, indexed by four flags with bit k for pixel k: bytes of the
    // units kept, packed to the front.
    alignas(16) uint8_t squeeze[16][16];
    // Lanes moved up (join) or down (rest) by n units, n = 0..8.
    alignas(16) uint8_t join[9][16];
    alignas(16) uint8_t rest[9][16];
    uint8_t units[16];   // 4 + the number of literals
    uint8_t flagBits[16]; // the four flags in the flag field's order (pixel 0 on top)

    // Decoder: the 16-bit pairs of bytes that hold eight units from an even
    // or odd nibble position, and for each pair a multiplier that shifts
    // out the top nibble where the unit begins in the low half of a byte.
    alignas(16) uint8_t gather[2][16];
    alignas(16) uint8_t lowStart[2][16];
    // Indexed by four flags with bit 3 for the first pixel: the unit pair
    // of each literal, the nibbles of each difference (blue, green, red),
    // literal lanes, the lane of the last literal up to each lane, and the
    // lanes before the first literal.
    alignas(16) uint8_t litUnits[16][16];
    alignas(16) uint8_t diffLow[16][16];
    alignas(16) uint8_t diffHigh[16][16];
    alignas(16) uint8_t litLanes[16][16];
    alignas(16) uint8_t lastLit[16][16];
    alignas(16) uint8_t noLit[16][16];
    // The 26 nibbles of a group of eight equal pixels, from an even or odd
    // position.
    alignas(16) uint8_t flatGroup[2][16];
    // The difference nibbles of pixels 0-3 and 4-7 of a group without
    // literals from the high and the low nibbles of the bytes after the
    // flag field, for a group at an even or odd position.
    alignas(16) uint8_t allHigh[2][2][16];
    alignas(16) uint8_t allLow[2][2][16];

    ImpTables()
    {
        std::memset(this, 0x80, sizeof *this);
        for (unsigned m = 0; m < 16; m++) {
            unsigned n = 0;
            for (unsigned k = 0; k < 4; k++) {
                for (unsigned lane = 2 * k; lane < 2 * k + 1 + (m >> k & 1); lane++, n++) {
                    squeeze[m][2 * n] = uint8_t(2 * lane);
                    squeeze[m][2 * n + 1] = uint8_t(2 * lane + 1);
                }
            }
            units[m] = uint8_t(n);
            flagBits[m] = uint8_t((m & 1) << 3 | (m & 2) << 1 | (m & 4) >> 1 | (m & 8) >> 3);
        }
        for (int n = 0; n <= 8; n++) {
            for (int j = 0; j < 16; j++) {
                if (j - 2 * n >= 0)
                    join[n][j] = uint8_t(j - 2 * n);
                if (j + 16 - 2 * n < 16)
                    rest[n][j] = uint8_t(j + 16 - 2 * n);
            }
        }

        // Unit k from nibble 3k (even start) or 3k + 1 (odd start) on.
        for (unsigned odd = 0; odd < 2; odd++) {
            for (unsigned k = 0; k < 8; k++) {
                unsigned at = (3 * k + odd) / 2;
                gather[odd][2 * k] = uint8_t(at + 1);
                gather[odd][2 * k + 1] = uint8_t(at);
                // 16-bit multipliers: 16 for a unit that begins in the low
                // half of a byte, 1 for the others.
                lowStart[odd][2 * k] = (3 * k + odd) % 2 ? 16 : 1;
                lowStart[odd][2 * k + 1] = 0;
            }
        }
        for (unsigned f = 0; f < 16; f++) {
            int unit = 0, last = -1;
            for (int k = 0; k < 4; k++) {
                uint8_t *l = &litUnits[f][4 * k], *dl = &diffLow[f][4 * k], *dh = &diffHigh[f][4 * k];
                bool lit = f >> (3 - k) & 1;
                if (lit) {
                    for (int b = 0; b < 4; b++)
                        l[b] = uint8_t(2 * unit + b);
                    last = k;
                } else {
                    // Unit bytes: green << 4 | red, then blue.
                    dl[0] = uint8_t(2 * unit + 1);
                    dh[1] = uint8_t(2 * unit);
                    dl[2] = uint8_t(2 * unit);
                }
                for (int b = 0; b < 4; b++) {
                    litLanes[f][4 * k + b] = lit ? 0xFF : 0;
                    lastLit[f][4 * k + b] = last >= 0 ? uint8_t(4 * last + b) : 0x80;
                    noLit[f][4 * k + b] = last < 0 ? 0xFF : 0;
                }
                unit += lit ? 2 : 1;
            }
        }
        for (unsigned odd = 0; odd < 2; odd++) {
            for (int j = 0; j < 16; j++)
                flatGroup[odd][j] = j < 13 ? 0xFF : 0;
        }
        flatGroup[1][0] = 0x0F;
        flatGroup[1][13] = 0xF0;
        for (unsigned odd = 0; odd < 2; odd++) {
            for (unsigned k = 0; k < 8; k++) {
                for (unsigned c = 0; c < 3; c++) {
                    unsigned at = odd + 3 * k + c; // nibble after the flag field's byte
                    uint8_t *t = at % 2 ? allLow[odd][k / 4] : allHigh[odd][k / 4];
                    t[4 * (k % 4) + c] = uint8_t(at / 2);
                }
            }
        }
    }
};


#endif
