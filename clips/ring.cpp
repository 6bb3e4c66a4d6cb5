#include "clips/ring.h"

#include <algorithm>

#include "cvio/cvio.h"

namespace clips {

void FrameRing::Push(const cv::Mat& frame, size_t keep) {
    if (keep == 0 || frame.empty()) {
        while (!entries_.empty()) DropOldest();
        return;
    }
    const size_t rawBytes = frame.total() * frame.elemSize();
    Entry entry;
    if (rawBytes * keep <= maxBytes_) {
        entry.raw = frame.isContinuous() ? frame : frame.clone();
        entry.bytes = rawBytes;
    } else {
        static const std::vector<int> params{cvio::kJpegQuality, 90};
        cvio::Encode(".jpg", frame, entry.jpeg, params);
        entry.jpeg.shrink_to_fit();
        entry.bytes = entry.jpeg.size();
    }
    // Room first, so that the bound holds even for a moment.
    while (!entries_.empty() && (entries_.size() + 1 > keep || bytes_ + entry.bytes > maxBytes_)) {
        DropOldest();
    }
    if (entry.bytes > maxBytes_) return;  // a single frame larger than the whole ring
    bytes_ += entry.bytes;
    peak_ = std::max(peak_, bytes_);
    entries_.push_back(std::move(entry));
}

void FrameRing::DropOldest() {
    bytes_ -= entries_.front().bytes;
    entries_.pop_front();
}

void FrameRing::Drain(const std::function<void(const cv::Mat&)>& sink) {
    while (!entries_.empty()) {
        Entry& e = entries_.front();
        if (!e.raw.empty()) {
            sink(e.raw);
        } else {
            cvio::Decode(e.jpeg, cvio::kReadColour, decoded_);
            if (!decoded_.empty()) sink(decoded_);
        }
        DropOldest();
    }
}

}  // namespace clips
