// The vector code of GrayFromPlanes, written once over a few 16-bit lane operations and
// compiled twice: with SSE2 (yuv_gray.cpp) and with AVX2 (yuv_gray_avx2.cpp, chosen at run time
// where the processor has it). Included by those two files only.
#pragma once

#include <immintrin.h>

#include "cameras/yuv_gray.h"

namespace cameras {

// The lane operations: OP(x) is the instruction set's _mm*_x, WHOLE(x) its whole-register
// _mm*_x_si*.
#if defined(__AVX2__)
namespace avx2 {
using V = __m256i;
constexpr int kPixels = 32;  // luma bytes per step; as many chroma samples as 16-bit lanes
constexpr unsigned kSignBytes = 0xaaaaaaaau;  // of movemask: each 16-bit lane's high byte
#define CW_OP(x) _mm256_##x
#define CW_WHOLE(x) _mm256_##x##_si256
inline V LoadChroma(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
#else
namespace sse2 {
using V = __m128i;
constexpr int kPixels = 16;
constexpr unsigned kSignBytes = 0xaaaau;
#define CW_OP(x) _mm_##x
#define CW_WHOLE(x) _mm_##x##_si128
inline V LoadChroma(const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                             _mm_setzero_si128());
}
#endif
inline V Set(int16_t x) {
    return CW_OP(set1_epi16)(x);
}
inline V Set32(int32_t x) {
    return CW_OP(set1_epi32)(x);
}
inline V Zero() {
    return CW_WHOLE(setzero)();
}
// Two-operand lane operations, one line each.
#define CW_BINARY(name, op)   \
    inline V name(V a, V b) { \
        return op(a, b);      \
    }
CW_BINARY(Add, CW_OP(add_epi16))
CW_BINARY(Sub, CW_OP(sub_epi16))
CW_BINARY(AddS, CW_OP(adds_epi16))
CW_BINARY(SubS, CW_OP(subs_epi16))
CW_BINARY(MulHi, CW_OP(mulhi_epi16))
CW_BINARY(Min, CW_OP(min_epi16))
CW_BINARY(Max, CW_OP(max_epi16))
CW_BINARY(And, CW_WHOLE(and))
CW_BINARY(Or, CW_WHOLE(or))
CW_BINARY(Madd, CW_OP(madd_epi16))
CW_BINARY(Add32, CW_OP(add_epi32))
CW_BINARY(Lo16, CW_OP(unpacklo_epi16))
CW_BINARY(Hi16, CW_OP(unpackhi_epi16))
CW_BINARY(Pack32, CW_OP(packs_epi32))
#undef CW_BINARY
// Shifts by a constant.
template <int n>
V Shl(V a) {
    return CW_OP(slli_epi16)(a, n);
}
template <int n>
V Shr(V a) {
    return CW_OP(srli_epi16)(a, n);
}
template <int n>
V Sar32(V a) {
    return CW_OP(srai_epi32)(a, n);
}
// Whether any 16-bit lane is negative.
inline bool AnyNegative(V a) {
    return (static_cast<unsigned>(CW_OP(movemask_epi8)(a)) & kSignBytes) != 0;
}
inline V LoadLuma(const uint8_t* p) {
    return CW_WHOLE(loadu)(reinterpret_cast<const V*>(p));
}
inline void Store(uint8_t* p, V a) {
    CW_WHOLE(storeu)(reinterpret_cast<V*>(p), a);
}
#undef CW_OP
#undef CW_WHOLE

// The luma of 16-bit lanes b, g, r; lanes stay in their places (unpack and pack undo each
// other within each 128-bit half).
inline V Luma(V b, V g, V r) {
    const V wBG = Set32((kG << 16) | kB), wR1 = Set32((1 << (kLumaShift - 1) << 16) | kR);
    const V one = Set(1);
    const V lo = Add32(Madd(Lo16(b, g), wBG), Madd(Lo16(r, one), wR1));
    const V hi = Add32(Madd(Hi16(b, g), wBG), Madd(Hi16(r, one), wR1));
    return Pack32(Sar32<kLumaShift>(lo), Sar32<kLumaShift>(hi));
}

inline V Clamp255(V x) {
    return Max(Min(x, Set(255)), Zero());
}

// What the pixels of one step need of their chroma samples. Where no channel clamps
// (lo <= y <= hi), gray = y + c exactly, since the luma weights add up to 2^15.
struct Chroma {
    V ub, g, vr, c, lo, hi;
};

inline Chroma ChromaOf(const uint8_t* u8, const uint8_t* v8, const YuvCoefficients& k) {
    const V offset = Set(1024);
    const V u = SubS(Shl<3>(LoadChroma(u8)), offset), v = SubS(Shl<3>(LoadChroma(v8)), offset);
    Chroma c;
    c.ub = MulHi(u, Set(k.ub));
    c.vr = MulHi(v, Set(k.vr));
    c.g = AddS(MulHi(u, Set(k.ug)), MulHi(v, Set(k.vg)));
    c.c = Luma(c.ub, c.g, c.vr);
    c.lo = Sub(Zero(), Min(Min(c.ub, c.g), c.vr));
    c.hi = Sub(Set(255), Max(Max(c.ub, c.g), c.vr));
    return c;
}

// One step of one row: even and odd pixels share the chroma samples.
inline void GrayOfStep(const uint8_t* y8, const Chroma& c, const YuvCoefficients& k, uint8_t* out) {
    const V y = LoadLuma(y8), yOffset = Set(k.yOffset), yCoeff = Set(k.yCoeff);
    const V even = MulHi(Sub(Shl<3>(And(y, Set(0xff))), yOffset), yCoeff);
    const V odd = MulHi(Sub(Shl<3>(Shr<8>(y)), yOffset), yCoeff);
    // y - lo or hi - y is negative where a channel clamps (always when lo > hi).
    const V clamps = Or(Or(Sub(even, c.lo), Sub(c.hi, even)), Or(Sub(odd, c.lo), Sub(c.hi, odd)));
    V grayEven, grayOdd;
    if (!AnyNegative(clamps)) {
        grayEven = Add(even, c.c);
        grayOdd = Add(odd, c.c);
    } else {
        grayEven =
            Luma(Clamp255(Add(even, c.ub)), Clamp255(Add(even, c.g)), Clamp255(Add(even, c.vr)));
        grayOdd = Luma(Clamp255(Add(odd, c.ub)), Clamp255(Add(odd, c.g)), Clamp255(Add(odd, c.vr)));
    }
    Store(out, Or(grayEven, Shl<8>(grayOdd)));
}

// Columns [0, width) as far as whole steps reach, for one or two luma rows of one chroma row;
// returns the first column left.
inline int GrayOfRows(const uint8_t* const yRows[2], uint8_t* const outRows[2], int rows,
                      const uint8_t* u, const uint8_t* v, int from, int width,
                      const YuvCoefficients& k) {
    int x = from;
    for (; x + kPixels <= width; x += kPixels) {
        const Chroma c = ChromaOf(u + x / 2, v + x / 2, k);
        for (int r = 0; r < rows; ++r) GrayOfStep(yRows[r] + x, c, k, outRows[r] + x);
    }
    return x;
}

}  // namespace avx2 / sse2
}  // namespace cameras
