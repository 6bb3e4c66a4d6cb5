// The labeller's thread, its queue, and the rule that confirms a label.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "labels/labels.h"

namespace labels {

namespace {

// The area around a target that is checked, in the frame, and the scale it is checked at.
cv::Rect Padded(const cv::Rect& box, cv::Size frame, const Framing& f, double scale) {
    int px = std::max(f.minPad, int(box.width * f.padX));
    const int py = std::max(f.minPad, int(box.height * f.padY));
    px = std::max(px, int(std::ceil((f.minWidth / scale - box.width) / 2)));
    return cv::Rect(box.x - px, box.y - py, box.width + 2 * px, box.height + 2 * py) &
           cv::Rect({}, frame);
}

struct Piece {
    int track = 0;
    cv::Rect area;  // in the frame
    cv::Mat picture;
    double scale = 0;    // with Framing::scaleBox, the box's; otherwise the area's
    bool front = false;  // the target's front
};

constexpr int64_t kForgetMs = 60000;

// A check of a track: whether it looked at the target's front, saw something, at what scale.
struct Look {
    bool front = false, seen = false;
    double scale = 0;
    int64_t ms = 0;
};

struct Job {
    std::vector<Piece> pieces;
    int64_t steadyMs = 0;
    std::string snapshot;
    uint64_t generation = 0;
};

}  // namespace

struct Labeller::Impl {
    explicit Impl(std::unique_ptr<Detector> d) : detector(std::move(d)) {
        thread = std::thread([this] { Run(); });
    }
    ~Impl() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }

    void Run() noexcept {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !queue.empty(); });
            if (stopping) break;
            Job job = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            try {
                Work(job);
            } catch (...) {  // a detector that fails on one picture: that check found nothing
            }
            int waiting = 0;  // the track of the latest sighting still waiting
            int64_t latest = INT64_MIN;
            for (const auto& [key, times] : hits) {
                if (times.size() == 1 && !confirmed.count(key) && times.back() > latest) {
                    latest = times.back();
                    waiting = key.first;
                }
            }
            awaited.store(waiting, std::memory_order_relaxed);
            lock.lock();
            busy = false;
            idle.notify_all();
        }
    }

    void Work(const Job& job) {
        if (job.generation != seenGeneration) {
            hits.clear();
            confirmed.clear();
            std::lock_guard lock(resultMutex);
            looks.clear();
            seenGeneration = job.generation;
        }
        Forget(job.steadyMs);
        for (const Piece& piece : job.pieces) {
            const double scale =
                piece.scale > 0 ? piece.scale
                                : std::clamp(double(workingHeight) / piece.area.height, 0.25, 4.0);
            cv::Mat scaled;
            cv::resize(piece.picture, scaled, cv::Size(), scale, scale,
                       scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
            Found best;
            for (const Found& f : detector->Detect(scaled)) {
                if (f.score > best.score) best = f;
            }
            {
                std::lock_guard lock(resultMutex);
                looks[piece.track] = {piece.front, !best.label.empty(), scale, job.steadyMs};
            }
            if (best.label.empty()) continue;
            const cv::Rect box(piece.area.x + int(best.box.x / scale),
                               piece.area.y + int(best.box.y / scale), int(best.box.width / scale),
                               int(best.box.height / scale));
            Hit(piece.track, best.label, best.score, box, job);
        }
    }

    // Tracks come and go for as long as the camera runs: what was last seen a while ago is
    // forgotten (a track unseen that long has ended).
    void Forget(int64_t nowMs) {
        std::erase_if(hits, [&](const auto& h) {
            return h.second.empty() || nowMs - h.second.back() > kConfirmWithinMs;
        });
        std::erase_if(confirmed, [&](const auto& c) { return nowMs - c.second > kForgetMs; });
        std::lock_guard lock(resultMutex);
        std::erase_if(looks, [&](const auto& l) { return nowMs - l.second.ms > kConfirmWithinMs; });
    }

    // The last check of a track, if it was in the last two seconds.
    std::optional<Look> LastLook(int track) {
        std::lock_guard lock(resultMutex);
        const auto it = looks.find(track);
        return it == looks.end() ? std::nullopt : std::optional<Look>(it->second);
    }

    void Hit(int track, const std::string& label, double score, const cv::Rect& box,
             const Job& job) {
        const auto key = std::make_pair(track, label);
        std::deque<int64_t>& times = hits[key];
        while (!times.empty() && job.steadyMs - times.front() > kConfirmWithinMs) times.pop_front();
        times.push_back(job.steadyMs);
        if (times.size() < 2 && !confirmed.count(key)) return;
        confirmed[key] = job.steadyMs;
        std::lock_guard lock(resultMutex);
        results.push_back({label, std::round(score * 100.0) / 100.0, box, job.snapshot, track});
    }

    std::unique_ptr<Detector> detector;
    const Framing framing = detector->Frames();
    const int workingHeight = detector->WorkingHeight();
    std::mutex mutex;
    std::condition_variable wake, idle;
    std::deque<Job> queue;
    bool stopping = false;
    bool busy = false;
    std::atomic<uint64_t> generation{0};
    std::atomic<int> awaited{0};  // the track whose sighting waits for its second look
    // The thread's own: hit times per track and label, and what it confirmed.
    uint64_t seenGeneration = 0;
    std::map<std::pair<int, std::string>, std::deque<int64_t>> hits;
    std::map<std::pair<int, std::string>, int64_t> confirmed;  // and when last seen
    std::mutex resultMutex;                                    // guards results and looks
    std::vector<Label> results;
    std::map<int, Look> looks;  // the last check of each track of the last two seconds
    std::thread thread;
};

// With n checks a second at most, a second look s ms after a sighting fits in any second when
// the checks before it are (1000 - s) / (n - 1) ms apart: n - 1 of them and the second look.
Labeller::Labeller(const Options& options, std::unique_ptr<Detector> detector)
    : impl_(std::make_unique<Impl>(std::move(detector))),
      ratePerSecond_(std::max(1, options.ratePerSecond)) {
    const int n = ratePerSecond_;
    const int64_t even = 1000 / n;
    secondLookMs_ = n == 1 ? even : std::min(kSecondLookMs, even);
    searchMs_ = n == 1 ? even : std::max(even, (1000 - secondLookMs_ + n - 2) / (n - 1));
}

Labeller::~Labeller() = default;

int Labeller::Awaited() const {
    return impl_->awaited.load(std::memory_order_relaxed);
}

bool Labeller::Due(int64_t steadyMs) const {
    if (steadyMs - lastCheckMs_ < (Awaited() != 0 ? secondLookMs_ : searchMs_)) return false;
    const auto inLastSecond = std::count_if(recent_.begin(), recent_.end(),
                                            [&](int64_t t) { return steadyMs - t < 1000; });
    return inLastSecond < ratePerSecond_;
}

void Labeller::Check(const cv::Mat& frame, const std::vector<Target>& targets, int64_t steadyMs,
                     const std::string& snapshot) {
    if (targets.empty() || frame.empty()) return;
    lastCheckMs_ = steadyMs;
    recent_.push_back(steadyMs);
    while (recent_.size() > static_cast<size_t>(ratePerSecond_)) recent_.pop_front();
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->queue.size() >= kQueue) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    Job job;
    job.steadyMs = steadyMs;
    job.snapshot = snapshot;
    job.generation = impl_->generation.load();
    const Framing& framing = impl_->framing;
    for (const Target& t : targets) {
        if (t.box.height <= 0) continue;
        // A target with a front (a mover merged with something taller): the front first (a
        // lone walker's region is seldom wider than tall before the walker is labelled), then
        // the box after a miss, and so on, both for a mover shorter than the box. A sighting's
        // second look goes where the first one was, at no larger a scale than it was seen at
        // (the region may have shrunk since: the walker left the foliage behind).
        const std::optional<Look> last = impl_->LastLook(t.track);
        const bool merged = framing.shorter > 0 && !t.front.empty();
        const bool front = merged && (!last || last->front == last->seen);
        const cv::Rect box = front ? t.front : t.box;
        const double height = merged ? framing.shorter * t.box.height : t.box.height;
        double scale =
            framing.scaleBox ? std::clamp(impl_->workingHeight / height, 0.25, 4.0) : 0.0;
        if (framing.scaleBox && last && last->seen) scale = std::min(scale, last->scale);
        const cv::Rect area = Padded(box, frame.size(), framing, scale > 0 ? scale : 1.0);
        if (area.empty()) continue;
        job.pieces.push_back({t.track, area, frame(area).clone(), scale, front});
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->queue.push_back(std::move(job));
    }
    checks_.fetch_add(1, std::memory_order_relaxed);
    impl_->wake.notify_one();
}

std::vector<Label> Labeller::TakeConfirmed() {
    std::lock_guard lock(impl_->resultMutex);
    std::vector<Label> taken;
    taken.swap(impl_->results);
    return taken;
}

void Labeller::Reset() {
    impl_->generation.fetch_add(1);
}

void Labeller::Drain() {
    std::unique_lock lock(impl_->mutex);
    impl_->idle.wait(lock, [&] { return impl_->queue.empty() && !impl_->busy; });
}

}  // namespace labels
