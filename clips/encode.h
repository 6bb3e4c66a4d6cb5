// Inside clips/ only: frames encoded as H.264 (x264 at CRF 23, as clips always were) into a
// fragmented MP4 through Mp4Out, so that an encoded clip survives a crash as a copied one
// does. The encoder holds back half a second of frames at most: what a crash loses is that
// and the open fragment.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>

#include "clips/mp4out.h"

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace clips {

class EncodedMp4 {
  public:
    EncodedMp4() = default;
    ~EncodedMp4();
    EncodedMp4(const EncodedMp4&) = delete;
    EncodedMp4& operator=(const EncodedMp4&) = delete;

    // Creates path for BGR frames of size at fps. False when no encoder opens or the file
    // cannot be created (nothing is left open). *mpeg4 tells when H.264 could not be had and
    // the file is MPEG-4 part 2.
    bool Open(const std::string& path, cv::Size size, double fps, bool* mpeg4);
    // One frame of the size given to Open (a larger one is cut to it). False when it could
    // not be encoded or written.
    bool Write(const cv::Mat& bgr);
    // Encodes what the encoder still holds, writes the rest and the index; false on failure.
    bool Close();

  private:
    bool Drain();  // writes every packet the encoder has ready
    void Release();

    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::shared_ptr<const cameras::CodedStream> stream_;
    Mp4Out out_;
    cv::Mat yuv_, gray_;
    cv::Size size_;
    int64_t next_ = 0;  // the next frame's number, its time in 1/fps
    bool failed_ = false;
};

}  // namespace clips
