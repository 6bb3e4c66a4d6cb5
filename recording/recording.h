// What a worker keeps of the frames of a motion hold: numbered JPEG snapshots and a
// half-size AVI video, both made from the worker's clean copy of the frame; and the disk
// guard (recording/diskguard.h) that keeps them above MINFREEMB.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "base/base.h"
#include "cvio/cvio.h"
#include "recording/avi.h"

namespace recording {

constexpr int kLastSnapshotNumber = 99999;
constexpr double kVideoFps = 10.0;

// prefix + name, or "" when the result is longer than base::kMaxText characters: such an
// output is refused.
std::string ComposeFileName(const std::string& prefix, const std::string& name);

// The folder part of a path, with its slash ("." when it has none).
std::string FolderOf(const std::string& path);

// base + n + ".jpg" for the lowest n from 1 whose file does not exist; the name of
// kLastSnapshotNumber when every number is taken. "" when the name is too long.
std::string NextSnapshotName(const std::string& base);

// NextSnapshotName at a cost that does not grow with the folder: the folder is read once, at
// the first snapshot, and an inotify watch keeps the taken numbers true from then on (files
// that others add, delete or rename included). Each name is still confirmed with one open.
// Where no watch can be set (or the watch's queue overflows) it reads the folder again.
class SnapshotNamer {
  public:
    explicit SnapshotNamer(std::string base);
    ~SnapshotNamer();
    SnapshotNamer(const SnapshotNamer&) = delete;
    SnapshotNamer& operator=(const SnapshotNamer&) = delete;

    std::string Next();

  private:
    bool Watch();       // sets the watch and reads the folder; false when it cannot
    void TakeEvents();  // applies what the watch saw since the last call
    void Forget();

    std::string base_, folder_, stem_;
    int fd_ = -1;
    std::vector<bool> taken_;  // by number, while watched
    int lowestFree_ = 1;       // no number below it is free
};

// Saves image as a JPEG (format from the name). False when it cannot be written.
bool SaveSnapshot(const std::string& path, const cv::Mat& image);

// A BGR image as the JPEG file cv::imwrite(path, image) writes, byte for byte, at less cost.
// False when image is not 8-bit BGR or the file cannot be written.
bool WriteJpeg(const std::string& path, const cv::Mat& image);

// A BGR image as cv::imencode(".jpg", image, {IMWRITE_JPEG_QUALITY, quality}) encodes it, byte
// for byte, without loading OpenCV's image libraries. False when image is not 8-bit BGR.
bool EncodeJpeg(const cv::Mat& image, int quality, std::vector<uchar>& bytes);

// Sets up OpenCV's image codecs once for the process. Their first use sets up shared state
// that races when several workers read masks or write snapshots at once; SaveSnapshot calls
// it, and so must anything else on a worker thread that reads or writes images.
void PrepareImageCodecs();

// What a library's video writer may hold back before it writes to the file.
constexpr int64_t kWriterBufferBound = int64_t{1} << 20;

// The camera's video: opened at the first frame, retried on each later frame while it cannot
// be created, half the first frame's size, frames scaled down with bicubic interpolation.
class VideoRecorder {
  public:
    // Tries to create the writer for frames of frameSize; nothing when it is already open.
    void Open(const std::string& path, int32_t fourcc, cv::Size frameSize);
    bool IsOpen() const;
    // The size of the video's frames (half the first frame's); empty before it is opened.
    cv::Size FrameSize() const { return scaled_.size(); }
    // Appends image, scaled to the video's size; dropped (false) when the writer is not open.
    bool Write(const cv::Mat& image);
    // Closes the file.
    void Release();
    // Bytes written but not yet on the disk (a bound where the library does not say).
    int64_t Unflushed() const;

  private:
    bool own_ = false;  // MJPEG, written by avi_; other codecs go through writer_
    MjpegAvi avi_;
    std::unique_ptr<cvio::Writer> writer_;
    cv::Mat scaled_;  // made once, at the first attempt
    int failedAttempts_ = 0;
};

}  // namespace recording
