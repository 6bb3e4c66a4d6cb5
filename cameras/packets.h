// A camera's compressed video as its source reads it, for writing it out as it is (stream
// copy): the packets of H.264 and H.265 sources, each with the stream it belongs to.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
struct AVPacket;
struct AVCodecParameters;
}

namespace cameras {

// One opening of a source's video stream: its codec parameters and time base. The packets
// read through that opening share it; a reopened stream gets a new one.
class CodedStream {
  public:
    CodedStream(const AVCodecParameters* parameters, int timeBaseNum, int timeBaseDen, double fps);
    ~CodedStream();
    CodedStream(const CodedStream&) = delete;
    CodedStream& operator=(const CodedStream&) = delete;

    const AVCodecParameters* parameters() const { return parameters_; }
    int timeBaseNum() const { return timeBaseNum_; }
    int timeBaseDen() const { return timeBaseDen_; }
    double fps() const { return fps_; }  // 0 when the source reports none

  private:
    AVCodecParameters* parameters_;
    int timeBaseNum_, timeBaseDen_;
    double fps_;
};

// One compressed video packet: a reference of its own to the source's data.
class CodedPacket {
  public:
    CodedPacket() = default;
    // A new reference to packet's data; empty (no packet()) when that fails.
    CodedPacket(std::shared_ptr<const CodedStream> stream, const AVPacket* packet,
                int64_t steadyMs);
    ~CodedPacket();
    CodedPacket(CodedPacket&& other) noexcept;
    CodedPacket& operator=(CodedPacket&& other) noexcept;
    CodedPacket(const CodedPacket&) = delete;
    CodedPacket& operator=(const CodedPacket&) = delete;

    // Another reference to the same data.
    CodedPacket Ref() const { return CodedPacket(stream_, packet_, steadyMs_); }

    const AVPacket* packet() const { return packet_; }
    const std::shared_ptr<const CodedStream>& stream() const { return stream_; }
    int64_t steadyMs() const { return steadyMs_; }  // when it was read (base::SteadyMs's clock)
    bool key() const;
    size_t bytes() const;

  private:
    std::shared_ptr<const CodedStream> stream_;
    AVPacket* packet_ = nullptr;
    int64_t steadyMs_ = 0;
};

// Where a source hands its packets, on the thread that reads it. Must return at once.
class PacketTap {
  public:
    virtual ~PacketTap() = default;
    virtual void OnPacket(CodedPacket packet) = 0;
};

// True for the codecs a clip carries as they are: H.264 and H.265.
bool Copyable(const AVCodecParameters* parameters);

}  // namespace cameras
