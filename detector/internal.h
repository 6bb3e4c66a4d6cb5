// Internal to detector/: its inner workings, shared by its own files, its tests and its
// benchmarks: the per-camera state, the fast path on a caller's state, and the straight
// pipeline that the fast path must match. The rest of the program uses detector/detector.h.
#pragma once

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "detector/detector.h"
#include "detector/motion_history.h"

namespace detector {

// The silhouette box of one or more calls and the history values they stamped. The fast path
// keeps one while any of those values can still stand in the history.
struct MotionMark {
    cv::Rect box;
    float first = 0.f;  // smallest stamped value
    float last = 0.f;   // largest stamped value
};

constexpr int kMotionMarks = 32;

// A component's direction line: from the centre of its rectangle toward its motion.
struct DirectionLine {
    cv::Point from;
    cv::Point to;
};

// What the fast path's segmentation reuses from call to call.
struct SegmentScratch {
    struct Run {
        int y, l, r;  // row, first and last column
    };
    std::vector<uint64_t> bits;   // per-row bit masks: links, seeds, what the fill has seen
    std::vector<uint8_t> linked;  // rows whose link masks are worked out
    std::vector<Run> stack;
};

struct DetectorState {
    int32_t ringIndex = 0;        // ring position that receives the next gray frame
    std::array<cv::Mat, 4> ring;  // gray frames of the last calls + last silhouette
    cv::Mat history;              // CV_32F: time stamp of each pixel's latest motion
    // The straight path's images; the fast path never touches them (allocated, not resident).
    cv::Mat orientation;               // CV_32F: motion gradient direction, degrees
    cv::Mat segmentMask;               // CV_32F: component labels
    cv::Mat gradientMask;              // CV_8U: where the gradient is valid (0/1)
    std::vector<cv::Rect> components;  // components of the current call
    cv::Rect largest;                  // largest counted component of the current call
    // Its gradient's orientation, once taken in the current call (drawn or asked for).
    std::optional<double> largestOrientation;

    // History values are seconds after timeBase (process time). The base moves forward every
    // hour or so, which keeps the 32-bit float history as fine as the millisecond clock.
    double timeBase = 0.0;

    // Fast path only. History and ring are always complete; the gradient is taken strip by
    // strip into scratch, and only the valid pixels under the regions it was taken for are kept.
    bool marksValid = false;  // marks describe the history
    int32_t markCount = 0;
    std::array<MotionMark, kMotionMarks> marks;  // oldest first
    cv::Rect motionRegion;                       // bounds every non-zero history pixel
    std::vector<cv::Rect> drawRects;             // components to draw in the current call
    std::vector<DirectionLine> drawLines;
    SegmentScratch segmentScratch;
    cv::Mat stripAngle;  // CV_32F, CV_8U: one strip's orientation and valid mask
    cv::Mat stripValid;
    std::vector<std::vector<OrientationSample>> orientationSamples;  // per region of the gradient

    // The controls and what follows from them at the current frame size.
    DetectorControls controls;
    cv::Mat frameMask;          // controls.mask at the frame size (0/255); empty: none
    int64_t watchedPixels = 0;  // non-zero pixels of frameMask, or the frame's area
    int warmupLeft = 0;         // calls still to count as no motion
    bool restarted = false;     // the current call restarted the history
};

// A detector's state, for its tests.
DetectorState& DetectorStateOf(MotionDetector& detector);

// The boxes cv::motempl::segmentMotion finds in history (CV_32F) for this time stamp and
// threshold, in its order, without its label image. stamped, when given (8-bit, history's
// size), is non-zero exactly where history holds stamp: the caller knows where it stamped.
void SegmentComponents(const cv::Mat& history, float stamp, float threshold,
                       SegmentScratch& scratch, std::vector<cv::Rect>& components,
                       const cv::Mat* stamped = nullptr);

// Sets the controls of a state and starts their warm-up (MotionDetector::SetControls).
void ApplyControls(DetectorState& state, const DetectorControls& controls);

// The detector on a state of the caller's: skips what cannot change the count or, when the
// overlay is shown, the drawing. MotionDetector runs this on its own state.
int32_t DetectMotionFast(cv::Mat& frame, int32_t diffThreshold, DetectorState& state,
                         double timestamp, bool overlayShown);

// Every step on every call: full-frame history update, gradient and segmentation, then
// DrawComponent for each counted component. Same counts and drawing as DetectMotionFast;
// kept as the yardstick for it.
int32_t DetectMotionReference(cv::Mat& frame, int32_t diffThreshold, DetectorState& state,
                              double timestamp);

// Measures one counted component's direction and draws it when enough of it changed.
// timestamp is on the state's history clock (seconds after state.timeBase).
void DrawComponent(cv::Mat& frame, DetectorState& state, const cv::Mat& silhouette,
                   cv::Rect comp_rect, double timestamp);

// The direction line of a component whose global motion orientation is orientationDegrees
// (0 = toward larger x, 90 = toward larger row numbers, as the gradient measures it).
DirectionLine ComponentDirectionLine(cv::Rect comp_rect, double orientationDegrees);

}  // namespace detector
