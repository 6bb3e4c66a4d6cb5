// The video's MJPEG AVI written through FFmpeg directly: the file OpenCV's FFmpeg writer makes
// for fourcc MJPG, byte for byte (the same muxer, encoder settings and frame timing), with the
// frames' conversion to the encoder's YUV done by our own code where it is proved to give the
// scaler's bytes. Used by VideoRecorder (outputs.cpp) only.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>

namespace recording {

class MjpegAvi {
  public:
    MjpegAvi();
    ~MjpegAvi();
    MjpegAvi(const MjpegAvi&) = delete;
    MjpegAvi& operator=(const MjpegAvi&) = delete;

    // Creates the file for frames of size (an odd side loses its last column or row, as
    // OpenCV's writer does); false, printing nothing, when it cannot.
    bool Open(const std::string& path, double fps, cv::Size size);
    bool IsOpen() const;
    // Appends an 8-bit BGR frame of the size given to Open. False when it is not written.
    bool Write(const cv::Mat& bgr);
    // Bytes written but still in the file's buffer (not yet on the disk).
    int64_t Unflushed() const;
    // Flushes the encoder, writes the index and closes the file.
    void Close();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace recording
