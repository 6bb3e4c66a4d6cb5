// Camera windows.
//
// HighGUI (Qt backend) must be driven from one thread only: a window made on a worker thread
// that later ends leaves every other thread's next window call blocked for ever. So every
// HighGUI call of the program happens on one display thread, and the workers only hand it
// their requests through WindowSystem. Requests never block the caller.
#pragma once

#include <opencv2/core/mat.hpp>
#include <string>

namespace display {

class WindowSystem {
  public:
    virtual ~WindowSystem() = default;
    // Makes a window with automatic size (nothing when it already exists).
    virtual void Create(const std::string& title) = 0;
    // Shows image in the window; a window that does not exist is not made by this.
    virtual void Show(const std::string& title, const cv::Mat& image) = 0;
    virtual void Destroy(const std::string& title) = 0;
    // True (once) when the user closed the window of the latest Create with its close button.
    // The window is then gone; the next Create makes a new one.
    virtual bool TakeClosedByUser(const std::string& title) = 0;
};

// The process-wide display thread, started at the first request. When no display can be
// opened it prints one line on stderr, and every request is dropped from then on.
WindowSystem& DisplayWindows();

// True when Qt can show windows here: an X display opens, or QT_QPA_PLATFORM names a
// platform that needs none ("offscreen", "minimal").
bool DisplayReachable();

}  // namespace display
