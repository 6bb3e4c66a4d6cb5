#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <string_view>
#include <vector>

#include "recording/recording.h"

extern "C" {
#include <libavcodec/codec_desc.h>
#include <libavformat/avformat.h>
}

#include "cvio/cvio.h"
#include "diag/diag.h"
#include "diag/report.h"
#include "pixels/pixels.h"

namespace recording {

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

std::string StemOf(const std::string& base) {
    const size_t slash = base.rfind('/');
    return slash == std::string::npos ? base : base.substr(slash + 1);
}

// n when name is stem + n + ".jpg" exactly (n from 1, no leading zero), 0 otherwise.
int SnapshotNumberOf(std::string_view name, std::string_view stem) {
    if (name.size() <= stem.size() + 4 || name.substr(0, stem.size()) != stem) return 0;
    std::string_view digits = name.substr(stem.size(), name.size() - stem.size() - 4);
    if (name.substr(name.size() - 4) != ".jpg" || digits.size() > 5 || digits[0] == '0') return 0;
    int n = 0;
    for (char c : digits) n = (c >= '0' && c <= '9' && n >= 0) ? n * 10 + (c - '0') : -1;
    return n > 0 ? n : 0;
}

// The snapshot numbers n for which base + n + ".jpg" is listed in base's folder, indexed by
// n; empty when the folder cannot be read (every number is then tried on its own).
std::vector<bool> ListedSnapshotNumbers(const std::string& base) {
    DIR* dir = opendir(FolderOf(base).c_str());
    if (!dir) return {};
    const std::string stem = StemOf(base);
    std::vector<bool> listed(kLastSnapshotNumber + 1, false);
    while (const dirent* entry = readdir(dir)) {
        if (const int n = SnapshotNumberOf(entry->d_name, stem)) listed[n] = true;
    }
    closedir(dir);
    return listed;
}

// The lowest number from `from` that is neither listed nor found taken by an open; the last
// number when all are. Numbers found taken are marked in listed (when it is not empty).
int LowestFree(const std::string& base, std::vector<bool>& listed, int from) {
    int n = std::max(1, from);
    for (; n < kLastSnapshotNumber; ++n) {
        if (!listed.empty() && listed[n]) continue;
        // Not listed: confirm, since a file may have appeared after the folder was read.
        std::string name = ComposeFileName(base, std::to_string(n) + ".jpg");
        if (name.empty() || !FileTaken(name)) break;
        if (!listed.empty()) listed[n] = true;
    }
    return n;
}

}  // namespace

std::string FolderOf(const std::string& base) {
    const size_t slash = base.rfind('/');
    return slash == std::string::npos ? "." : base.substr(0, slash + 1);
}

// OpenCV's image codecs set up shared state at their first use; with several workers saving
// their first snapshots at once, that set-up races. One thread does it for all.
void PrepareImageCodecs() {
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        try {
            std::vector<uchar> jpeg;
            cvio::Encode(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)), jpeg);
        } catch (...) {
        }
    });
}

std::string ComposeFileName(const std::string& prefix, const std::string& name) {
    if (prefix.size() + name.size() > base::kMaxText) return {};
    return prefix + name;
}

std::string NextSnapshotName(const std::string& base) {
    // One read of the folder instead of an open per number: with thousands of earlier
    // snapshots that is the difference between microseconds and tens of milliseconds.
    std::vector<bool> listed = ListedSnapshotNumbers(base);
    return ComposeFileName(base, std::to_string(LowestFree(base, listed, 1)) + ".jpg");
}

SnapshotNamer::SnapshotNamer(std::string base)
    : base_(std::move(base)), folder_(FolderOf(base_)), stem_(StemOf(base_)) {}

SnapshotNamer::~SnapshotNamer() {
    Forget();
}

void SnapshotNamer::Forget() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    taken_.clear();
}

bool SnapshotNamer::Watch() {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    // The watch comes first, so that nothing done between it and the read goes unseen.
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                          IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_add_watch(fd_, folder_.c_str(), mask) < 0) {
        Forget();
        return false;
    }
    taken_ = ListedSnapshotNumbers(base_);
    if (taken_.empty()) Forget();
    lowestFree_ = 1;
    return fd_ >= 0;
}

void SnapshotNamer::TakeEvents() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) return;  // EAGAIN: nothing more
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                Forget();  // read the folder afresh next time
                return;
            }
            const int number = e->len ? SnapshotNumberOf(e->name, stem_) : 0;
            if (number == 0) continue;
            const bool added = e->mask & (IN_CREATE | IN_MOVED_TO);
            taken_[number] = added;
            if (!added) lowestFree_ = std::min(lowestFree_, number);
        }
    }
}

std::string SnapshotNamer::Next() {
    if (fd_ >= 0) TakeEvents();
    if (fd_ < 0 && !Watch()) return NextSnapshotName(base_);
    const int n = LowestFree(base_, taken_, lowestFree_);
    lowestFree_ = n;
    return ComposeFileName(base_, std::to_string(n) + ".jpg");
}

namespace {

// Whether FFmpeg knows the four-character code as the video writer looks it up: the AVI and
// MOV tags, then the codec's name in lower case.
bool KnownVideoCodec(int32_t fourcc) {
    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), avformat_get_mov_video_tags(),
                                      nullptr};
    if (av_codec_get_id(tags, static_cast<unsigned>(fourcc)) != AV_CODEC_ID_NONE) return true;
    char name[5];
    for (int i = 0; i < 4; ++i) {
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(fourcc >> (8 * i))));
    }
    name[4] = '\0';
    return avcodec_descriptor_get_by_name(name) != nullptr;
}

}  // namespace

bool SaveSnapshot(const std::string& path, const cv::Mat& image) {
    if (path.empty() || image.empty()) return false;
    if (image.type() == CV_8UC3 && path.ends_with(".jpg")) return WriteJpeg(path, image);
    PrepareImageCodecs();
    try {
        return cvio::WriteImage(path, image);
    } catch (...) {
        return false;
    }
}

void VideoRecorder::Open(const std::string& path, int32_t fourcc, cv::Size frameSize) {
    if (path.empty() || IsOpen()) return;
    cv::Size half(frameSize.width / 2, frameSize.height / 2);
    if (half.width <= 0 || half.height <= 0) return;
    // Each attempt at the frame's size now: a first frame too small for a video (2x2, say)
    // does not keep a camera that goes on at 320x240 from having one.
    if (scaled_.size() != half) scaled_ = cv::Mat(half, CV_8UC3, cv::Scalar::all(0));
    own_ = fourcc == cvio::Fourcc('M', 'J', 'P', 'G');
    auto open = [&] {
        if (IsNamedPipe(path)) return;
        try {
            if (own_) {
                avi_.Open(path, kVideoFps, scaled_.size());
            } else {
                writer_ =
                    cvio::OpenWriter(path, cvio::kFfmpeg, fourcc, kVideoFps, scaled_.size(), true);
            }
        } catch (...) {
        }
    };
    // The first failure is reported, the library's reason included; the retries that follow
    // on every frame stay quiet. A codec the library has no name for can never be opened, and
    // the library says so on stderr itself at each try: it is tried once.
    if (failedAttempts_ == 0) {
        open();
    } else if (own_ || KnownVideoCodec(fourcc)) {
        const diag::QuietLibraries quiet;
        open();
    }
    if (IsOpen()) return;
    if (failedAttempts_++ == 0) {
        ReportError("video " + path + " cannot be created; trying again on every frame");
    }
}

bool VideoRecorder::IsOpen() const {
    return own_ ? avi_.IsOpen() : writer_ != nullptr;
}

bool VideoRecorder::Write(const cv::Mat& image) {
    if (!IsOpen() || image.empty()) return false;
    try {
        HalveBicubic(image, scaled_);
        if (own_) return avi_.Write(scaled_);
        writer_->Write(scaled_);
        return true;
    } catch (...) {
        return false;
    }
}

int64_t VideoRecorder::Unflushed() const {
    if (!IsOpen()) return 0;
    return own_ ? avi_.Unflushed() : kWriterBufferBound;
}

void VideoRecorder::Release() {
    try {
        avi_.Close();
        writer_.reset();
    } catch (...) {
    }
}

}  // namespace recording
