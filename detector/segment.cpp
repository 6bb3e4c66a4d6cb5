// Motion segmentation for the fast path. A component is every history pixel reachable from a
// pixel stamped with the current time stamp through non-zero 4-neighbours whose values differ
// by at most the threshold; its box is what the library's segmentation reports for it, in the
// same order (that of the seed pixels, row by row). The library's scan-line fill reaches
// exactly this set, whatever order it visits it in, so any fill gives the same boxes. This one
// works on bit masks of each row's links and seeds, 64 pixels a step. The library's label
// image is not made: nothing reads it.
#include <algorithm>
#include <opencv2/core/hal/intrin.hpp>

#include "detector/internal.h"

namespace detector {

namespace {

using Word = uint64_t;
constexpr int kWordBits = 64;

int Words(int w) {
    return w / kWordBits + 1;  // one past the last pixel, whose bits stay clear
}

// One row's bits, four pixels at a time where the vector unit allows, each word gathered in
// registers before one store; bits past the row's end stay clear. Joining is the library's
// test: both pixels non-zero and their difference within [lo, up].
struct RowMasks {
    float lo, up, stamp;

    // Bit x: pixel x holds the stamp.
    void Seeds(const float* row, int w, Word* seed) const {
        int x = 0;
#if CV_SIMD128
        const cv::v_float32x4 vstamp = cv::v_setall_f32(stamp);
        const int whole = w / 4 * 4;
        for (int k = 0; k * kWordBits < whole; ++k) {
            Word s = 0;
            for (x = k * kWordBits; x < std::min(whole, (k + 1) * kWordBits); x += 4) {
                s |= static_cast<Word>(cv::v_signmask(cv::v_load(row + x) == vstamp))
                     << (x % kWordBits);
            }
            seed[k] = s;
        }
        x = whole;
#endif
        for (; x < w; ++x) {
            if (row[x] == stamp) seed[x / kWordBits] |= Word(1) << (x % kWordBits);
        }
    }

    // Bit x: mask pixel x is non-zero.
    static void NonZero(const uchar* row, int w, Word* seed) {
        int x = 0;
#if CV_SIMD128
        const cv::v_uint8x16 zero = cv::v_setzero_u8();
        const int whole = w / 16 * 16;
        for (int k = 0; k * kWordBits < whole; ++k) {
            Word s = 0;
            for (x = k * kWordBits; x < std::min(whole, (k + 1) * kWordBits); x += 16) {
                const cv::v_uint8x16 set = cv::v_load(row + x) != zero;
                s |= static_cast<Word>(static_cast<uint16_t>(cv::v_signmask(set)))
                     << (x % kWordBits);
            }
            seed[k] = s;
        }
        x = whole;
#endif
        for (; x < w; ++x) {
            if (row[x]) seed[x / kWordBits] |= Word(1) << (x % kWordBits);
        }
    }

    // link, bit x: pixel x joins pixel x-1; vertical, bit x: pixel x joins the pixel above
    // (above is null on the first row).
    void Links(const float* row, const float* above, int w, Word* link, Word* vertical) const {
        int x = 0;
#if CV_SIMD128
        const cv::v_float32x4 zero = cv::v_setzero_f32(), vlo = cv::v_setall_f32(lo),
                              vup = cv::v_setall_f32(up);
        auto joinMask = [&](const cv::v_float32x4& a, const cv::v_float32x4& b) {
            const cv::v_float32x4 d = a - b;
            return static_cast<Word>(
                cv::v_signmask((a != zero) & (b != zero) & (d >= vlo) & (d <= vup)));
        };
        const int whole = w / 4 * 4;
        for (int k = 0; k * kWordBits < whole; ++k) {
            Word l = 0, v = 0;
            for (x = k * kWordBits; x < std::min(whole, (k + 1) * kWordBits); x += 4) {
                const cv::v_float32x4 here = cv::v_load(row + x);
                // Pixel 0 has no left neighbour: its lane is compared with itself, then cleared.
                const cv::v_float32x4 left = x > 0
                                                 ? cv::v_load(row + x - 1)
                                                 : cv::v_float32x4(row[0], row[0], row[1], row[2]);
                const int shift = x % kWordBits;
                l |= joinMask(here, left) << shift;
                if (above) v |= joinMask(here, cv::v_load(above + x)) << shift;
            }
            link[k] = k == 0 ? l & ~Word(1) : l;
            vertical[k] = v;
        }
        x = whole;
#endif
        for (; x < w; ++x) {
            const Word bit = Word(1) << (x % kWordBits);
            if (x > 0 && Joins(row[x], row[x - 1])) link[x / kWordBits] |= bit;
            if (above && Joins(row[x], above[x])) vertical[x / kWordBits] |= bit;
        }
    }

    bool Joins(float a, float b) const {
        const float d = a - b;
        return a != 0.f && b != 0.f && lo <= d && d <= up;
    }
};

// Bits from..to (inclusive, both within word k) of a word.
inline Word Span(int k, int from, int to) {
    const int lo = std::max(from - k * kWordBits, 0), hi = std::min(to - k * kWordBits, 63);
    return (~Word(0) << lo) & (~Word(0) >> (63 - hi));
}

}  // namespace

void SegmentComponents(const cv::Mat& history, float stamp, float threshold,
                       SegmentScratch& scratch, std::vector<cv::Rect>& components,
                       const cv::Mat* stamped) {
    components.clear();
    const int w = history.cols, h = history.rows;
    if (w <= 0 || h <= 0 || stamp == 0.f) return;  // zero pixels never join a component
    const int words = Words(w);
    const size_t plane = static_cast<size_t>(words) * h;
    scratch.bits.assign(4 * plane, 0);
    Word* const linkBits = scratch.bits.data();
    Word* const verticalBits = linkBits + plane;
    Word* const seedBits = verticalBits + plane;
    Word* const seenBits = seedBits + plane;
    auto at = [words](Word* bits, int y) { return bits + static_cast<size_t>(y) * words; };
    const RowMasks masks{-threshold, threshold, stamp};
    bool anySeed = false;
    for (int y = 0; y < h; ++y) {
        Word* seed = at(seedBits, y);
        if (stamped) {
            masks.NonZero(stamped->ptr<uchar>(y), w, seed);
        } else {
            masks.Seeds(history.ptr<float>(y), w, seed);
        }
        for (int k = 0; k < words && !anySeed; ++k) anySeed = seed[k] != 0;
    }
    if (!anySeed) return;
    // Links are worked out for a row when the fill first reaches it: on a sparse history most
    // rows are never reached.
    std::vector<uint8_t>& linked = scratch.linked;
    linked.assign(static_cast<size_t>(h), 0);
    auto links = [&](int y) {
        if (!linked[y]) {
            masks.Links(history.ptr<float>(y), y > 0 ? history.ptr<float>(y - 1) : nullptr, w,
                        at(linkBits, y), at(verticalBits, y));
            linked[y] = 1;
        }
    };

    // Grows a row run from x (not yet seen) as far as its links reach past unseen pixels,
    // and marks it seen.
    auto extend = [&](int y, int x) {
        links(y);
        const Word* link = at(linkBits, y);
        Word* seen = at(seenBits, y);
        int r = x;
        for (int p = x + 1;;) {  // the first pixel right of x that does not join
            const int k = p / kWordBits;
            const Word stop = (~link[k] | seen[k]) & (~Word(0) << (p % kWordBits));
            if (stop) {
                r = k * kWordBits + __builtin_ctzll(stop) - 1;
                break;
            }
            p = (k + 1) * kWordBits;
        }
        int l = x;
        for (int q = x;;) {  // the first pixel left of x whose left neighbour does not join it
            const int k = q / kWordBits;
            const Word seenLeft = (seen[k] << 1) | (k > 0 ? seen[k - 1] >> 63 : 0);
            const Word stop = (~link[k] | seenLeft) & (~Word(0) >> (63 - q % kWordBits));
            if (stop) {
                l = k * kWordBits + 63 - __builtin_clzll(stop);
                break;
            }
            q = k * kWordBits - 1;
        }
        for (int k = l / kWordBits; k <= r / kWordBits; ++k) seen[k] |= Span(k, l, r);
        return SegmentScratch::Run{y, l, r};
    };
    std::vector<SegmentScratch::Run>& stack = scratch.stack;

    for (int y = 0; y < h; ++y) {
        for (int k = 0; k < words; ++k) {
            for (;;) {
                const Word fresh = at(seedBits, y)[k] & ~at(seenBits, y)[k];
                if (!fresh) break;
                const int x = k * kWordBits + __builtin_ctzll(fresh);
                int x0 = x, x1 = x, y0 = y, y1 = y;
                stack.assign(1, extend(y, x));
                while (!stack.empty()) {
                    const SegmentScratch::Run run = stack.back();
                    stack.pop_back();
                    x0 = std::min(x0, run.l), x1 = std::max(x1, run.r);
                    y0 = std::min(y0, run.y), y1 = std::max(y1, run.y);
                    for (const int ny : {run.y - 1, run.y + 1}) {
                        if (ny < 0 || ny >= h) continue;
                        // Links between the two rows are kept on the lower one.
                        links(std::max(ny, run.y));
                        const Word* vertical = at(verticalBits, std::max(ny, run.y));
                        const Word* seen = at(seenBits, ny);
                        for (int j = run.l / kWordBits; j <= run.r / kWordBits; ++j) {
                            const Word span = Span(j, run.l, run.r);
                            for (Word m; (m = vertical[j] & ~seen[j] & span) != 0;) {
                                stack.push_back(extend(ny, j * kWordBits + __builtin_ctzll(m)));
                            }
                        }
                    }
                }
                components.emplace_back(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
            }
        }
    }
}

}  // namespace detector
