// Stream copy: the packet ring on the reader's side, the muxer on the clip's own thread.
#include "clips/copy.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "cameras/source.h"
#include "diag/diag.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace clips {

// One fragmented MP4 written from a source's packets: timestamps start at 0, a fragment per
// key frame or per second, each made durable (fdatasync) once written. A file cut off at any
// moment plays up to its last whole fragment.
class Mp4Out {
  public:
    Mp4Out() = default;
    ~Mp4Out() { Release(); }
    Mp4Out(const Mp4Out&) = delete;
    Mp4Out& operator=(const Mp4Out&) = delete;

    // Creates path for packets of stream; false when it cannot (nothing is left behind open).
    bool Open(const std::string& path, const cameras::CodedStream& stream) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) return false;
        if (avformat_alloc_output_context2(&ctx_, nullptr, "mp4", nullptr) < 0 || !ctx_) {
            return false;
        }
        constexpr int kBufferBytes = 1 << 16;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
        if (!buffer) return false;
        ctx_->pb = avio_alloc_context(buffer, kBufferBytes, 1, this, nullptr, &Mp4Out::Put,
                                      &Mp4Out::Seek);
        if (!ctx_->pb) {
            av_free(buffer);
            return false;
        }
        ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
        ctx_->flush_packets = 1;  // a finished fragment reaches the file at once
        AVStream* st = avformat_new_stream(ctx_, nullptr);
        if (!st || avcodec_parameters_copy(st->codecpar, stream.parameters()) < 0) return false;
        st->codecpar->codec_tag =
            st->codecpar->codec_id == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
        source_ = AVRational{stream.timeBaseNum(), stream.timeBaseDen()};
        if (source_.num <= 0 || source_.den <= 0) source_ = AVRational{1, 90000};
        st->time_base = source_;
        if (stream.fps() > 0) st->avg_frame_rate = av_d2q(stream.fps(), 1000000);
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&options, "frag_duration", "1000000", 0);
        const int header = avformat_write_header(ctx_, &options);
        av_dict_free(&options);
        if (header < 0) return false;
        headerWritten_ = true;
        return Sync();
    }

    // False when the file cannot take the packet.
    bool Write(const cameras::CodedPacket& coded, bool newOpening) {
        AVPacket* p = av_packet_clone(coded.packet());
        if (!p) return false;
        const AVRational ms{1, 1000};
        if (p->dts == AV_NOPTS_VALUE) p->dts = p->pts;
        if (p->dts == AV_NOPTS_VALUE) p->dts = av_rescale_q(coded.steadyMs(), ms, source_);
        if (p->pts == AV_NOPTS_VALUE) p->pts = p->dts;
        if (offset_ == AV_NOPTS_VALUE) {
            offset_ = -p->dts;  // the clip starts at 0
        } else if (newOpening) {
            offset_ = lastDts_ + 1 - p->dts;  // a reopened stream goes on where it was
        }
        p->dts += offset_;
        p->pts += offset_;
        if (lastDts_ != AV_NOPTS_VALUE && p->dts <= lastDts_) p->dts = lastDts_ + 1;
        if (p->pts < p->dts) p->pts = p->dts;
        lastDts_ = p->dts;
        p->stream_index = 0;
        p->pos = -1;
        av_packet_rescale_ts(p, source_, ctx_->streams[0]->time_base);
        const int put = av_write_frame(ctx_, p);
        av_packet_free(&p);
        return put >= 0 && Sync();
    }

    // Writes the rest and the index; false when that failed.
    bool Close() {
        bool ok = headerWritten_ && av_write_trailer(ctx_) >= 0;
        headerWritten_ = false;
        ok = ok && Sync();
        Release();
        return ok;
    }

  private:
    static int Put(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<Mp4Out*>(opaque);
        int done = 0;
        while (done < size) {
            const ssize_t n = ::write(self->fd_, data + done, static_cast<size_t>(size - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
            done += static_cast<int>(n);
        }
        self->unsynced_ = true;
        return size;
    }

    static int64_t Seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<Mp4Out*>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat st;
            return ::fstat(self->fd_, &st) == 0 ? st.st_size : AVERROR(errno);
        }
        const off_t at = ::lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : at;
    }

    // What reached the file since the last call goes to the disk.
    bool Sync() {
        if (!unsynced_) return true;
        unsynced_ = false;
        return ::fdatasync(fd_) == 0;
    }

    void Release() {
        if (ctx_) {
            if (ctx_->pb) {
                av_freep(&ctx_->pb->buffer);
                avio_context_free(&ctx_->pb);
            }
            avformat_free_context(ctx_);
            ctx_ = nullptr;
        }
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
    AVFormatContext* ctx_ = nullptr;
    bool headerWritten_ = false;
    bool unsynced_ = false;
    AVRational source_{1, 90000};
    int64_t offset_ = AV_NOPTS_VALUE;
    int64_t lastDts_ = AV_NOPTS_VALUE;
};

namespace {

std::string PartOf(const std::string& name) {
    return name.substr(0, name.size() - 4) + ".part.mp4";
}

// Packets of two openings can share a file when their pictures are alike.
bool SameKind(const cameras::CodedStream& a, const cameras::CodedStream& b) {
    const AVCodecParameters* x = a.parameters();
    const AVCodecParameters* y = b.parameters();
    return x->codec_id == y->codec_id && x->width == y->width && x->height == y->height &&
           x->extradata_size == y->extradata_size &&
           (x->extradata_size == 0 ||
            std::equal(x->extradata, x->extradata + x->extradata_size, y->extradata));
}

}  // namespace

CopyClips::CopyClips(int camera, const Options& options)
    : camera_(camera),
      preMs_(static_cast<int64_t>(options.preSeconds * 1000)),
      maxBytes_(static_cast<size_t>(options.ringBytes)),
      thread_([this] { Run(); }) {}

CopyClips::~CopyClips() {
    Stop();
}

void CopyClips::OnPacket(cameras::CodedPacket packet) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        bytes_ += packet.bytes();
        if (packet.key()) keys_.push_back({nextSeq_, packet.steadyMs()});
        ring_.push_back(Entry{std::move(packet), nextSeq_++});
        Trim();
        ringBytes_.store(bytes_, std::memory_order_relaxed);
        if (bytes_ > ringPeak_.load(std::memory_order_relaxed)) {
            ringPeak_.store(bytes_, std::memory_order_relaxed);
        }
        wake = live_;
    }
    if (wake) wake_.notify_one();
}

void CopyClips::PopFront() {
    const Entry& f = ring_.front();
    bytes_ -= f.packet.bytes();
    if (!keys_.empty() && keys_.front().seq == f.seq) keys_.pop_front();
    ring_.pop_front();
}

void CopyClips::Trim() {
    // The byte bound holds whatever the writer still wants: what it loses is counted.
    while (bytes_ > maxBytes_ && ring_.size() > 1) {
        if (ring_.front().seq >= needFrom_) dropped_.fetch_add(1, std::memory_order_relaxed);
        PopFront();
    }
    // Otherwise the ring keeps the key frame at or before PRECAPTURE back and what follows it.
    const int64_t cutoff = ring_.back().packet.steadyMs() - preMs_;
    while (!ring_.empty() && ring_.front().seq < needFrom_) {
        const Entry& f = ring_.front();
        const bool go = f.packet.key() ? keys_.size() > 1 && keys_[1].steadyMs <= cutoff
                                       : !keys_.empty() || f.packet.steadyMs() < cutoff;
        if (!go) break;
        PopFront();
    }
}

uint64_t CopyClips::StartSeq(int64_t steadyMs) const {
    const int64_t cutoff = steadyMs - preMs_;
    if (keys_.empty()) return nextSeq_;  // the clip starts at the next key frame
    uint64_t start = keys_.front().seq;
    for (const Key& k : keys_) {
        if (k.steadyMs > cutoff) break;
        start = k.seq;
    }
    return start;
}

void CopyClips::Push(Command command) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        if (command.kind == kStop) stopping_ = true;
        commands_.push_back(std::move(command));
    }
    wake_.notify_one();
}

void CopyClips::Open(const std::string& name, int64_t steadyMs) {
    Push({kOpen, steadyMs, name});
}
void CopyClips::Pause(int64_t steadyMs) {
    Push({kPause, steadyMs, {}});
}
void CopyClips::Resume(int64_t steadyMs) {
    Push({kResume, steadyMs, {}});
}
void CopyClips::Close(int64_t steadyMs) {
    Push({kClose, steadyMs, {}});
}

void CopyClips::Stop() {
    Push({kStop, 0, {}});
    if (thread_.joinable()) thread_.join();
}

void CopyClips::Run() {
    pthread_setname_np(pthread_self(), "camwatch-clip");  // for top -H; may fail, harmless
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] {
            return !commands_.empty() || (live_ && !ring_.empty() && ring_.back().seq >= writeFrom_);
        });
        if (commands_.empty()) {
            WriteUpTo(INT64_MAX, lock);
            continue;
        }
        const Command command = std::move(commands_.front());
        commands_.pop_front();
        try {
            Handle(command, lock);
        } catch (...) {
            // A clip that cannot be written is lost, never the camera.
        }
        if (command.kind == kStop) return;
    }
}

void CopyClips::Handle(const Command& command, std::unique_lock<std::mutex>& lock) {
    switch (command.kind) {
        case kOpen:
            CloseFile(lock);
            final_ = command.name;
            writing_ = live_ = true;
            needKey_ = true;
            writeFrom_ = needFrom_ = StartSeq(command.steadyMs);
            WriteUpTo(INT64_MAX, lock);
            break;
        case kResume: {
            // Straight on where the clip paused when nothing of that is lost and no later key
            // frame is due for the pre-capture; else from that key frame.
            const uint64_t start = StartSeq(command.steadyMs);
            const bool lost = ring_.empty() || writeFrom_ < ring_.front().seq;
            if (start > writeFrom_ || lost) {
                writeFrom_ = start;
                needKey_ = true;
            }
            writing_ = live_ = true;
            needFrom_ = writeFrom_;
            WriteUpTo(INT64_MAX, lock);
            break;
        }
        case kPause:
            WriteUpTo(command.steadyMs, lock);
            writing_ = live_ = false;
            needFrom_ = UINT64_MAX;
            break;
        case kClose:
            WriteUpTo(command.steadyMs, lock);
            CloseFile(lock);
            break;
        case kStop:
            CloseFile(lock);
            break;
    }
}

void CopyClips::WriteUpTo(int64_t steadyMs, std::unique_lock<std::mutex>& lock) {
    std::vector<cameras::CodedPacket> batch;
    while (writing_ && !ring_.empty()) {
        if (writeFrom_ < ring_.front().seq) {  // the ring's bound took them
            writeFrom_ = ring_.front().seq;
            needKey_ = true;
        }
        batch.clear();
        for (size_t i = writeFrom_ - ring_.front().seq; i < ring_.size(); ++i) {
            if (ring_[i].packet.steadyMs() > steadyMs) break;
            batch.push_back(ring_[i].packet.Ref());
            writeFrom_ = ring_[i].seq + 1;
        }
        needFrom_ = writeFrom_;
        if (batch.empty()) break;
        lock.unlock();
        const auto start = std::chrono::steady_clock::now();
        for (const cameras::CodedPacket& p : batch) Write(p);
        busy_.store(busy_.load(std::memory_order_relaxed) +
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                            .count(),
                    std::memory_order_relaxed);  // a statistic; only this thread writes
        lock.lock();
    }
}

// The writer thread, without the lock.
void CopyClips::Write(const cameras::CodedPacket& p) {
    if (final_.empty() || !p.packet() || !p.stream()) return;
    if (needKey_ && !p.key()) return;  // nothing decodes before the next key frame
    const bool newOpening = out_ && stream_ != p.stream();
    if (newOpening && !SameKind(*stream_, *p.stream())) {
        dropped_.fetch_add(1, std::memory_order_relaxed);  // the camera changed its picture
        return;
    }
    needKey_ = false;
    if (!out_) {
        out_ = std::make_unique<Mp4Out>();
        if (!out_->Open(PartOf(final_), *p.stream())) {
            if (!openFailSaid_) diag::Line("clip " + final_ + " cannot be created");
            openFailSaid_ = true;
            out_.reset();
            ::unlink(PartOf(final_).c_str());
            final_.clear();
            return;
        }
        stream_ = p.stream();
    }
    if (newOpening) stream_ = p.stream();
    if (out_->Write(p, newOpening)) {
        written_.fetch_add(1, std::memory_order_relaxed);
    } else {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

void CopyClips::CloseFile(std::unique_lock<std::mutex>& lock) {
    writing_ = live_ = false;
    needFrom_ = UINT64_MAX;
    if (!out_) {
        final_.clear();
        return;
    }
    lock.unlock();
    const bool closed = out_->Close();
    out_.reset();
    stream_.reset();
    if (!closed || std::rename(PartOf(final_).c_str(), final_.c_str()) != 0) {
        diag::Line("clip " + final_ + " cannot be finished");
    }
    final_.clear();
    lock.lock();
}

}  // namespace clips

// ---- the frame loop's side: the Recorder's decisions, as copy_ takes them ----

namespace clips {

bool Recorder::CopyFrom(FrameSource& source) {
    if (!options_.copy || copy_) return copy_ != nullptr;
    auto copy = std::make_shared<CopyClips>(camera_, options_);
    if (!source.TapPackets(copy)) {
        copy->Stop();
        return false;
    }
    copy_ = std::move(copy);
    return true;
}

}  // namespace clips
