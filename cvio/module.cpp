// The module itself: the only code of the program that links OpenCV's videoio and imgcodecs.
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "cvio/table.h"

namespace {

static_assert(cvio::kV4l2 == cv::CAP_V4L2 && cvio::kFfmpeg == cv::CAP_FFMPEG &&
              cvio::kImages == cv::CAP_IMAGES && cvio::kAnyBackend == cv::CAP_ANY);
static_assert(cvio::kFpsProperty == cv::CAP_PROP_FPS);
static_assert(cvio::kReadGray == cv::IMREAD_GRAYSCALE && cvio::kReadColour == cv::IMREAD_COLOR);
static_assert(cvio::kJpegQuality == cv::IMWRITE_JPEG_QUALITY);

struct VideoCapture : cvio::Capture {
    bool Read(cv::Mat& frame) override { return capture.read(frame); }
    double Get(int property) const override { return capture.get(property); }
    cv::VideoCapture capture;
};

template <typename Source>
cvio::Capture* OpenCapture(const Source& source, int backend) {
    auto opened = std::make_unique<VideoCapture>();
    if (!opened->capture.open(source, backend)) return nullptr;
    return opened.release();
}

struct VideoWriter : cvio::Writer {
    void Write(const cv::Mat& frame) override { writer.write(frame); }
    cv::VideoWriter writer;
};

const cvio::Table kTable{
    [](int index, int backend) { return OpenCapture(index, backend); },
    [](const std::string& name, int backend) { return OpenCapture(name, backend); },
    [](const std::string& path, int backend, int32_t fourcc, double fps, cv::Size size,
       bool colour) -> cvio::Writer* {
        auto opened = std::make_unique<VideoWriter>();
        if (!opened->writer.open(path, backend, fourcc, fps, size, colour)) return nullptr;
        return opened.release();
    },
    [](const std::string& extension, const cv::Mat& image, std::vector<uchar>& bytes,
       const std::vector<int>& params) { return cv::imencode(extension, image, bytes, params); },
    [](const std::vector<uchar>& bytes, int flags, cv::Mat& out) {
        cv::imdecode(bytes, flags, &out);
    },
    [](const std::string& path, const cv::Mat& image) { return cv::imwrite(path, image); },
    [](const std::string& path, int flags) { return cv::imread(path, flags); },
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const cvio::Table* camwatch_cvio_table() {
    return &kTable;
}
