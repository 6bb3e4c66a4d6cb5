#include "app/app.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "app/history.h"
#include "cameras/stream.h"
#include "clips/clips.h"
#include "diag/report.h"
#include "events/events.h"
#include "options/options.h"
#include "service/service.h"
#include "slots/slots.h"
#include "web/web.h"
#include "worker/worker.h"

namespace app {

namespace {

// Status, events and health of the cameras for the web server, read from the slots.
class CameraProvider : public web::Provider {
  public:
    CameraProvider(const supervisor::Discovered& cameras, const events::Bus* bus,
                   web::History* history, bool clipsOn)
        : slots_(std::clamp(cameras.cameraCount, 0, base::kSlotCount)),
          notServed_(cameras.notServed),
          bus_(bus),
          history_(history),
          clips_(clipsOn) {}

    web::History* EventHistory() override { return history_; }

    std::vector<web::CameraStatus> Cameras() override {
        std::vector<web::CameraStatus> cameras;
        const int64_t now = base::SteadyMs();
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < slots_; ++i) {
            const slots::CameraSlot& slot = slots::CameraTable[i];
            const slots::CameraStats& s = slot.stats;
            const bool idle =
                std::find(notServed_.begin(), notServed_.end(), i) != notServed_.end();
            if (s.lastProgressMs.load() == 0 && !idle) continue;  // no worker serves this slot
            web::CameraStatus c;
            c.index = i;
            c.source = cameras::MaskCredentials(config::Settings.source[i].empty()
                                                    ? "device " + std::to_string(i)
                                                    : config::Settings.source[i]);
            c.state = idle                                                ? "not served"
                      : slot.runState.load() == slots::RunState::Finished ? "ended"
                      : s.lost.load()                                     ? "lost"
                                                                          : "running";
            c.frames = s.frames.load();
            c.motion_frames = s.motionFrames.load();
            c.snapshots = s.snapshots.load();
            c.video_frames = s.videoFrames.load();
            c.output_errors = s.outputErrors.load();
            c.reconnects = s.reconnects.load();
            c.received = s.received.load();
            c.decoded = s.decoded.load();
            c.dropped = s.dropped.load();
            c.clip_frames = s.clipFrames.load();
            c.worker_cpu_s = static_cast<double>(s.workerCpuNs.load()) / 1e9;
            c.reader_cpu_s = static_cast<double>(s.readerCpuNs.load()) / 1e9;
            c.clips = clips_;
            c.clip_frames_dropped = s.clipDrops.load();
            c.events = bus_ ? bus_->Started(i) : 0;
            c.fps = Rate(i, c.frames, now);
            if (const int64_t m = s.lastMotionWallMs.load()) c.last_motion_ms = m;
            uint64_t count = 0;
            for (int b = 0; b < slots::kFrameSecondsBuckets; ++b) {
                const uint64_t n = s.frameTimeBuckets[b].load();
                count += n;
                if (b < static_cast<int>(c.frame_seconds_buckets.size())) {
                    c.frame_seconds_buckets[b] = n;
                }
            }
            c.frame_seconds_count = count;
            c.frame_seconds_sum = static_cast<double>(s.frameTimeMicros.load()) / 1e6;
            cameras.push_back(std::move(c));
        }
        return cameras;
    }

    std::string EventsSince(const std::string& id) override {
        if (!bus_) return "[]";
        std::string out = "[";
        for (const events::Event& e : bus_->Since(id)) {
            if (out.size() > 1) out += ",";
            out += e.ToJson();
        }
        return out + "]";
    }

    bool Healthy() override {
        for (int i = 0; i < slots_; ++i) {
            const slots::CameraSlot& slot = slots::CameraTable[i];
            if (slot.stats.lastProgressMs.load() == 0) continue;
            if (slot.runState.load() == slots::RunState::Finished) return false;
        }
        return true;
    }

  private:
    // Frames per second over the last second or more, from the frame counter.
    double Rate(int i, uint64_t frames, int64_t now) {
        Sample& s = samples_[i];
        if (s.atMs == 0) {
            s = {now, frames, 0.0};
        } else if (now - s.atMs >= 1000) {
            s.rate = static_cast<double>(frames - s.frames) * 1000.0 / double(now - s.atMs);
            s = {now, frames, s.rate};
        }
        return s.rate;
    }

    struct Sample {
        int64_t atMs = 0;
        uint64_t frames = 0;
        double rate = 0.0;
    };
    const int slots_;
    const std::vector<int> notServed_;  // opened at start-up, no worker
    const events::Bus* bus_;
    web::History* history_;
    const bool clips_;
    std::mutex mutex_;
    Sample samples_[base::kSlotCount];
};

}  // namespace

struct Outlets::Parts {
    std::unique_ptr<EventHistory> history;  // EVENTDB, or the web view on
    std::unique_ptr<events::Bus> bus;
    std::unique_ptr<web::FrameHub> hub;
    std::unique_ptr<CameraProvider> provider;
    std::unique_ptr<web::Server> server;
    std::unique_ptr<clips::Retention> clipRetention;  // CLIPDAYS
    // What the workers are given: built once, before the first starts, and outliving them all.
    WorkerConfig config;
    recording::DiskLedger ledger;  // every camera's outputs, for every camera's disk guard
    std::unique_ptr<WorkerServices> services;
};

Outlets::Outlets() : parts_(std::make_unique<Parts>()) {}
Outlets::~Outlets() {
    Stop(std::chrono::steady_clock::now() + std::chrono::milliseconds(1500));
}

supervisor::WorkerEntry Outlets::Start(const service::CommandLine& command,
                                       const supervisor::Discovered& cameras) {
    Parts& p = *parts_;
    p.config = options::Worker(config::Settings);
    web::Options webOptions = options::Web();
    if (!command.web.empty() && !web::ParseWebAddress(command.web, webOptions)) {
        ReportError("--web " + command.web + " is not [ADDR:]PORT; the web view is off");
        webOptions.port = 0;
    }
    const bool webOn = webOptions.port > 0;
    events::Options eventOptions = options::Events(cameras.cameraCount);
    eventOptions.served = cameras.served;
    p.bus = events::StartEvents(eventOptions);
    p.history = EventHistory::Start(webOn);
    // The page lists recent events even when no other outlet wants them.
    if (!p.bus && (webOn || p.history)) p.bus = std::make_unique<events::Bus>(eventOptions);
    if (p.history) {
        store::Store* store = &p.history->Store();
        p.bus->Attach([store](const events::Event& e) { store->Add(e); });
    }
    if (webOn) {
        p.hub = std::make_unique<web::FrameHub>();
        p.provider = std::make_unique<CameraProvider>(cameras, p.bus.get(), p.history.get(),
                                                      p.config.clips.on);
        p.server = std::make_unique<web::Server>();
        if (!p.server->Start(webOptions, *p.provider, *p.hub, service::ProgramVersion())) {
            p.server.reset();
            p.hub.reset();
        }
    }
    p.clipRetention = clips::StartRetention(p.config.clips, p.history.get());
    p.services = std::make_unique<WorkerServices>(
        ProgramServices(p.bus.get(), p.hub.get(), &p.ledger, p.history.get()));
    return [&p](int slotIndex) { ServeCamera(slotIndex, p.config, *p.services); };
}

void Outlets::Stop(std::chrono::steady_clock::time_point deadline) {
    Parts& p = *parts_;
    p.clipRetention.reset();
    if (p.server) p.server->Stop();
    // Hooks and the broker get what is left of the 2 s an exit may take.
    const auto now = std::chrono::steady_clock::now();
    deadline = std::clamp(deadline, now + std::chrono::milliseconds(200),
                          now + std::chrono::milliseconds(1500));
    if (p.bus) p.bus->Stop(deadline);
    if (p.history) p.history->Store().Stop();
}

}  // namespace app
