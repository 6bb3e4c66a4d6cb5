// Stream copy: an H.264/H.265 camera's clips written from its own packets, never decoded or
// encoded. The source's reader puts every packet into a ring bounded in bytes that keeps the
// pre-capture (from the key frame at or before PRECAPTURE seconds back); the frame loop only
// says when a clip opens, pauses, resumes and closes; a thread of the clip's own muxes the
// packets into fragmented MP4 and makes each fragment durable.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cameras/packets.h"
#include "clips/clips.h"

namespace clips {

class Mp4Out;

class CopyClips : public cameras::PacketTap {
  public:
    CopyClips(int camera, const Options& options);
    ~CopyClips() override;  // Stop()

    // The reader's side: keeps the packet; never blocks on the writer.
    void OnPacket(cameras::CodedPacket packet) override;

    // The frame loop's side, each with the frame's base::SteadyMs. Open: a clip named name (its
    // .part.mp4 until finished) from the key frame at or before PRECAPTURE before steadyMs.
    void Open(const std::string& name, int64_t steadyMs);
    void Pause(int64_t steadyMs);   // packets after steadyMs stay out of the clip
    void Resume(int64_t steadyMs);  // back in, with the pre-capture not yet written
    void Close(int64_t steadyMs);   // finishes the clip with the packets up to steadyMs
    void Stop();                    // closes an open clip and ends the thread; idempotent

    // True once a packet has come (a stream that was down at start: it is H.264/H.265).
    bool Receiving() const { return receiving_.load(std::memory_order_relaxed); }
    uint64_t Written() const { return written_.load(std::memory_order_relaxed); }
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    double WriterSeconds() const { return busy_.load(std::memory_order_relaxed); }
    size_t RingBytes() const { return ringBytes_.load(std::memory_order_relaxed); }
    size_t RingPeakBytes() const { return ringPeak_.load(std::memory_order_relaxed); }

  private:
    enum Kind { kOpen, kPause, kResume, kClose, kStop };
    struct Command {
        Kind kind;
        int64_t steadyMs;
        std::string name;
    };
    struct Entry {
        cameras::CodedPacket packet;
        uint64_t seq;
    };
    struct Key {
        uint64_t seq;
        int64_t steadyMs;
    };
    void Push(Command command);
    void Run();
    // The writer thread's steps; they hold the lock except while writing.
    void Handle(const Command& command, std::unique_lock<std::mutex>& lock);
    void WriteUpTo(int64_t steadyMs, std::unique_lock<std::mutex>& lock);
    void CloseFile(std::unique_lock<std::mutex>& lock);
    void Write(const cameras::CodedPacket& packet);  // without the lock
    // Under mutex_:
    uint64_t StartSeq(int64_t steadyMs) const;
    void Trim();
    void PopFront();

    const int camera_;
    const int64_t preMs_;
    const size_t maxBytes_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> ring_;
    std::deque<Key> keys_;  // the ring's key frames
    std::deque<Command> commands_;
    size_t bytes_ = 0;
    uint64_t nextSeq_ = 0;            // the next packet's number
    uint64_t needFrom_ = UINT64_MAX;  // the first packet the writer still wants
    bool live_ = false;               // the writer follows new packets as they come
    bool stopping_ = false;

    // The writer thread only:
    std::unique_ptr<Mp4Out> out_;
    std::string final_;
    bool clip_ = false;       // a clip is open (its file may wait for a key frame)
    bool writing_ = false;    // packets go into it
    uint64_t writeFrom_ = 0;  // the next packet it takes (read under mutex_ too)
    bool needKey_ = false;    // after a gap: nothing until the next key frame
    std::shared_ptr<const cameras::CodedStream> stream_;  // of the packets in out_
    bool openFailSaid_ = false;

    std::atomic<bool> receiving_{false};
    std::atomic<uint64_t> written_{0}, dropped_{0};
    std::atomic<double> busy_{0};
    std::atomic<size_t> ringBytes_{0}, ringPeak_{0};
    std::thread thread_;  // last: starts after everything above exists
};

}  // namespace clips
