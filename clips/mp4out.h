// One fragmented MP4 written from a source's packets: timestamps start at 0, a fragment per
// key frame or per second, each made durable (fdatasync) once written. A file cut off at any
// moment plays up to its last whole fragment.
#pragma once

#include <cstdint>
#include <string>

#include "cameras/packets.h"

extern "C" {
struct AVFormatContext;
}

namespace clips {

class Mp4Out {
  public:
    Mp4Out() = default;
    ~Mp4Out();
    Mp4Out(const Mp4Out&) = delete;
    Mp4Out& operator=(const Mp4Out&) = delete;

    // Creates path for packets of stream; false when it cannot (nothing is left open).
    bool Open(const std::string& path, const cameras::CodedStream& stream);
    // newOpening: the packet is the first of another opening of the source, whose times go
    // on where the last packet's ended. False when the file cannot take the packet.
    bool Write(const cameras::CodedPacket& coded, bool newOpening);
    // The file's time of the last packet written, in seconds from its start.
    double Seconds() const;
    // What the open fragment will add to the file at most: the bytes of the packets handed to
    // Write that have not reached it yet, and their entries in its index.
    int64_t Pending() const {
        return (handed_ > put_ ? handed_ - put_ : 0) + pendingPackets_ * kIndexEntryBound;
    }
    int64_t FileBytes() const { return put_; }  // what has reached the file
    static constexpr int64_t kIndexEntryBound = 32;
    // Writes the rest and the index; false when that failed.
    bool Close();

  private:
    static int Put(void* opaque, uint8_t* data, int size);
    static int64_t Seek(void* opaque, int64_t offset, int whence);
    bool Sync();
    void Release();

    int fd_ = -1;
    AVFormatContext* ctx_ = nullptr;
    bool headerWritten_ = false;
    bool unsynced_ = false;
    int64_t handed_ = 0, put_ = 0;  // bytes of packets given, bytes that reached the file
    int64_t pendingPackets_ = 0;    // packets given since the file last grew
    int sourceNum_ = 1, sourceDen_ = 90000;
    int64_t offset_ = INT64_MIN;   // added to the source's times; INT64_MIN before the first
    int64_t lastDts_ = INT64_MIN;  // in the source's time base, after offset_
};

}  // namespace clips
