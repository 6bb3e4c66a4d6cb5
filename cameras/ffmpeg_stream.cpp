// A stream opened and decoded straight through FFmpeg. OpenCV's own FFmpeg capture opens one
// source at a time under a process-wide lock, so a silent camera would hold up every other
// open; here each open and read has its own deadline and can be cancelled from outside.
//
// Video files go the same way: OpenCV's capture decodes on as many threads as there are cores
// (a fifth more CPU per frame than one thread) and copies every converted frame once more.
// Their frames are OpenCV's to the byte: the same stream, the same conversion to BGR, into
// rows aligned as OpenCV aligns them.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/base.h"
#include "cameras/files.h"
#include "cameras/packets.h"
#include "cameras/stream.h"
#include "cameras/yuv_gray.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace cameras {

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

// What a file's decoding must match: OpenCV's capture converts with this scaler into rows
// of this alignment.
constexpr int kFileScaler = SWS_BICUBIC;
constexpr int kFileRowAlign = 32;
// How far past a picture's last pixel the scaler's BGR output may write (measured: 42 bytes
// at a width of 2, none at multiples of 16), with a margin.
constexpr size_t kScalerOverrun = 64;

// The probe size a stream is opened with (see FfmpegStream::Open).
constexpr int64_t kOpenProbeBytes = 1 << 20;

// Converts decoded pictures to BGR and takes their gray picture from the planes where that is
// proved exact. Used by one thread at a time: the decoding thread for a file, the consumer of a
// stream's frames for those (the reader only decodes).
class Converter {
  public:
    // A file's frames as OpenCV's capture converts them; a stream's otherwise.
    explicit Converter(bool file = false) : file_(file) {}
    void ForFile() { file_ = true; }

    bool Prepare(const AVFrame* f) {
        scaler_.reset(sws_getCachedContext(
            scaler_.release(), f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
            f->height, AV_PIX_FMT_BGR24, file_ ? kFileScaler : SWS_BILINEAR, nullptr, nullptr,
            nullptr));
        return scaler_ != nullptr;
    }

    // Whether f's gray comes from its planes (proved once per shape); Prepare(f) first.
    bool PlanesGray(const AVFrame* f) {
        const std::array<int, 3> shape{f->width, f->height, f->format};
        if (shape != provedFor_) {
            provedFor_ = shape;
            planesGray_ =
                cameras::PlanesGiveGray(f->width, f->height, f->format) &&
                cameras::ProvedCoefficients(scaler_.get(), file_ ? kFileScaler : SWS_BILINEAR,
                                            f->format, coefficients_);
        }
        return planesGray_;
    }

    void Gray(const AVFrame* f, int begin, int end, cv::Mat& band) const {
        const int strides[3] = {f->linesize[0], f->linesize[1], f->linesize[2]};
        const uint8_t* planes[3] = {f->data[0], f->data[1], f->data[2]};
        cameras::GrayFromPlanes(planes, strides, f->width, begin, end, coefficients_, band.data,
                                band.step[0]);
    }

    // Prepare(f) first.
    bool Convert(const AVFrame* f, cv::Mat& out) {
        out.create(f->height, f->width, CV_8UC3);
        // A file's rows as OpenCV aligns them (the scaler's code path depends on it). At
        // widths that are not a multiple of 16 the scaler also writes up to 42 bytes past the
        // last pixel, so the picture then needs room after its end. Straight into the frame
        // when neither applies, through a padded picture otherwise.
        const int aligned = (f->width * 3 + kFileRowAlign - 1) / kFileRowAlign * kFileRowAlign;
        const size_t stride = file_ ? static_cast<size_t>(aligned) : out.step[0];
        const bool padded = stride != out.step[0] || f->width % 16 != 0;
        if (padded) {
            const int roomRows = static_cast<int>((kScalerOverrun + stride - 1) / stride);
            padded_.create(f->height + roomRows, static_cast<int>(stride), CV_8U);
        }
        cv::Mat& target = padded ? padded_ : out;
        uint8_t* planes[4] = {target.data, nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(stride), 0, 0, 0};
        sws_scale(scaler_.get(), f->data, f->linesize, 0, f->height, planes, strides);
        if (padded) {
            padded_(cv::Rect(0, 0, f->width * 3, f->height)).reshape(3).copyTo(out);
        }
        return true;
    }

    cv::Mat colour;  // the last deferred frame in colour, its buffer kept for the next

  private:
    bool file_;
    std::unique_ptr<SwsContext, ScalerFreer> scaler_;
    cv::Mat padded_;  // a file's picture at OpenCV's row alignment, when the frame's differs
    bool planesGray_ = false;         // the shape's gray comes from its planes
    std::array<int, 3> provedFor_{};  // width, height and format planesGray_ is for
    cameras::YuvCoefficients coefficients_;
};

// One decoded stream picture, taken out of its decoder so that the thread that uses it
// converts it, and only as far as it needs: its gray from the planes, its colour on demand.
class HeldPicture : public FrameSource {
  public:
    HeldPicture(std::shared_ptr<Converter> converter, AVFrame* decoded)
        : converter_(std::move(converter)), frame_(av_frame_alloc()) {
        if (!frame_) throw std::bad_alloc();
        av_frame_move_ref(frame_.get(), decoded);
    }

    ReadStatus Read(cv::Mat&) override { return ReadStatus::End; }
    bool Defers() const override { return true; }
    cv::Size Size() const override { return {frame_->width, frame_->height}; }

    void Gray(int begin, int end, cv::Mat& band) override {
        if (!Prepared()) return;
        if (planesGray_) {
            converter_->Gray(frame_.get(), begin, end, band);
            return;
        }
        if (!converted_ && !Colour(converter_->colour)) return;
        cv::cvtColor(converter_->colour.rowRange(begin, end), band, cv::COLOR_BGR2GRAY);
    }

    bool Colour(cv::Mat& out) override {
        if (!converted_) {
            if (!Prepared() || !converter_->Convert(frame_.get(), converter_->colour)) return false;
            converted_ = true;
        }
        out = converter_->colour;
        return true;
    }

  private:
    bool Prepared() {
        if (!prepared_) {
            if (!converter_->Prepare(frame_.get())) return false;
            planesGray_ = converter_->PlanesGray(frame_.get());
            prepared_ = true;
        }
        return true;
    }

    std::shared_ptr<Converter> converter_;
    std::unique_ptr<AVFrame, FrameFreer> frame_;
    bool prepared_ = false, planesGray_ = false, converted_ = false;
};

class FfmpegStream : public FrameSource {
  public:
    FfmpegStream(int32_t timeoutMs, const std::atomic<bool>* cancel)
        : timeout_(std::chrono::milliseconds(timeoutMs)), cancel_(cancel) {}

    // A file as OpenCV's capture reads it, on one decoding thread; false (OpenCV's capture is
    // to be used) for anything it would treat differently: no video stream, a rotated one.
    bool OpenFile(const std::string& path, double fps) {
        file_ = true;
        own_.ForFile();
        deadline_ = Clock::time_point::max();
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
        input_.reset(raw);
        if (avformat_find_stream_info(input_.get(), nullptr) < 0) return false;
        for (unsigned i = 0; i < input_->nb_streams; ++i) {  // the first, as OpenCV takes it
            if (input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                stream_ = static_cast<int>(i);
                break;
            }
        }
        if (stream_ < 0) return false;
        const AVStream* st = input_->streams[stream_];
        if (av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) return false;
        fps_ = fps == kCaptureFps ? UsableFps(CaptureFps(st)) : fps;
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec) return false;
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), st->codecpar) < 0) {
            return false;
        }
        decoder_->thread_count = 1;
        if (avcodec_open2(decoder_.get(), codec, nullptr) < 0) return false;
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        KeepCoded(st);
        return frame_ && packet_;
    }

    bool Open(const std::string& url) {
        deadline_ = Clock::now() + timeout_;
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) return false;
        raw->interrupt_callback = {&FfmpegStream::Interrupted, this};
        AVDictionary* options = nullptr;
        av_dict_set(&options, "rtsp_flags", "prefer_tcp", 0);
        // An MPEG-TS demuxer keeps its probe size as a read buffer that it can seek back in
        // (5 MB by default) until the stream has filled it once: at 2 Mbit/s the first 20 s of
        // every camera. Its search for the programs needs a few packets; the stream's analysis
        // below gets the full probe size again.
        const int64_t probeSize = raw->probesize;
        av_dict_set_int(&options, "probesize", kOpenProbeBytes, 0);
        const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (opened < 0) return false;  // raw is freed by the failed open
        input_.reset(raw);
        input_->probesize = probeSize;
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
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(st->codecpar->codec_id);
        intraOnly_ = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
        lastKey_ = Clock::now();
        const AVRational rate = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
        // Multipart or raw JPEG over HTTP carries no timing: any rate is FFmpeg's guess (25).
        // None then, so that whoever needs one measures the frames' arrival instead.
        const AVInputFormat* format = input_->iformat;
        const bool guessed = format && ((format->flags & AVFMT_NOTIMESTAMPS) ||
                                        std::strcmp(format->name, "mpjpeg") == 0 ||
                                        std::strcmp(format->name, "mjpeg") == 0);
        fps_ = guessed ? 0.0 : UsableFps(rate.num && rate.den ? av_q2d(rate) : 0.0);
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        KeepCoded(st);
        return frame_ && packet_;
    }

    // What copying the stream's packets takes, kept while only the opening thread knows it.
    void KeepCoded(const AVStream* st) {
        if (!cameras::Copyable(st->codecpar)) return;
        coded_ = std::make_shared<cameras::CodedStream>(st->codecpar, st->time_base.num,
                                                        st->time_base.den, fps_);
    }

    ReadStatus Read(cv::Mat& out) override {
        const ReadStatus status = Decode();
        if (status != ReadStatus::Frame) return status;
        return own_.Prepare(frame_.get()) && own_.Convert(frame_.get(), out) ? ReadStatus::Frame
                                                                             : ReadStatus::Error;
    }

    // A stream's frames leave the decoder unconverted: whoever takes one converts it.
    ReadStatus ReadPicture(cv::Mat& out, std::unique_ptr<FrameSource>& picture) override {
        if (file_) return Read(out);
        const ReadStatus status = Decode();
        if (status != ReadStatus::Frame) return status;
        if (!pictures_) pictures_ = std::make_shared<Converter>(false);
        picture = std::make_unique<HeldPicture>(pictures_, frame_.get());
        return ReadStatus::Frame;
    }

    ReadStatus ReadPacket() override {
        deadline_ = Clock::now() + timeout_;
        timedOut_ = false;
        for (;;) {
            const int read = av_read_frame(input_.get(), packet_.get());
            if (read < 0) {
                if (interrupted_.load() || Cancelled()) return ReadStatus::End;
                if (timedOut_) return ReadStatus::Timeout;
                return read == AVERROR_EOF ? ReadStatus::End : ReadStatus::Error;
            }
            const bool video = packet_->stream_index == stream_;
            if (video) {
                ++counts_.received;
                Tap();
            }
            av_packet_unref(packet_.get());
            if (video) return ReadStatus::Frame;
        }
    }

    // A file's frames wait in the decoder's format. Their gray picture comes from the planes
    // where that is proved to give the converted frame's gray; otherwise the frame is
    // converted at once and its gray taken from the colour.
    bool Defers() const override { return file_; }

    ReadStatus ReadDeferred() override {
        const ReadStatus status = Decode();
        if (status != ReadStatus::Frame) return status;
        if (!own_.Prepare(frame_.get())) return ReadStatus::Error;
        converted_ = false;
        planesGray_ = own_.PlanesGray(frame_.get());
        if (planesGray_) return ReadStatus::Frame;
        if (!own_.Convert(frame_.get(), colour_)) return ReadStatus::Error;
        converted_ = true;
        return ReadStatus::Frame;
    }

    cv::Size Size() const override { return {frame_->width, frame_->height}; }

    void Gray(int begin, int end, cv::Mat& band) override {
        if (!converted_) {
            own_.Gray(frame_.get(), begin, end, band);
            return;
        }
        cv::cvtColor(colour_.rowRange(begin, end), band, cv::COLOR_BGR2GRAY);
    }

    bool Colour(cv::Mat& out) override {
        if (!converted_) {
            if (!own_.Convert(frame_.get(), colour_)) return false;
            converted_ = true;
        }
        out = colour_;
        return true;
    }

    bool Reconnects() const override { return !file_; }
    double Fps() const override { return fps_; }
    void Interrupt() override { interrupted_.store(true); }
    FrameCounts Counts() const override { return counts_; }

    // Taps are added, never removed; the list is swapped whole so that a packet takes it
    // with one reference count.
    bool TapPackets(std::shared_ptr<cameras::PacketTap> tap) override {
        if (!coded_ || !tap) return false;
        std::lock_guard<std::mutex> lock(tapMutex_);
        auto taps = std::make_shared<Taps>(taps_ ? *taps_ : Taps{});
        taps->push_back(std::move(tap));
        taps_ = std::move(taps);
        return true;
    }

  private:
    // The frame rate OpenCV's capture reports for a file's stream.
    static double CaptureFps(const AVStream* st) {
        constexpr double kZero = 0.000025;
        auto ratio = [](AVRational r) { return r.num == 0 || r.den == 0 ? 0.0 : av_q2d(r); };
        double fps = ratio(st->avg_frame_rate);
        if (fps < kZero) fps = 1.0 / ratio(st->time_base);
        return fps;
    }

    bool Cancelled() const { return cancel_ && cancel_->load(); }

    // FFmpeg asks this while it waits inside a call: non-zero ends the wait.
    static int Interrupted(void* opaque) {
        auto* self = static_cast<FfmpegStream*>(opaque);
        if (self->interrupted_.load() || self->Cancelled()) return 1;
        if (Clock::now() < self->deadline_) return 0;
        self->timedOut_ = true;
        return 1;
    }

    // IDLEDECODE, on the stream's own thread (the reader's, which also calls Read).
    void SetIdle(const IdleDecoding& idle) override { idle_ = idle; }

    // Whether a packet of the video stream goes undecoded: while idle, every packet but a key
    // frame's (and of an intra-only stream, all but keyFps a second); after it, every packet
    // up to the next key frame, whose predecessors were not decoded. A stream that sends no
    // key frame for ten seconds is decoded whole.
    bool SkipWhileIdle(const AVPacket& packet) {
        const Clock::time_point now = Clock::now();
        const bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
        if (key) lastKey_ = now;
        if (!idle_.on || file_ || now - lastKey_ > std::chrono::seconds(10)) {
            if (needKey_ && !key && now - lastKey_ <= std::chrono::seconds(10)) return true;
            needKey_ = false;
            return false;
        }
        if (!key) {
            needKey_ = true;
            return true;
        }
        if (intraOnly_ && idle_.keyFps > 0 &&
            now - lastIdleDecode_ < std::chrono::duration<double>(1.0 / idle_.keyFps)) {
            return true;
        }
        lastIdleDecode_ = now;
        needKey_ = false;
        // A decoder that holds pictures back for reordering gives this one only when drained.
        drainIdle_ = !intraOnly_;
        return false;
    }

    // The next decoded frame into frame_ (which drops the one before).
    ReadStatus Decode() {
        const Clock::time_point started = Clock::now();
        deadline_ = started + timeout_;
        timedOut_ = false;
        for (;;) {
            const int got = avcodec_receive_frame(decoder_.get(), frame_.get());
            if (got == 0) {
                ++counts_.decoded;
                return ReadStatus::Frame;
            }
            if (got == AVERROR_EOF && drained_) {  // an idle key frame is out: decode on,
                drained_ = false;                  // from a key frame (nothing is kept to
                needKey_ = true;                   // decode the others against)
                avcodec_flush_buffers(decoder_.get());
                continue;
            }
            if (got == AVERROR_EOF) return ReadStatus::End;
            if (got != AVERROR(EAGAIN) && !file_) return ReadStatus::Error;
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
            if (packet_->stream_index == stream_) {
                ++counts_.received;
                Tap();  // every packet, decoded or not: clips copy them
                if (SkipWhileIdle(*packet_)) {
                    av_packet_unref(packet_.get());
                    // Packets flow: the stream lives, though no frame comes for a while.
                    const Clock::time_point now = Clock::now();
                    deadline_ = now + timeout_;
                    if (now - started > std::chrono::seconds(1)) return ReadStatus::Idle;
                    continue;
                }
                avcodec_send_packet(decoder_.get(), packet_.get());
                if (drainIdle_) {
                    drainIdle_ = false;
                    drained_ = avcodec_send_packet(decoder_.get(), nullptr) == 0;
                }
            }
            av_packet_unref(packet_.get());
        }
    }

    // The packet just read to the tap, if one is set.
    void Tap() {
        std::shared_ptr<const Taps> taps;
        {
            std::lock_guard<std::mutex> lock(tapMutex_);
            taps = taps_;
        }
        if (!taps) return;
        try {
            for (const auto& tap : *taps) {
                cameras::CodedPacket packet(coded_, packet_.get(), base::SteadyMs());
                if (packet.packet()) tap->OnPacket(std::move(packet));
            }
        } catch (...) {
            // Out of memory: the taps miss this packet, the frame still decodes.
        }
    }

    const Clock::duration timeout_;
    const std::atomic<bool>* cancel_;
    std::atomic<bool> interrupted_{false};
    Clock::time_point deadline_;  // of the call under way; only the calling thread touches it
    bool timedOut_ = false;
    bool file_ = false;
    Converter own_;                        // for Read and a file's deferred frames
    std::shared_ptr<Converter> pictures_;  // for the stream pictures handed out
    cv::Mat colour_;                       // the deferred frame in colour, once converted
    bool converted_ = false;
    bool planesGray_ = false;  // the deferred frame's gray comes from its planes
    std::unique_ptr<AVFormatContext, InputCloser> input_;
    std::unique_ptr<AVCodecContext, CodecCloser> decoder_;
    std::unique_ptr<AVFrame, FrameFreer> frame_;
    std::unique_ptr<AVPacket, PacketFreer> packet_;
    int stream_ = -1;
    double fps_ = 0.0;
    FrameCounts counts_;  // read on the decoding thread only
    IdleDecoding idle_;
    bool intraOnly_ = false;  // every frame a key frame (MJPEG)
    bool needKey_ = false;    // frames were skipped: decoding resumes at a key frame
    bool drainIdle_ = false;  // the key frame just sent is drained out of the decoder
    bool drained_ = false;    // the decoder is being drained for it
    Clock::time_point lastKey_{}, lastIdleDecode_{};
    std::mutex tapMutex_;
    using Taps = std::vector<std::shared_ptr<cameras::PacketTap>>;
    std::shared_ptr<const Taps> taps_;  // under tapMutex_
    // The stream's parameters when its packets can be copied, set once opened.
    std::shared_ptr<const cameras::CodedStream> coded_;
};

}  // namespace

void QuietStreamLibrary() {
    av_log_set_level(AV_LOG_QUIET);
}

bool PrepareFfmpegLikeCapture() {
    // Our own setting (stream.cpp) asks OpenCV for FFmpeg's quiet level, which its own log
    // callback would keep as quiet as FFmpeg's.
    const char* level = std::getenv("OPENCV_FFMPEG_LOGLEVEL");
    if (level && std::strcmp(level, "-8") != 0) return false;
    if (std::getenv("OPENCV_FFMPEG_DEBUG") || std::getenv("OPENCV_FFMPEG_CAPTURE_OPTIONS")) {
        return false;
    }
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "OPENCV_VIDEOIO_", 15) == 0) return false;
    }
    static std::once_flag network;
    std::call_once(network, [] { avformat_network_init(); });
    av_log_set_level(level ? AV_LOG_QUIET : AV_LOG_ERROR);
    return true;
}

std::unique_ptr<FrameSource> OpenFileDecoder(const std::string& path, double fps) {
    try {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
        auto file = std::make_unique<FfmpegStream>(0, nullptr);
        if (!file->OpenFile(path, fps)) return nullptr;
        return file;
    } catch (...) {
        return nullptr;
    }
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

}  // namespace cameras
