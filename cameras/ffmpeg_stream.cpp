// A stream opened and decoded straight through FFmpeg. OpenCV's own FFmpeg capture opens one
// source at a time under a process-wide lock, so a silent camera would hold up every other
// open; here each open and read has its own deadline and can be cancelled from outside.
#include <atomic>
#include <chrono>
#include <opencv2/core/mat.hpp>

#include "cameras/stream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace {

using Clock = std::chrono::steady_clock;

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

class FfmpegStream : public FrameSource {
  public:
    FfmpegStream(int32_t timeoutMs, const std::atomic<bool>* cancel)
        : timeout_(std::chrono::milliseconds(timeoutMs)), cancel_(cancel) {}

    bool Open(const std::string& url) {
        deadline_ = Clock::now() + timeout_;
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) return false;
        raw->interrupt_callback = {&FfmpegStream::Interrupted, this};
        AVDictionary* options = nullptr;
        av_dict_set(&options, "rtsp_flags", "prefer_tcp", 0);
        const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (opened < 0) return false;  // raw is freed by the failed open
        input_.reset(raw);
        if (avformat_find_stream_info(input_.get(), nullptr) < 0) return false;
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec) return false;
        const AVStream* st = input_->streams[stream_];
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), st->codecpar) < 0 ||
            avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
            return false;
        }
        const AVRational rate = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
        fps_ = rate.num && rate.den ? av_q2d(rate) : 0.0;
        if (fps_ <= 0 || fps_ >= 1000) fps_ = 0.0;
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        return frame_ && packet_;
    }

    ReadStatus Read(cv::Mat& out) override {
        deadline_ = Clock::now() + timeout_;
        timedOut_ = false;
        for (;;) {
            const int got = avcodec_receive_frame(decoder_.get(), frame_.get());
            if (got == 0) return Convert(out) ? ReadStatus::Frame : ReadStatus::Error;
            if (got == AVERROR_EOF) return ReadStatus::End;
            if (got != AVERROR(EAGAIN)) return ReadStatus::Error;
            const int read = av_read_frame(input_.get(), packet_.get());
            if (read < 0) {
                if (interrupted_.load() || Cancelled()) return ReadStatus::End;
                if (timedOut_) return ReadStatus::Timeout;
                if (read == AVERROR_EOF) {
                    avcodec_send_packet(decoder_.get(), nullptr);  // drain what is left
                    continue;
                }
                return ReadStatus::Error;
            }
            if (packet_->stream_index == stream_)
                avcodec_send_packet(decoder_.get(), packet_.get());
            av_packet_unref(packet_.get());
        }
    }

    bool Reconnects() const override { return true; }
    double Fps() const override { return fps_; }
    void Interrupt() override { interrupted_.store(true); }

  private:
    bool Cancelled() const { return cancel_ && cancel_->load(); }

    // FFmpeg asks this while it waits inside a call: non-zero ends the wait.
    static int Interrupted(void* opaque) {
        auto* self = static_cast<FfmpegStream*>(opaque);
        if (self->interrupted_.load() || self->Cancelled()) return 1;
        if (Clock::now() < self->deadline_) return 0;
        self->timedOut_ = true;
        return 1;
    }

    bool Convert(cv::Mat& out) {
        const AVFrame* f = frame_.get();
        scaler_.reset(sws_getCachedContext(
            scaler_.release(), f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
            f->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler_) return false;
        out.create(f->height, f->width, CV_8UC3);
        uint8_t* planes[4] = {out.data, nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(out.step[0]), 0, 0, 0};
        sws_scale(scaler_.get(), f->data, f->linesize, 0, f->height, planes, strides);
        av_frame_unref(frame_.get());
        return true;
    }

    const Clock::duration timeout_;
    const std::atomic<bool>* cancel_;
    std::atomic<bool> interrupted_{false};
    Clock::time_point deadline_;  // of the call under way; only the calling thread touches it
    bool timedOut_ = false;
    std::unique_ptr<AVFormatContext, InputCloser> input_;
    std::unique_ptr<AVCodecContext, CodecCloser> decoder_;
    std::unique_ptr<AVFrame, FrameFreer> frame_;
    std::unique_ptr<AVPacket, PacketFreer> packet_;
    std::unique_ptr<SwsContext, ScalerFreer> scaler_;
    int stream_ = -1;
    double fps_ = 0.0;
};

}  // namespace

void QuietStreamLibrary() {
    av_log_set_level(AV_LOG_QUIET);
}

std::unique_ptr<FrameSource> OpenStreamCapture(const std::string& url, int32_t timeoutMs,
                                               const std::atomic<bool>* cancel) {
    try {
        auto stream = std::make_unique<FfmpegStream>(timeoutMs, cancel);
        if (!stream->Open(url)) return nullptr;
        return stream;
    } catch (...) {
        return nullptr;
    }
}
