// OpenCV's FFmpeg writer, for MJPEG into AVI, does this: the muxer guessed from the name, the
// codec from the fourcc, the encoder at YUVJ420P with bit rate 1.5 x 3 x fps x w x h plus half
// of that again as its tolerance, qmin 3, a gop of 12, a time base of 1/fps; frames converted
// from BGR by a bicubic scaler, numbered from 0 and written with av_write_frame; at the end the
// encoder drained and the trailer written. The same calls in the same order give the same file.
// The conversion is BgrToYuvj420 where it is proved at the video's size, the scaler otherwise.
#include "recording/avi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pixels/pixels.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace recording {

namespace {

constexpr AVPixelFormat kCodedFormat = AV_PIX_FMT_YUVJ420P;
constexpr double kBitRateScale = 3.0;  // what OpenCV's writer allows MJPEG per pixel and frame

struct ScalerFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

constexpr int kIoBufferBytes = 32768;               // what FFmpeg's own file output buffers
constexpr size_t kMostHeldBytes = size_t{8} << 20;  // bytes a full disk may hold back

// The file under the muxer, written by us rather than FFmpeg's file output: bytes a full disk
// turns away are held (up to kMostHeldBytes) and written once there is room again, where
// FFmpeg's output would drop them and fail every later write. The muxer sees every write
// succeed, so the file stays whole across a full disk.
class HeldFile {
  public:
    ~HeldFile() {
        if (fd_ >= 0) close(fd_);
    }
    bool Open(const std::string& path) {
        fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        return fd_ >= 0;
    }
    bool Holding() const { return !held_.empty(); }
    bool Broken() const { return broken_; }

    // Writes what is held; true when nothing is left held.
    bool Catch() {
        while (!held_.empty() && !broken_) {
            const ssize_t n = pwrite(fd_, held_.data(), held_.size(), heldAt_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0 && errno != ENOSPC && errno != EDQUOT && errno != EFBIG) broken_ = true;
                return false;
            }
            held_.erase(0, static_cast<size_t>(n));
            heldAt_ += n;
        }
        return held_.empty() && !broken_;
    }

    int Write(const uint8_t* data, int size) {
        if (broken_) return AVERROR(EIO);
        if (held_.empty()) {
            size_t done = 0;
            while (done < static_cast<size_t>(size)) {
                const ssize_t n = pwrite(fd_, data + done, static_cast<size_t>(size) - done,
                                         at_ + static_cast<off_t>(done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            if (done < static_cast<size_t>(size)) {
                if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) {
                    broken_ = true;
                    return AVERROR(errno);
                }
                heldAt_ = at_ + static_cast<off_t>(done);
                held_.assign(reinterpret_cast<const char*>(data) + done, size - done);
            }
        } else if (held_.size() + static_cast<size_t>(size) > kMostHeldBytes ||
                   heldAt_ + static_cast<off_t>(held_.size()) != at_) {
            broken_ = true;  // too much held back, or not the next bytes: the file is lost
            return AVERROR(ENOSPC);
        } else {
            held_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
        }
        at_ += size;
        return size;
    }

    int64_t Seek(int64_t offset, int whence) {
        if (whence == AVSEEK_SIZE) {
            struct stat st;
            return fstat(fd_, &st) == 0 ? std::max<int64_t>(st.st_size, at_) : AVERROR(errno);
        }
        if (!Catch()) return AVERROR(ENOSPC);  // a seek never jumps over held bytes
        if (whence == SEEK_CUR)
            offset += at_;
        else if (whence == SEEK_END)
            offset += Seek(0, AVSEEK_SIZE);
        else if (whence != SEEK_SET)
            return AVERROR(EINVAL);
        if (offset < 0) return AVERROR(EINVAL);
        at_ = offset;
        return at_;
    }

    static int WritePacket(void* self, uint8_t* data, int size) {
        return static_cast<HeldFile*>(self)->Write(data, size);
    }
    static int64_t SeekTo(void* self, int64_t offset, int whence) {
        return static_cast<HeldFile*>(self)->Seek(offset, whence & ~AVSEEK_FORCE);
    }

  private:
    int fd_ = -1;
    off_t at_ = 0;
    std::string held_;
    off_t heldAt_ = 0;
    bool broken_ = false;
};

}  // namespace

struct MjpegAvi::State {
    AVFormatContext* output = nullptr;
    AVCodecContext* encoder = nullptr;
    AVStream* stream = nullptr;
    AVFrame* picture = nullptr;
    uint8_t* pictureBuffer = nullptr;
    AVPacket* packet = nullptr;
    HeldFile file;
    AVIOContext* io = nullptr;
    bool ownConversion = false;  // BgrToYuvj420 gives the scaler's bytes at this size
    std::unique_ptr<SwsContext, ScalerFreer> scaler;
    std::vector<uint8_t> padded;  // frames copied for the scaler, which reads past their end
    int width = 0, height = 0;
    int64_t frameIndex = 0;

    ~State() {
        av_packet_free(&packet);
        av_frame_free(&picture);
        std::free(pictureBuffer);
        avcodec_free_context(&encoder);
        if (output) {
            if (output->pb && output->pb != io) avio_closep(&output->pb);
            output->pb = nullptr;
            avformat_free_context(output);
        }
        if (io) {
            avio_flush(io);
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }

    // Sends frame (nullptr drains) and writes what the encoder gives back.
    bool Encode(AVFrame* frame) {
        if (avcodec_send_frame(encoder, frame) < 0) return false;
        for (;;) {
            const int got = avcodec_receive_packet(encoder, packet);
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
            if (got < 0) return false;
            packet->stream_index = stream->index;
            av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
            const int written = av_write_frame(output, packet);
            av_packet_unref(packet);
            if (written < 0) return false;
        }
    }

    bool Convert(const cv::Mat& bgr) {
        if (ownConversion) {
            return BgrToYuvj420(bgr.data, bgr.step[0], width, height, picture->data,
                                picture->linesize);
        }
        // As OpenCV's writer hands the scaler a frame: rows padded to 32 bytes and 32 bytes
        // of room after the last.
        const size_t step = (width * 3 + 31) / 32 * 32;
        padded.resize(step * height + 32);
        for (int y = 0; y < height; ++y) {
            std::memcpy(padded.data() + step * y, bgr.ptr(y), static_cast<size_t>(width) * 3);
        }
        const uint8_t* source[4] = {padded.data(), nullptr, nullptr, nullptr};
        const int sourceStride[4] = {static_cast<int>(step), 0, 0, 0};
        if (!scaler) {
            scaler.reset(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height,
                                        kCodedFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
            if (!scaler) return false;
        }
        return sws_scale(scaler.get(), source, sourceStride, 0, height, picture->data,
                         picture->linesize) >= 0;
    }
};

MjpegAvi::MjpegAvi() = default;
MjpegAvi::~MjpegAvi() {
    Close();
}

bool MjpegAvi::IsOpen() const {
    return state_ != nullptr;
}

bool MjpegAvi::Open(const std::string& path, double fps, cv::Size size) {
    Close();
    const int width = size.width & -2, height = size.height & -2;
    if (fps <= 0 || width <= 0 || height <= 0) return false;
    auto s = std::make_unique<State>();
    s->width = width;
    s->height = height;
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    if (!format) return false;
    const unsigned int fourcc = MKTAG('M', 'J', 'P', 'G');
    const AVCodecID id = av_codec_get_id(format->codec_tag, fourcc);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
    if (!codec) return false;

    s->output = avformat_alloc_context();
    if (!s->output) return false;
    s->output->oformat = format;
    s->output->url = av_strdup(path.c_str());
    if (!s->output->url) return false;
    s->output->max_delay = static_cast<int>(0.7 * AV_TIME_BASE);
    s->stream = avformat_new_stream(s->output, nullptr);
    s->encoder = avcodec_alloc_context3(codec);
    if (!s->stream || !s->encoder) return false;

    AVCodecContext* c = s->encoder;
    const double rate = std::min(kBitRateScale * fps * width * height, double(INT_MAX) / 2);
    const int bitrate = static_cast<int>(rate + 0.5);
    c->codec_id = codec->id;
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    c->codec_tag = fourcc;
    c->bit_rate = std::min<int64_t>(int64_t(bitrate) + bitrate / 2, INT_MAX);
    c->qmin = 3;
    c->width = width;
    c->height = height;
    // The time base in the smallest power of ten that holds fps to a thousandth.
    int frameRate = static_cast<int>(fps + 0.5), frameRateBase = 1;
    while (std::fabs(double(frameRate) / frameRateBase - fps) > 0.001) {
        frameRateBase *= 10;
        frameRate = static_cast<int>(fps * frameRateBase + 0.5);
    }
    c->time_base = AVRational{frameRateBase, frameRate};
    c->gop_size = 12;
    c->pix_fmt = kCodedFormat;
    if (format->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    s->stream->avg_frame_rate = av_make_q(frameRate, frameRateBase);
    s->stream->time_base = c->time_base;
    const int64_t tolerance = std::min<int64_t>(c->bit_rate + int64_t(rate / 2), INT_MAX);
    c->bit_rate_tolerance = static_cast<int>(tolerance);
    c->bit_rate = static_cast<int>(tolerance);
    if (avcodec_open2(c, codec, nullptr) < 0) return false;
    if (avcodec_parameters_from_context(s->stream->codecpar, c) < 0) return false;

    s->picture = av_frame_alloc();
    s->packet = av_packet_alloc();
    const int bytes = av_image_get_buffer_size(kCodedFormat, width, height, 1);
    if (!s->picture || !s->packet || bytes <= 0) return false;
    s->pictureBuffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes)));
    if (!s->pictureBuffer) return false;
    s->picture->format = kCodedFormat;
    s->picture->width = width;
    s->picture->height = height;
    av_image_fill_arrays(s->picture->data, s->picture->linesize, s->pictureBuffer, kCodedFormat,
                         width, height, 1);

    if (!(format->flags & AVFMT_NOFILE)) {
        if (!s->file.Open(path)) return false;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
        if (!buffer) return false;
        s->io = avio_alloc_context(buffer, kIoBufferBytes, 1, &s->file, nullptr,
                                   &HeldFile::WritePacket, &HeldFile::SeekTo);
        if (!s->io) {
            av_free(buffer);
            return false;
        }
        s->output->pb = s->io;
        s->output->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    if (avformat_write_header(s->output, nullptr) < 0) {
        s.reset();
        std::remove(path.c_str());
        return false;
    }
    s->ownConversion = Yuvj420MatchesScaler(width, height);
    state_ = std::move(s);
    return true;
}

bool MjpegAvi::Write(const cv::Mat& bgr) {
    if (!state_ || bgr.type() != CV_8UC3 || (bgr.cols & -2) != state_->width ||
        (bgr.rows & -2) != state_->height) {
        return false;
    }
    State& s = *state_;
    // While the disk still holds back earlier bytes, frames are turned away, not piled up.
    if (s.file.Holding() && !s.file.Catch()) return false;
    if (s.file.Broken()) return false;
    if (!s.Convert(bgr)) return false;  // the encoder copies the picture it is sent
    s.picture->pts = s.frameIndex++;
    return s.Encode(s.picture);
}

int64_t MjpegAvi::Unflushed() const {
    if (!state_ || !state_->output || !state_->output->pb) return 0;
    const AVIOContext* pb = state_->output->pb;
    return pb->buf_ptr - pb->buffer;
}

void MjpegAvi::Close() {
    if (!state_) return;
    // Only an open file has a state, so its header is written.
    if (state_->frameIndex > 0) state_->Encode(nullptr);
    av_write_trailer(state_->output);
    state_.reset();
}

}  // namespace recording
