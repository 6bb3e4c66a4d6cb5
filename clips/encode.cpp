// Encoded clips and segments: x264 on the writer's own thread, its packets into the
// fragmented MP4 writer.
#include "clips/encode.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace clips {

namespace {

// An encoder of codec for size at rate, or null.
AVCodecContext* OpenEncoder(const AVCodec* codec, cv::Size size, AVRational rate,
                            AVRational timeBase, int keyFrames) {
    if (!codec) return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return nullptr;
    c->width = size.width;
    c->height = size.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = timeBase;
    c->framerate = rate;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the MP4 index carries the parameter sets
    c->max_b_frames = 0;
    if (codec->id == AV_CODEC_ID_H264) {
        // Constant quality, as clips always had. Half a second of look-ahead and no B-frames
        // (nor frame threads, which hold frames back too): the fragment on the disk is never
        // far behind the camera, and the file hardly larger than with the encoder's defaults.
        c->gop_size = keyFrames > 0 ? keyFrames : -1;
        c->qmin = -1;
        c->bit_rate = 0;
        const int lookahead = std::clamp(static_cast<int>(av_q2d(rate) / 2 + 0.5), 1, 40);
        av_opt_set(c->priv_data, "crf", "23", 0);
        av_opt_set(c->priv_data, "x264-params",
                   ("rc-lookahead=" + std::to_string(lookahead) +
                    ":bframes=0:sliced-threads=1:sync-lookahead=0")
                       .c_str(),
                   0);
    } else {
        c->gop_size = keyFrames > 0 ? keyFrames : 12;
        c->bit_rate = static_cast<int64_t>(size.area()) * 2;
    }
    if (avcodec_open2(c, codec, nullptr) < 0) avcodec_free_context(&c);
    return c;
}

}  // namespace

FrameEncoder::~FrameEncoder() {
    Release();
}

bool FrameEncoder::Open(cv::Size size, double fps, int keyFrames, bool msTimes, bool* mpeg4) {
    Release();
    *mpeg4 = false;
    size_ = cv::Size(size.width & ~1, size.height & ~1);  // 4:2:0 wants even sides
    if (size_.width < 2 || size_.height < 2) return false;
    const AVRational rate = av_d2q(fps > 0 ? fps : 10.0, 100000);
    const AVRational timeBase{rate.den, rate.num};
    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    codec_ = OpenEncoder(h264 ? h264 : avcodec_find_encoder(AV_CODEC_ID_H264), size_, rate,
                         timeBase, keyFrames);
    if (!codec_) {
        codec_ =
            OpenEncoder(avcodec_find_encoder(AV_CODEC_ID_MPEG4), size_, rate, timeBase, keyFrames);
        *mpeg4 = codec_ != nullptr;
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    const bool ok = codec_ && frame_ && packet_ && parameters &&
                    avcodec_parameters_from_context(parameters, codec_) >= 0;
    if (ok) {
        stream_ = std::make_shared<const cameras::CodedStream>(parameters, timeBase.num,
                                                               timeBase.den, av_q2d(rate));
    }
    avcodec_parameters_free(&parameters);
    if (!ok) Release();
    msTimes_ = msTimes;
    rate_ = av_q2d(rate);
    next_ = 0;
    firstMs_ = INT64_MIN;
    times_.clear();
    return ok;
}

bool FrameEncoder::Encode(const cv::Mat& bgr, int64_t steadyMs, const Sink& sink) {
    if (!codec_ || bgr.empty() || bgr.cols < size_.width || bgr.rows < size_.height) return false;
    cv::Mat picture = bgr.size() == size_ ? bgr : bgr(cv::Rect(cv::Point(), size_));
    if (picture.channels() == 1) {
        cv::cvtColor(picture, gray_, cv::COLOR_GRAY2BGR);
        picture = gray_;
    }
    cv::cvtColor(picture, yuv_, cv::COLOR_BGR2YUV_I420);
    const int w = size_.width, h = size_.height;
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = w;
    frame_->height = h;
    frame_->data[0] = yuv_.data;
    frame_->data[1] = yuv_.data + w * h;
    frame_->data[2] = yuv_.data + w * h + (w / 2) * (h / 2);
    frame_->linesize[0] = w;
    frame_->linesize[1] = frame_->linesize[2] = w / 2;
    if (msTimes_) {
        if (firstMs_ == INT64_MIN) firstMs_ = steadyMs;
        next_ = std::max<int64_t>(next_, std::llround(double(steadyMs - firstMs_) * rate_ / 1000.0));
    }
    frame_->pts = next_++;
    times_.emplace_back(frame_->pts, steadyMs);
    // The encoder takes a copy of a frame it does not own.
    const bool sent = avcodec_send_frame(codec_, frame_) >= 0;
    return Drain(sink) && sent;
}

bool FrameEncoder::Drain(const Sink& sink) {
    for (;;) {
        const int got = avcodec_receive_packet(codec_, packet_);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
        if (got < 0) return false;
        int64_t steadyMs = times_.empty() ? 0 : times_.back().second;
        while (!times_.empty() && times_.front().first <= packet_->pts) {
            steadyMs = times_.front().second;
            times_.erase(times_.begin());
        }
        cameras::CodedPacket coded(stream_, packet_, steadyMs);
        av_packet_unref(packet_);
        sink(std::move(coded));
    }
}

bool FrameEncoder::Flush(const Sink& sink) {
    if (!codec_) return false;
    const bool ok = avcodec_send_frame(codec_, nullptr) >= 0 && Drain(sink);
    Release();
    return ok;
}

void FrameEncoder::Release() {
    avcodec_free_context(&codec_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    stream_.reset();
}

bool EncodedMp4::Open(const std::string& path, cv::Size size, double fps, bool* mpeg4) {
    if (encoder_.IsOpen()) Close();
    failed_ = false;
    if (!encoder_.Open(size, fps, 0, false, mpeg4)) return false;
    if (!out_.Open(path, *encoder_.Stream())) {
        out_.Close();
        ::unlink(path.c_str());
        encoder_.Flush([](cameras::CodedPacket) {});
        return false;
    }
    return true;
}

bool EncodedMp4::Write(const cv::Mat& bgr) {
    return encoder_.Encode(bgr, 0, [this](cameras::CodedPacket p) {
        if (!out_.Write(p, false)) failed_ = true;
    }) && !failed_;
}

bool EncodedMp4::Close() {
    if (!encoder_.IsOpen()) return false;
    bool ok = encoder_.Flush([this](cameras::CodedPacket p) {
        if (!out_.Write(p, false)) failed_ = true;
    });
    ok = out_.Close() && ok && !failed_;
    return ok;
}

}  // namespace clips
