#include "detector/pipeline.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "detector/motion_history.h"

namespace detector {

namespace {

// Pages of their own, straight from the kernel, which stay out of the resident set until
// written: for the history, which the fast path writes only where something moved (zero as
// mapped), and for the straight path's images, which the fast path never touches. From the
// heap they could be pages that earlier allocations had written.
class MappedAllocator final : public cv::MatAllocator {
  public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step,
                           cv::AccessFlag, cv::UMatUsageFlags) const override {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data0 && step[i] != cv::Mat::AUTO_STEP) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<size_t>(sizes[i]);
        }
        void* data = data0;
        if (!data) {
            data = mmap(nullptr, std::max<size_t>(total, 1), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (data == MAP_FAILED) throw std::bad_alloc();
        }
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = static_cast<uchar*>(data);
        u->size = total;
        if (data0) u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override {
        return u != nullptr;
    }

    void deallocate(cv::UMatData* u) const override {
        if (!u) return;
        if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
            munmap(u->origdata, std::max<size_t>(u->size, 1));
        }
        delete u;
    }
};

cv::MatAllocator* Mapped() {
    static auto* allocator = new MappedAllocator();  // outlives every image
    return allocator;
}

void Allocate(DetectorState& s, cv::Size size) {
    for (cv::Mat& image : s.ring) {
        image.release();
        image.create(size, CV_8UC1);
        image.setTo(0);
    }
    s.history.release();
    s.orientation.release();
    s.segmentMask.release();
    s.gradientMask.release();
    for (cv::Mat* image : {&s.history, &s.orientation, &s.segmentMask, &s.gradientMask}) {
        image->allocator = Mapped();
    }
    s.history.create(size, CV_32FC1);  // zero as mapped, and untouched where nothing moves
    s.orientation.create(size, CV_32FC1);
    s.segmentMask.create(size, CV_32FC1);
    s.gradientMask.create(size, CV_8UC1);
    s.marksValid = true;
    s.markCount = 0;
    s.motionRegion = {};
}

// |gray - older| into older, the bytes of cv::absdiff; with threshold given, then 0 or 1 as
// cv::threshold(THRESH_BINARY, maxval 1) makes them: 1 where the difference exceeds it.
void DifferenceRow(const uchar* gray, uchar* older, int n, const int32_t* threshold) {
    // Beyond the 8-bit range every pixel, or none, passes.
    if (threshold && (*threshold < 0 || *threshold > 254)) {
        std::memset(older, *threshold < 0 ? 1 : 0, static_cast<size_t>(n));
        return;
    }
    int x = 0;
#if CV_SIMD
    for (const int lanes = cv::v_uint8::nlanes; x + lanes <= n; x += lanes)
        cv::v_store(older + x, cv::v_absdiff(cv::vx_load(gray + x), cv::vx_load(older + x)));
#endif
    for (; x < n; ++x) older[x] = static_cast<uchar>(std::abs(gray[x] - older[x]));
    if (threshold) ThresholdRow(older, nullptr, n, static_cast<uchar>(*threshold));
}

// The gray picture, the difference and (with threshold given) the threshold band by band, so
// that the passes over a band run while it is in the cache. A band also stays under the size at
// which the library hands a conversion to its thread pool, whose hand-over and spinning cost
// more CPU than the work on frames of camera size.
cv::Mat& DifferenceBands(cv::Size size, const GrayRows& grayRows, DetectorState& s,
                         const int32_t* threshold) {
    constexpr int kBandPixels = 1 << 16;
    const int p = s.ringIndex & 3, q = (p + 1) & 3;
    if (s.history.empty() || s.history.size() != size) Allocate(s, size);
    s.ringIndex = q;
    cv::Mat& gray = s.ring[p];
    cv::Mat& difference = s.ring[q];
    const int rows = std::max(1, kBandPixels / std::max(1, size.width));
    for (int y = 0; y < size.height; y += rows) {
        const cv::Range band(y, std::min(size.height, y + rows));
        cv::Mat grayBand = gray.rowRange(band), differenceBand = difference.rowRange(band);
        grayRows(band.start, band.end, grayBand);
        for (int r = 0; r < grayBand.rows; ++r) {
            DifferenceRow(grayBand.ptr<uchar>(r), differenceBand.ptr<uchar>(r), size.width,
                          threshold);
        }
    }
    return difference;
}

}  // namespace

// Vector code: a plain loop, as the compiler widens its count, costs four times the library's
// threshold.
uint32_t ThresholdRow(uchar* d, const uchar* m, int n, uchar t) {
    uint32_t count = 0;
    int x = 0;
#if CV_SIMD
    const cv::v_uint8 limit = cv::vx_setall_u8(t), one = cv::vx_setall_u8(1);
    const int lanes = cv::v_uint8::nlanes;
    while (x + lanes <= n) {
        cv::v_uint8 sum = cv::vx_setzero_u8();  // at most 255 blocks before it is added up
        for (int k = 0; k < 255 && x + lanes <= n; ++k, x += lanes) {
            cv::v_uint8 v = (cv::vx_load(d + x) > limit) & one;
            if (m) v &= cv::vx_load(m + x);
            cv::v_store(d + x, v);
            sum += v;
        }
        count += cv::v_reduce_sum(sum);
    }
#endif
    for (; x < n; ++x) {
        const uchar v = static_cast<uchar>((d[x] > t ? 1 : 0) & (m ? m[x] : 1));
        d[x] = v;
        count += v;
    }
    return count;
}

bool UsableInput(cv::Size size, double timestamp) {
    return size.width > 0 && size.height > 0 && std::isfinite(timestamp) &&
           std::abs(timestamp) <= kLargestTimestamp;
}

bool UsableInput(const cv::Mat& frame, double timestamp) {
    return frame.dims == 2 && frame.type() == CV_8UC3 && UsableInput(frame.size(), timestamp);
}

GrayRows GrayOf(const cv::Mat& frame) {
    return [&frame](int begin, int end, cv::Mat& band) {
        cv::cvtColor(frame.rowRange(begin, end), band, cv::COLOR_BGR2GRAY);
    };
}

cv::Mat& Difference(cv::Size size, const GrayRows& gray, DetectorState& s) {
    return DifferenceBands(size, gray, s, nullptr);
}

cv::Mat& Silhouette(cv::Size size, const GrayRows& gray, int32_t diffThreshold, DetectorState& s) {
    return DifferenceBands(size, gray, s, &diffThreshold);
}

// Moves the history clock forward when it has run long, so that float history values keep
// their resolution. Values that this call's update would clear are cleared; the others move
// by a whole number of seconds, which is exact for them. Only area may hold non-zero values.
// Returns the time stamp on the state's clock.
double HistoryTime(DetectorState& s, double timestamp, cv::Rect area) {
    const double local = timestamp - s.timeBase;
    if (!(local >= kRebaseAfter)) return local;
    const double shift = std::floor(local) - 2.0;
    const float limit = static_cast<float>(local - kHistoryDuration);
    const float shiftF = static_cast<float>(shift);
    for (int y = area.y; y < area.y + area.height; ++y) {
        float* row = s.history.ptr<float>(y);
        for (int x = area.x; x < area.x + area.width; ++x) {
            row[x] = row[x] < limit ? 0.f : row[x] - shiftF;
        }
    }
    int kept = 0;
    for (int i = 0; i < s.markCount; ++i) {
        MotionMark m = s.marks[i];
        if (m.last < limit) continue;
        m.first = m.first < limit ? std::numeric_limits<float>::lowest() : m.first - shiftF;
        m.last -= shiftF;
        s.marks[kept++] = m;
    }
    s.markCount = kept;
    s.timeBase += shift;
    return timestamp - s.timeBase;
}

bool EnoughChanged(const cv::Mat& silhouette, cv::Rect r) {
    const double changed = cv::norm(silhouette(r), cv::NORM_L1);
    return !(changed < static_cast<double>(r.width) * r.height * kLeastChangedShare);
}

void DrawOverlay(cv::Mat& frame, cv::Rect r, const DirectionLine& line) {
    cv::rectangle(frame, r.tl(), cv::Point(r.x + r.width, r.y + r.height), kOverlayColor,
                  kRectThickness, cv::LINE_AA, 0);
    cv::line(frame, line.from, line.to, kOverlayColor, kLineThickness, cv::LINE_AA, 0);
}

DirectionLine ComponentDirectionLine(cv::Rect comp_rect, double orientationDegrees) {
    const double angle = 360.0 - orientationDegrees;
    const double radians = angle * 3.141592653589793 / 180.0;
    const cv::Point center(comp_rect.x + comp_rect.width / 2, comp_rect.y + comp_rect.height / 2);
    const int half = std::min(comp_rect.width, comp_rect.height) / 2;
    // Rounds half to even (the default rounding mode).
    const cv::Point to(static_cast<int>(std::nearbyint(center.x + half * std::cos(radians))),
                       static_cast<int>(std::nearbyint(center.y - half * std::sin(radians))));
    return {center, to};
}

}  // namespace detector
