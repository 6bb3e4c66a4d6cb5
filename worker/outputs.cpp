#include "worker/outputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string_view>
#include <vector>

#include "worker/errors.h"

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

// A named pipe cannot hold an AVI (the writer goes back to fill in the header at the end),
// and opening one that nothing reads would stall the worker for good.
bool IsNamedPipe(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
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

// The snapshot numbers n for which base + n + ".jpg" is listed in base's folder, indexed by
// n; empty when the folder cannot be read (every number is then tried on its own).
std::vector<bool> ListedSnapshotNumbers(const std::string& base) {
    const size_t slash = base.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : base.substr(0, slash + 1);
    const std::string stem = slash == std::string::npos ? base : base.substr(slash + 1);
    DIR* dir = opendir(folder.c_str());
    if (!dir) return {};
    std::vector<bool> listed(kLastSnapshotNumber + 1, false);
    while (const dirent* entry = readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name.size() <= stem.size() + 4 || name.substr(0, stem.size()) != stem) continue;
        std::string_view digits = name.substr(stem.size(), name.size() - stem.size() - 4);
        if (name.substr(name.size() - 4) != ".jpg" || digits.size() > 5 || digits[0] == '0') {
            continue;
        }
        int n = 0;
        for (char c : digits) n = (c >= '0' && c <= '9' && n >= 0) ? n * 10 + (c - '0') : -1;
        if (n > 0) listed[n] = true;
    }
    closedir(dir);
    return listed;
}

}  // namespace

std::string ComposeFileName(const std::string& prefix, const std::string& name) {
    if (prefix.size() + name.size() > kMaxText) return {};
    return prefix + name;
}

std::string NextSnapshotName(const std::string& base) {
    // One read of the folder instead of an open per number: with thousands of earlier
    // snapshots that is the difference between microseconds and tens of milliseconds.
    const std::vector<bool> listed = ListedSnapshotNumbers(base);
    int n = 1;
    for (; n < kLastSnapshotNumber; ++n) {
        if (!listed.empty() && listed[n]) continue;
        // Not listed: confirm, since a file may have appeared after the folder was read.
        std::string name = ComposeFileName(base, std::to_string(n) + ".jpg");
        if (name.empty() || !FileTaken(name)) break;
    }
    return ComposeFileName(base, std::to_string(n) + ".jpg");
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
    auto open = [&] {
        if (IsNamedPipe(path)) return;
        try {
            writer_.open(path, cv::CAP_FFMPEG, fourcc, kVideoFps, scaled_.size(), true);
        } catch (...) {
        }
    };
    // The first failure is reported, the library's reason included; the retries that follow
    // on every frame stay quiet.
    if (failedAttempts_ == 0) {
        open();
    } else {
        WithStderrMuted(open);
    }
    if (writer_.isOpened()) return;
    if (failedAttempts_++ == 0) {
        ReportError("video " + path + " cannot be created; trying again on every frame");
    }
}

bool VideoRecorder::IsOpen() const {
    return writer_.isOpened();
}

bool VideoRecorder::Write(const cv::Mat& image) {
    if (!writer_.isOpened() || image.empty()) return false;
    try {
        cv::resize(image, scaled_, scaled_.size(), 0, 0, cv::INTER_CUBIC);
        writer_.write(scaled_);
        return true;
    } catch (...) {
        return false;
    }
}

void VideoRecorder::Release() {
    try {
        writer_.release();
    } catch (...) {
    }
}
