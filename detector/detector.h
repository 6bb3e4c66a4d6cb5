// Motion detector: per-slot motion history, segmentation, direction and overlay.
// Each slot's state is used only by that slot's worker.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

constexpr int kDetectorSlots = 10;

struct DetectorState {
    int32_t ringIndex = 0;              // ring position that receives the next gray frame
    std::array<cv::Mat, 4> ring;        // gray frames of the last calls + last silhouette
    cv::Mat history;                    // CV_32F: time stamp of each pixel's latest motion
    cv::Mat orientation;                // CV_32F: motion gradient direction, degrees
    cv::Mat segmentMask;                // CV_32F: component labels
    cv::Mat gradientMask;               // CV_8U: where the gradient is valid (0/1)
    std::vector<cv::Rect> components;   // components of the current call
};

extern DetectorState DetectorTable[kDetectorSlots];

// Seconds since process start (64-bit millisecond count / 1000.0).
double MotionTimestamp();

// Counts the moving regions of frame (8-bit BGR) for the slot and, when overlayShown,
// draws them onto frame. The count never depends on overlayShown.
int32_t DetectMotion(cv::Mat& frame, int32_t diffThreshold, int slotIndex,
                     bool overlayShown = true);

// DetectMotion with an explicit time stamp (seconds); the seam tests drive.
int32_t DetectMotionAt(cv::Mat& frame, int32_t diffThreshold, int slotIndex, double timestamp,
                       bool overlayShown = true);

// Measures one counted component's direction and draws it when enough of it changed.
void DrawComponent(cv::Mat& frame, DetectorState& state, const cv::Mat& silhouette,
                   cv::Rect comp_rect, double timestamp);

// Puts a slot's state back to its process-start state (for tests).
void ResetDetector(int slotIndex);
