// The video writer's BGR to YUVJ420P conversion, bit for bit, without the scaler. The scaler
// (same size in and out, bicubic, default colour details) works it out as follows here:
//  - luma of each pixel in limited range with 15-bit weights, 1/64 steps:
//    Y14 = (8414 R + 16519 G + 3208 B + (16 << 15) + 256) >> 9, doubled to 15 bits, stretched
//    to full range: (min(Y15, 30189) * 19077 - 39057361) >> 14, written as (y + 64) >> 7;
//  - chroma of each pair of pixels from the pair's sums R2, G2, B2, with the weights it keeps
//    for its default colour space:
//    U14 = (-4865 R2 - 9528 G2 + 14392 B2 + (256 << 15) + 512) >> 10 (V: 14392, -12061, -2332),
//    doubled and stretched: (min(U15, 30775) * 4663 - 9289992) >> 12; no horizontal filtering;
//  - chroma rows halved by its bicubic filter (B = 0, C = 0.6) with 12-bit weights that
//    ChromaRowFilter works out the way the scaler does (8 taps, the edges folded in);
//  - every chroma row but the last summed in 16 bits by its vector code:
//    (((64 + 8 (taps - 1)) >> 4) + sum((w * s) >> 16)) >> 3, saturated; the last row by its
//    plain code: ((64 << 12) + sum(w * s)) >> 19, clamped.
// Only the vector code is here (AVX2, chosen at run time): plain code would be slower than the
// scaler. Yuvj420MatchesScaler checks all of this against the real scaler on probe pictures.
#include "pixels/pixels.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kRy = 8414, kGy = 16519, kBy = 3208;
constexpr int kRu = -4865, kGu = -9528, kBu = 14392;
constexpr int kRv = 14392, kGv = -12061, kBv = -2332;
constexpr int kRing = 16;  // chroma rows kept; more than the filter ever has taps

// A chroma row of the plain code: the scaler's last row (and any row of a single tap, whose
// vector code rounds the same).
void FilterRowExact(const int16_t* const* rows, const int16_t* weights, int taps, int width,
                    uint8_t* out) {
    for (int x = 0; x < width; ++x) {
        int sum = 64 << 12;
        for (int j = 0; j < taps; ++j) sum += weights[j] * rows[j][x];
        out[x] = static_cast<uint8_t>(std::clamp(sum >> 19, 0, 255));
    }
}

#if defined(__x86_64__) || defined(__i386__)
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// pshufb masks that gather one channel of 16 BGR pixels from the 16-byte chunk `chunk` of
// their 48 bytes, the same in both halves of a 256-bit register.
constexpr std::array<int8_t, 32> ChannelMask(int channel, int chunk) {
    std::array<int8_t, 32> mask{};
    for (int i = 0; i < 32; ++i) {
        const int at = 3 * (i % 16) + channel;
        mask[i] = at / 16 == chunk ? static_cast<int8_t>(at % 16) : int8_t{-1};
    }
    return mask;
}
constexpr std::array<int8_t, 32> kMasks[3][3] = {
    {ChannelMask(0, 0), ChannelMask(0, 1), ChannelMask(0, 2)},
    {ChannelMask(1, 0), ChannelMask(1, 1), ChannelMask(1, 2)},
    {ChannelMask(2, 0), ChannelMask(2, 1), ChannelMask(2, 2)}};

__attribute__((target("avx2"), always_inline)) inline __m256i Load(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Multipliers of the luma in 16-bit lanes, kept out of the compiler's sight so that it keeps
// the multiplies rather than turning each into a run of shifts and adds.
struct LumaFactors {
    __m256i r, g, b, b6, k;
};

__attribute__((target("avx2"))) LumaFactors MakeLumaFactors() {
    LumaFactors f{_mm256_set1_epi16(111), _mm256_set1_epi16(67), _mm256_set1_epi16(68),
                  _mm256_set1_epi16(6), _mm256_set1_epi16(static_cast<int16_t>(38154))};
    asm("" : "+x"(f.r), "+x"(f.g), "+x"(f.b), "+x"(f.b6), "+x"(f.k));
    return f;
}

// Luma of 16 pixels in 16-bit lanes. With T = Y14 - 1024 (never above 14016, so the stretch's
// min never applies), Y = (38154 T + 1060911) >> 21; T in 16 bits as
// 16 R + 32 G + 6 B + ((111 R + 67 G + 68 B + G / 2 + 128) >> 8), the product split into its
// high and low halves.
__attribute__((target("avx2"), always_inline)) inline __m256i Luma16(__m256i b, __m256i g,
                                                                     __m256i r,
                                                                     const LumaFactors& f) {
    __m256i low = _mm256_add_epi16(_mm256_mullo_epi16(r, f.r), _mm256_mullo_epi16(g, f.g));
    low = _mm256_add_epi16(low, _mm256_mullo_epi16(b, f.b));
    low = _mm256_add_epi16(low, _mm256_add_epi16(_mm256_srli_epi16(g, 1), _mm256_set1_epi16(128)));
    __m256i t = _mm256_add_epi16(_mm256_slli_epi16(r, 4), _mm256_slli_epi16(g, 5));
    t = _mm256_add_epi16(t, _mm256_mullo_epi16(b, f.b6));
    t = _mm256_add_epi16(t, _mm256_srli_epi16(low, 8));
    const __m256i high = _mm256_mulhi_epu16(t, f.k), rest = _mm256_mullo_epi16(t, f.k);
    // rest + (1060911 & 0xffff) carries into the high half when rest >= 53201
    const __m256i carry = _mm256_cmpeq_epi16(
        _mm256_max_epu16(rest, _mm256_set1_epi16(static_cast<int16_t>(53201))), rest);
    return _mm256_srli_epi16(_mm256_sub_epi16(_mm256_add_epi16(high, _mm256_set1_epi16(16)), carry),
                             5);
}

// Chroma of the 8 pixel pairs of 16 pixels in 16-bit lanes, in 32-bit lanes.
__attribute__((target("avx2"), always_inline)) inline __m256i Chroma8(__m256i b, __m256i g,
                                                                      __m256i r, int kr, int kg,
                                                                      int kb) {
    __m256i sum =
        _mm256_add_epi32(_mm256_madd_epi16(r, _mm256_set1_epi16(static_cast<int16_t>(kr))),
                         _mm256_madd_epi16(g, _mm256_set1_epi16(static_cast<int16_t>(kg))));
    sum = _mm256_add_epi32(sum, _mm256_madd_epi16(b, _mm256_set1_epi16(static_cast<int16_t>(kb))));
    const __m256i c14 =
        _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32((256 << 15) + 512)), 10);
    // 2 * c14 stays below 30775, so the stretch's min never applies; c14 sits in the low half
    // of its lane
    const __m256i scaled = _mm256_madd_epi16(c14, _mm256_set1_epi32(2 * 4663));
    return _mm256_srai_epi32(_mm256_sub_epi32(scaled, _mm256_set1_epi32(9289992)), 12);
}

// Bytes at..at+15 of both 48-byte halves of 32 BGR pixels.
__attribute__((target("avx2"), always_inline)) inline __m256i Chunks(const uint8_t* s, int at) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48 + at));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

// One channel of 32 BGR pixels as bytes: pixels 0-15 | 16-31.
__attribute__((target("avx2"), always_inline)) inline __m256i Channel(__m256i c0, __m256i c1,
                                                                      __m256i c2, int c) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(c0, Load(kMasks[c][0].data())),
                                           _mm256_shuffle_epi8(c1, Load(kMasks[c][1].data()))),
                           _mm256_shuffle_epi8(c2, Load(kMasks[c][2].data())));
}

// 32 pixels (96 bytes at s): 32 luma bytes, 16 U and 16 V values.
__attribute__((target("avx2"), always_inline)) inline void Convert32(const uint8_t* s, uint8_t* y,
                                                                     int16_t* u, int16_t* v,
                                                                     const LumaFactors& f) {
    const __m256i c0 = Chunks(s, 0), c1 = Chunks(s, 16), c2 = Chunks(s, 32);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i b8 = Channel(c0, c1, c2, 0), g8 = Channel(c0, c1, c2, 1);
    const __m256i r8 = Channel(c0, c1, c2, 2);
    // pixels 0-7 | 16-23 and 8-15 | 24-31
    const __m256i bl = _mm256_unpacklo_epi8(b8, zero), bh = _mm256_unpackhi_epi8(b8, zero);
    const __m256i gl = _mm256_unpacklo_epi8(g8, zero), gh = _mm256_unpackhi_epi8(g8, zero);
    const __m256i rl = _mm256_unpacklo_epi8(r8, zero), rh = _mm256_unpackhi_epi8(r8, zero);
    const __m256i luma = _mm256_packus_epi16(Luma16(bl, gl, rl, f), Luma16(bh, gh, rh, f));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y), luma);
    const __m256i uu =
        _mm256_packs_epi32(Chroma8(bl, gl, rl, kRu, kGu, kBu), Chroma8(bh, gh, rh, kRu, kGu, kBu));
    const __m256i vv =
        _mm256_packs_epi32(Chroma8(bl, gl, rl, kRv, kGv, kBv), Chroma8(bh, gh, rh, kRv, kGv, kBv));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(u), uu);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v), vv);
}

// u and v hold a multiple of 16 values past width / 2.
__attribute__((target("avx2"))) void ConvertRowAvx2(const uint8_t* s, int width, uint8_t* y,
                                                    int16_t* u, int16_t* v) {
    const LumaFactors f = MakeLumaFactors();
    int x = 0;
    for (; x + 32 <= width; x += 32) Convert32(s + 3 * x, y + x, u + x / 2, v + x / 2, f);
    if (x < width) {
        uint8_t in[96] = {}, out[32];
        std::memcpy(in, s + 3 * x, 3 * (width - x));
        Convert32(in, out, u + x / 2, v + x / 2, f);
        std::memcpy(y + x, out, width - x);
    }
}

// Rows hold a multiple of 32 values past width.
__attribute__((target("avx2"))) void FilterRowAvx2(const int16_t* const* rows,
                                                   const int16_t* weights, int taps, int width,
                                                   uint8_t* out) {
    const __m256i start = _mm256_set1_epi16(static_cast<int16_t>((64 + 8 * (taps - 1)) >> 4));
    for (int x = 0; x < width; x += 32) {
        __m256i a = start, b = start;
        for (int j = 0; j < taps; ++j) {
            const __m256i w = _mm256_set1_epi16(weights[j]);
            a = _mm256_add_epi16(a, _mm256_mulhi_epi16(w, Load(rows[j] + x)));
            b = _mm256_add_epi16(b, _mm256_mulhi_epi16(w, Load(rows[j] + x + 16)));
        }
        const __m256i bytes = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(_mm256_srai_epi16(a, 3), _mm256_srai_epi16(b, 3)), 0xd8);
        if (x + 32 <= width) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), bytes);
        } else {
            alignas(32) uint8_t rest[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(rest), bytes);
            std::memcpy(out + x, rest, width - x);
        }
    }
}
#else
bool HasAvx2() {
    return false;
}
void ConvertRowAvx2(const uint8_t*, int, uint8_t*, int16_t*, int16_t*) {}
void FilterRowAvx2(const int16_t* const*, const int16_t*, int, int, uint8_t*) {}
#endif

int64_t RoundedDiv(int64_t a, int64_t b) {
    return (a >= 0 ? a + b / 2 : a - b / 2) / b;
}

// The scaler's vertical chroma filter from `rows` source rows to rows / 2: for output row k,
// `taps` weights (in 1/4096) on source rows first[k], first[k] + 1, ...
struct RowFilter {
    int taps = 0;
    std::vector<int> first;
    std::vector<int16_t> weights;
};

// Bicubic weights (B = 0, C = 0.6) in the scaler's fixed point (2^-53 for a 2:1 filter), both
// centres half a row in; near-zero ends trimmed, evened to the 2-tap alignment of its x86 code
// (a single tap stays single), weights past the edges folded onto the edge rows, and each set
// normalised to 4096 with the rounding error carried along.
RowFilter ChromaRowFilter(int rows) {
    const int to = rows / 2;
    const int64_t inc = ((static_cast<int64_t>(rows) << 16) + to / 2) / to;  // 16.16 rows
    const int64_t one = int64_t{1} << 53;
    const int64_t c = static_cast<int64_t>(0.6 * (1 << 24));
    const double cutoff = 0.002 * static_cast<double>(one);
    const int n = std::max(std::min(1 + (4 * rows + to - 1) / to, rows - 2), 1);

    std::vector<int> first(to);
    std::vector<int64_t> f(static_cast<size_t>(to) * n);
    int64_t centre = inc - (1 << 16);  // in 2^-17 source rows
    for (int i = 0; i < to; ++i, centre += 2 * inc) {
        int64_t at = (centre - (n - 2) * (int64_t{1} << 16)) / (1 << 17);  // rounds towards 0
        first[i] = static_cast<int>(at);
        for (int j = 0; j < n; ++j, ++at) {
            const int64_t d = (std::llabs(at * (1 << 17) - centre) << 13) * to / rows;
            int64_t w = 0;
            if (d < (int64_t{1} << 31)) {
                const int64_t dd = (d * d) >> 30, ddd = (dd * d) >> 30;
                if (d < (int64_t{1} << 30))
                    w = (12 * (1 << 24) - 6 * c) * ddd + (-18 * (1 << 24) + 6 * c) * dd +
                        6 * (int64_t{1} << 24) * (1 << 30);
                else
                    w = -6 * c * ddd + 30 * c * dd - 48 * c * d + 24 * c * (1 << 30);
            }
            f[static_cast<size_t>(i) * n + j] = w / 2;
        }
    }

    int needed = 0;
    for (int i = to - 1; i >= 0; --i) {
        int64_t* row = &f[static_cast<size_t>(i) * n];
        int64_t dropped = 0;
        for (int j = 0; j < n; ++j) {
            dropped += std::llabs(row[0]);
            if (static_cast<double>(dropped) > cutoff) break;
            if (i < to - 1 && first[i] >= first[i + 1]) break;
            std::copy(row + 1, row + n, row);
            row[n - 1] = 0;
            ++first[i];
        }
        int size = n;
        dropped = 0;
        for (int j = n - 1; j > 0; --j) {
            dropped += std::llabs(row[j]);
            if (static_cast<double>(dropped) > cutoff) break;
            --size;
        }
        needed = std::max(needed, size);
    }
    const int taps = needed == 1 ? 1 : (needed + 1) & ~1;

    std::vector<int64_t> g(static_cast<size_t>(to) * taps, 0);
    for (int i = 0; i < to; ++i)
        for (int j = 0; j < std::min(taps, n); ++j)
            g[static_cast<size_t>(i) * taps + j] = f[static_cast<size_t>(i) * n + j];
    for (int i = 0; i < to; ++i) {
        int64_t* row = &g[static_cast<size_t>(i) * taps];
        if (first[i] < 0) {
            for (int j = 1; j < taps; ++j) {
                row[std::max(j + first[i], 0)] += row[j];
                row[j] = 0;
            }
            first[i] = 0;
        }
        if (first[i] + taps > rows) {
            const int shift = first[i] + std::min(taps - rows, 0);
            int64_t past = 0;
            for (int j = taps - 1; j >= 0; --j) {
                if (first[i] + j >= rows) {
                    past += row[j];
                    row[j] = 0;
                }
            }
            for (int j = taps - 1; j >= 0; --j) row[j] = j < shift ? 0 : row[j - shift];
            first[i] -= shift;
            row[rows - 1 - first[i]] += past;
        }
    }

    RowFilter filter;
    filter.taps = taps;
    filter.first = std::move(first);
    filter.weights.resize(g.size());
    for (int i = 0; i < to; ++i) {
        const int64_t* row = &g[static_cast<size_t>(i) * taps];
        int64_t sum = 0;
        for (int j = 0; j < taps; ++j) sum += row[j];
        sum = std::max<int64_t>((sum + 2048) / 4096, 1);
        int64_t error = 0;
        for (int j = 0; j < taps; ++j) {
            const int64_t w = row[j] + error;
            const int64_t q = RoundedDiv(w, sum);
            filter.weights[static_cast<size_t>(i) * taps + j] = static_cast<int16_t>(q);
            error = w - q * sum;
        }
    }
    return filter;
}

// Per thread: the filter for the last size converted and the chroma rows in flight.
struct Scratch {
    int width = 0, height = 0;
    bool usable = false;
    RowFilter filter;
    int stride = 0;             // values per chroma row, a multiple of 32
    std::vector<int16_t> rows;  // kRing U rows, then kRing V rows
};

void Prepare(Scratch& s, int width, int height) {
    if (s.width == width && s.height == height) return;
    s.width = width;
    s.height = height;
    s.filter = ChromaRowFilter(height);
    s.stride = (width / 2 + 31) & ~31;
    s.rows.assign(static_cast<size_t>(2 * kRing) * s.stride, 0);
    // Every output row must find its source rows still in the ring.
    s.usable = s.filter.taps <= kRing;
    for (int k = 0, last = -1; s.usable && k < height / 2; ++k) {
        last = std::max(last, std::min(s.filter.first[k] + s.filter.taps, height) - 1);
        s.usable = s.filter.first[k] > last - kRing;
    }
}

uint32_t Next(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Pixel pairs that put a first rounding step right on its edge: kind 0 the luma sum of each
// pixel, kind 1 the U sum of the pair, kind 2 the V sum (rounding faults there show in so few
// pixels otherwise that no probe would meet them).
using EdgePairs = std::array<std::vector<std::array<uint8_t, 6>>, 3>;

EdgePairs MakeEdgePairs() {
    EdgePairs pairs;
    uint32_t state = 0x6a09e667u;
    const auto lumaEdge = [](const uint8_t* p) {
        return ((kRy * p[2] + kGy * p[1] + kBy * p[0] + 256) & 511) == 0;
    };
    const auto chromaEdge = [](const uint8_t* p, int kr, int kg, int kb) {
        return ((kr * (p[2] + p[5]) + kg * (p[1] + p[4]) + kb * (p[0] + p[3]) + 512) & 1023) == 0;
    };
    for (int kind = 0; kind < 3; ++kind) {
        for (int n = 0; n < 256; ++n) {
            std::array<uint8_t, 6> p;
            const auto draw = [&](int from) {
                const uint32_t bits = Next(state);
                for (int k = 0; k < 3; ++k) p[from + k] = static_cast<uint8_t>(bits >> (8 * k));
            };
            if (kind == 0) {
                do draw(0);
                while (!lumaEdge(&p[0]));
                do draw(3);
                while (!lumaEdge(&p[3]));
            } else {
                draw(0);
                do draw(3);
                while (kind == 1 ? !chromaEdge(p.data(), kRu, kGu, kBu)
                                 : !chromaEdge(p.data(), kRv, kGv, kBv));
            }
            pairs[kind].push_back(p);
        }
    }
    return pairs;
}

// Even seeds: 4x4 blocks of noise, channels at 0 or 255, flat colours and stripes of
// extremes. Odd seeds: cells of two pixels by 16 rows, each the same pair of edge pixels all
// down the cell.
std::vector<uint8_t> ProbePicture(int width, int height, uint32_t seed, const EdgePairs& edges) {
    // with room past the last row for the scaler's vector loads
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 + 64);
    uint32_t state = 0x2545f491u ^ (seed * 0x9e3779b9u);
    const auto at = [&](int x, int y) {
        return &picture[(static_cast<size_t>(y) * width + x) * 3];
    };
    if (seed & 1) {
        for (int cy = 0, cell = static_cast<int>(seed); cy < height; cy += 16) {
            for (int x = 0; x < width; x += 2, ++cell) {
                const auto& kind = edges[cell % 3];
                const uint8_t* pair = kind[(cell / 3) % kind.size()].data();
                for (int y = cy; y < std::min(cy + 16, height); ++y) std::memcpy(at(x, y), pair, 6);
            }
        }
        return picture;
    }
    const int blocksAcross = (width + 3) / 4;
    std::vector<uint32_t> colour(static_cast<size_t>(blocksAcross) * ((height + 3) / 4));
    for (uint32_t& c : colour) c = Next(state);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = at(x, y);
            const uint32_t c = colour[x / 4 + (y / 4) * blocksAcross];
            for (int k = 0; k < 3; ++k) {
                switch ((x / 4 + 2 * (y / 4) + y / 8) % 4) {
                    case 0:
                        p[k] = static_cast<uint8_t>(Next(state) >> 24);
                        break;
                    case 1:
                        p[k] = (Next(state) >> 31) ? 255 : 0;
                        break;
                    case 2:
                        p[k] = static_cast<uint8_t>(c >> (8 * k));
                        break;
                    default:
                        p[k] = ((c >> k) & 1) == ((x + ((c >> 3) & 1) * y) & 1) ? 255 : 0;
                }
            }
        }
    }
    return picture;
}

bool CheckAgainstScaler(int width, int height) {
    if (width < 2 || height < 2 || (width | height) & 1) return false;
    std::unique_ptr<SwsContext, void (*)(SwsContext*)> scaler(
        sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUVJ420P,
                       SWS_BICUBIC, nullptr, nullptr, nullptr),
        sws_freeContext);
    if (!scaler) return false;
    // Room past each row and plane for the scaler's vector stores.
    const int strides[3] = {(width + 63) & ~63, (width / 2 + 63) & ~63, (width / 2 + 63) & ~63};
    const int rows[3] = {height, height / 2, height / 2};
    const int widths[3] = {width, width / 2, width / 2};
    std::vector<uint8_t> theirs[3], ours[3];
    uint8_t *theirPlanes[4] = {}, *ourPlanes[3];
    for (int p = 0; p < 3; ++p) {
        theirs[p].assign(static_cast<size_t>(strides[p]) * (rows[p] + 1), 0);
        ours[p].assign(theirs[p].size(), 0);
        theirPlanes[p] = theirs[p].data();
        ourPlanes[p] = ours[p].data();
    }
    const int theirStrides[4] = {strides[0], strides[1], strides[2]};
    const int sourceStrides[4] = {3 * width};
    // Both kinds of picture; small frames get more of them, so that each check sees some 128k
    // pixels.
    const int pictures =
        static_cast<int>(std::clamp<int64_t>(131072 / (int64_t{width} * height), 2, 64));
    const EdgePairs edges = MakeEdgePairs();
    for (int n = 0; n < pictures; ++n) {
        const std::vector<uint8_t> picture = ProbePicture(width, height, n, edges);
        const uint8_t* source[4] = {picture.data()};
        if (sws_scale(scaler.get(), source, sourceStrides, 0, height, theirPlanes, theirStrides) !=
            height)
            return false;
        if (!BgrToYuvj420(picture.data(), 3 * static_cast<size_t>(width), width, height, ourPlanes,
                          strides))
            return false;
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < rows[p]; ++y)
                if (std::memcmp(&theirs[p][static_cast<size_t>(y) * strides[p]],
                                &ours[p][static_cast<size_t>(y) * strides[p]], widths[p]) != 0)
                    return false;
    }
    return true;
}

}  // namespace

bool BgrToYuvj420(const uint8_t* bgr, size_t bgrStride, int width, int height,
                  uint8_t* const planes[3], const int strides[3]) {
    if (width < 2 || height < 2 || (width | height) & 1 || !HasAvx2()) return false;
    thread_local Scratch scratch;
    Prepare(scratch, width, height);
    if (!scratch.usable) return false;

    const RowFilter& filter = scratch.filter;
    const int taps = filter.taps, chromaWidth = width / 2, chromaRows = height / 2;
    auto ringU = [&](int row) {
        return &scratch.rows[static_cast<size_t>(row % kRing) * scratch.stride];
    };
    auto ringV = [&](int row) { return ringU(row) + static_cast<size_t>(kRing) * scratch.stride; };
    int converted = 0;
    auto convertUpTo = [&](int last) {
        for (; converted <= last; ++converted) {
            const uint8_t* s = bgr + converted * bgrStride;
            uint8_t* y = planes[0] + static_cast<ptrdiff_t>(converted) * strides[0];
            ConvertRowAvx2(s, width, y, ringU(converted), ringV(converted));
        }
    };

    const int16_t* u[kRing];
    const int16_t* v[kRing];
    for (int k = 0; k < chromaRows; ++k) {
        const int first = filter.first[k];
        convertUpTo(std::min(first + taps, height) - 1);
        for (int j = 0; j < taps; ++j) {
            const int row = std::min(first + j, height - 1);
            u[j] = ringU(row);
            v[j] = ringV(row);
        }
        const int16_t* weights = &filter.weights[static_cast<size_t>(k) * taps];
        uint8_t* outU = planes[1] + static_cast<ptrdiff_t>(k) * strides[1];
        uint8_t* outV = planes[2] + static_cast<ptrdiff_t>(k) * strides[2];
        if (k == chromaRows - 1 || taps == 1) {
            FilterRowExact(u, weights, taps, chromaWidth, outU);
            FilterRowExact(v, weights, taps, chromaWidth, outV);
        } else {
            FilterRowAvx2(u, weights, taps, chromaWidth, outU);
            FilterRowAvx2(v, weights, taps, chromaWidth, outV);
        }
    }
    convertUpTo(height - 1);
    return true;
}

bool Yuvj420MatchesScaler(int width, int height) {
    static std::mutex mutex;
    static std::map<std::pair<int, int>, bool> checked;
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = checked.find({width, height});
    if (found != checked.end()) return found->second;
    const bool matches = CheckAgainstScaler(width, height);
    checked.emplace(std::make_pair(width, height), matches);
    return matches;
}
