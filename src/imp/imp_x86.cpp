// IMP kernels for x86 processors with SSE4.1 (built again for AVX2),
// chosen at run time.
//
// A group is eight pixels: an 8-bit flag field, then for each pixel a
// 12-bit difference or a 24-bit literal. Seen after its flag field, a
// group is a row of 12-bit units: one per difference, two per literal
// (blue and the high half of green; the low half of green and red). The
// kernels work on the units of four pixels at a time, one unit in each
// 16-bit lane of a register, and on pixels one in each 32-bit lane (blue,
// green, red, 0).
//
// Encoding, four pixels: the units of each pixel both as a literal and as
// a difference, the right ones picked, the second unit of each difference
// squeezed out (a shuffle from a table by the four flags), the two halves
// joined, and pairs of units packed into three bytes. Behind a pending
// nibble the whole group moves by half a byte.
//
// Decoding, four pixels: the units read at the nibble position of the
// half, each pixel's unit or units spread to its lane (a shuffle by the
// flags), the literals assembled, the differences summed up from the left,
// each lane's sum completed by the literal before it or by the pixel
// before the half.
//
// Groups of eight equal pixels, of eight differences and of eight literals
// have short cuts both ways: they are what flat, smooth and noisy areas
// are made of.
#include "imp/kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "imp/tables.h"

// Helpers for SSE4.1; inlined into the entry points, which are built for
// SSE4.1 and again for AVX2 (the same code in the shorter three-operand
// forms).
#define SSE41 __attribute__((target("sse4.1"), always_inline))
#define ENTRY(isa) __attribute__((target(isa), force_align_arg_pointer, noinline))

namespace {

const ImpTables T;

SSE41 inline __m128i load(const uint8_t *p)
{
    return _mm_load_si128(reinterpret_cast<const __m128i *>(p));
}

SSE41 inline __m128i loadu(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

SSE41 inline void storeu(unsigned char *p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

SSE41 inline void store8(unsigned char *p, __m128i v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), v);
}

// The rows read or written, some way ahead: the processor's own
// prefetching falls behind on a busy machine. A prefetch never faults,
// past the end of the block or not.
SSE41 inline void prefetch(const unsigned char *p, uintptr_t ahead)
{
    _mm_prefetch(reinterpret_cast<const char *>(reinterpret_cast<uintptr_t>(p) + ahead), _MM_HINT_T0);
}

// The bytes of v moved on by half a byte: the top nibble of the first comes
// from the low nibble of byte 15 of before.
SSE41 inline __m128i shiftNibble(__m128i v, __m128i before)
{
    const __m128i lowNib = _mm_set1_epi8(0x0F), highNib = _mm_set1_epi8(char(0xF0));
    __m128i down = _mm_and_si128(_mm_srli_epi16(v, 4), lowNib);
    __m128i up = _mm_and_si128(_mm_slli_epi16(_mm_alignr_epi8(v, before, 15), 4), highNib);
    return _mm_or_si128(down, up);
}

// The two units of each of four pixels x, in 16-bit lanes: those of a
// literal, or (where diff is set) the one of the difference d and a second
// of no use.
SSE41 inline __m128i pixelUnits(__m128i x, __m128i d, __m128i diff)
{
    // Literal: blue << 4 | green >> 4, then (green & 15) << 8 | red.
    __m128i t = _mm_shuffle_epi8(x, _mm_setr_epi8(1, 0, 2, 1, 5, 4, 6, 5, 9, 8, 10, 9, 13, 12, 14, 13));
    __m128i lit = _mm_blend_epi16(_mm_srli_epi16(t, 4), _mm_and_si128(t, _mm_set1_epi16(0x0FFF)), 0xAA);
    // Difference: blue << 8 | green << 4 | red, from lanes red, blue, green.
    __m128i w = _mm_shuffle_epi8(d, _mm_setr_epi8(2, 0, 1, -1, 6, 4, 5, -1, 10, 8, 9, -1, 14, 12, 13, -1));
    __m128i dif = _mm_or_si128(w, _mm_srli_epi32(w, 12));
    return _mm_blendv_epi8(lit, dif, diff);
}

// Lanes of the pixels whose three differences lie in -7..+7: the absolute
// difference of every byte below 8.
SSE41 inline __m128i smallSteps(__m128i x, __m128i y)
{
    __m128i ad = _mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x));
    return _mm_cmpeq_epi32(_mm_and_si128(ad, _mm_set1_epi8(char(0xF8))), _mm_setzero_si128());
}

// Each group is stored from out[pos + 1] on: the units as bytes, or behind
// a pending nibble moved by half a byte. Between groups out[pos] is zero,
// or holds the pending nibble and a zero low half; the flag field goes
// into it or into it and the next byte. All-difference groups, the common
// case of smooth pictures, and runs of one colour have short cuts.
SSE41 inline void encGroups(unsigned char *out, size_t *posp, unsigned *oddp, const unsigned char *p,
                              size_t groups, const unsigned char *prev3)
{
    const __m128i zero = _mm_setzero_si128(), lowNib = _mm_set1_epi8(0x0F);
    // Bytes 0-15 and 8-23 of a group from the pixel in lane 3.
    const __m128i flat0 = _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12);
    const __m128i flat1 = _mm_setr_epi8(14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14);
    // Each pair of units as one 24-bit number, then as three bytes.
    const __m128i pairs = _mm_set1_epi32(0x00011000);
    const __m128i bytes0 = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m128i bytes1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 1, 0, 6);
    const __m128i bytes2 = _mm_setr_epi8(5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    // The 24 difference nibbles of eight pixels, then two to a byte.
    const __m128i nibs0 = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m128i nibs1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 4);
    const __m128i nibs2 = _mm_setr_epi8(5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i nibPairs = _mm_set1_epi16(0x0110);

    size_t pos = *posp;
    unsigned odd = *oddp;
    __m128i prev = _mm_setr_epi32(0, 0, 0, prev3[0] | prev3[1] << 8 | prev3[2] << 16);
    __m128i same0 = _mm_shuffle_epi8(prev, flat0), same1 = _mm_shuffle_epi8(prev, flat1);
    for (; groups > 0; groups--, p += 24) {
        prefetch(p, 2048);
        __m128i lo = loadu(p), hi = loadu(p + 8);
        if (_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(lo, same0), _mm_cmpeq_epi8(hi, same1))) == 0xFFFF) {
            // Eight times the pixel before: 26 zero nibbles.
            storeu(out + pos + odd, zero);
            pos += 13;
            continue;
        }
        __m128i x0 = _mm_shuffle_epi8(lo, _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
        __m128i x1 = _mm_shuffle_epi8(hi, _mm_setr_epi8(4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1));
        __m128i y0 = _mm_alignr_epi8(x0, prev, 12), y1 = _mm_alignr_epi8(x1, x0, 12);
        prev = x1;
        same0 = _mm_shuffle_epi8(prev, flat0);
        same1 = _mm_shuffle_epi8(prev, flat1);
        __m128i diff0 = smallSteps(x0, y0), diff1 = smallSteps(x1, y1);
        __m128i d0 = _mm_and_si128(_mm_sub_epi8(x0, y0), lowNib);
        __m128i d1 = _mm_and_si128(_mm_sub_epi8(x1, y1), lowNib);
        unsigned lit0 = ~unsigned(_mm_movemask_ps(_mm_castsi128_ps(diff0))) & 15;
        unsigned lit1 = ~unsigned(_mm_movemask_ps(_mm_castsi128_ps(diff1))) & 15;
        __m128i sel = _mm_set1_epi8(char(-int(odd)));

        if ((lit0 | lit1) == 0) {
            // Eight differences: a zero flag field, already in place, and
            // twelve bytes.
            __m128i n = _mm_or_si128(_mm_shuffle_epi8(d0, nibs0), _mm_shuffle_epi8(d1, nibs1));
            __m128i u = _mm_packus_epi16(_mm_maddubs_epi16(n, nibPairs),
                                         _mm_maddubs_epi16(_mm_shuffle_epi8(d1, nibs2), nibPairs));
            storeu(out + pos + 1, _mm_blendv_epi8(u, shiftNibble(u, zero), sel));
            pos += 13;
            continue;
        }

        if ((lit0 & lit1) == 15) {
            // Eight literals: the flag field 0xFF and the pixels as they
            // are, 50 nibbles. A run of them keeps the parity, so the
            // branch is as good as free.
            __m128i rest = _mm_srli_si128(hi, 8);
            if (odd) {
                out[pos] |= 0x0F;
                rest = shiftNibble(rest, lo);
                lo = shiftNibble(lo, _mm_set1_epi8(-1));
            } else {
                out[pos] = 0xFF;
            }
            storeu(out + pos + 1, lo);
            storeu(out + pos + 17, rest);
            pos += 25;
            continue;
        }

        unsigned flag = T.flagBits[lit0] << 4 | T.flagBits[lit1], n0 = T.units[lit0], n1 = T.units[lit1];
        __m128i a = _mm_shuffle_epi8(pixelUnits(x0, d0, diff0), load(T.squeeze[lit0]));
        __m128i b = _mm_shuffle_epi8(pixelUnits(x1, d1, diff1), load(T.squeeze[lit1]));
        __m128i first = _mm_madd_epi16(_mm_or_si128(a, _mm_shuffle_epi8(b, load(T.join[n0]))), pairs);
        __m128i second = _mm_madd_epi16(_mm_shuffle_epi8(b, load(T.rest[n0])), pairs);
        // Bytes 0-15 and 16-23 of the units.
        __m128i u0 = _mm_or_si128(_mm_shuffle_epi8(first, bytes0), _mm_shuffle_epi8(second, bytes1));
        __m128i u1 = _mm_shuffle_epi8(second, bytes2);
        out[pos] = uint8_t(out[pos] | flag >> (4 * odd));
        storeu(out + pos + 1, _mm_blendv_epi8(u0, shiftNibble(u0, _mm_set1_epi8(char(flag))), sel));
        storeu(out + pos + 17, _mm_blendv_epi8(u1, shiftNibble(u1, u0), sel));
        unsigned nibbles = odd + 2 + 3 * (n0 + n1);
        pos += nibbles >> 1;
        odd = nibbles & 1;
    }
    *posp = pos;
    *oddp = odd;
}

// Eight units from nibble position q on, q - at the start of p.
SSE41 inline __m128i readUnits(const unsigned char *p, unsigned odd)
{
    // A unit that begins in the low half of a byte loses the top nibble of
    // its 16 bits: times 16, then down by 4 like the others.
    __m128i v = _mm_shuffle_epi8(loadu(p), load(T.gather[odd]));
    return _mm_srli_epi16(_mm_mullo_epi16(v, load(T.lowStart[odd])), 4);
}

// Nibbles 8..15 as -8..-1, in bytes.
SSE41 inline __m128i signExtend(__m128i d)
{
    const __m128i eight = _mm_set1_epi8(8);
    return _mm_sub_epi8(_mm_xor_si128(d, eight), eight);
}

// Sums of the pixels in lanes 0..k, bytewise.
SSE41 inline __m128i runningSum(__m128i d)
{
    __m128i s = _mm_add_epi8(d, _mm_slli_si128(d, 4));
    return _mm_add_epi8(s, _mm_slli_si128(s, 8));
}

// The four pixels coded by the units u under the flags f, after the pixel
// in every lane of before.
SSE41 inline __m128i decodeHalf(__m128i u, unsigned f, __m128i before)
{
    const __m128i lowNib = _mm_set1_epi8(0x0F);
    // Literals: two units, one 24-bit number, its bytes turned round.
    __m128i lit = _mm_madd_epi16(_mm_shuffle_epi8(u, load(T.litUnits[f])), _mm_set1_epi32(0x00011000));
    lit = _mm_shuffle_epi8(lit, _mm_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1));
    // Differences: the nibbles of the unit into blue, green, red; zero in
    // the lanes of literals.
    __m128i low = _mm_and_si128(u, lowNib), high = _mm_and_si128(_mm_srli_epi16(u, 4), lowNib);
    __m128i d = signExtend(_mm_or_si128(_mm_shuffle_epi8(low, load(T.diffLow[f])),
                                        _mm_shuffle_epi8(high, load(T.diffHigh[f]))));
    // Running sums; a literal lane adds what makes its sum the literal,
    // and the lanes after it up to the next literal add the same.
    __m128i s = runningSum(d);
    __m128i fix = _mm_and_si128(_mm_sub_epi8(lit, s), load(T.litLanes[f]));
    s = _mm_add_epi8(s, _mm_shuffle_epi8(fix, load(T.lastLit[f])));
    return _mm_add_epi8(s, _mm_and_si128(before, load(T.noLit[f])));
}

// The common groups have a branch of their own with a fixed length, so
// that the read position does not wait for the flag field.
SSE41 inline size_t decGroups(const unsigned char *in, uint64_t *nibp, uint64_t limit,
                               unsigned char *o, uint32_t *pixp, size_t groups)
{
    // 24 bytes from the pixels in four lanes and four more.
    const __m128i bytes0 = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m128i bytes1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 4);
    const __m128i bytes2 = _mm_setr_epi8(5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    // Bytes 0-15 and 16-23 of a run of the pixel in the lanes.
    const __m128i run0 = _mm_setr_epi8(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0);
    const __m128i run1 = _mm_setr_epi8(1, 2, 0, 1, 2, 0, 1, 2, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i lowNib = _mm_set1_epi8(0x0F), highNib = _mm_set1_epi8(char(0xF0));

    uint64_t nib = *nibp;
    __m128i pix = _mm_set1_epi32(int(*pixp));
    size_t g = 0;
    while (g < groups) {
        // 26 nibbles, the shortest group, hold the flag field.
        if (nib + 26 > limit)
            break;
        prefetch(o, 512);
        const unsigned char *q = in + (nib >> 1);
        unsigned odd = unsigned(nib & 1);
        unsigned flag = ((unsigned(q[0]) << 8 | q[1]) >> (8 - 4 * odd)) & 0xFF;
        __m128i pa, pb;
        if (flag == 0) {
            const __m128i zeros = load(T.flatGroup[odd]);
            if (_mm_testz_si128(loadu(q), zeros)) {
                // Eight times the pixel before, and as many more such
                // groups as follow.
                const __m128i w0 = _mm_shuffle_epi8(pix, run0), w1 = _mm_shuffle_epi8(pix, run1);
                do {
                    prefetch(o, 512);
                    storeu(o, w0);
                    store8(o + 16, w1);
                    o += 24;
                    q += 13;
                    nib += 26;
                    g++;
                } while (g < groups && nib + 26 <= limit && _mm_testz_si128(loadu(q), zeros));
                continue;
            }
            // Eight differences, the 24 nibbles after the flag field.
            __m128i v = loadu(q + 1);
            __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), lowNib), low = _mm_and_si128(v, lowNib);
            __m128i da = _mm_or_si128(_mm_shuffle_epi8(high, load(T.allHigh[odd][0])),
                                      _mm_shuffle_epi8(low, load(T.allLow[odd][0])));
            __m128i db = _mm_or_si128(_mm_shuffle_epi8(high, load(T.allHigh[odd][1])),
                                      _mm_shuffle_epi8(low, load(T.allLow[odd][1])));
            pa = _mm_add_epi8(runningSum(signExtend(da)), pix);
            pb = _mm_add_epi8(runningSum(signExtend(db)), _mm_shuffle_epi32(pa, 0xFF));
            nib += 26;
        } else if (flag == 0xFF) {
            if (nib + 50 > limit)
                break;
            // Eight literals: the 24 bytes as they are, behind the flag field.
            __m128i a = loadu(q + 1), b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q + 17));
            if (odd) {
                // Each byte from two, half a byte along.
                __m128i a1 = loadu(q + 2), b1 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q + 18));
                a = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(a, 4), highNib),
                                 _mm_and_si128(_mm_srli_epi16(a1, 4), lowNib));
                b = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(b, 4), highNib),
                                 _mm_and_si128(_mm_srli_epi16(b1, 4), lowNib));
            }
            storeu(o, a);
            store8(o + 16, b);
            pix = _mm_shuffle_epi8(b, _mm_setr_epi8(5, 6, 7, -1, 5, 6, 7, -1, 5, 6, 7, -1, 5, 6, 7, -1));
            nib += 50;
            o += 24;
            g++;
            continue;
        } else {
            unsigned f0 = flag >> 4, f1 = flag & 15, n0 = T.units[f0], n1 = T.units[f1];
            uint64_t len = 2 + 3 * (n0 + n1);
            if (nib + len > limit)
                break;
            uint64_t qa = nib + 2, qb = qa + 3 * n0;
            pa = decodeHalf(readUnits(in + (qa >> 1), unsigned(qa & 1)), f0, pix);
            pb = decodeHalf(readUnits(in + (qb >> 1), unsigned(qb & 1)), f1, _mm_shuffle_epi32(pa, 0xFF));
            nib += len;
        }
        pix = _mm_shuffle_epi32(pb, 0xFF);
        storeu(o, _mm_or_si128(_mm_shuffle_epi8(pa, bytes0), _mm_shuffle_epi8(pb, bytes1)));
        store8(o + 16, _mm_shuffle_epi8(pb, bytes2));
        o += 24;
        g++;
    }
    *nibp = nib;
    *pixp = uint32_t(_mm_cvtsi128_si32(pix)) & 0xFFFFFF;
    return g;
}

ENTRY("sse4.1") void encSse41(unsigned char *out, size_t *pos, unsigned *odd, const unsigned char *p,
                              size_t groups, const unsigned char *prev)
{
    encGroups(out, pos, odd, p, groups, prev);
}

ENTRY("sse4.1") size_t decSse41(const unsigned char *in, uint64_t *nib, uint64_t limit, unsigned char *o,
                                uint32_t *pix, size_t groups)
{
    return decGroups(in, nib, limit, o, pix, groups);
}

ENTRY("avx2") void encAvx2(unsigned char *out, size_t *pos, unsigned *odd, const unsigned char *p,
                           size_t groups, const unsigned char *prev)
{
    encGroups(out, pos, odd, p, groups, prev);
}

ENTRY("avx2") size_t decAvx2(const unsigned char *in, uint64_t *nib, uint64_t limit, unsigned char *o,
                             uint32_t *pix, size_t groups)
{
    return decGroups(in, nib, limit, o, pix, groups);
}

} // namespace

ImpKernels impX86Kernels()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return {"avx2", encAvx2, decAvx2};
    if (__builtin_cpu_supports("sse4.1"))
        return {"sse4.1", encSse41, decSse41};
    return {"scalar", nullptr, nullptr};
}

#else

ImpKernels impX86Kernels()
{
    return {"scalar", nullptr, nullptr};
}

#endif
