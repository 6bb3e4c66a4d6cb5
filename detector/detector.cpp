#include "detector/detector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <opencv2/optflow/motempl.hpp>

DetectorState DetectorTable[kDetectorSlots];

namespace {

constexpr double kHistoryDuration = 1.0;  // seconds a pixel's motion stays in the history
constexpr double kGradientDelta1 = 0.5;
constexpr double kGradientDelta2 = 0.05;
constexpr int kGradientAperture = 3;
constexpr double kSegmentThreshold = 0.5;  // seconds between neighbours of one component
constexpr int kSmallestComponent = 50;     // least width + height that counts as motion
constexpr double kLeastChangedShare = 0.05;
constexpr int kRectThickness = 3;
constexpr int kLineThickness = 5;
const cv::Scalar kOverlayColor(0, 0, 255);

// Once the history clock passes this many seconds it restarts near 2 s: below 4096 a float
// resolves half a millisecond, so the history never gets coarser than the clock.
constexpr double kRebaseAfter = 4096.0;
// Time stamps beyond this many seconds (31 years) are refused: they would overflow a float.
constexpr double kLargestTimestamp = 1e9;
// The gradient of the fast path is taken over full-width bands of rows of at least this many
// pixels. The library's filters treat the last few pixels of every row (and rows shorter than
// its vector width) with scalar code that rounds differently, so only whole rows give results
// identical to a gradient of the full frame.
constexpr int kLeastGradientPixels = 64;

std::chrono::steady_clock::time_point ProcessStart() {
    static const auto start = std::chrono::steady_clock::now();
    return start;
}
// Takes the clock's origin during static initialisation, before main.
[[maybe_unused]] const auto kProcessStartTaken = ProcessStart();

bool UsableInput(const cv::Mat& frame, double timestamp) {
    return frame.dims == 2 && !frame.empty() && frame.type() == CV_8UC3 &&
           std::isfinite(timestamp) && std::abs(timestamp) <= kLargestTimestamp;
}

cv::Rect Union(const cv::Rect& a, const cv::Rect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const int x1 = std::max(a.x + a.width, b.x + b.width);
    const int y1 = std::max(a.y + a.height, b.y + b.height);
    return {x0, y0, x1 - x0, y1 - y0};
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
    s.history.create(size, CV_32FC1);
    s.history.setTo(0);
    s.orientation.create(size, CV_32FC1);
    s.segmentMask.create(size, CV_32FC1);
    s.gradientMask.create(size, CV_8UC1);
    s.marksValid = true;
    s.markCount = 0;
    s.motionRegion = {};
}

// Gray conversion into the ring and the thresholded difference against the frame of three
// calls earlier; returns the silhouette (0/1), which lives in the ring.
cv::Mat& Silhouette(const cv::Mat& frame, int32_t diffThreshold, DetectorState& s) {
    const int p = s.ringIndex & 3;
    if (s.history.empty() || s.history.size() != frame.size()) Allocate(s, frame.size());
    cv::cvtColor(frame, s.ring[p], cv::COLOR_BGR2GRAY);
    const int q = (p + 1) & 3;
    s.ringIndex = q;
    cv::Mat& silhouette = s.ring[q];
    cv::absdiff(s.ring[p], silhouette, silhouette);
    cv::threshold(silhouette, silhouette, static_cast<double>(diffThreshold), 1.0,
                  cv::THRESH_BINARY);
    return silhouette;
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

bool EnoughChanged(const cv::Mat& silhouette, cv::Rect r) {
    const double changed = cv::norm(silhouette(r), cv::NORM_L1);
    return !(changed < static_cast<double>(r.width) * r.height * kLeastChangedShare);
}

double GlobalOrientation(const DetectorState& s, cv::Rect r, double timestamp) {
    return cv::motempl::calcGlobalOrientation(s.orientation(r), s.gradientMask(r), s.history(r),
                                              timestamp, kHistoryDuration);
}

void DrawOverlay(cv::Mat& frame, cv::Rect r, const DirectionLine& line) {
    cv::rectangle(frame, r.tl(), cv::Point(r.x + r.width, r.y + r.height), kOverlayColor,
                  kRectThickness, cv::LINE_AA, 0);
    cv::line(frame, line.from, line.to, kOverlayColor, kLineThickness, cv::LINE_AA, 0);
}

int32_t FastPass(cv::Mat& frame, int32_t diffThreshold, DetectorState& s, double timestamp,
                 bool overlayShown) {
    cv::Mat& silhouette = Silhouette(frame, diffThreshold, s);
    if (!s.marksValid) ResyncMarks(s);
    const double t = HistoryTime(s, timestamp, s.motionRegion);
    const float stamp = static_cast<float>(t);
    const float dropBelow = static_cast<float>(t - kHistoryDuration);

    // Outside the old region and the new silhouette the history is zero and stays zero.
    const cv::Rect silhouetteBox = NonZeroBounds(silhouette);
    const cv::Rect touched = Union(s.motionRegion, silhouetteBox);
    if (!touched.empty()) {
        cv::Mat silhouettePart = silhouette(touched), historyPart = s.history(touched);
        cv::motempl::updateMotionHistory(silhouettePart, historyPart, t, kHistoryDuration);
    }
    UpdateMarks(s, silhouetteBox, stamp, dropBelow);

    // Segmentation starts only from pixels stamped with this very time stamp and never
    // crosses a zero pixel, so the region of recent motion holds every component.
    s.components.clear();
    s.drawRects.clear();
    s.drawLines.clear();
    if (!MaySeed(s, stamp)) return 0;
    const cv::Rect region = s.motionRegion;
    cv::Mat historyPart = s.history(region), segmentPart = s.segmentMask(region);
    cv::motempl::segmentMotion(historyPart, segmentPart, s.components, t, kSegmentThreshold);

    int32_t count = 0;
    for (cv::Rect& r : s.components) {
        r += region.tl();
        if (r.width + r.height < kSmallestComponent) continue;
        ++count;
        if (overlayShown && EnoughChanged(silhouette, r)) s.drawRects.push_back(r);
    }
    if (s.drawRects.empty()) return count;

    // The gradient is needed only under the components drawn (plus the filters' margin).
    int top = s.history.rows, bottom = 0;
    for (const cv::Rect& r : s.drawRects) {
        top = std::min(top, r.y - 1);
        bottom = std::max(bottom, r.y + r.height + 1);
    }
    top = std::max(top, 0);
    bottom = std::min(bottom, s.history.rows);
    cv::Rect band(0, top, s.history.cols, bottom - top);
    if (band.area() < kLeastGradientPixels) band = cv::Rect(0, 0, s.history.cols, s.history.rows);
    cv::Mat historyBand = s.history(band), maskBand = s.gradientMask(band);
    cv::Mat orientationBand = s.orientation(band);
    cv::motempl::calcMotionGradient(historyBand, maskBand, orientationBand, kGradientDelta1,
                                    kGradientDelta2, kGradientAperture);
    for (const cv::Rect& r : s.drawRects) {
        s.drawLines.push_back(ComponentDirectionLine(r, GlobalOrientation(s, r, t)));
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

int32_t DetectMotion(cv::Mat& frame, int32_t diffThreshold, int slotIndex, bool overlayShown) {
    return DetectMotionAt(frame, diffThreshold, slotIndex, MotionTimestamp(), overlayShown);
}

int32_t DetectMotionAt(cv::Mat& frame, int32_t diffThreshold, int slotIndex, double timestamp,
                       bool overlayShown) {
    if (slotIndex < 0 || slotIndex >= kDetectorSlots) return 0;
    return DetectMotionFast(frame, diffThreshold, DetectorTable[slotIndex], timestamp,
                            overlayShown);
}

int32_t DetectMotionFast(cv::Mat& frame, int32_t diffThreshold, DetectorState& state,
                         double timestamp, bool overlayShown) {
    if (!UsableInput(frame, timestamp)) return 0;
    try {
        return FastPass(frame, diffThreshold, state, timestamp, overlayShown);
    } catch (...) {  // cv::Exception, std::bad_alloc: no count, nothing drawn
        state.marksValid = false;
        state.components.clear();
        return 0;
    }
}

int32_t DetectMotionReference(cv::Mat& frame, int32_t diffThreshold, DetectorState& state,
                              double timestamp) {
    if (!UsableInput(frame, timestamp)) return 0;
    try {
        cv::Mat& silhouette = Silhouette(frame, diffThreshold, state);
        state.marksValid = false;  // this path keeps no marks
        const double t =
            HistoryTime(state, timestamp, cv::Rect(0, 0, state.history.cols, state.history.rows));
        cv::motempl::updateMotionHistory(silhouette, state.history, t, kHistoryDuration);
        cv::motempl::calcMotionGradient(state.history, state.gradientMask, state.orientation,
                                        kGradientDelta1, kGradientDelta2, kGradientAperture);
        state.components.clear();
        cv::motempl::segmentMotion(state.history, state.segmentMask, state.components, t,
                                   kSegmentThreshold);
        int32_t count = 0;
        for (const cv::Rect& r : state.components) {
            if (r.width + r.height < kSmallestComponent) continue;
            ++count;
            DrawComponent(frame, state, silhouette, r, t);
        }
        return count;
    } catch (...) {
        state.components.clear();
        return 0;
    }
}

void DrawComponent(cv::Mat& frame, DetectorState& state, const cv::Mat& silhouette,
                   cv::Rect comp_rect, double timestamp) {
    try {
        const double orientation = GlobalOrientation(state, comp_rect, timestamp);
        if (!EnoughChanged(silhouette, comp_rect)) return;
        DrawOverlay(frame, comp_rect, ComponentDirectionLine(comp_rect, orientation));
    } catch (...) {  // a rectangle outside the images: nothing is drawn
    }
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

void ResetDetector(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kDetectorSlots) return;
    DetectorTable[slotIndex] = DetectorState{};
}
