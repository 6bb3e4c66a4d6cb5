// The motion history's update, gradient and global orientation. Each keeps OpenCV's
// arithmetic step for step (its x86-64 CPU build: no IPP, no OpenCL), so that the detector's
// results stay the same to the bit. This file is compiled without floating-point contraction:
// a fused multiply-add would round the orientation's weights differently.
#include "detector/motion_history.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core/hal/hal.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace detector {

#endif

namespace {

// The history only ever holds stamps and zeros, never NaN, so "older than the bound" and "not
// at or after it" are the same test; the vector code uses the latter.
inline float UpdatedValue(uchar silhouette, float value, float stamp, float bound) {
    return silhouette ? stamp : value < bound ? 0.f : value;
}

#if defined(__x86_64__) || defined(__i386__)
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// 8 pixels; bytes holds their silhouette in its low 8 bytes.
__attribute__((target("avx2"), always_inline)) inline void Update8Avx2(float* h, __m128i bytes,
                                                                       __m256 stamp, __m256 bound) {
    const __m256i set = _mm256_cmpgt_epi32(_mm256_cvtepu8_epi32(bytes), _mm256_setzero_si256());
    __m256 v = _mm256_loadu_ps(h);
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, bound, _CMP_GE_OQ));
    _mm256_storeu_ps(h, _mm256_blendv_ps(v, stamp, _mm256_castsi256_ps(set)));
}

// Whole steps of 8 pixels; returns the first pixel left.
__attribute__((target("avx2"))) int UpdateRowAvx2(const uchar* s, float* h, int n, float stamp,
                                                  float bound) {
    const __m256 stamp8 = _mm256_set1_ps(stamp), bound8 = _mm256_set1_ps(bound);
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
        Update8Avx2(h + x, bytes, stamp8, bound8);
        Update8Avx2(h + x + 8, _mm_unpackhi_epi64(bytes, bytes), stamp8, bound8);
    }
    if (x + 8 <= n) {
        Update8Avx2(h + x, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + x)), stamp8,
                    bound8);
        x += 8;
    }
    return x;
}
#endif

#if defined(__SSE2__)
// Whole steps of 16 pixels, from x on; returns the first pixel left.
int UpdateRowSse2(const uchar* s, float* h, int x, int n, float stamp, float bound) {
    const __m128 stamp4 = _mm_set1_ps(stamp), bound4 = _mm_set1_ps(bound);
    for (; x + 16 <= n; x += 16) {
        // 0xff.. where the silhouette is clear, widened to one mask per float.
        const __m128i clear8 = _mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x)), _mm_setzero_si128());
        const __m128i clear16[2] = {_mm_unpacklo_epi8(clear8, clear8),
                                    _mm_unpackhi_epi8(clear8, clear8)};
        for (int k = 0; k < 4; ++k) {
            const __m128i c16 = clear16[k / 2];
            const __m128 clear = _mm_castsi128_ps(k % 2 == 0 ? _mm_unpacklo_epi16(c16, c16)
                                                             : _mm_unpackhi_epi16(c16, c16));
            __m128 v = _mm_loadu_ps(h + x + 4 * k);
            v = _mm_and_ps(v, _mm_cmpge_ps(v, bound4));
            v = _mm_or_ps(_mm_and_ps(clear, v), _mm_andnot_ps(clear, stamp4));
            _mm_storeu_ps(h + x + 4 * k, v);
        }
    }
    return x;
}
#endif

void UpdateRow(const uchar* s, float* h, int n, float stamp, float bound) {
    int x = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (HasAvx2()) x = UpdateRowAvx2(s, h, n, stamp, bound);
#endif
#if defined(__SSE2__)
    x = UpdateRowSse2(s, h, x, n, stamp, bound);
#endif
    for (; x < n; ++x) h[x] = UpdatedValue(s[x], h[x], stamp, bound);
}

}  // namespace

void UpdateMotionHistory(const cv::Mat& silhouette, cv::Mat& history, double timestamp,
                         double duration) {
    CV_Assert(silhouette.type() == CV_8UC1 && history.type() == CV_32FC1);
    CV_Assert(silhouette.dims <= 2 && history.dims <= 2 && silhouette.size() == history.size());
    const float stamp = static_cast<float>(timestamp);
    const float bound = static_cast<float>(timestamp - duration);
    int width = silhouette.cols, rows = silhouette.rows;
    if (silhouette.isContinuous() && history.isContinuous()) {
        width *= rows;
        rows = 1;
    }
    for (int y = 0; y < rows; ++y)
        UpdateRow(silhouette.ptr<uchar>(y), history.ptr<float>(y), width, stamp, bound);
}

void CalcMotionGradient(const cv::Mat& history, cv::Mat& mask, cv::Mat& orientation, double delta1,
                        double delta2, int apertureSize) {
    cv::Size size = history.size();
    mask.create(size, CV_8UC1);
    orientation.create(size, CV_32FC1);
    if (apertureSize < 3 || apertureSize > 7 || (apertureSize & 1) == 0)
        CV_Error(cv::Error::StsOutOfRange, "aperture size must be 3, 5 or 7");
    if (delta1 <= 0 || delta2 <= 0)
        CV_Error(cv::Error::StsOutOfRange, "both deltas must be positive");
    if (history.type() != CV_32FC1)
        CV_Error(cv::Error::StsUnsupportedFormat, "the history must be one-channel float");
    if (orientation.data == history.data) {  // never written over the history it reads
        orientation.release();
        orientation.create(size, CV_32FC1);
    }
    if (delta1 > delta2) std::swap(delta1, delta2);

    const float flat = 1e-4f * apertureSize * apertureSize;
    const float leastSpread = static_cast<float>(delta1);
    const float mostSpread = static_cast<float>(delta2);

    // dx, dy first, then the neighbourhood's least and greatest values in the same images.
    cv::Mat dxLow, dyHigh;
    cv::Sobel(history, dxLow, CV_32F, 1, 0, apertureSize, 1, 0, cv::BORDER_REPLICATE);
    cv::Sobel(history, dyHigh, CV_32F, 0, 1, apertureSize, 1, 0, cv::BORDER_REPLICATE);

    // One long row when all three are continuous, as OpenCV takes it: the angle's vector code
    // and its tail code may round differently, so the rows must be split where OpenCV splits.
    if (history.isContinuous() && orientation.isContinuous() && mask.isContinuous()) {
        size.width *= size.height;
        size.height = 1;
    }
    for (int y = 0; y < size.height; ++y) {
        const float* dx = dxLow.ptr<float>(y);
        const float* dy = dyHigh.ptr<float>(y);
        float* angle = orientation.ptr<float>(y);
        uchar* valid = mask.ptr<uchar>(y);
        cv::hal::fastAtan2(dy, dx, angle, size.width, true);
        for (int x = 0; x < size.width; ++x) {
            if (std::abs(dx[x]) < flat && std::abs(dy[x]) < flat) {
                valid[x] = 0;
                angle[x] = 0.f;
            } else {
                valid[x] = 1;
            }
        }
    }

    const int iterations = (apertureSize - 1) / 2;
    cv::erode(history, dxLow, cv::noArray(), cv::Point(-1, -1), iterations, cv::BORDER_REPLICATE);
    cv::dilate(history, dyHigh, cv::noArray(), cv::Point(-1, -1), iterations, cv::BORDER_REPLICATE);
    for (int y = 0; y < size.height; ++y) {
        const float* low = dxLow.ptr<float>(y);
        const float* high = dyHigh.ptr<float>(y);
        float* angle = orientation.ptr<float>(y);
        uchar* valid = mask.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            const float spread = high[x] - low[x];
            if (valid[x] == 0 || spread < leastSpread || mostSpread < spread) {
                valid[x] = 0;
                angle[x] = 0.f;
            }
        }
    }
}

namespace {

constexpr int kOrientationBins = 12;  // of 30 degrees

// The start of the fullest bin of a histogram of 0..360 degrees (the first of equals).
float FullestBinStart(const cv::Mat& histogram) {
    cv::Point fullest;
    cv::minMaxLoc(histogram, nullptr, nullptr, nullptr, &fullest);
    return (fullest.x + fullest.y) * 360.f / kOrientationBins;
}

// The weights of the values after newest - duration, and the angles near the base.
class WeightedShift {
  public:
    WeightedShift(float base, double newest, double duration)
        // weight = ((value - (newest - duration)) / duration * 254 + 1) / 255, as a * value + b.
        : base_(base),
          a_(static_cast<float>(254. / 255. / duration)),
          b_(static_cast<float>(1. - newest * a_)),
          bound_(static_cast<float>(newest - duration)) {}

    // One valid pixel; the pixels come in row order, summed in float.
    void Add(float h, float angle) {
        if (!(h > bound_)) return;
        const float weight = h * a_ + b_;
        float relative = angle - base_;  // -360..360, brought into -180..180
        relative += relative < -180 ? 360 : 0;
        relative += relative > 180 ? -360 : 0;
        if (std::abs(relative) < 45) {
            shift_ += weight * relative;
            weights_ += weight;
        }
    }

    double Orientation() const {
        float base = base_ + shift_ / (weights_ == 0 ? 0.01f : weights_);
        base -= base < 360 ? 0 : 360;
        base += base >= 0 ? 0 : 360;
        return base;
    }

  private:
    float base_, a_, b_, bound_;
    float shift_ = 0, weights_ = 0;
};

}  // namespace

double CalcGlobalOrientation(const cv::Mat& orientation, const cv::Mat& mask,
                             const cv::Mat& history, double /*timestamp*/, double duration) {
    cv::Size size = history.size();
    CV_Assert(mask.type() == CV_8UC1 && orientation.type() == CV_32FC1 &&
              history.type() == CV_32FC1);
    CV_Assert(mask.size() == size && orientation.size() == size);
    CV_Assert(duration > 0);

    // The dominant orientation: the fullest of 12 bins of 30 degrees.
    const int bins = kOrientationBins;
    const float range[] = {0.f, 360.f};
    const float* ranges = range;
    cv::Mat histogram;
    cv::calcHist(&orientation, 1, nullptr, mask, histogram, 1, &bins, &ranges);
    // The newest value under the mask serves as the time stamp.
    double newest = 0;
    cv::minMaxLoc(history, nullptr, &newest, nullptr, nullptr, mask);
    WeightedShift sum(FullestBinStart(histogram), newest, duration);

    if (history.isContinuous() && mask.isContinuous() && orientation.isContinuous()) {
        size.width *= size.height;
        size.height = 1;
    }
    // The angles within 45 degrees of the base, relative to it, weighted.
    for (int y = 0; y < size.height; ++y) {
        const float* h = history.ptr<float>(y);
        const float* angle = orientation.ptr<float>(y);
        const uchar* valid = mask.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (valid[x] != 0) sum.Add(h[x], angle[x]);
        }
    }
    return sum.Orientation();
}

double GlobalOrientationOf(const std::vector<OrientationSample>& samples, double duration) {
    CV_Assert(duration > 0);
    // Not Mat::zeros: its expression object is a lazily made global that threads race on.
    cv::Mat histogram(kOrientationBins, 1, CV_32F, cv::Scalar(0));
    double newest = 0;
    if (!samples.empty()) {
        // The angles are channel 0 of the samples seen as a row of float pairs.
        static_assert(sizeof(OrientationSample) == 2 * sizeof(float));
        const cv::Mat pairs(1, static_cast<int>(samples.size()), CV_32FC2,
                            const_cast<OrientationSample*>(samples.data()));
        const int bins = kOrientationBins, channel = 0;
        const float range[] = {0.f, 360.f};
        const float* ranges = range;
        cv::calcHist(&pairs, 1, &channel, cv::noArray(), histogram, 1, &bins, &ranges);
        float most = samples[0].history;
        for (const OrientationSample& p : samples) most = std::max(most, p.history);
        newest = most;
    }
    WeightedShift sum(FullestBinStart(histogram), newest, duration);
    for (const OrientationSample& p : samples) sum.Add(p.history, p.angle);
    return sum.Orientation();
}

}  // namespace detector
