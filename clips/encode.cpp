// Encoded clips: x264 on the clip's own thread, its packets into the fragmented MP4 writer.
#include "clips/encode.h"

#include <unistd.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace clips {

namespace {

// An encoder for codec_id opened for size at rate, or null.
AVCodecContext* OpenEncoder(const AVCodec* codec, cv::Size size, AVRational rate) {
    if (!codec) return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return nullptr;
    c->width = size.width;
    c->height = size.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{rate.den, rate.num};
    c->framerate = rate;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the MP4 index carries the parameter sets
    c->max_b_frames = 0;
    if (codec->id == AV_CODEC_ID_H264) {
        // Constant quality, as clips always had. Half a second of look-ahead and no B-frames
        // (nor frame threads, which hold frames back too): the fragment on the disk is never
        // far behind the camera, and the file hardly larger than with the encoder's defaults.
        c->gop_size = -1;
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
        c->gop_size = 12;
        c->bit_rate = static_cast<int64_t>(size.area()) * 2;
    }
    if (avcodec_open2(c, codec, nullptr) < 0) avcodec_free_context(&c);
    return c;
}

}  // namespace

EncodedMp4::~EncodedMp4() {
    Release();
}

bool EncodedMp4::Open(const std::string& path, cv::Size size, double fps, bool* mpeg4) {
    if (codec_) Close();
    *mpeg4 = false;
    size_ = cv::Size(size.width & ~1, size.height & ~1);  // 4:2:0 wants even sides
    if (size_.width < 2 || size_.height < 2) return false;
    const AVRational rate = av_d2q(fps > 0 ? fps : 10.0, 100000);
    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    codec_ = OpenEncoder(h264 ? h264 : avcodec_find_encoder(AV_CODEC_ID_H264), size_, rate);
    if (!codec_) {
        codec_ = OpenEncoder(avcodec_find_encoder(AV_CODEC_ID_MPEG4), size_, rate);
        *mpeg4 = codec_ != nullptr;
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    bool ok = codec_ && frame_ && packet_ && parameters &&
              avcodec_parameters_from_context(parameters, codec_) >= 0;
    if (ok) {
        stream_ = std::make_shared<const cameras::CodedStream>(parameters, rate.den, rate.num,
                                                               av_q2d(rate));
        ok = out_.Open(path, *stream_);
        if (!ok) {
            out_.Close();
            ::unlink(path.c_str());
        }
    }
    avcodec_parameters_free(&parameters);
    if (!ok) Release();
    next_ = 0;
    failed_ = false;
    return ok;
}

bool EncodedMp4::Write(const cv::Mat& bgr) {
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
    frame_->pts = next_++;
    // The encoder takes a copy of a frame it does not own.
    const bool sent = avcodec_send_frame(codec_, frame_) >= 0;
    return Drain() && sent;
}

bool EncodedMp4::Drain() {
    for (;;) {
        const int got = avcodec_receive_packet(codec_, packet_);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return !failed_;
        if (got < 0) return false;
        const cameras::CodedPacket coded(stream_, packet_, 0);
        av_packet_unref(packet_);
        if (!out_.Write(coded, false)) failed_ = true;
    }
}

bool EncodedMp4::Close() {
    if (!codec_) return false;
    bool ok = avcodec_send_frame(codec_, nullptr) >= 0 && Drain();
    ok = out_.Close() && ok;
    Release();
    return ok;
}

void EncodedMp4::Release() {
    avcodec_free_context(&codec_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    stream_.reset();
}

}  // namespace clips
