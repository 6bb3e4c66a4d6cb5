// The fragmented MP4 writer of stream copies.
#include "clips/mp4out.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace clips {

Mp4Out::~Mp4Out() {
    Release();
}

bool Mp4Out::Open(const std::string& path, const cameras::CodedStream& stream) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    if (avformat_alloc_output_context2(&ctx_, nullptr, "mp4", nullptr) < 0 || !ctx_) return false;
    constexpr int kBufferBytes = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    if (!buffer) return false;
    ctx_->pb =
        avio_alloc_context(buffer, kBufferBytes, 1, this, nullptr, &Mp4Out::Put, &Mp4Out::Seek);
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
    sourceNum_ = stream.timeBaseNum();
    sourceDen_ = stream.timeBaseDen();
    if (sourceNum_ <= 0 || sourceDen_ <= 0) sourceNum_ = 1, sourceDen_ = 90000;
    st->time_base = AVRational{sourceNum_, sourceDen_};
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

bool Mp4Out::Write(const cameras::CodedPacket& coded, bool newOpening) {
    if (!headerWritten_ || !coded.packet()) return false;
    AVPacket* p = av_packet_clone(coded.packet());
    if (!p) return false;
    const AVRational source{sourceNum_, sourceDen_};
    if (p->dts == AV_NOPTS_VALUE) p->dts = p->pts;
    if (p->dts == AV_NOPTS_VALUE) p->dts = av_rescale_q(coded.steadyMs(), {1, 1000}, source);
    if (p->pts == AV_NOPTS_VALUE) p->pts = p->dts;
    if (offset_ == INT64_MIN) {
        offset_ = -p->dts;  // the file starts at 0
    } else if (newOpening) {
        offset_ = lastDts_ + 1 - p->dts;  // a reopened stream goes on where it was
    }
    p->dts += offset_;
    p->pts += offset_;
    if (lastDts_ != INT64_MIN && p->dts <= lastDts_) p->dts = lastDts_ + 1;
    if (p->pts < p->dts) p->pts = p->dts;
    lastDts_ = p->dts;
    p->stream_index = 0;
    p->pos = -1;
    av_packet_rescale_ts(p, source, ctx_->streams[0]->time_base);
    handed_ += p->size;
    ++pendingPackets_;
    const int put = av_write_frame(ctx_, p);
    av_packet_free(&p);
    return put >= 0 && Sync();
}

double Mp4Out::Seconds() const {
    return lastDts_ == INT64_MIN ? 0.0 : double(lastDts_) * sourceNum_ / sourceDen_;
}

bool Mp4Out::Close() {
    bool ok = headerWritten_ && av_write_trailer(ctx_) >= 0;
    headerWritten_ = false;
    ok = ok && Sync();
    Release();
    return ok;
}

int Mp4Out::Put(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<Mp4Out*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(self->fd_, data + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
        done += static_cast<int>(n);
    }
    self->unsynced_ = true;
    self->put_ += size;
    self->pendingPackets_ = 0;
    return size;
}

int64_t Mp4Out::Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<Mp4Out*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return ::fstat(self->fd_, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

// What reached the file since the last call goes to the disk: on the writer's thread, once
// per fragment.
bool Mp4Out::Sync() {
    if (!unsynced_) return true;
    unsynced_ = false;
    return ::fdatasync(fd_) == 0;
}

void Mp4Out::Release() {
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

}  // namespace clips
