// Stream copy: the packet ring on the reader's side, the muxer on the clip's own thread.
#include "clips/copy.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "cameras/source.h"
#include "clips/files.h"
#include "clips/mp4out.h"
#include "diag/diag.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace clips {

namespace {

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
        receiving_.store(true, std::memory_order_relaxed);
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
            return !commands_.empty() ||
                   (live_ && !ring_.empty() && ring_.back().seq >= writeFrom_);
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
        busy_.store(
            busy_.load(std::memory_order_relaxed) +
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
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
        if (!out_->Open(PartName(final_), *p.stream())) {
            if (!openFailSaid_) diag::Line("clip " + final_ + " cannot be created");
            openFailSaid_ = true;
            out_.reset();
            ::unlink(PartName(final_).c_str());
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
    if (!closed || std::rename(PartName(final_).c_str(), final_.c_str()) != 0) {
        diag::Line("clip " + final_ + " cannot be finished");
    }
    final_.clear();
    lock.lock();
}

}  // namespace clips

// ---- the frame loop's side: the Recorder's decisions, as copy_ takes them ----

namespace clips {

bool Recorder::CopyFrom(cameras::FrameSource& source) {
    if (!options_.copy || copy_ || pendingCopy_) return copy_ != nullptr;
    auto copy = std::make_shared<CopyClips>(camera_, options_);
    if (source.TapPackets(copy)) {
        copy_ = std::move(copy);
        return true;
    }
    if (source.Reconnects()) {
        // A stream not up yet: its clips are encoded until its packets come, then copied
        // from the next clip on.
        pendingCopy_ = std::move(copy);
        return false;
    }
    copy->Stop();
    return false;
}

void Recorder::TakeUpCopy() {
    if (!pendingCopy_ || open_ || !pendingCopy_->Receiving()) return;
    copy_ = std::move(pendingCopy_);
}

}  // namespace clips
