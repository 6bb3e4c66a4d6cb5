// OpenCV's video capture, video writer and image files, from a module of this program's own
// (camwatch-cvio.so) that is loaded at the first call. OpenCV's video and image libraries
// bring some 250 shared libraries with them; loaded with the program, they cost every start
// about 0.1 s of CPU, whether a camera needs them or not. Calls behave as the OpenCV calls
// they name and may throw what those throw; when the module cannot be loaded, one line says
// so on stderr and every call fails (nullptr, false, an empty image).
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

namespace cvio {

// Backends and properties, as OpenCV numbers them.
constexpr int kAnyBackend = 0, kV4l2 = 200, kFfmpeg = 1900, kImages = 2000;
constexpr int kFpsProperty = 5;
constexpr int kReadGray = 0, kReadColour = 1;
constexpr int kJpegQuality = 1;

// cv::VideoWriter::fourcc.
constexpr int32_t Fourcc(char a, char b, char c, char d) {
    return (a & 255) + ((b & 255) << 8) + ((c & 255) << 16) + ((d & 255) << 24);
}

class Capture {
  public:
    virtual ~Capture() = default;
    virtual bool Read(cv::Mat& frame) = 0;
    virtual double Get(int property) const = 0;
};

class Writer {
  public:
    virtual ~Writer() = default;
    virtual void Write(const cv::Mat& frame) = 0;  // the file is closed when the writer goes
};

// cv::VideoCapture(index or name, backend); nullptr unless it opened.
std::unique_ptr<Capture> OpenCapture(int index, int backend);
std::unique_ptr<Capture> OpenCapture(const std::string& name, int backend);

// cv::VideoWriter(path, backend, fourcc, fps, size, colour); nullptr unless it opened.
std::unique_ptr<Writer> OpenWriter(const std::string& path, int backend, int32_t fourcc, double fps,
                                   cv::Size size, bool colour);

// cv::imencode, cv::imdecode (into out, reusing its buffer), cv::imwrite, cv::imread.
bool Encode(const std::string& extension, const cv::Mat& image, std::vector<uchar>& bytes,
            const std::vector<int>& params = {});
void Decode(const std::vector<uchar>& bytes, int flags, cv::Mat& out);
bool WriteImage(const std::string& path, const cv::Mat& image);
cv::Mat ReadImage(const std::string& path, int flags);

// The folder the running program is in (ending in '/'), where it looks for its modules; ""
// when it cannot be told.
std::string ProgramFolder();

}  // namespace cvio
