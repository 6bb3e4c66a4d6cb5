// The controls of what counts as motion: mask, light switch, warm-up, smallest region.
#include <sys/stat.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "cvio/cvio.h"
#include "detector/detector.h"
#include "detector/internal.h"
#include "detector/pipeline.h"

namespace detector {

namespace {

constexpr off_t kMaxMaskBytes = off_t{256} << 20;  // an 8K picture uncompressed, and more

// The next three calls compare with this call's gray frame, and no motion is left in the
// history: a picture that changed as a whole becomes the still scene.
void RestartFrom(DetectorState& s) {
    const int p = (s.ringIndex + 3) & 3;  // this call's gray frame
    s.ring[p].copyTo(s.ring[(p + 2) & 3]);
    s.ring[p].copyTo(s.ring[(p + 3) & 3]);
    s.history.setTo(0);
    s.marksValid = true;
    s.markCount = 0;
    s.motionRegion = {};
}

}  // namespace

void FitMask(DetectorState& s, cv::Size frameSize) {
    if (s.controls.mask.empty()) {
        s.frameMask.release();
        s.watchedPixels = int64_t{frameSize.width} * frameSize.height;
    } else if (s.frameMask.size() != frameSize) {
        cv::resize(s.controls.mask, s.frameMask, frameSize, 0, 0, cv::INTER_NEAREST);
        s.watchedPixels = cv::countNonZero(s.frameMask);
    }
}

bool Screen(DetectorState& s, int64_t changed) {
    bool restart = false;
    if (s.warmupLeft > 0) {
        --s.warmupLeft;
        restart = true;
    } else if (s.controls.lightSwitchPercent > 0) {
        restart = changed * 100 > int64_t{s.controls.lightSwitchPercent} * s.watchedPixels;
    }
    if (restart) RestartFrom(s);
    s.restarted = restart;
    return restart;
}

void ApplyControls(DetectorState& state, const DetectorControls& controls) {
    cv::Mat mask;  // a copy of our own, 0/255; stays empty for anything but a mask
    const cv::Mat& given = controls.mask;
    if (!given.empty() && given.dims == 2 && given.type() == CV_8UC1) {
        cv::compare(given, 0, mask, cv::CMP_NE);
    }
    state.controls = controls;
    state.controls.mask = mask;
    state.frameMask.release();
    state.warmupLeft = std::max(0, controls.warmupFrames);
}

cv::Mat ReadMotionMask(const std::string& path) {
    // Only a regular file of a picture's size: a named pipe would hold the worker (and its
    // stop) until a writer comes, a device never ends.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > detector::kMaxMaskBytes) {
        return {};
    }
    try {
        cv::Mat gray = cvio::ReadImage(path, cvio::kReadGray);
        if (gray.empty()) return {};
        cv::Mat mask;
        cv::compare(gray, 128, mask, cv::CMP_GE);
        return mask;
    } catch (...) {  // a file the decoders choke on counts as unreadable
        return {};
    }
}

void MotionDetector::SetControls(const DetectorControls& controls) {
    try {
        ApplyControls(*state_, controls);
    } catch (...) {  // out of memory copying the mask: the picture is watched as a whole
        state_->controls.mask.release();
        state_->frameMask.release();
    }
}

void MotionDetector::Restart() {
    state_->warmupLeft = std::max(0, state_->controls.warmupFrames);
}

}  // namespace detector
