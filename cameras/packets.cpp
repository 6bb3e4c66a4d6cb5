// Compressed packets with the stream they belong to.
#include "cameras/packets.h"

#include <new>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace cameras {

CodedStream::CodedStream(const AVCodecParameters* parameters, int timeBaseNum, int timeBaseDen,
                         double fps)
    : parameters_(avcodec_parameters_alloc()),
      timeBaseNum_(timeBaseNum),
      timeBaseDen_(timeBaseDen),
      fps_(fps) {
    if (parameters_ && avcodec_parameters_copy(parameters_, parameters) < 0) {
        avcodec_parameters_free(&parameters_);
    }
    if (!parameters_) throw std::bad_alloc();
}

CodedStream::~CodedStream() {
    avcodec_parameters_free(&parameters_);
}

CodedPacket::CodedPacket(std::shared_ptr<const CodedStream> stream, const AVPacket* packet,
                         int64_t steadyMs)
    : stream_(std::move(stream)),
      packet_(packet ? av_packet_clone(packet) : nullptr),
      steadyMs_(steadyMs) {}

CodedPacket::~CodedPacket() {
    av_packet_free(&packet_);
}

CodedPacket::CodedPacket(CodedPacket&& other) noexcept
    : stream_(std::move(other.stream_)),
      packet_(std::exchange(other.packet_, nullptr)),
      steadyMs_(other.steadyMs_) {}

CodedPacket& CodedPacket::operator=(CodedPacket&& other) noexcept {
    if (this != &other) {
        av_packet_free(&packet_);
        stream_ = std::move(other.stream_);
        packet_ = std::exchange(other.packet_, nullptr);
        steadyMs_ = other.steadyMs_;
    }
    return *this;
}

bool CodedPacket::key() const {
    return packet_ && (packet_->flags & AV_PKT_FLAG_KEY);
}

size_t CodedPacket::bytes() const {
    return packet_ ? static_cast<size_t>(packet_->size) + sizeof(AVPacket) : 0;
}

bool Copyable(const AVCodecParameters* parameters) {
    return parameters && parameters->codec_type == AVMEDIA_TYPE_VIDEO &&
           (parameters->codec_id == AV_CODEC_ID_H264 || parameters->codec_id == AV_CODEC_ID_HEVC);
}

}  // namespace cameras
