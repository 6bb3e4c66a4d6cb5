// The pre-capture ring: the last frames of a camera, bounded in count and in bytes. Frames are
// kept as they are while that many raw frames fit the byte bound, otherwise JPEG-encoded.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <vector>

namespace clips {

class FrameRing {
  public:
    explicit FrameRing(size_t maxBytes) : maxBytes_(maxBytes) {}
    // Keeps frame (shares its buffer when kept raw) and at most keep frames in all.
    void Push(const cv::Mat& frame, size_t keep);
    // Hands the frames over oldest first, decoded, and empties the ring.
    void Drain(const std::function<void(const cv::Mat&)>& sink);
    size_t Frames() const { return entries_.size(); }
    size_t Bytes() const { return bytes_; }
    size_t PeakBytes() const { return peak_; }

  private:
    struct Entry {
        cv::Mat raw;  // or
        std::vector<uint8_t> jpeg;
        size_t bytes = 0;
    };
    void DropOldest();

    size_t maxBytes_;
    size_t bytes_ = 0, peak_ = 0;
    std::deque<Entry> entries_;
    cv::Mat decoded_;
};

}  // namespace clips
