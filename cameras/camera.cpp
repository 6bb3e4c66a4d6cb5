// Cameras through OpenCV's capture: device indices through the platform's own camera
// backend, file names through FFmpeg and then any other backend, stream URLs (cameras/stream)
// through FFmpeg alone.
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include "cameras/source.h"
#include "cameras/stream.h"

namespace {

class VideoCaptureSource : public FrameSource {
  public:
    explicit VideoCaptureSource(cv::VideoCapture&& capture) : capture_(std::move(capture)) {}
    ReadStatus Read(cv::Mat& frame) override {
        try {
            return capture_.read(frame) && !frame.empty() ? ReadStatus::Frame : ReadStatus::End;
        } catch (...) {
            return ReadStatus::Error;
        }
    }
    double Fps() const override {
        try {
            const double fps = capture_.get(cv::CAP_PROP_FPS);
            return fps > 0 && fps < 1000 ? fps : 0.0;
        } catch (...) {
            return 0.0;
        }
    }

  private:
    cv::VideoCapture capture_;
};

std::unique_ptr<FrameSource> TryOpen(cv::VideoCapture&& capture) {
    if (!capture.isOpened()) return nullptr;
    return std::make_unique<VideoCaptureSource>(std::move(capture));
}

}  // namespace

std::unique_ptr<FrameSource> OpenCamera(int index, const std::string& name) {
    try {
        if (name.empty()) return TryOpen(cv::VideoCapture(index, cv::CAP_V4L2));
        // Streams only through FFmpeg, whose waits are bounded; read live on their own thread.
        if (IsStreamName(name)) return OpenStream(name);
        if (auto source = TryOpen(cv::VideoCapture(name, cv::CAP_FFMPEG))) {
            // Opened through OpenCV first, which sets FFmpeg up as before; then decoded on one
            // thread, with the same frames.
            if (auto file = OpenFileDecoder(name, source->Fps())) return file;
            return source;
        }
        // A device path, then an image sequence ("shot%03d.jpg"). Not CAP_ANY: where GStreamer
        // is installed, it answers a name it cannot open with critical warnings on stderr.
        if (auto source = TryOpen(cv::VideoCapture(name, cv::CAP_V4L2))) return source;
        return TryOpen(cv::VideoCapture(name, cv::CAP_IMAGES));
    } catch (...) {
        return nullptr;
    }
}
