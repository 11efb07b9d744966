// IMP kernels for 64-bit ARM, whose NEON every processor has. The same
// steps as the x86 kernels (imp_x86.cpp explains them), in NEON's terms:
// table lookups for the shuffles, per-byte shifts for the nibbles.
#include "imp/kernels.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#include "imp/tables.h"

namespace {

const ImpTables T;

typedef uint8x16_t V;

inline V ld(const uint8_t *p)
{
    return vld1q_u8(p);
}

inline V tbl(V v, const uint8_t *idx)
{
    return vqtbl1q_u8(v, vld1q_u8(idx));
}

inline V u8(uint16x8_t v)
{
    return vreinterpretq_u8_u16(v);
}

inline V u8(uint32x4_t v)
{
    return vreinterpretq_u8_u32(v);
}

inline uint16x8_t u16(V v)
{
    return vreinterpretq_u16_u8(v);
}

inline uint32x4_t u32(V v)
{
    return vreinterpretq_u32_u8(v);
}

// See prefetch in imp_x86.cpp.
inline void prefetch(const unsigned char *p, uintptr_t ahead)
{
    __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(p) + ahead));
}

// Bytes moved up by n places, zeros coming in.
template <int n>
inline V up(V v)
{
    return vextq_u8(vdupq_n_u8(0), v, 16 - n);
}

// The bytes of v moved on by half a byte: the top nibble of the first comes
// from the low nibble of byte 15 of before.
inline V shiftNibble(V v, V before)
{
    return vorrq_u8(vshrq_n_u8(v, 4), vshlq_n_u8(vextq_u8(before, v, 15), 4));
}

// Each pair of 16-bit units as one 24-bit number in a 32-bit lane.
inline V pairUnits(V v)
{
    uint32x4_t w = u32(v);
    return u8(vsraq_n_u32(vshrq_n_u32(vshlq_n_u32(w, 16), 4), w, 16));
}

const uint8_t kToLanes0[16] = {0, 1, 2, 0xFF, 3, 4, 5, 0xFF, 6, 7, 8, 0xFF, 9, 10, 11, 0xFF};
const uint8_t kToLanes1[16] = {4, 5, 6, 0xFF, 7, 8, 9, 0xFF, 10, 11, 12, 0xFF, 13, 14, 15, 0xFF};
const uint8_t kFlat0[16] = {12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12};
const uint8_t kFlat1[16] = {14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14};
const uint8_t kLitOrder[16] = {1, 0, 2, 1, 5, 4, 6, 5, 9, 8, 10, 9, 13, 12, 14, 13};
const uint8_t kDiffOrder[16] = {2, 0, 1, 0xFF, 6, 4, 5, 0xFF, 10, 8, 9, 0xFF, 14, 12, 13, 0xFF};
const uint8_t kUnitBytes0[16] = {2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kUnitBytes1[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 2, 1, 0, 6};
const uint8_t kUnitBytes2[16] = {5, 4, 10, 9, 8, 14, 13, 12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kPixelBytes0[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kPixelBytes1[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 2, 4};
const uint8_t kPixelBytes2[16] = {5, 6, 8, 9, 10, 12, 13, 14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kTurn[16] = {2, 1, 0, 0xFF, 6, 5, 4, 0xFF, 10, 9, 8, 0xFF, 14, 13, 12, 0xFF};
const uint8_t kRun0[16] = {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0};
const uint8_t kRun1[16] = {1, 2, 0, 1, 2, 0, 1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kLastPixel[16] = {5, 6, 7, 0xFF, 5, 6, 7, 0xFF, 5, 6, 7, 0xFF, 5, 6, 7, 0xFF};
const uint32_t kLaneBits[4] = {1, 2, 4, 8};

// The units of four pixels (see pixelUnits in imp_x86.cpp).
inline V pixelUnits(V x, V d, V diff)
{
    uint16x8_t t = u16(tbl(x, kLitOrder));
    const uint16x8_t secondLanes = vreinterpretq_u16_u32(vdupq_n_u32(0xFFFF0000));
    V lit = u8(vbslq_u16(secondLanes, vandq_u16(t, vdupq_n_u16(0x0FFF)), vshrq_n_u16(t, 4)));
    uint32x4_t w = u32(tbl(d, kDiffOrder));
    V dif = u8(vorrq_u32(w, vshrq_n_u32(w, 12)));
    return vbslq_u8(diff, dif, lit);
}

// Lanes whose three differences lie in -7..+7.
inline V smallSteps(V x, V y)
{
    return u8(vceqzq_u32(u32(vandq_u8(vabdq_u8(x, y), vdupq_n_u8(0xF8)))));
}

inline unsigned laneBits(V lanes)
{
    return vaddvq_u32(vandq_u32(u32(lanes), vld1q_u32(kLaneBits)));
}

void encNeon(unsigned char *out, size_t *posp, unsigned *oddp, const unsigned char *p, size_t groups,
             const unsigned char *prev3)
{
    const V zero = vdupq_n_u8(0), lowNib = vdupq_n_u8(0x0F);
    size_t pos = *posp;
    unsigned odd = *oddp;
    V prev = u8(vsetq_lane_u32(uint32_t(prev3[0] | prev3[1] << 8 | prev3[2] << 16), vdupq_n_u32(0), 3));
    V same0 = tbl(prev, kFlat0), same1 = tbl(prev, kFlat1);
    for (; groups > 0; groups--, p += 24) {
        prefetch(p, 2048);
        V lo = ld(p), hi = ld(p + 8);
        if (vminvq_u8(vandq_u8(vceqq_u8(lo, same0), vceqq_u8(hi, same1))) == 0xFF) {
            vst1q_u8(out + pos + odd, zero);
            pos += 13;
            continue;
        }
        V x0 = tbl(lo, kToLanes0), x1 = tbl(hi, kToLanes1);
        V y0 = vextq_u8(prev, x0, 12), y1 = vextq_u8(x0, x1, 12);
        prev = x1;
        same0 = tbl(prev, kFlat0);
        same1 = tbl(prev, kFlat1);
        V diff0 = smallSteps(x0, y0), diff1 = smallSteps(x1, y1);
        V d0 = vandq_u8(vsubq_u8(x0, y0), lowNib), d1 = vandq_u8(vsubq_u8(x1, y1), lowNib);
        unsigned lit0 = ~laneBits(diff0) & 15, lit1 = ~laneBits(diff1) & 15;
        V sel = vdupq_n_u8(uint8_t(-int(odd)));

        if ((lit0 | lit1) == 0) {
            V n = vorrq_u8(tbl(d0, kPixelBytes0), tbl(d1, kPixelBytes1)), n2 = tbl(d1, kPixelBytes2);
            V u = vsliq_n_u8(vuzp2q_u8(n, n2), vuzp1q_u8(n, n2), 4);
            vst1q_u8(out + pos + 1, vbslq_u8(sel, shiftNibble(u, zero), u));
            pos += 13;
            continue;
        }

        if ((lit0 & lit1) == 15) {
            V rest = vextq_u8(hi, zero, 8);
            if (odd) {
                out[pos] |= 0x0F;
                rest = shiftNibble(rest, lo);
                lo = shiftNibble(lo, vdupq_n_u8(0xFF));
            } else {
                out[pos] = 0xFF;
            }
            vst1q_u8(out + pos + 1, lo);
            vst1q_u8(out + pos + 17, rest);
            pos += 25;
            continue;
        }

        unsigned flag = unsigned(T.flagBits[lit0] << 4 | T.flagBits[lit1]), n0 = T.units[lit0], n1 = T.units[lit1];
        V a = tbl(pixelUnits(x0, d0, diff0), T.squeeze[lit0]);
        V b = tbl(pixelUnits(x1, d1, diff1), T.squeeze[lit1]);
        V first = pairUnits(vorrq_u8(a, tbl(b, T.join[n0])));
        V second = pairUnits(tbl(b, T.rest[n0]));
        V u0 = vorrq_u8(tbl(first, kUnitBytes0), tbl(second, kUnitBytes1));
        V u1 = tbl(second, kUnitBytes2);
        out[pos] = uint8_t(out[pos] | flag >> (4 * odd));
        vst1q_u8(out + pos + 1, vbslq_u8(sel, shiftNibble(u0, vdupq_n_u8(uint8_t(flag))), u0));
        vst1q_u8(out + pos + 17, vbslq_u8(sel, shiftNibble(u1, u0), u1));
        unsigned nibbles = odd + 2 + 3 * (n0 + n1);
        pos += nibbles >> 1;
        odd = nibbles & 1;
    }
    *posp = pos;
    *oddp = odd;
}

inline V readUnits(const unsigned char *p, unsigned odd)
{
    uint16x8_t v = u16(tbl(ld(p), T.gather[odd]));
    return u8(vshrq_n_u16(vmulq_u16(v, vld1q_u16(reinterpret_cast<const uint16_t *>(T.lowStart[odd]))), 4));
}

inline V signExtend(V d)
{
    const V eight = vdupq_n_u8(8);
    return vsubq_u8(veorq_u8(d, eight), eight);
}

inline V runningSum(V d)
{
    V s = vaddq_u8(d, up<4>(d));
    return vaddq_u8(s, up<8>(s));
}

inline V lastLane(V v)
{
    return u8(vdupq_laneq_u32(u32(v), 3));
}

inline V decodeHalf(V u, unsigned f, V before)
{
    V lit = tbl(pairUnits(tbl(u, T.litUnits[f])), kTurn);
    V low = vandq_u8(u, vdupq_n_u8(0x0F)), high = vshrq_n_u8(u, 4);
    V d = signExtend(vorrq_u8(tbl(low, T.diffLow[f]), tbl(high, T.diffHigh[f])));
    V s = runningSum(d);
    V fix = vandq_u8(vsubq_u8(lit, s), ld(T.litLanes[f]));
    s = vaddq_u8(s, tbl(fix, T.lastLit[f]));
    return vaddq_u8(s, vandq_u8(before, ld(T.noLit[f])));
}

size_t decNeon(const unsigned char *in, uint64_t *nibp, uint64_t limit, unsigned char *o, uint32_t *pixp,
               size_t groups)
{
    uint64_t nib = *nibp;
    V pix = u8(vdupq_n_u32(*pixp));
    size_t g = 0;
    while (g < groups) {
        if (nib + 26 > limit)
            break;
        prefetch(o, 512);
        const unsigned char *q = in + (nib >> 1);
        unsigned odd = unsigned(nib & 1);
        unsigned flag = ((unsigned(q[0]) << 8 | q[1]) >> (8 - 4 * odd)) & 0xFF;
        V pa, pb;
        if (flag == 0) {
            const V zeros = ld(T.flatGroup[odd]);
            if (vmaxvq_u8(vandq_u8(ld(q), zeros)) == 0) {
                const V w0 = tbl(pix, kRun0), w1 = tbl(pix, kRun1);
                do {
                    prefetch(o, 512);
                    vst1q_u8(o, w0);
                    vst1_u8(o + 16, vget_low_u8(w1));
                    o += 24;
                    q += 13;
                    nib += 26;
                    g++;
                } while (g < groups && nib + 26 <= limit && vmaxvq_u8(vandq_u8(ld(q), zeros)) == 0);
                continue;
            }
            V v = ld(q + 1);
            V high = vshrq_n_u8(v, 4), low = vandq_u8(v, vdupq_n_u8(0x0F));
            V da = vorrq_u8(tbl(high, T.allHigh[odd][0]), tbl(low, T.allLow[odd][0]));
            V db = vorrq_u8(tbl(high, T.allHigh[odd][1]), tbl(low, T.allLow[odd][1]));
            pa = vaddq_u8(runningSum(signExtend(da)), pix);
            pb = vaddq_u8(runningSum(signExtend(db)), lastLane(pa));
            nib += 26;
        } else if (flag == 0xFF) {
            if (nib + 50 > limit)
                break;
            V a = ld(q + 1);
            uint8x8_t b = vld1_u8(q + 17);
            if (odd) {
                a = vorrq_u8(vshlq_n_u8(a, 4), vshrq_n_u8(ld(q + 2), 4));
                b = vorr_u8(vshl_n_u8(b, 4), vshr_n_u8(vld1_u8(q + 18), 4));
            }
            vst1q_u8(o, a);
            vst1_u8(o + 16, b);
            pix = tbl(vcombine_u8(b, b), kLastPixel);
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
            pb = decodeHalf(readUnits(in + (qb >> 1), unsigned(qb & 1)), f1, lastLane(pa));
            nib += len;
        }
        pix = lastLane(pb);
        vst1q_u8(o, vorrq_u8(tbl(pa, kPixelBytes0), tbl(pb, kPixelBytes1)));
        vst1_u8(o + 16, vget_low_u8(tbl(pb, kPixelBytes2)));
        o += 24;
        g++;
    }
    *nibp = nib;
    *pixp = vgetq_lane_u32(u32(pix), 0) & 0xFFFFFF;
    return g;
}

} // namespace

ImpKernels impNeonKernels()
{
    return {"neon", encNeon, decNeon};
}

#else

ImpKernels impNeonKernels()
{
    return {"scalar", nullptr, nullptr};
}

#endif
