// Continuous recording: the source's packets into fixed-length segments on a thread of the
// recording's own, and the sweep that keeps the segments within their days and bytes.
#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "base/base.h"
#include "cameras/packets.h"
#include "cameras/source.h"
#include "clips/clips.h"
#include "clips/encode.h"
#include "clips/files.h"
#include "clips/mp4out.h"
#include "diag/diag.h"
#include "recording/diskguard.h"

namespace clips {

namespace {

int64_t WallNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// camN-rec-YYYYMMDD-HHMMSS.mp4
std::string SegmentName(int camera, int64_t wallMs) {
    const std::string clip = ClipName(camera, wallMs);  // camN-YYYYMMDD-HHMMSS.mp4
    const size_t dash = clip.find('-');
    return clip.substr(0, dash) + "-rec" + clip.substr(dash);
}

// A thread of its own behind a queue guarded by mutex_: Stop has it finish what is queued and
// waits for it; what it cannot take is counted in dropped_. The derived class starts thread_
// last in its constructor and calls Stop first in its destructor.
class QueueThread {
  public:
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

  protected:
    ~QueueThread() = default;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

class SegmentWriter : public cameras::PacketTap, public QueueThread {
  public:
    SegmentWriter(int camera, const Options& o, DiskFloor floor)
        : camera_(camera),
          options_(o),
          maxQueue_(static_cast<size_t>(o.ringBytes)),
          floor_(floor),
          guard_(floor.bytes, "segments") {
        thread_ = std::thread([this] { Run(); });
    }
    ~SegmentWriter() override { Stop(); }

    // The source's own packets.
    void OnPacket(cameras::CodedPacket packet) override {
        tapped_.store(true, std::memory_order_relaxed);
        Feed(std::move(packet));
    }
    bool Tapped() const { return tapped_.load(std::memory_order_relaxed); }

    void Feed(cameras::CodedPacket packet) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (queuedBytes_ + packet.bytes() > maxQueue_ && !queue_.empty()) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                needKey_ = true;  // the file goes on at the next key frame
                return;
            }
            queuedBytes_ += packet.bytes();
            queue_.push_back(std::move(packet));
        }
        wake_.notify_one();
    }

    bool Locate(int64_t steadyMs, std::string* file, double* offset) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_.empty()) return false;
        *file = open_;
        *offset = std::max<int64_t>(0, steadyMs - openSteadyMs_) / 1000.0;
        if (!openHasEvent_) {
            openHasEvent_ = true;
            wake_.notify_one();  // the writer marks it
        }
        return true;
    }

  private:
    void Run() {
        pthread_setname_np(pthread_self(), "camwatch-rec");  // for top -H; may fail, harmless
        Sweep();
        std::deque<cameras::CodedPacket> batch;
        for (;;) {
            bool mark = false, stop = false, gap = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] {
                    return stopping_ || !queue_.empty() || (openHasEvent_ && !marked_);
                });
                batch.swap(queue_);
                queuedBytes_ = 0;
                mark = openHasEvent_ && !marked_;
                stop = stopping_;
                gap = std::exchange(needKey_, false);
            }
            try {
                if (gap) skipToKey_ = true;
                for (cameras::CodedPacket& p : batch) Write(p);
                batch.clear();
                if (mark) Mark();
            } catch (...) {
                batch.clear();  // a segment that cannot be written is lost, never the camera
            }
            if (stop) break;
        }
        try {
            CloseSegment();
        } catch (...) {
        }
    }

    void Write(const cameras::CodedPacket& p) {
        if (!p.packet() || !p.stream()) return;
        if (!Room(p)) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (skipToKey_ && !p.key()) return;
        if (p.key()) skipToKey_ = false;
        const bool newOpening = out_ && stream_ != p.stream();
        const bool due = out_ && p.key() &&
                         p.steadyMs() - startSteadyMs_ >= int64_t{options_.segmentSeconds} * 1000;
        if (due || newOpening) CloseSegment();  // a reopened stream starts a segment
        if (!out_ && p.key()) OpenSegment(p);
        if (!out_) return;
        const bool written = out_->Write(p, false);
        Account();
        if (!written) CloseSegment();  // a file that fails is finished with what it has
    }

    // Whether packet p may be written under the disk floor. Near it, the oldest segments go
    // first; when none can, the open one is finished and packets wait for room (from a key
    // frame again). Says so once each way.
    bool Room(const cameras::CodedPacket& p) {
        if (floor_.bytes <= 0) return true;
        const std::string where = options_.prefix + "cam";
        const int64_t now = base::SteadyMs();
        // The packet, the open fragment it joins and the file's closing index.
        const int64_t need = static_cast<int64_t>(p.bytes()) + Mp4Out::kIndexEntryBound +
                             (out_ ? out_->Pending() : 0) + kClosingBound;
        bool room = guard_.Room(where, now, floor_.ledger, need);
        // A sweep that found nothing to delete is not tried again for a second.
        for (int i = 0; i < 64 && !room && now >= noSweepUntilMs_; ++i) {
            if (SweepSegments(options_.prefix, options_.days, options_.maxBytes,
                              options_.keepEventDays, WallNowMs(), 1) == 0) {
                noSweepUntilMs_ = now + 1000;
                break;
            }
            guard_.Remeasure();
            room = guard_.Room(where, now, floor_.ledger, need);
        }
        if (room != room_) {
            room_ = room;
            guard_.Report(camera_, room);
            if (!room) {
                CloseSegment();
                skipToKey_ = true;
            }
        }
        return room;
    }

    void OpenSegment(const cameras::CodedPacket& p) {
        const int64_t wall = WallNowMs() - std::max<int64_t>(0, base::SteadyMs() - p.steadyMs());
        std::string name;
        for (int i = 0; i < 120; ++i) {
            name = options_.prefix + SegmentName(camera_, wall + int64_t{i} * 1000);
            if (!Exists(name) && !Exists(PartName(name))) break;
        }
        auto out = std::make_unique<Mp4Out>();
        if (!out->Open(PartName(name), *p.stream())) {
            ::unlink(PartName(name).c_str());
            if (!openFailSaid_) diag::Line("recording " + name + " cannot be created");
            openFailSaid_ = true;
            return;
        }
        out_ = std::move(out);
        accounted_ = 0;
        Account();
        stream_ = p.stream();
        startSteadyMs_ = p.steadyMs();
        final_ = name;
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = name;
        openSteadyMs_ = p.steadyMs();
        openHasEvent_ = marked_ = false;
    }

    // What reached the open segment's file since the last call goes into the disk ledger.
    void Account() {
        if (!out_) return;
        const int64_t bytes = out_->FileBytes();
        if (floor_.bytes > 0 && floor_.ledger) floor_.ledger->Add(bytes - accounted_);
        accounted_ = bytes;
    }

    void Mark() {
        std::string file;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (open_.empty() || marked_) return;
            marked_ = true;
            file = open_;
        }
        if (FILE* f = std::fopen((file + ".event").c_str(), "w")) std::fclose(f);
    }

    void CloseSegment() {
        if (!out_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_.clear();
        }
        const bool closed = out_->Close();
        Account();
        out_.reset();
        stream_.reset();
        if (!closed || std::rename(PartName(final_).c_str(), final_.c_str()) != 0) {
            diag::Line("recording " + final_ + " cannot be finished");
        }
        Sweep();
    }

    void Sweep() {
        if (options_.days > 0 || options_.maxBytes > 0) {
            SweepSegments(options_.prefix, options_.days, options_.maxBytes, options_.keepEventDays,
                          WallNowMs());
        }
    }

    const int camera_;
    const Options options_;
    const size_t maxQueue_;
    // What closing a segment adds besides its open fragment (the index of its fragments), and
    // a file's partly used block.
    static constexpr int64_t kClosingBound = 8192;
    const DiskFloor floor_;
    recording::DiskGuard guard_;  // the writer thread only
    bool room_ = true;
    int64_t accounted_ = 0;  // of the open segment's bytes, in the ledger
    int64_t noSweepUntilMs_ = 0;

    // Under mutex_:
    std::deque<cameras::CodedPacket> queue_;
    size_t queuedBytes_ = 0;
    bool needKey_ = false;
    std::string open_;  // the open segment's name, "" between segments
    int64_t openSteadyMs_ = 0;
    bool openHasEvent_ = false, marked_ = false;

    // The writer thread only:
    std::unique_ptr<Mp4Out> out_;
    std::shared_ptr<const cameras::CodedStream> stream_;
    std::string final_;
    int64_t startSteadyMs_ = 0;
    bool skipToKey_ = false;
    bool openFailSaid_ = false;

    std::atomic<bool> tapped_{false};
};

// A camera's frames encoded for its segments: copied on the frame loop into a queue bounded
// in bytes (a full one drops and counts), encoded on a thread of their own, the packets fed
// to the segment writer.
class FrameFeeder : public QueueThread {
  public:
    FrameFeeder(std::shared_ptr<SegmentWriter> writer, const Options& o, double fps)
        : writer_(std::move(writer)),
          maxBytes_(static_cast<size_t>(o.queueBytes)),
          fps_(fps > 0 && fps <= 240 ? fps : 10.0),
          keyFrames_(std::max(1, static_cast<int>(fps_ * std::min(o.segmentSeconds, 2)))) {
        thread_ = std::thread([this] { Run(); });
    }
    ~FrameFeeder() { Stop(); }

    void Push(const cv::Mat& frame, int64_t steadyMs) {
        const size_t bytes = frame.total() * frame.elemSize();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (!queue_.empty() && bytes_ + bytes > maxBytes_) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            bytes_ += bytes;
            queue_.emplace_back(frame.clone(), steadyMs);
        }
        wake_.notify_one();
    }

  private:
    void Run() {
        pthread_setname_np(pthread_self(), "camwatch-rec");  // for top -H; may fail, harmless
        const FrameEncoder::Sink sink = [this](cameras::CodedPacket p) {
            writer_->Feed(std::move(p));
        };
        for (;;) {
            std::pair<cv::Mat, int64_t> item;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) break;  // stopping, everything queued written
                item = std::move(queue_.front());
                queue_.pop_front();
                bytes_ -= item.first.total() * item.first.elemSize();
            }
            try {
                const cv::Mat& frame = item.first;
                if (encoder_.IsOpen() && frame.size() != size_) encoder_.Flush(sink);
                if (!encoder_.IsOpen()) {
                    bool mpeg4 = false;
                    size_ = frame.size();
                    if (!encoder_.Open(size_, fps_, keyFrames_, true, &mpeg4)) {
                        dropped_.fetch_add(1, std::memory_order_relaxed);
                        continue;
                    }
                }
                if (!encoder_.Encode(frame, item.second, sink)) {
                    dropped_.fetch_add(1, std::memory_order_relaxed);
                }
            } catch (...) {
                // A frame that cannot be encoded is lost, never the camera.
            }
        }
        try {
            encoder_.Flush(sink);
        } catch (...) {
        }
    }

    const std::shared_ptr<SegmentWriter> writer_;
    const size_t maxBytes_;
    const double fps_;
    const int keyFrames_;

    // Under mutex_:
    std::deque<std::pair<cv::Mat, int64_t>> queue_;
    size_t bytes_ = 0;

    // The encoder thread only:
    FrameEncoder encoder_;
    cv::Size size_;
};

class PacketRecording : public Recording {
  public:
    // feeder: the frames' encoder when the source may have no packets to copy, else null.
    PacketRecording(std::shared_ptr<SegmentWriter> writer, std::unique_ptr<FrameFeeder> feeder)
        : writer_(std::move(writer)), feeder_(std::move(feeder)) {}
    ~PacketRecording() override { Stop(); }
    bool Locate(int64_t steadyMs, std::string* file, double* offset) override {
        return writer_->Locate(steadyMs, file, offset);
    }
    // Packets of its own once they come (a stream that is H.264 after all).
    bool WantsFrames() const override { return feeder_ && !writer_->Tapped(); }
    void OnFrame(const cv::Mat& frame, int64_t steadyMs) override {
        if (feeder_) feeder_->Push(frame, steadyMs);
    }
    uint64_t Dropped() const override {
        return writer_->Dropped() + (feeder_ ? feeder_->Dropped() : 0);
    }
    void Stop() override {
        if (feeder_) feeder_->Stop();  // its last packets first
        writer_->Stop();
    }

  private:
    std::shared_ptr<SegmentWriter> writer_;  // the source keeps it too, stopped
    std::unique_ptr<FrameFeeder> feeder_;
};

// A segment's time from its name: YYYYMMDD-HHMMSS in local time; -1 when it is none.
int64_t NameTimeMs(const std::string& stamp) {
    std::tm t{};
    if (std::sscanf(stamp.c_str(), "%4d%2d%2d-%2d%2d%2d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec) != 6) {
        return -1;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    const std::time_t s = std::mktime(&t);
    return s == -1 ? -1 : int64_t{s} * 1000;
}

}  // namespace

std::unique_ptr<Recording> Recording::Start(int camera, const Options& options,
                                            cameras::FrameSource& source, DiskFloor floor) {
    auto writer = std::make_shared<SegmentWriter>(camera, options, floor);
    // A stream not up yet keeps the tap for when it comes up; until packets come (an MJPEG
    // stream's never do), and for other cameras, the frames are encoded.
    std::unique_ptr<FrameFeeder> feeder;
    if (!source.TapPackets(writer) || source.Reconnects()) {
        feeder = std::make_unique<FrameFeeder>(writer, options, source.Fps());
    }
    return std::make_unique<PacketRecording>(std::move(writer), std::move(feeder));
}

int SweepSegments(const std::string& prefix, int days, int64_t maxBytes, int keepEventDays,
                  int64_t nowWallMs, int64_t mustFree) {
    const size_t slash = prefix.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
    const std::string lead = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) return 0;
    struct Segment {
        std::string path;
        int64_t timeMs, bytes;
        bool kept;  // holds an event younger than keepEventDays
    };
    std::vector<Segment> all;
    constexpr int64_t kDayMs = 86400000;
    while (const dirent* e = readdir(dir.get())) {
        const std::string name = e->d_name;
        // <lead>camN-rec-YYYYMMDD-HHMMSS.mp4
        if (name.size() != lead.size() + 28 || name.rfind(lead, 0) != 0) continue;
        const std::string rest = name.substr(lead.size());
        if (rest.rfind("cam", 0) != 0 || rest[3] < '0' || rest[3] > '9' ||
            rest.compare(4, 5, "-rec-") != 0 || rest.compare(24, 4, ".mp4") != 0) {
            continue;
        }
        const int64_t timeMs = NameTimeMs(rest.substr(9, 15));
        struct stat st;
        const std::string path = folder + name;
        if (timeMs < 0 || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const bool event = Exists(path + ".event");
        const bool kept = event && keepEventDays > 0 && nowWallMs - timeMs < keepEventDays * kDayMs;
        all.push_back({path, timeMs, static_cast<int64_t>(st.st_size), kept});
    }
    // Eventless segments first, each group oldest first; kept ones never go.
    std::sort(all.begin(), all.end(), [](const Segment& a, const Segment& b) {
        return a.timeMs != b.timeMs ? a.timeMs < b.timeMs : a.path < b.path;
    });
    int64_t total = 0;
    for (const Segment& s : all) total += s.bytes;
    const int64_t full = total;
    int deleted = 0;
    auto remove = [&](Segment& s) {
        if (s.path.empty() || std::remove(s.path.c_str()) != 0) return;
        std::remove((s.path + ".event").c_str());
        total -= s.bytes;
        s.path.clear();
        ++deleted;
    };
    for (Segment& s : all) {
        if (days > 0 && !s.kept && nowWallMs - s.timeMs > int64_t{days} * kDayMs) remove(s);
    }
    auto over = [&] { return (maxBytes > 0 && total > maxBytes) || full - total < mustFree; };
    if (maxBytes > 0 || mustFree > 0) {
        for (bool withEvents : {false, true}) {
            for (Segment& s : all) {
                if (!over()) break;
                if (s.kept || s.path.empty()) continue;
                if (Exists(s.path + ".event") != withEvents) continue;
                remove(s);
            }
        }
    }
    return deleted;
}

}  // namespace clips
