// The motion history and what is measured on it: the history update, its gradient and the
// global orientation of a region. Each gives, to the bit, what OpenCV's motion-template
// functions give on the same input (so the detector needs only core and imgproc).
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace detector {

// Where silhouette (8-bit) is non-zero, history (32-bit float, the same size) becomes
// timestamp; elsewhere values older than timestamp - duration become 0. Either may be a view
// into a larger image.
void UpdateMotionHistory(const cv::Mat& silhouette, cv::Mat& history, double timestamp,
                         double duration);

// The orientation of the history's gradient in degrees (0..360) into orientation, and into
// mask 1 where it is valid: where the gradient is not flat and the history's spread over the
// aperture's neighbourhood lies between delta1 and delta2 (either order); 0 and orientation 0
// elsewhere. apertureSize is 3, 5 or 7. On a view the filters read the pixels around it.
void CalcMotionGradient(const cv::Mat& history, cv::Mat& mask, cv::Mat& orientation, double delta1,
                        double delta2, int apertureSize);

// The dominant orientation (degrees) under mask, refined by the recent motion's weighted
// mean around it; the weights grow with the history value up to its newest under mask, which
// stands in for timestamp.
double CalcGlobalOrientation(const cv::Mat& orientation, const cv::Mat& mask,
                             const cv::Mat& history, double timestamp, double duration);

// One pixel of a region where the gradient is valid (mask 1): its orientation and history.
struct OrientationSample {
    float angle;
    float history;
};

// CalcGlobalOrientation from the region's valid pixels alone, in row order: the same value to
// the bit, without keeping the region's orientation and mask as images.
double GlobalOrientationOf(const std::vector<OrientationSample>& samples, double duration);

}  // namespace detector
