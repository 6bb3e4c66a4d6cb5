// The detector's fast path: it analyses only where motion can be and skips what cannot change
// the count (or, with the overlay shown, the drawing). The straight pipeline it must match is
// in reference.cpp.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "detector/detector.h"
#include "detector/motion_history.h"
#include "detector/pipeline.h"

namespace detector {

namespace {

std::chrono::steady_clock::time_point ProcessStart() {
    static const auto start = std::chrono::steady_clock::now();
    return start;
}
// Takes the clock's origin during static initialisation, before main.
[[maybe_unused]] const auto kProcessStartTaken = ProcessStart();

cv::Rect Union(const cv::Rect& a, const cv::Rect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const int x1 = std::max(a.x + a.width, b.x + b.width);
    const int y1 = std::max(a.y + a.height, b.y + b.height);
    return {x0, y0, x1 - x0, y1 - y0};
}

bool Any32(const uchar* p) {
    uint64_t w[4];
    std::memcpy(w, p, sizeof w);
    return (w[0] | w[1] | w[2] | w[3]) != 0;
}

// Bounds of the non-zero pixels of an 8-bit image; empty when there are none.
cv::Rect NonZeroBounds(const cv::Mat& image) {
    const int n = image.cols;
    int top = -1, bottom = -1, left = n, right = -1;
    for (int y = 0; y < image.rows; ++y) {
        const uchar* row = image.ptr<uchar>(y);
        int x = 0;
        while (x + 32 <= n && !Any32(row + x)) x += 32;
        while (x < n && row[x] == 0) ++x;
        if (x == n) continue;
        if (top < 0) top = y;
        bottom = y;
        left = std::min(left, x);
        int end = n;
        while (end - 32 > right && end >= 32 && !Any32(row + end - 32)) end -= 32;
        while (end - 1 > right && row[end - 1] == 0) --end;
        right = std::max(right, end - 1);
    }
    if (top < 0) return {};
    return {left, top, right - left + 1, bottom - top + 1};
}

// The threshold, the mask (0/255, or empty) and the count of the pixels left set, in one
// pass over the difference: it becomes the silhouette (0/1).
int64_t ThresholdUnderMask(cv::Mat& difference, int32_t diffThreshold, const cv::Mat& mask) {
    // Beyond the 8-bit range every pixel, or none, passes.
    if (diffThreshold < 0 || diffThreshold > 254) {
        difference.setTo(diffThreshold < 0 ? 1 : 0);
        if (diffThreshold < 0 && !mask.empty()) cv::bitwise_and(difference, mask, difference);
        return diffThreshold < 0 ? cv::countNonZero(difference) : 0;
    }
    const uchar t = static_cast<uchar>(diffThreshold);
    int64_t count = 0;
    for (int y = 0; y < difference.rows; ++y) {
        count += ThresholdRow(difference.ptr<uchar>(y), mask.empty() ? nullptr : mask.ptr<uchar>(y),
                              difference.cols, t);
    }
    return count;
}

// Rebuilds the marks from the history itself (after the straight path or a failure ran on
// the state): one mark over all non-zero pixels and their range of values.
void ResyncMarks(DetectorState& s) {
    int top = -1, bottom = -1, left = s.history.cols, right = -1;
    float lo = std::numeric_limits<float>::max(), hi = std::numeric_limits<float>::lowest();
    for (int y = 0; y < s.history.rows; ++y) {
        const float* row = s.history.ptr<float>(y);
        for (int x = 0; x < s.history.cols; ++x) {
            if (row[x] == 0.f) continue;
            if (top < 0) top = y;
            bottom = y;
            left = std::min(left, x);
            right = std::max(right, x);
            lo = std::min(lo, row[x]);
            hi = std::max(hi, row[x]);
        }
    }
    s.markCount = 0;
    s.motionRegion = {};
    if (top >= 0) {
        s.motionRegion = {left, top, right - left + 1, bottom - top + 1};
        s.marks[0] = {s.motionRegion, lo, hi};
        s.markCount = 1;
    }
    s.marksValid = true;
}

// Forgets marks whose values this call's history update cleared, records this call's
// silhouette box and recomputes the region of recent motion.
void UpdateMarks(DetectorState& s, cv::Rect silhouetteBox, float stamp, float dropBelow) {
    int kept = 0;
    for (int i = 0; i < s.markCount; ++i) {
        if (!(s.marks[i].last < dropBelow)) s.marks[kept++] = s.marks[i];
    }
    s.markCount = kept;
    if (!silhouetteBox.empty()) {
        if (s.markCount == kMotionMarks) {  // fold the two oldest together
            MotionMark& a = s.marks[0];
            const MotionMark& b = s.marks[1];
            a = {Union(a.box, b.box), std::min(a.first, b.first), std::max(a.last, b.last)};
            std::copy(s.marks.begin() + 2, s.marks.end(), s.marks.begin() + 1);
            --s.markCount;
        }
        s.marks[s.markCount++] = {silhouetteBox, stamp, stamp};
    }
    s.motionRegion = {};
    for (int i = 0; i < s.markCount; ++i) s.motionRegion = Union(s.motionRegion, s.marks[i].box);
}

// Whether any history pixel may hold exactly stamp, the only values segmentation starts from.
bool MaySeed(const DetectorState& s, float stamp) {
    for (int i = 0; i < s.markCount; ++i) {
        if (s.marks[i].first <= stamp && stamp <= s.marks[i].last) return true;
    }
    return false;
}

constexpr int kGradientStrip = 64;

// The motion gradient under rects only (plus the filters' margin), over full-width bands; what
// it leaves is each rect's valid pixels, in s.orientationSamples (one list per rect, in order).
void GradientUnder(DetectorState& s, const std::vector<cv::Rect>& rects) {
    int top = s.history.rows, bottom = 0;
    for (const cv::Rect& r : rects) {
        top = std::min(top, r.y - 1);
        bottom = std::max(bottom, r.y + r.height + 1);
    }
    top = std::max(top, 0);
    bottom = std::min(bottom, s.history.rows);
    cv::Rect band(0, top, s.history.cols, bottom - top);
    if (band.area() < kLeastGradientPixels) band = cv::Rect(0, 0, s.history.cols, s.history.rows);
    s.orientationSamples.resize(rects.size());
    for (std::vector<OrientationSample>& samples : s.orientationSamples) samples.clear();
    // In strips of kGradientStrip rows (the last takes what is left, joined to the one before
    // when it is too short): the filters read the rows around a strip from the history itself,
    // as they do around the band, so the strips' pixels are the band's, while their scratch
    // images stay small and in the cache. Each strip is long enough for the angle's vector
    // code to cover it whole, as it covers the band (one long row of continuous pixels either
    // way). A strip's orientation and mask go to scratch kept from call to call (the top rows
    // of a continuous image are continuous too); only the valid pixels under the rects are
    // kept from them.
    const auto stripRows = [&](int y, int end) {
        const int rows = std::min(kGradientStrip, end - y), left = end - y - rows;
        return left > 0 && left * band.width < kLeastGradientPixels ? rows + left : rows;
    };
    const int end = band.y + band.height;
    for (int y = band.y; y < end;) {
        const int rows = stripRows(y, end);
        if (s.stripAngle.cols != band.width || s.stripAngle.rows < rows) {
            s.stripAngle.create(rows, band.width, CV_32FC1);
            s.stripValid.create(rows, band.width, CV_8UC1);
        }
        const cv::Rect strip(0, y, band.width, rows);
        cv::Mat historyStrip = s.history(strip);
        cv::Mat angle = s.stripAngle.rowRange(0, rows), valid = s.stripValid.rowRange(0, rows);
        CalcMotionGradient(historyStrip, valid, angle, kGradientDelta1, kGradientDelta2,
                           kGradientAperture);
        for (size_t i = 0; i < rects.size(); ++i) {
            const cv::Rect& r = rects[i];
            std::vector<OrientationSample>& samples = s.orientationSamples[i];
            const int from = std::max(r.y, y), to = std::min(r.y + r.height, y + rows);
            for (int row = from; row < to; ++row) {
                const float* a = angle.ptr<float>(row - y);
                const uchar* v = valid.ptr<uchar>(row - y);
                const float* h = s.history.ptr<float>(row);
                for (int x = r.x; x < r.x + r.width; ++x) {
                    if (v[x] != 0) samples.push_back({a[x], h[x]});
                }
            }
        }
        y += rows;
    }
}

int32_t FastPass(cv::Size size, const GrayRows& gray, cv::Mat& frame, int32_t diffThreshold,
                 DetectorState& s, double timestamp, bool overlayShown) {
    s.restarted = false;
    const bool screened = Screened(s);
    cv::Mat& silhouette =
        screened ? Difference(size, gray, s) : Silhouette(size, gray, diffThreshold, s);
    if (screened) {
        FitMask(s, silhouette.size());
        if (Screen(s, ThresholdUnderMask(silhouette, diffThreshold, s.frameMask))) {
            s.components.clear();
            s.drawRects.clear();
            s.drawLines.clear();
            s.largest = {};
            return 0;
        }
    }
    if (!s.marksValid) ResyncMarks(s);
    const double t = HistoryTime(s, timestamp, s.motionRegion);
    const float stamp = static_cast<float>(t);
    const float dropBelow = static_cast<float>(t - kHistoryDuration);

    // Outside the old region and the new silhouette the history is zero and stays zero.
    const cv::Rect silhouetteBox = NonZeroBounds(silhouette);
    const cv::Rect touched = Union(s.motionRegion, silhouetteBox);
    // Unless an earlier call used this stamp too, the pixels that hold it are the silhouette's.
    const bool onlyNewStamps = !MaySeed(s, stamp);
    if (!touched.empty()) {
        cv::Mat silhouettePart = silhouette(touched), historyPart = s.history(touched);
        UpdateMotionHistory(silhouettePart, historyPart, t, kHistoryDuration);
    }
    UpdateMarks(s, silhouetteBox, stamp, dropBelow);

    // Segmentation starts only from pixels stamped with this very time stamp and never
    // crosses a zero pixel, so the region of recent motion holds every component.
    s.components.clear();
    s.drawRects.clear();
    s.drawLines.clear();
    s.largest = {};
    s.largestOrientation.reset();
    if (!MaySeed(s, stamp)) return 0;
    const cv::Rect region = s.motionRegion;
    const cv::Mat stamped = onlyNewStamps ? silhouette(region) : cv::Mat();
    SegmentComponents(s.history(region), stamp, static_cast<float>(kSegmentThreshold),
                      s.segmentScratch, s.components, onlyNewStamps ? &stamped : nullptr);

    int32_t count = 0;
    for (cv::Rect& r : s.components) {
        r += region.tl();
        if (r.width + r.height < s.controls.minSize) continue;
        ++count;
        if (r.area() > s.largest.area()) s.largest = r;
        if (overlayShown && EnoughChanged(silhouette, r)) s.drawRects.push_back(r);
    }
    if (s.drawRects.empty()) return count;

    GradientUnder(s, s.drawRects);
    for (size_t i = 0; i < s.drawRects.size(); ++i) {
        const double orientation = GlobalOrientationOf(s.orientationSamples[i], kHistoryDuration);
        if (s.drawRects[i] == s.largest) s.largestOrientation = orientation;
        s.drawLines.push_back(ComponentDirectionLine(s.drawRects[i], orientation));
    }
    // Drawn last, so that a failure above leaves the frame untouched.
    for (size_t i = 0; i < s.drawRects.size(); ++i)
        DrawOverlay(frame, s.drawRects[i], s.drawLines[i]);
    return count;
}

}  // namespace

double MotionTimestamp() {
    const auto elapsed = std::chrono::steady_clock::now() - ProcessStart();
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return static_cast<double>(ms) / 1000.0;
}

namespace {

int32_t DetectOn(cv::Size size, const GrayRows& gray, cv::Mat& frame, int32_t diffThreshold,
                 DetectorState& state, double timestamp, bool overlayShown) {
    if (!UsableInput(size, timestamp)) return 0;
    try {
        return FastPass(size, gray, frame, diffThreshold, state, timestamp, overlayShown);
    } catch (...) {  // cv::Exception, std::bad_alloc: no count, nothing drawn
        state.marksValid = false;
        state.components.clear();
        state.largest = {};
        return 0;
    }
}

}  // namespace

int32_t DetectMotionFast(cv::Mat& frame, int32_t diffThreshold, DetectorState& state,
                         double timestamp, bool overlayShown) {
    if (!UsableInput(frame, timestamp)) return 0;
    return DetectOn(frame.size(), GrayOf(frame), frame, diffThreshold, state, timestamp,
                    overlayShown);
}

MotionDetector::MotionDetector() : state_(std::make_unique<DetectorState>()) {}
MotionDetector::~MotionDetector() = default;

DetectorState& DetectorStateOf(MotionDetector& detector) {
    return *detector.state_;
}

int32_t MotionDetector::Detect(cv::Mat& frame, int32_t diffThreshold, bool overlayShown) {
    return DetectAt(frame, diffThreshold, MotionTimestamp(), overlayShown);
}

int32_t MotionDetector::DetectAt(cv::Mat& frame, int32_t diffThreshold, double timestamp,
                                 bool overlayShown) {
    return DetectMotionFast(frame, diffThreshold, *state_, timestamp, overlayShown);
}

int32_t MotionDetector::DetectGray(cv::Size size, const GrayRows& gray, cv::Mat& frame,
                                   int32_t diffThreshold, bool overlayShown) {
    const bool drawable = frame.dims == 2 && frame.size() == size && frame.type() == CV_8UC3;
    return DetectOn(size, gray, frame, diffThreshold, *state_, MotionTimestamp(),
                    overlayShown && drawable);
}

cv::Rect MotionDetector::Largest() const {
    return state_->largest;
}

std::optional<double> MotionDetector::LargestDirection() {
    DetectorState& s = *state_;
    if (s.largest.empty()) return std::nullopt;
    try {
        // Drawn, its orientation was taken with the others' (a region's gradient pixels are the
        // same whichever regions are taken with it); otherwise it is taken now, once.
        if (!s.largestOrientation) {
            GradientUnder(s, {s.largest});
            s.largestOrientation =
                GlobalOrientationOf(s.orientationSamples.front(), kHistoryDuration);
        }
        const double angle = 360.0 - *s.largestOrientation;
        return angle >= 360.0 ? angle - 360.0 : angle;
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<cv::Rect> MotionDetector::Regions() const {
    const DetectorState& s = *state_;
    std::vector<cv::Rect> regions;
    for (const cv::Rect& r : s.components) {
        if (r.width + r.height >= s.controls.minSize) regions.push_back(r);
    }
    return regions;
}

bool MotionDetector::Restarted() const {
    return state_->restarted;
}

}  // namespace detector
