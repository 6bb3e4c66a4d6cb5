// The video's half-size frames: bicubic halving with the image library's own result, bit for
// bit, at a fraction of its cost. The library works every output pixel out on its own (scalar
// code for the horizontal pass); exact halving puts every tap on a fixed half-pixel point, so
// the horizontal pass becomes two straight runs of sums over the even and odd pixels.
//
// The library's arithmetic for 8-bit cubic scaling, which this repeats:
//  - weights at the half-pixel point, in units of 1/2048: -192, 1216, 1216, -192; taps past
//    an edge repeat the edge pixel (rows and columns alike);
//  - horizontal sums exact in 32-bit integers;
//  - vertical sums in float over whole runs of 8 bytes of the output row, in the order
//    S3*b3, +S2*b2, +S1*b1, +S0*b0 (b scaled by 2^-22), rounded to nearest even and
//    saturated; the rest of the row (under 8 bytes) in integers, rounded half up.
// tests/worker/halve_test.cpp compares the two on every size class that matters.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "pixels/pixels.h"

namespace {

constexpr int kOuter = -192, kInner = 1216;  // cubic weights at the half-pixel point, x2048
constexpr int kLibraryRun = 8;  // bytes the library's vertical pass takes at a time in float

#if defined(__x86_64__) || defined(__i386__)
bool HasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

// Even and odd BGR pixels of a row apart, four pixels from each 16-byte load; each 8-byte store
// spills two bytes into the next store's place. Only loads that stay in the row. Returns the
// number of output pixels done.
__attribute__((target("ssse3"))) int SplitBgrSsse3(const uchar* s, int w, uchar* e, uchar* o,
                                                   int dw) {
    const __m128i evens = _mm_setr_epi8(0, 1, 2, 6, 7, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i odds = _mm_setr_epi8(3, 4, 5, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    int dx = 0;
    for (; dx + 2 <= dw && 6 * dx + 16 <= w * 3; dx += 2) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 6 * dx));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(e + 3 * dx), _mm_shuffle_epi8(v, evens));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 3 * dx), _mm_shuffle_epi8(v, odds));
    }
    return dx;
}
#else
bool HasSsse3() {
    return false;
}
int SplitBgrSsse3(const uchar*, int, uchar*, uchar*, int) {
    return 0;
}
#endif

// The horizontal sums of one source row: h[j] for each byte j of the output row.
class RowHalver {
  public:
    void Run(const uchar* s, int w, int cn, int* h, int dw) {
        even_.resize(static_cast<size_t>(dw + 2) * cn + 8);
        odd_.resize(static_cast<size_t>(dw + 2) * cn + 8);
        uchar* e = even_.data();      // e[dx]: pixel 2dx; e[dw]: the pixel right of the last
        uchar* o = odd_.data() + cn;  // o[dx]: pixel 2dx+1; o[-1]: the pixel left of the row
        for (int c = 0; c < cn; ++c) o[c - cn] = s[c];
        int dx = 0;
        if (cn == 3 && HasSsse3()) dx = SplitBgrSsse3(s, w, e, o, dw);
        if (cn == 3) {
            // Two pixels from one 8-byte load; each 4-byte store spills a byte into the next
            // pixel's place, which the next store fills. Only loads that stay in the row.
            const int pairs = w * 3 >= 8 ? (w * 3 - 8) / 6 + 1 : 0;
            for (const int end = std::min(dw, pairs); dx < end; ++dx) {
                uint64_t v;
                std::memcpy(&v, s + 6 * dx, 8);
                const auto lo = static_cast<uint32_t>(v), hi = static_cast<uint32_t>(v >> 24);
                std::memcpy(e + 3 * dx, &lo, 4);
                std::memcpy(o + 3 * dx, &hi, 4);
            }
        }
        for (; dx < dw; ++dx) {
            const uchar* p = s + 2 * dx * cn;
            for (int c = 0; c < cn; ++c) {
                e[dx * cn + c] = p[c];
                o[dx * cn + c] = p[cn + c];
            }
        }
        const uchar* right = s + std::min(2 * dw, w - 1) * cn;
        for (int c = 0; c < cn; ++c) e[dw * cn + c] = right[c];

        const int n = dw * cn;
        int j = 0;
#if CV_SIMD128
        // (outer pair, inner pair) sums against (kOuter, kInner): one multiply-add each.
        const cv::v_int16x8 weights(kOuter, kInner, kOuter, kInner, kOuter, kInner, kOuter, kInner);
        for (; j + 8 <= n; j += 8) {
            const auto outer = cv::v_reinterpret_as_s16(cv::v_load_expand(o + j - cn) +
                                                        cv::v_load_expand(e + j + cn));
            const auto inner =
                cv::v_reinterpret_as_s16(cv::v_load_expand(e + j) + cv::v_load_expand(o + j));
            cv::v_int16x8 a, b;
            cv::v_zip(outer, inner, a, b);
            cv::v_store(h + j, cv::v_dotprod(a, weights));
            cv::v_store(h + j + 4, cv::v_dotprod(b, weights));
        }
#endif
        for (; j < n; ++j) h[j] = (o[j - cn] + e[j + cn]) * kOuter + (e[j] + o[j]) * kInner;
    }

  private:
    std::vector<uchar> even_, odd_;
};

uchar RoundHalfUp(const int* const* r, int x) {
    const int v = ((r[0][x] + r[3][x]) * kOuter + (r[1][x] + r[2][x]) * kInner + (1 << 21)) >> 22;
    return static_cast<uchar>(std::clamp(v, 0, 255));
}

// One output row from the horizontal sums of its four source rows.
void VerticalPass(const int* const* r, uchar* d, int n) {
    const int run = n / kLibraryRun * kLibraryRun;
    const float scale = 1.f / (2048.f * 2048.f);
    int x = 0;
#if CV_SIMD128
    const cv::v_float32x4 bo = cv::v_setall_f32(kOuter * scale);
    const cv::v_float32x4 bi = cv::v_setall_f32(kInner * scale);
    auto four = [&](int at) {  // multiply and add kept apart: no fused rounding
        cv::v_float32x4 t = cv::v_cvt_f32(cv::v_load(r[3] + at)) * bo;
        t = cv::v_cvt_f32(cv::v_load(r[2] + at)) * bi + t;
        t = cv::v_cvt_f32(cv::v_load(r[1] + at)) * bi + t;
        t = cv::v_cvt_f32(cv::v_load(r[0] + at)) * bo + t;
        return cv::v_round(t);
    };
    for (; x + 16 <= run; x += 16) {
        const cv::v_int16x8 a = cv::v_pack(four(x), four(x + 4));
        const cv::v_int16x8 b = cv::v_pack(four(x + 8), four(x + 12));
        cv::v_store(d + x, cv::v_pack_u(a, b));
    }
    if (x < run) cv::v_pack_u_store(d + x, cv::v_pack(four(x), four(x + 4)));
    x = run;
#else
    const float bo = kOuter * scale, bi = kInner * scale;
    for (; x < run; ++x) {
        volatile float t = static_cast<float>(r[3][x]) * bo;  // volatile: no fused rounding
        t = static_cast<float>(r[2][x]) * bi + t;
        t = static_cast<float>(r[1][x]) * bi + t;
        t = static_cast<float>(r[0][x]) * bo + t;
        d[x] = static_cast<uchar>(std::clamp(static_cast<int>(std::nearbyint(t)), 0, 255));
    }
#endif
    for (; x < n; ++x) d[x] = RoundHalfUp(r, x);
}

}  // namespace

void HalveBicubic(const cv::Mat& image, cv::Mat& half) {
    const int w = image.cols, h = image.rows, dw = half.cols, dh = half.rows;
    if (image.depth() != CV_8U || half.type() != image.type() || dw * 2 != w || dh * 2 != h ||
        dw == 0 || dh == 0) {
        cv::resize(image, half, half.size(), 0, 0, cv::INTER_CUBIC);
        return;
    }
    const int cn = image.channels(), n = dw * cn;
    std::vector<int> sums(static_cast<size_t>(n) * 4);  // four source rows' horizontal sums
    int rowIn[4] = {-1, -1, -1, -1};                    // the source row each slot holds
    RowHalver halver;
    for (int dy = 0; dy < dh; ++dy) {
        int want[4];
        for (int k = 0; k < 4; ++k) want[k] = std::clamp(2 * dy - 1 + k, 0, h - 1);
        const int* rows[4];
        for (int k = 0; k < 4; ++k) {
            int slot = static_cast<int>(std::find(rowIn, rowIn + 4, want[k]) - rowIn);
            if (slot == 4) {  // a slot that none of this row's sources holds
                slot = 0;
                while (std::find(want, want + 4, rowIn[slot]) != want + 4) ++slot;
                halver.Run(image.ptr<uchar>(want[k]), w, cn, sums.data() + size_t(slot) * n, dw);
                rowIn[slot] = want[k];
            }
            rows[k] = sums.data() + static_cast<size_t>(slot) * n;
        }
        VerticalPass(rows, half.ptr<uchar>(dy), n);
    }
}
