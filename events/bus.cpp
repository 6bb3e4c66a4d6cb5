// The dispatcher: a bounded queue between the camera threads and the outlets.
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/base.h"
#include "diag/diag.h"
#include "events/outlets.h"

namespace events {

namespace {
constexpr auto kOutletWait = std::chrono::seconds(2);
}  // namespace

void Report(const std::string& message) {
    diag::Line(message);
}

namespace {
// An outlet the app attaches: it hears the motion records only.
class Receiver final : public Outlet {
  public:
    explicit Receiver(std::function<void(const Event&)> f) : f_(std::move(f)) {}
    void Deliver(const Event& event, const std::string&) override {
        if (event.type == Type::kStart || event.type == Type::kEnd) f_(event);
    }
    void Stop(Deadline) override {}

  private:
    std::function<void(const Event&)> f_;
};
}  // namespace

struct Bus::Impl {
    Options options;
    std::vector<std::unique_ptr<Outlet>> outlets;

    std::mutex mutex;  // queue, stopping, deadline
    std::condition_variable wake;
    std::deque<Event> queue;
    bool stopping = false;
    Deadline deadline{};

    mutable std::mutex historyMutex;
    std::deque<Event> history;

    std::mutex stopMutex;
    bool stopped = false;

    // Plain counters read by other threads; no order with the records themselves is needed.
    std::array<std::atomic<uint64_t>, base::kSlotCount> published{};
    std::array<std::atomic<uint64_t>, base::kSlotCount> started{};
    std::atomic<uint64_t> dropped{0};

    std::thread thread;

    void Run() noexcept;
    void Deliver(const Event& event) noexcept;
};

void Bus::Impl::Deliver(const Event& event) noexcept {
    try {
        std::string json = event.ToJson(options.utcOffset);
        if (event.audience != Audience::kAlert) {
            std::lock_guard lock(historyMutex);
            history.push_back(event);
            while (history.size() > options.historyCapacity) history.pop_front();
        }
        for (auto& outlet : outlets) {
            if (!outlet->Takes(event.audience)) continue;
            try {
                outlet->Deliver(event, json);
            } catch (const std::exception& e) {
                Report(std::string("event outlet failed: ") + e.what());
            }
        }
    } catch (...) {
        // Out of memory while rendering: the record is lost, the dispatcher goes on.
    }
}

void Bus::Impl::Run() noexcept {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !queue.empty(); });
        if (queue.empty() || (stopping && std::chrono::steady_clock::now() >= deadline)) break;
        Event event = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        Deliver(event);
        lock.lock();
    }
}

Bus::Bus(const Options& options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    if (impl_->options.queueCapacity == 0) impl_->options.queueCapacity = 1;
    if (!options.eventFile.empty()) impl_->outlets.push_back(MakeEventFile(options.eventFile));
    if (auto hooks = MakeHooks(options)) impl_->outlets.push_back(std::move(hooks));
    if (auto mqtt = MakeMqtt(options)) impl_->outlets.push_back(std::move(mqtt));
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

Bus::~Bus() {
    Stop(std::chrono::steady_clock::now() + kOutletWait);
}

void Bus::Publish(Event event) {
    if (event.camera >= 0 && event.camera < base::kSlotCount) {
        impl_->published[event.camera].fetch_add(1, std::memory_order_relaxed);
        if (event.type == Type::kStart) {
            impl_->started[event.camera].fetch_add(1, std::memory_order_relaxed);
        }
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping) {
            impl_->dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (impl_->queue.size() >= impl_->options.queueCapacity) {
            impl_->queue.pop_front();
            impl_->dropped.fetch_add(1, std::memory_order_relaxed);
        }
        impl_->queue.push_back(std::move(event));
    }
    impl_->wake.notify_one();
}

void Bus::Stop(std::chrono::steady_clock::time_point deadline) {
    std::lock_guard stopLock(impl_->stopMutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        impl_->deadline = deadline;
    }
    impl_->wake.notify_one();
    if (impl_->thread.joinable()) impl_->thread.join();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->dropped.fetch_add(impl_->queue.size(), std::memory_order_relaxed);
        impl_->queue.clear();
    }
    // Hooks and the broker each get up to two seconds, side by side.
    Deadline outletDeadline = std::min(deadline, std::chrono::steady_clock::now() + kOutletWait);
    std::vector<std::thread> stoppers;
    for (auto& outlet : impl_->outlets) {
        Outlet* o = outlet.get();
        auto stop = [o, outletDeadline]() noexcept {
            try {
                o->Stop(outletDeadline);
            } catch (...) {
            }
        };
        try {
            stoppers.emplace_back(stop);
        } catch (...) {
            stop();
        }
    }
    for (auto& t : stoppers) t.join();
}

std::vector<Event> Bus::Since(const std::string& id) const {
    std::lock_guard lock(impl_->historyMutex);
    auto& h = impl_->history;
    size_t from = 0;
    if (!id.empty()) {
        for (size_t i = h.size(); i > 0; --i) {
            if (h[i - 1].id == id) {
                from = i;
                break;
            }
        }
    }
    return std::vector<Event>(h.begin() + static_cast<std::ptrdiff_t>(from), h.end());
}

uint64_t Bus::Published(int camera) const {
    if (camera < 0 || camera >= base::kSlotCount) return 0;
    return impl_->published[camera].load(std::memory_order_relaxed);
}

void Bus::Attach(std::function<void(const Event&)> receiver) {
    std::lock_guard lock(impl_->mutex);
    impl_->outlets.push_back(std::make_unique<Receiver>(std::move(receiver)));
}

uint64_t Bus::Started(int camera) const {
    if (camera < 0 || camera >= base::kSlotCount) return 0;
    return impl_->started[camera].load(std::memory_order_relaxed);
}

uint64_t Bus::Dropped() const {
    return impl_->dropped.load(std::memory_order_relaxed);
}

std::unique_ptr<Bus> StartEvents(const Options& options) {
    bool any = !options.eventFile.empty() || !options.onStart.empty() || !options.onEnd.empty() ||
               !options.onLost.empty() || !options.onBack.empty() || !options.mqttHost.empty();
    if (!any) return nullptr;
    try {
        return std::make_unique<Bus>(options);
    } catch (const std::exception& e) {
        Report(std::string("events are off: ") + e.what());
        return nullptr;
    }
}

}  // namespace events
