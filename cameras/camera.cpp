// Cameras through OpenCV's capture: device indices through the platform's own camera
// backend, file names through FFmpeg and then any other backend, stream URLs (cameras/stream)
// through FFmpeg alone.
#include <sys/stat.h>

#include "cameras/files.h"
#include "cameras/source.h"
#include "cameras/stream.h"
#include "cvio/cvio.h"

namespace cameras {
namespace {

class VideoCaptureSource : public FrameSource {
  public:
    explicit VideoCaptureSource(std::unique_ptr<cvio::Capture> capture)
        : capture_(std::move(capture)) {}
    ReadStatus Read(cv::Mat& frame) override {
        try {
            return capture_->Read(frame) && !frame.empty() ? ReadStatus::Frame : ReadStatus::End;
        } catch (...) {
            return ReadStatus::Error;
        }
    }
    double Fps() const override {
        try {
            return UsableFps(capture_->Get(cvio::kFpsProperty));
        } catch (...) {
            return 0.0;
        }
    }

  private:
    std::unique_ptr<cvio::Capture> capture_;
};

std::unique_ptr<FrameSource> TryOpen(std::unique_ptr<cvio::Capture> capture) {
    if (!capture) return nullptr;
    return std::make_unique<VideoCaptureSource>(std::move(capture));
}

}  // namespace

std::unique_ptr<FrameSource> OpenCamera(int index, const std::string& name,
                                        const OpenSettings& settings) {
    try {
        if (name.empty()) return TryOpen(cvio::OpenCapture(index, cvio::kV4l2));
        // Streams only through FFmpeg, whose waits are bounded; read live on their own thread.
        if (IsStreamName(name)) return OpenStream(name, true, settings);
        // A named pipe or socket would hold the open (and the stop after it) until a writer
        // comes: such a source is no camera.
        struct stat st;
        if (::stat(name.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
            return nullptr;
        }
        // A video file decoded here on one thread, with the frames and frame rate OpenCV's
        // FFmpeg capture gives; that capture where it would read the file otherwise, or where
        // the environment holds settings that only it follows.
        const bool likeCapture = PrepareFfmpegLikeCapture();
        if (likeCapture) {
            if (auto file = OpenFileDecoder(name)) return file;
        }
        if (auto source = TryOpen(cvio::OpenCapture(name, cvio::kFfmpeg))) {
            if (!likeCapture) {
                if (auto file = OpenFileDecoder(name, source->Fps())) return file;
            }
            return source;
        }
        // A device path, then an image sequence ("shot%03d.jpg"). Not CAP_ANY: where GStreamer
        // is installed, it answers a name it cannot open with critical warnings on stderr.
        if (auto source = TryOpen(cvio::OpenCapture(name, cvio::kV4l2))) return source;
        return TryOpen(cvio::OpenCapture(name, cvio::kImages));
    } catch (...) {
        return nullptr;
    }
}

}  // namespace cameras
