// Live streams: a reader thread per stream hands the newest frame to the camera's worker.
#include "cameras/stream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "cameras/packets.h"

namespace cameras {
// In ffmpeg_stream.cpp: FFmpeg's own messages off.
void QuietStreamLibrary();

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kFirstRetryMs = 1000;
constexpr int32_t kLastRetryMs = 30000;
constexpr int kJoinWaitMs = 300;

std::atomic<int> RunningThreads{0};

// Counts a stream thread from before it starts until its body, and everything it owns, is
// gone. Throws like std::thread when the thread cannot be started.
void StartCountedThread(std::function<void()> body, std::thread* keep) {
    RunningThreads.fetch_add(1);
    try {
        std::thread t([body = std::move(body)]() mutable {
            try {
                body();
            } catch (...) {
            }
            body = nullptr;  // the shared state dies here, not after the count is dropped
            RunningThreads.fetch_sub(1);
        });
        if (keep) {
            *keep = std::move(t);
        } else {
            t.detach();
        }
    } catch (...) {
        RunningThreads.fetch_sub(1);
        throw;
    }
}

// CPU time of the calling thread.
uint64_t ThreadCpuNs() {
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// What the reader and the consumer of one stream share.
struct StreamState {
    StreamOpener open;
    std::atomic<bool> cancel{false};  // set with stop, for an open under way
    int32_t timeoutMs = OpenSettings{}.streamTimeoutMs;
    bool packetsOnly = false;  // a recording stream: its packets go to the taps, nothing more

    std::mutex mutex;
    std::condition_variable changed;
    cv::Mat newest;                              // the newest frame, empty once taken
    std::unique_ptr<FrameSource> newestPicture;  // or it, still in the decoder's format
    uint64_t frames = 0;                         // frames the reader has delivered
    uint64_t taken = 0;       // the value of frames when the consumer last took one
    uint64_t losses = 0;      // times the reader lost the stream
    uint64_t lossesSeen = 0;  // losses the consumer has been told of
    ReadStatus lostAs = ReadStatus::End;
    bool up = false;
    bool down = false;               // a recording stream: its last open or read failed
    bool stop = false;               // the consumer is going away: the reader ends
    bool finished = false;           // the reader's loop has ended
    FrameSource* current = nullptr;  // the reader's open capture, for Interrupt
    double fps = 0.0;
    FrameCounts counts;          // over every capture the reader has opened, and its CPU time
    FrameCounts countsOfClosed;  // of the captures already closed
    IdleDecoding idle;           // IDLEDECODE as the consumer last set it
    Clock::time_point aliveAt;   // when the idle reader last said the stream lives
    std::vector<std::shared_ptr<cameras::PacketTap>> taps;  // given to every capture opened

    // Reader side: waits ms or until stopped. True when stopped.
    bool Sleep(int32_t ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop; });
    }
    void SetDown(bool isDown) {
        std::lock_guard<std::mutex> lock(mutex);
        down = isDown;
    }
    bool Stopping() {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }
    // Ends the reader: its wait, open or read is cut short.
    void Stop() {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        cancel.store(true);
        if (current) current->Interrupt();
        changed.notify_all();
    }
    void Publish(FrameSource* capture) {
        std::lock_guard<std::mutex> lock(mutex);
        current = capture;
        if (capture) {
            fps = capture->Fps();
            for (const auto& tap : taps) capture->TapPackets(tap);
            if (stop) capture->Interrupt();
        }
    }
};

// Why a read gave no frame. A capture with a read timeout reports a stall as a plain failure,
// so a failure that took about the whole timeout is taken as one.
ReadStatus LossOf(ReadStatus status, Clock::duration took, int32_t timeoutMs) {
    if (status == ReadStatus::Frame) status = ReadStatus::End;  // a frame with nothing in it
    if (status == ReadStatus::End && took >= std::chrono::milliseconds(timeoutMs * 9 / 10)) {
        return ReadStatus::Timeout;
    }
    return status;
}

void ReadStream(StreamState& s, std::unique_ptr<FrameSource> capture) {
    int32_t retryMs = kFirstRetryMs;
    uint64_t framesOfCapture = 0;
    Clock::time_point cpuTakenAt{};
    // However the reader ends (stopped with a capture open, say), Stop may still be called (the
    // source's destructor after an interrupt) and must not reach the capture once it is gone.
    // Locals go before the parameter that owns the capture.
    struct Unpublish {
        StreamState& s;
        ~Unpublish() { s.Publish(nullptr); }
    } unpublish{s};
    s.Publish(capture.get());
    bool waitFirst = !s.packetsOnly;  // a recording stream is first opened at once
    while (!s.Stopping()) {
        if (!capture) {
            if (waitFirst && s.Sleep(retryMs)) break;
            waitFirst = true;
            retryMs = std::min(retryMs * 2, kLastRetryMs);
            try {
                capture = s.open(s.cancel);
            } catch (...) {
                capture.reset();
            }
            if (s.packetsOnly) s.SetDown(!capture);
            if (!capture) continue;
            s.Publish(capture.get());
        }
        if (s.packetsOnly) {  // reopened when it fails, as the camera's own stream is
            ReadStatus status;
            try {
                status = capture->ReadPacket();
            } catch (...) {
                status = ReadStatus::Error;
            }
            if (status == ReadStatus::Frame) {
                retryMs = kFirstRetryMs;
                continue;
            }
            s.Publish(nullptr);
            capture.reset();
            s.SetDown(true);
            continue;
        }
        // A fresh buffer per frame: the one handed over belongs to the consumer from then on.
        // A stream's picture is handed over as decoded: the consumer converts what it takes.
        cv::Mat frame;
        std::unique_ptr<FrameSource> picture;
        const Clock::time_point start = Clock::now();
        ReadStatus status;
        try {
            IdleDecoding idle;
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                idle = s.idle;
            }
            capture->SetIdle(idle);
            status = capture->ReadPicture(frame, picture);
        } catch (...) {
            status = ReadStatus::Error;
        }
        if (status == ReadStatus::Idle) {  // no frame for a while, packets still come
            std::lock_guard<std::mutex> lock(s.mutex);
            s.aliveAt = Clock::now();
            continue;
        }
        const bool got =
            status == ReadStatus::Frame && (picture ? !picture->Size().empty() : !frame.empty());
        if (got) ++framesOfCapture;
        FrameCounts own = capture->Counts();  // a capture that does not count: its frames
        if (own.decoded == 0) own.received = own.decoded = framesOfCapture;
        if (got) {
            retryMs = kFirstRetryMs;
            std::unique_ptr<FrameSource> replaced;  // freed after the lock
            std::lock_guard<std::mutex> lock(s.mutex);
            s.counts.received = s.countsOfClosed.received + own.received;
            s.counts.decoded = s.countsOfClosed.decoded + own.decoded;
            if (!s.newest.empty() || s.newestPicture) ++s.counts.dropped;
            if (const Clock::time_point now = Clock::now();
                now - cpuTakenAt >= std::chrono::seconds(1)) {
                cpuTakenAt = now;
                s.counts.readerCpuNs = ThreadCpuNs();
            }
            s.newest = std::move(frame);  // an untaken older frame is dropped
            replaced = std::move(s.newestPicture);
            s.newestPicture = std::move(picture);
            ++s.frames;
            s.up = true;
            s.changed.notify_all();
            continue;
        }
        const ReadStatus loss = LossOf(status, Clock::now() - start, s.timeoutMs);
        s.Publish(nullptr);
        capture.reset();
        framesOfCapture = 0;
        std::lock_guard<std::mutex> lock(s.mutex);
        s.countsOfClosed.received += own.received;
        s.countsOfClosed.decoded += own.decoded;
        s.counts.received = s.countsOfClosed.received;
        s.counts.decoded = s.countsOfClosed.decoded;
        if (s.up || s.losses == 0) {
            s.lostAs = loss;
            ++s.losses;
        }
        s.up = false;
        s.changed.notify_all();
    }
}

// Starts the reader of state on a thread of its own, beginning with first (may be nullptr).
void StartReader(const std::shared_ptr<StreamState>& state, std::unique_ptr<FrameSource> first,
                 std::thread* reader) {
    state->current = first.get();  // a tap set before the reader runs reaches it
    auto capture = std::make_shared<std::unique_ptr<FrameSource>>(std::move(first));
    StartCountedThread(
        [state, capture]() mutable {
            ReadStream(*state, std::move(*capture));
            std::lock_guard<std::mutex> lock(state->mutex);
            state->finished = true;
            state->changed.notify_all();
        },
        reader);
}

// Stops the reader of state. It comes out of FFmpeg at once, short of a wait the library
// cannot cut (a host name being resolved): then it is left to end on its own (it owns its state).
void StopReader(StreamState& state, std::thread& reader) {
    state.Stop();
    bool finished;
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        finished = state.changed.wait_for(lock, std::chrono::milliseconds(kJoinWaitMs),
                                          [&] { return state.finished; });
    }
    if (finished) {
        reader.join();
    } else {
        reader.detach();
    }
}

class StreamSource : public FrameSource {
  public:
    StreamSource(StreamOpener open, int32_t timeoutMs, std::unique_ptr<FrameSource> first,
                 StreamOpener record)
        : state_(std::make_shared<StreamState>()) {
        state_->open = std::move(open);
        state_->timeoutMs = timeoutMs;
        if (!first) {
            // Down from the start: reads report a lost stream until it comes up.
            state_->losses = 1;
            state_->lostAs = ReadStatus::Error;
        }
        if (record) {
            record_ = std::make_shared<StreamState>();
            record_->open = std::move(record);
            record_->timeoutMs = timeoutMs;
            record_->packetsOnly = true;
            StartReader(record_, nullptr, &recordReader_);
        }
        try {
            StartReader(state_, std::move(first), &reader_);
        } catch (...) {
            if (record_) StopReader(*record_, recordReader_);
            throw;
        }
    }

    ~StreamSource() override {
        if (record_) record_->Stop();  // both cut short at once, then awaited
        StopReader(*state_, reader_);
        if (record_) StopReader(*record_, recordReader_);
    }

    int32_t TimeoutMs() const override { return state_->timeoutMs; }

    ReadStatus Read(cv::Mat& frame) override {
        const ReadStatus status = ReadDeferred();
        if (status != ReadStatus::Frame) return status;
        if (heldPicture_) {
            cv::Mat colour;
            if (!heldPicture_->Colour(colour)) return ReadStatus::Error;
            frame = colour.clone();  // the caller's own, as a Read gives it
            heldPicture_.reset();
            return ReadStatus::Frame;
        }
        frame = std::move(heldFrame_);
        heldFrame_ = cv::Mat();
        return ReadStatus::Frame;
    }

    // The frames wait in the decoder's format until the consumer converts what it needs.
    bool Defers() const override { return true; }

    ReadStatus ReadDeferred() override {
        heldPicture_.reset();
        heldFrame_.release();
        StreamState& s = *state_;
        std::unique_lock<std::mutex> lock(s.mutex);
        const auto news = [&] { return s.frames > s.taken || s.losses > s.lossesSeen || s.stop; };
        const auto timeout = std::chrono::milliseconds(s.timeoutMs);
        // While idle the next decoded frame may be a key-frame interval away: silence counts
        // only once the reader has stopped saying that packets come.
        while (!s.changed.wait_for(lock, timeout, news) && s.idle.on && s.up &&
               Clock::now() - s.aliveAt < timeout) {
        }
        if (s.frames > s.taken && (!s.newest.empty() || s.newestPicture)) {
            heldFrame_ = std::move(s.newest);
            s.newest = cv::Mat();
            heldPicture_ = std::move(s.newestPicture);
            s.taken = s.frames;
            return ReadStatus::Frame;
        }
        if (s.stop) return ReadStatus::End;
        s.lossesSeen = s.losses;
        // Still up but silent: the reader is waiting inside the library.
        return s.up ? ReadStatus::Timeout : s.lostAs;
    }

    cv::Size Size() const override {
        return heldPicture_ ? heldPicture_->Size() : heldFrame_.size();
    }

    void Gray(int begin, int end, cv::Mat& band) override {
        if (heldPicture_) {
            heldPicture_->Gray(begin, end, band);
            return;
        }
        // A frame read in colour (a capture that does not defer), in the worker's 8-bit BGR.
        if (heldFrame_.depth() != CV_8U) heldFrame_.convertTo(heldFrame_, CV_8U);
        if (heldFrame_.channels() == 1) cv::cvtColor(heldFrame_, heldFrame_, cv::COLOR_GRAY2BGR);
        if (heldFrame_.channels() == 4) cv::cvtColor(heldFrame_, heldFrame_, cv::COLOR_BGRA2BGR);
        if (heldFrame_.type() == CV_8UC3) {
            cv::cvtColor(heldFrame_.rowRange(begin, end), band, cv::COLOR_BGR2GRAY);
        }
    }

    bool Colour(cv::Mat& frame) override {
        if (heldPicture_) return heldPicture_->Colour(frame);
        frame = heldFrame_;
        return !frame.empty();
    }

    bool Reconnects() const override { return true; }

    double Fps() const override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->fps;
    }

    void Interrupt() override { state_->Stop(); }

    void SetIdle(const IdleDecoding& idle) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (idle.on && !state_->idle.on) state_->aliveAt = Clock::now();
        state_->idle = idle;
    }

    FrameCounts Counts() const override {
        FrameCounts counts;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            counts = state_->counts;
        }
        if (record_) {
            std::lock_guard<std::mutex> lock(record_->mutex);
            counts.recordLost = record_->down;
        }
        return counts;
    }

    // With a recording stream, its packets (kept in step with the frames by the time they
    // were read) instead of the camera's own.
    bool TapPackets(std::shared_ptr<cameras::PacketTap> tap) override {
        StreamState& s = record_ ? *record_ : *state_;
        std::lock_guard<std::mutex> lock(s.mutex);
        s.taps.push_back(tap);
        return s.current && s.current->TapPackets(std::move(tap));
    }

  private:
    std::shared_ptr<StreamState> state_;
    std::thread reader_;
    std::shared_ptr<StreamState> record_;  // RECORDi's packets-only reader, when set
    std::thread recordReader_;
    // The frame the consumer took last: a picture to convert, or a frame read in colour.
    std::unique_ptr<FrameSource> heldPicture_;
    cv::Mat heldFrame_;
};

}  // namespace

void PrepareStreams(const std::string* sources, int count) {
    for (int i = 0; i < count; ++i) {
        if (!IsStreamName(sources[i])) continue;
        // Also read by OpenCV when it first starts FFmpeg itself (for files and videos), which
        // would otherwise set its own level; -8 is FFmpeg's "quiet".
        setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
        QuietStreamLibrary();
        return;
    }
}

std::unique_ptr<FrameSource> MakeStreamSource(StreamOpener open, int32_t timeoutMs,
                                              std::unique_ptr<FrameSource> first,
                                              StreamOpener record) {
    try {
        return std::make_unique<StreamSource>(std::move(open),
                                              std::max(timeoutMs, kLeastStreamTimeoutMs),
                                              std::move(first), std::move(record));
    } catch (...) {
        return nullptr;
    }
}

std::unique_ptr<FrameSource> OpenStream(const std::string& url, bool opened,
                                        const OpenSettings& settings) {
    const int32_t timeoutMs = std::max(settings.streamTimeoutMs, kLeastStreamTimeoutMs);
    const std::string& record = settings.record;
    auto opener = [timeoutMs](const std::string& to) -> StreamOpener {
        return [to, timeoutMs](const std::atomic<bool>& cancel) {
            return OpenStreamCapture(to, timeoutMs, &cancel);
        };
    };
    std::unique_ptr<FrameSource> first;
    if (opened) {
        first = OpenStreamCapture(url, timeoutMs);
        if (!first) return nullptr;
    }
    return MakeStreamSource(opener(url), timeoutMs, std::move(first),
                            IsStreamName(record) ? opener(record) : nullptr);
}

int StreamThreadsRunning() {
    return RunningThreads.load();
}

// ---- PendingOpen ----

struct PendingOpen::Shared {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::unique_ptr<FrameSource> result;
    bool done = false;
    int doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable once done
    ~Shared() {
        if (doneFd >= 0) close(doneFd);
    }
};

PendingOpen::PendingOpen(StreamOpener open) : shared_(std::make_shared<Shared>()) {
    std::shared_ptr<Shared> shared = shared_;
    try {
        StartCountedThread(
            [shared, open = std::move(open)]() mutable {
                std::unique_ptr<FrameSource> result;
                try {
                    result = open(shared->cancel);
                } catch (...) {
                }
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->result = std::move(result);
                shared->done = true;
                const uint64_t one = 1;
                if (shared->doneFd >= 0 && write(shared->doneFd, &one, sizeof one) < 0) {
                    // Cannot happen for an eventfd short of overflow; Take still sees done.
                }
            },
            nullptr);
    } catch (...) {
        // No thread: the open counts as failed.
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->done = true;
    }
}

PendingOpen::~PendingOpen() {
    // An open still running keeps the shared part alive and drops its result when done. The
    // result is dropped outside the lock: a source's destructor may take a while.
    shared_->cancel.store(true);
    std::unique_ptr<FrameSource> dropped;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    dropped = std::move(shared_->result);
}

std::unique_ptr<FrameSource> PendingOpen::Take(Clock::time_point deadline, int stopFd,
                                               bool* stopped) {
    *stopped = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->done) return std::move(shared_->result);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return nullptr;
        pollfd fds[2] = {{shared_->doneFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int r =
            poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (r > 0 && stopFd >= 0 && (fds[1].revents & POLLIN)) {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->done) return std::move(shared_->result);
            *stopped = true;
            return nullptr;
        }
    }
}

}  // namespace cameras
