// Motion detector: per-camera motion history, segmentation, direction and overlay.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <optional>

struct DetectorState;

// One camera's detector; used by that camera's worker only.
class MotionDetector {
  public:
    MotionDetector();
    ~MotionDetector();
    MotionDetector(const MotionDetector&) = delete;
    MotionDetector& operator=(const MotionDetector&) = delete;

    // Counts the moving regions of frame (8-bit BGR) and, when overlayShown, draws them onto
    // frame. The count never depends on overlayShown. Never throws: a frame that is empty or
    // not 8-bit BGR, or a library failure, give 0.
    int32_t Detect(cv::Mat& frame, int32_t diffThreshold, bool overlayShown);
    // Detect with an explicit time stamp (seconds).
    int32_t DetectAt(cv::Mat& frame, int32_t diffThreshold, double timestamp, bool overlayShown);

    // The largest region counted by the last call; empty when it counted none.
    cv::Rect Largest() const;
    // Direction of the largest region of the last call in degrees (0 = toward larger x, 90 =
    // toward smaller row numbers, as drawn); measured on demand, nothing when none was counted.
    std::optional<double> LargestDirection();

    DetectorState& State() { return *state_; }  // for tests

  private:
    std::unique_ptr<DetectorState> state_;
};

// Seconds since process start (64-bit millisecond count / 1000.0). The clock is steady and
// its origin is taken when the program's static objects are initialised, before main.
double MotionTimestamp();
