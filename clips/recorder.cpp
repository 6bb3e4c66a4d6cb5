// The clip recorder: event decisions on the frame loop, the ring and the writer on the
// encoder thread, a bounded queue between them.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <opencv2/imgproc.hpp>

#include "clips/clips.h"
#include "clips/copy.h"
#include "clips/encode.h"
#include "clips/files.h"
#include "clips/ring.h"
#include "diag/diag.h"

namespace clips {

namespace {

enum Kind { kRing, kOpen, kResume, kWrite, kClose, kStop };

struct Item {
    Kind kind = kRing;
    cv::Mat frame;
    std::string name;  // kOpen: the final name
    cv::Size size;     // kOpen: the frames' size
    double fps = 0;
    size_t keep = 0;  // kRing: frames the ring holds
};

void Say(const std::string& line) {
    diag::Line(line);
}

// Whether path is an MP4 its writer closed whole: top-level boxes that cover the file
// exactly, the index ("moov") among them. A writer that met a full disk leaves no index.
bool WholeMp4(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bool index = false, whole = false;
    uint64_t at = 0;
    for (int boxes = 0; boxes < 4096; ++boxes) {
        unsigned char head[16];
        if (std::fseek(f, static_cast<long>(at), SEEK_SET) != 0) break;
        const size_t got = std::fread(head, 1, 8, f);
        if (got == 0) {
            whole = at > 0;
            break;
        }
        if (got < 8) break;
        uint64_t size = (uint64_t{head[0]} << 24) | (uint64_t{head[1]} << 16) |
                        (uint64_t{head[2]} << 8) | head[3];
        if (size == 1) {
            if (std::fread(head + 8, 1, 8, f) != 8) break;
            size = 0;
            for (int i = 8; i < 16; ++i) size = (size << 8) | head[i];
        } else if (size == 0) {
            break;  // "to the end of the file": what a writer leaves before it closes
        }
        if (size < 8) break;
        if (std::memcmp(head + 4, "moov", 4) == 0) index = true;
        at += size;
    }
    std::fseek(f, 0, SEEK_END);
    const long end = std::ftell(f);
    std::fclose(f);
    return whole && index && end >= 0 && static_cast<uint64_t>(end) == at;
}

// How long the clips may go on being written once the program stops: one moment for every
// camera's recorder together (they stop one after another), so that the exit stays within
// its 2 s however much a large PRECAPTUREMB holds queued.
std::chrono::steady_clock::time_point FlushDeadline() {
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point until;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    if (until < now) until = now + std::chrono::milliseconds(800);
    return until;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

std::string ClipName(int camera, int64_t wallMs) {
    std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
    std::tm t{};
    localtime_r(&seconds, &t);
    char text[64];
    std::snprintf(text, sizeof text, "cam%d-%04d%02d%02d-%02d%02d%02d.mp4", camera,
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

// ---- the encoder thread ----

struct Recorder::Encoder {
    explicit Encoder(const Options& o)
        : ring(static_cast<size_t>(o.ringBytes)), queueBytes(static_cast<size_t>(o.queueBytes)) {
        thread = std::thread([this] { Run(); });
    }
    ~Encoder() { Stop(); }

    // Frames are turned away while the queue is full; controls are tiny and always go in.
    bool Push(Item item) {
        const size_t bytes = item.frame.total() * item.frame.elemSize();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return false;
            if (!item.frame.empty() && queued > 1 && queuedBytes + bytes > queueBytes) {
                return false;
            }
            queuedBytes += bytes;
            queued += item.frame.empty() ? 0 : 1;
            items.push_back(std::move(item));
        }
        wake.notify_one();
        return true;
    }

    // Takes a buffer of the frame's size back from the encoder, or a new one.
    cv::Mat Buffer(const cv::Mat& like) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = spare.begin(); it != spare.end(); ++it) {
            if (it->size() == like.size() && it->type() == like.type()) {
                cv::Mat m = std::move(*it);
                spare.erase(it);
                return m;
            }
        }
        return cv::Mat(like.size(), like.type());
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!stopping) items.push_back(Item{kStop, {}, {}, {}, 0, 0});
            stopping = true;
            flushUntil = FlushDeadline();
        }
        wake.notify_one();
        if (thread.joinable()) thread.join();
    }

    void Run() {
        pthread_setname_np(pthread_self(), "camwatch-clip");  // for top -H; may fail, harmless
        for (;;) {
            Item item;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return !items.empty(); });
                item = std::move(items.front());
                items.pop_front();
                queuedBytes -= item.frame.total() * item.frame.elemSize();
                queued -= item.frame.empty() ? 0 : 1;
            }
            if (item.kind == kStop) {
                Guard([&] { Close(); });
                return;
            }
            const auto start = std::chrono::steady_clock::now();
            Guard([&] { Handle(item); });
            busy.store(busy.load(std::memory_order_relaxed) +
                           Seconds(std::chrono::steady_clock::now() - start),
                       std::memory_order_relaxed);  // a statistic; only this thread writes
            ringBytes.store(ring.Bytes(), std::memory_order_relaxed);
            ringPeak.store(ring.PeakBytes(), std::memory_order_relaxed);
            Recycle(std::move(item.frame));
        }
    }

    template <class F>
    void Guard(F&& f) {
        try {
            f();
        } catch (...) {
            // An encoder that throws loses this frame or clip, never the camera.
        }
    }

    // Only buffers nothing else holds (the ring keeps raw frames by sharing them).
    void Recycle(cv::Mat frame) {
        if (frame.empty() || !frame.u || frame.u->refcount != 1) return;
        std::lock_guard<std::mutex> lock(mutex);
        if (spare.size() < 4) spare.push_back(std::move(frame));
    }

    void Handle(Item& item) {
        switch (item.kind) {
            case kRing:
                ring.Push(item.frame, item.keep);
                break;
            case kOpen:
                Close();
                Open(item);
                [[fallthrough]];
            case kResume:
                ring.Drain([this](const cv::Mat& f) { Write(f); });
                break;
            case kWrite:
                Write(item.frame);
                break;
            case kClose:
                Close();
                break;
            case kStop:
                break;
        }
    }

    void Open(const Item& item) {
        final = item.name;
        part = PartName(item.name);
        size = item.size;
        static std::atomic<bool> fallbackSaid{false};
        writer = std::make_unique<EncodedMp4>();
        bool mpeg4 = false;
        if (!writer->Open(part, size, item.fps, &mpeg4)) {
            writer.reset();
            if (!openFailSaid) Say("clip " + final + " cannot be created");
            openFailSaid = true;
            failedName = final;
            final.clear();
        } else if (mpeg4 && !fallbackSaid.exchange(true)) {
            Say("H.264 cannot be written here; clips are MPEG-4 part 2");
        }
    }

    void Write(const cv::Mat& frame) {
        if (!writer) return;
        if (frame.size() != size) {  // the camera changed its size: scaled into the clip's
            cv::resize(frame, resized, size, 0, 0, cv::INTER_AREA);
            Write(resized);
            return;
        }
        if (PastFlushDeadline()) {  // at exit: what is still queued is left out, counted
            dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        writer->Write(frame);
        written.fetch_add(1, std::memory_order_relaxed);
    }

    void Close() {
        if (!writer) {
            if (!failedName.empty()) Settle(failedName, false);  // never created
            failedName.clear();
            return;
        }
        const bool closed = writer->Close();
        writer.reset();
        bool done = false;
        if (!final.empty()) {
            if (!closed || !WholeMp4(part)) {
                Say("clip " + final + " was not written whole (is the disk full?); kept as " +
                    part);
            } else if (std::rename(part.c_str(), final.c_str()) != 0) {
                Say("clip " + final + " cannot be finished");
            } else {
                done = true;
            }
            Settle(final, done);
        }
        final.clear();
    }

    void Settle(const std::string& name, bool done) {
        std::lock_guard<std::mutex> lock(outcomeMutex);
        outcomes.emplace_back(name, done);
        if (outcomes.size() > 16) outcomes.pop_front();
    }

    Outcome Find(const std::string& name) const {
        std::lock_guard<std::mutex> lock(outcomeMutex);
        for (auto it = outcomes.rbegin(); it != outcomes.rend(); ++it) {
            if (it->first == name) return it->second ? Outcome::kFinished : Outcome::kFailed;
        }
        return Outcome::kPending;
    }

    bool PastFlushDeadline() {
        std::lock_guard<std::mutex> lock(mutex);
        return stopping && std::chrono::steady_clock::now() >= flushUntil;
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> items;
    std::chrono::steady_clock::time_point flushUntil;  // once stopping
    std::vector<cv::Mat> spare;
    size_t queuedBytes = 0, queued = 0;
    bool stopping = false;

    // Encoder thread only:
    FrameRing ring;
    const size_t queueBytes;
    std::unique_ptr<EncodedMp4> writer;  // fragmented: a crash leaves a clip that plays
    std::string final, part;
    std::string failedName;  // a clip whose writer could not be created, until its close
    cv::Mat resized;
    cv::Size size;
    bool openFailSaid = false;

    mutable std::mutex outcomeMutex;
    std::deque<std::pair<std::string, bool>> outcomes;  // the last clips closed: finished?

    std::atomic<uint64_t> written{0}, dropped{0};
    std::atomic<double> busy{0};
    std::atomic<size_t> ringBytes{0}, ringPeak{0};
    std::thread thread;  // last: starts after everything above exists
};

// ---- the frame loop's side ----

Recorder::Recorder(int camera, const Options& options, double sourceFps)
    : camera_(camera),
      options_(options),
      fps_(sourceFps > 0 && sourceFps <= 240 ? sourceFps : 10.0),
      measuring_(!(sourceFps > 0 && sourceFps <= 240)),
      encoder_(std::make_unique<Encoder>(options)) {}

Recorder::~Recorder() {
    Finish();
}

int Recorder::Frames(double seconds) const {
    return static_cast<int>(std::lround(seconds * fps_));
}

void Recorder::Send(int kind, const cv::Mat* frame, std::string name) {
    if (copy_) {
        CopySend(kind, name);
        return;
    }
    Item item;
    item.kind = static_cast<Kind>(kind);
    item.name = std::move(name);
    item.fps = fps_;
    item.keep = static_cast<size_t>(Frames(options_.preSeconds));
    if (frame) {
        item.frame = encoder_->Buffer(*frame);
        frame->copyTo(item.frame);
    }
    if (!encoder_->Push(std::move(item)) && frame) {
        encoder_->dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

// The encoder's items as the copy's commands: a frame into the ring means the clip (if any)
// takes no packets after this frame's.
void Recorder::CopySend(int kind, const std::string& name) {
    switch (kind) {
        case kRing:
            if (copyWriting_) copy_->Pause(nowMs_);
            copyWriting_ = false;
            break;
        case kOpen:
            copy_->Open(name, nowMs_);
            copyWriting_ = true;
            break;
        case kResume:
            copy_->Resume(nowMs_);
            copyWriting_ = true;
            break;
        case kClose:
            copy_->Close(nowMs_);
            copyWriting_ = false;
            break;
        default:  // kWrite: the open clip takes the packets as they come
            break;
    }
}

std::string Recorder::NextName(int64_t firstWallMs) {
    std::string name;
    for (int i = 0; i < 120; ++i) {  // a clip of its own even when one began in that second
        name = options_.prefix + ClipName(camera_, firstWallMs + int64_t{i} * 1000);
        if (name != lastName_ && !Exists(name) && !Exists(PartName(name))) break;
    }
    lastName_ = name;
    return name;
}

void Recorder::OnFrame(const cv::Mat& frame, episodes::Step step, int64_t steadyMs,
                       int64_t wallMs, bool room) {
    if (!encoder_ || (frame.empty() && !copy_)) return;
    if (pendingCopy_) TakeUpCopy();
    nowMs_ = steadyMs;
    ++seenFrames_;
    if (firstSteadyMs_ < 0) firstSteadyMs_ = steadyMs;
    if (measuring_ && seenFrames_ > 1 && steadyMs > firstSteadyMs_) {
        fps_ =
            std::clamp((seenFrames_ - 1) * 1000.0 / double(steadyMs - firstSteadyMs_), 1.0, 120.0);
    }
    const size_t keep = static_cast<size_t>(Frames(options_.preSeconds));
    if (ringWallCap_ != std::max<size_t>(keep, 1)) {
        ringWallCap_ = std::max<size_t>(keep, 1);
        ringWall_ = std::make_unique<int64_t[]>(ringWallCap_);
        ringWallHead_ = ringWallCount_ = 0;
    }
    auto toRing = [&] {
        Send(kRing, &frame);
        if (keep == 0) return;
        ringWall_[(ringWallHead_ + ringWallCount_) % ringWallCap_] = wallMs;
        if (ringWallCount_ < ringWallCap_) {
            ++ringWallCount_;
        } else {
            ringWallHead_ = (ringWallHead_ + 1) % ringWallCap_;
        }
    };
    auto ringTaken = [&] { ringWallHead_ = ringWallCount_ = 0; };

    if (!room) Cut();  // the disk filled up: the clip ends with what it has
    if (episodes::Moving(step)) {
        if (!open_ && room) {
            const int64_t first = ringWallCount_ ? ringWall_[ringWallHead_] : wallMs;
            clip_ = NextName(first);
            clipOffsetMs_ = fps_ > 0 ? std::lround(double(ringWallCount_) * 1000.0 / fps_) : 0;
            Item open;
            open.kind = kOpen;
            open.name = clip_;
            open.fps = fps_;
            open.size = frame.size();
            if (copy_) {
                Send(kOpen, nullptr, clip_);
            } else {
                (void)encoder_->Push(std::move(open));  // controls always go in
            }
            open_ = true;
            ringTaken();
        } else if (open_ && !writing_) {
            Send(kResume, nullptr);
            ringTaken();
        }
        if (open_) {
            Send(kWrite, &frame);
            writing_ = true;
            sinceMotion_ = 0;
            return;
        }
    }
    if (open_) {
        if (step != episodes::Step::kStill) {
            Cut();
        } else if (writing_ && ++sinceMotion_ <= Frames(options_.postSeconds)) {
            Send(kWrite, &frame);
            return;
        } else {
            writing_ = false;
        }
    }
    toRing();
}

void Recorder::Cut() {
    if (!encoder_ || !open_) return;
    Send(kClose, nullptr);
    open_ = writing_ = false;
    clip_.clear();
}

void Recorder::Finish() {
    if (!encoder_) return;
    Cut();
    encoder_->Stop();
    if (copy_) copy_->Stop();
    if (pendingCopy_) pendingCopy_->Stop();
}

Recorder::Outcome Recorder::ClipOutcome(const std::string& clip) const {
    return encoder_ ? encoder_->Find(clip) : Outcome::kFailed;
}

uint64_t Recorder::Dropped() const {
    if (copy_) return copy_->Dropped();
    return encoder_->dropped.load(std::memory_order_relaxed);
}
uint64_t Recorder::Written() const {
    if (copy_) return copy_->Written();
    return encoder_->written.load(std::memory_order_relaxed);
}
double Recorder::EncoderSeconds() const {
    if (copy_) return copy_->WriterSeconds();
    return encoder_->busy.load(std::memory_order_relaxed);
}
size_t Recorder::RingBytes() const {
    if (copy_) return copy_->RingBytes();
    return encoder_->ringBytes.load(std::memory_order_relaxed);
}
size_t Recorder::RingPeakBytes() const {
    if (copy_) return copy_->RingPeakBytes();
    return encoder_->ringPeak.load(std::memory_order_relaxed);
}

}  // namespace clips
