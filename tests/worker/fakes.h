// Stand-ins for what a worker calls: a scripted camera, a window system that records its
// requests, a scripted motion count, recorded pauses.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <set>
#include <string>
#include <vector>

#include "slots/slots.h"
#include "worker/worker.h"

namespace fakes {

// Plays frames(0) .. frames(count-1), then ends. beforeFrame(i) runs before frame i is given.
class ScriptedCamera : public cameras::FrameSource {
  public:
    ScriptedCamera(int count, std::function<cv::Mat(int)> frames,
                   std::function<void(int)> beforeFrame = {})
        : count_(count), frames_(std::move(frames)), beforeFrame_(std::move(beforeFrame)) {}
    cameras::ReadStatus Read(cv::Mat& frame) override {
        int i = next_++;
        if (count_ >= 0 && i >= count_) return cameras::ReadStatus::End;
        if (beforeFrame_) beforeFrame_(i);
        frame = frames_(i);
        return cameras::ReadStatus::Frame;
    }

  private:
    int count_;  // < 0: never ends
    std::atomic<int> next_{0};
    std::function<cv::Mat(int)> frames_;
    std::function<void(int)> beforeFrame_;
};

class RecordingWindows : public display::WindowSystem {
  public:
    void Create(const std::string& title) override { Record("create " + title); }
    void Show(const std::string& title, const cv::Mat& image) override {
        Record("show " + title);
        std::lock_guard<std::mutex> lock(mutex_);
        shown.push_back(image.clone());
    }
    void Destroy(const std::string& title) override { Record("destroy " + title); }
    bool TakeClosedByUser(const std::string& title) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_.erase(title) > 0;
    }
    // As if the user pressed the window's close button.
    void CloseByUser(const std::string& title) {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_.insert(title);
    }

    std::vector<std::string> calls;
    std::vector<cv::Mat> shown;

  private:
    void Record(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.push_back(call);
    }
    std::mutex mutex_;
    std::set<std::string> closed_;
};

// Motion counts per call (0 past the end); paints a red box when asked, as the overlay does.
struct ScriptedMotion {
    std::vector<int32_t> counts;
    bool paintOverlay = false;
    std::vector<bool> overlayShown;
    int32_t operator()(detector::MotionDetector&, const MotionFrame& frame, int32_t, bool shown) {
        size_t i = overlayShown.size();
        overlayShown.push_back(shown);
        if (paintOverlay) {
            cv::rectangle(frame.colour, cv::Rect(10, 10, 30, 30), {0, 0, 255}, cv::FILLED);
        }
        return i < counts.size() ? counts[i] : 0;
    }
};

}  // namespace fakes
