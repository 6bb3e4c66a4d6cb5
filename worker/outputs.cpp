#include "worker/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// A number is taken when its file opens for reading, and also when it exists but cannot be
// read (no permission): such a file must not be overwritten. O_NONBLOCK keeps a FIFO of that
// name from stalling the worker.
bool FileTaken(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) return false;
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// OpenCV's image codecs set up shared state at their first use; with several workers saving
// their first snapshots at once, that set-up races. One thread does it for all.
void PrepareImageCodecs() {
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        try {
            std::vector<uchar> jpeg;
            cv::imencode(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)), jpeg);
        } catch (...) {
        }
    });
}

}  // namespace

std::string ComposeFileName(const std::string& prefix, const std::string& name) {
    if (prefix.size() + name.size() > kMaxFileName) return {};
    return prefix + name;
}

std::string NextSnapshotName(const std::string& base) {
    std::string name;
    for (int n = 1; n <= kLastSnapshotNumber; ++n) {
        name = ComposeFileName(base, std::to_string(n) + ".jpg");
        if (name.empty()) return {};
        if (!FileTaken(name)) break;
    }
    return name;
}

bool SaveSnapshot(const std::string& path, const cv::Mat& image) {
    if (path.empty() || image.empty()) return false;
    PrepareImageCodecs();
    try {
        return cv::imwrite(path, image);
    } catch (...) {
        return false;
    }
}

void VideoRecorder::Open(const std::string& path, int32_t fourcc, cv::Size frameSize) {
    if (path.empty() || writer_.isOpened()) return;
    cv::Size half(frameSize.width / 2, frameSize.height / 2);
    if (half.width <= 0 || half.height <= 0) return;
    if (scaled_.empty()) scaled_ = cv::Mat(half, CV_8UC3, cv::Scalar::all(0));
    try {
        writer_.open(path, cv::CAP_FFMPEG, fourcc, kVideoFps, scaled_.size(), true);
    } catch (...) {
    }
}

bool VideoRecorder::IsOpen() const { return writer_.isOpened(); }

void VideoRecorder::Write(const cv::Mat& image) {
    if (!writer_.isOpened() || image.empty()) return;
    try {
        cv::resize(image, scaled_, scaled_.size(), 0, 0, cv::INTER_CUBIC);
        writer_.write(scaled_);
    } catch (...) {
    }
}

void VideoRecorder::Release() {
    try {
        writer_.release();
    } catch (...) {
    }
}
