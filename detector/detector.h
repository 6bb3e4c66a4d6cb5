// Motion detector: per-camera motion history, segmentation, direction and overlay.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>
#include <vector>

namespace detector {

struct DetectorState;

// What counts as motion beyond the difference threshold. The defaults count as the detector
// always has.
struct DetectorControls {
    // 8-bit, one channel: zero pixels never count as motion. Scaled (nearest) to the frame
    // size. Empty: the whole picture is watched.
    cv::Mat mask;
    int minSize = 50;  // least width + height of a counted region
    // A frame where more than this percent of the watched picture changed counts as no
    // motion and restarts the motion history from its picture. 0: off.
    int lightSwitchPercent = 0;
    // Frames after the start (and after each Restart) that count as no motion; each restarts
    // the history from its picture, so the first frame after them compares with a settled
    // scene. 0: off.
    int warmupFrames = 0;
};

// A mask image file as DetectorControls::mask wants it: 255 where its gray level is 128 or
// more (watched), 0 where darker. Empty when the file cannot be read or holds no picture.
cv::Mat ReadMotionMask(const std::string& path);

// Rows [begin, end) of a frame's gray picture into band (8-bit, one channel, end - begin rows
// of the frame's width): the bytes cv::cvtColor(COLOR_BGR2GRAY) gives of those rows of the
// frame in colour.
using GrayRows = std::function<void(int begin, int end, cv::Mat& band)>;

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
    // Detect for a frame of this size given by its gray rows, with the same count. frame, the
    // same picture in 8-bit BGR, is only read with overlayShown, and receives the overlay.
    int32_t DetectGray(cv::Size size, const GrayRows& gray, cv::Mat& frame, int32_t diffThreshold,
                       bool overlayShown);

    // The largest region counted by the last call; empty when it counted none.
    cv::Rect Largest() const;
    // Direction of the largest region of the last call in degrees (0 = toward larger x, 90 =
    // toward smaller row numbers, as drawn); measured on demand, nothing when none was counted.
    std::optional<double> LargestDirection();
    // Every region counted by the last call, in the order found (Largest is one of them).
    std::vector<cv::Rect> Regions() const;
    // Whether the last call counted no motion because it restarted the history from its
    // picture (warm-up, light switch).
    bool Restarted() const;

    // Replaces the controls and starts their warm-up. Never throws.
    void SetControls(const DetectorControls& controls);
    // After a gap in the frames (a stream that came back): the warm-up starts again, if any.
    void Restart();

  private:
    friend DetectorState& DetectorStateOf(MotionDetector& detector);

    std::unique_ptr<DetectorState> state_;
};

// Seconds since process start (64-bit millisecond count / 1000.0). The clock is steady and
// its origin is taken when the program's static objects are initialised, before main.
double MotionTimestamp();

}  // namespace detector
