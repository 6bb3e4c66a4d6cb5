// The steps the detector's fast path and its straight pipeline share.
#pragma once

#include <opencv2/core.hpp>

#include "detector/detector.h"
#include "detector/internal.h"

namespace detector {

inline constexpr double kHistoryDuration = 1.0;  // seconds a pixel's motion stays in the history
inline constexpr double kGradientDelta1 = 0.5;
inline constexpr double kGradientDelta2 = 0.05;
inline constexpr int kGradientAperture = 3;
inline constexpr double kSegmentThreshold = 0.5;  // seconds between neighbours of one component
inline constexpr double kLeastChangedShare = 0.05;
inline constexpr int kRectThickness = 3;
inline constexpr int kLineThickness = 5;
inline const cv::Scalar kOverlayColor(0, 0, 255);

// Once the history clock passes this many seconds it restarts near 2 s: below 4096 a float
// resolves half a millisecond, so the history never gets coarser than the clock.
inline constexpr double kRebaseAfter = 4096.0;
// Time stamps beyond this many seconds (31 years) are refused: they would overflow a float.
inline constexpr double kLargestTimestamp = 1e9;
// The gradient of the fast path is taken over full-width bands of rows of at least this many
// pixels. The library's filters treat the last few pixels of every row (and rows shorter than
// its vector width) with scalar code that rounds differently, so only whole rows give results
// identical to a gradient of the full frame.
inline constexpr int kLeastGradientPixels = 64;

bool UsableInput(const cv::Mat& frame, double timestamp);
bool UsableInput(cv::Size size, double timestamp);

// One row thresholded in place to 0/1 (1 where d[x] > t) and, with mask m (0/255) given, masked;
// returns the number of pixels left set.
uint32_t ThresholdRow(uchar* d, const uchar* m, int n, uchar t);

// The frame's gray rows as cvtColor gives them.
GrayRows GrayOf(const cv::Mat& frame);

// The gray picture into the ring and the absolute difference against the frame of three calls
// earlier, which lives in the ring. Done band by band, off the library's thread pool.
cv::Mat& Difference(cv::Size size, const GrayRows& gray, DetectorState& s);
// The difference thresholded: the silhouette (0/1), in the ring.
cv::Mat& Silhouette(cv::Size size, const GrayRows& gray, int32_t diffThreshold, DetectorState& s);

// Whether any control can change this call beyond the silhouette's threshold.
inline bool Screened(const DetectorState& s) {
    return !s.controls.mask.empty() || s.controls.lightSwitchPercent > 0 || s.warmupLeft > 0;
}

// The controls' mask at the frame size into s.frameMask (empty without a mask), and the
// number of watched pixels.
void FitMask(DetectorState& s, cv::Size frameSize);

// Decides from the number of silhouette pixels set (after the mask; only read with the light
// switch on) whether the call counts as no motion (warm-up, light switch). If so, the
// history is cleared and the ring slots the next three calls compare with receive this
// call's gray frame, so that they see the new picture as still; returns true.
bool Screen(DetectorState& s, int64_t changed);

// Moves the history clock forward when it has run long, so that float history values keep
// their resolution (only area may hold non-zero values). Returns the time stamp on the
// state's clock.
double HistoryTime(DetectorState& s, double timestamp, cv::Rect area);

bool EnoughChanged(const cv::Mat& silhouette, cv::Rect r);
void DrawOverlay(cv::Mat& frame, cv::Rect r, const DirectionLine& line);

}  // namespace detector
