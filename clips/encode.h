// Inside clips/ only: frames encoded as H.264 (x264 at CRF 23, as clips always were), as
// packets for the fragmented MP4 writer, so that an encoded clip or segment survives a crash
// as a copied one does. The encoder holds back half a second of frames at most: what a crash
// loses is that and the open fragment.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>
#include <utility>
#include <vector>

#include "clips/mp4out.h"

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace clips {

class FrameEncoder {
  public:
    using Sink = std::function<void(cameras::CodedPacket)>;
    FrameEncoder() = default;
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

    // For BGR frames of size at about fps. keyFrames: a key frame at least every that many
    // frames (0: the encoder's own choice). msTimes: the packets' times follow the frames' own
    // (Encode's steadyMs) in steps of 1/fps, a step at least from one to the next, else they
    // are the frames' numbers at fps. False when no encoder
    // opens. *mpeg4 tells when H.264 could not be had and the packets are MPEG-4 part 2.
    bool Open(cv::Size size, double fps, int keyFrames, bool msTimes, bool* mpeg4);
    bool IsOpen() const { return codec_ != nullptr; }
    // One frame of Open's size (a larger one is cut to it); the packets ready go to sink, each
    // with its own frame's steadyMs. False when it could not be encoded.
    bool Encode(const cv::Mat& bgr, int64_t steadyMs, const Sink& sink);
    // The frames the encoder still holds, to sink; then it is closed.
    bool Flush(const Sink& sink);
    const std::shared_ptr<const cameras::CodedStream>& Stream() const { return stream_; }

  private:
    bool Drain(const Sink& sink);
    void Release();

    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::shared_ptr<const cameras::CodedStream> stream_;
    cv::Mat yuv_, gray_;
    cv::Size size_;
    bool msTimes_ = false;
    double rate_ = 10;
    int64_t next_ = 0;                                 // the next frame's number or time
    int64_t firstMs_ = INT64_MIN;                      // msTimes: the first frame's steadyMs
    std::vector<std::pair<int64_t, int64_t>> times_;   // pts and steadyMs of frames held
};

// A clip file of encoded frames.
class EncodedMp4 {
  public:
    // Creates path for BGR frames of size at fps; false when it cannot (nothing is left open).
    bool Open(const std::string& path, cv::Size size, double fps, bool* mpeg4);
    bool Write(const cv::Mat& bgr);  // false when it could not be encoded or written
    bool Close();                    // the rest and the index; false on failure

  private:
    FrameEncoder encoder_;
    Mp4Out out_;
    bool failed_ = false;
};

}  // namespace clips
