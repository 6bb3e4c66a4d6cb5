// Test helpers: synthetic scenes written as video files that serve as cameras.
#pragma once

#include <functional>
#include <opencv2/core.hpp>
#include <string>

namespace testkit {

// Writes count frames make(0) .. make(count-1) to path with a lossless codec (FFV1 in AVI),
// so that decoded frames equal the frames written. True on success.
bool WriteVideo(const std::string& path, int count, cv::Size size,
                const std::function<cv::Mat(int)>& make, double fps = 25.0);

// A lit, textured scene where nothing moves.
cv::Mat StillScene(cv::Size size);

// The still scene with a filled 60x60 box whose left edge is at x = 20 + 12*(i - moveFrom)
// for moveFrom <= i < moveTo, parked at its last place before and after.
cv::Mat MovingBoxScene(cv::Size size, int i, int moveFrom, int moveTo);

// Frames of a decoded video file, through the same library the program uses.
int CountVideoFrames(const std::string& path, cv::Size* size = nullptr, double* fps = nullptr);

}  // namespace testkit
