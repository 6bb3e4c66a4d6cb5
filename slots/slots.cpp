#include "slots/slots.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace slots {
CameraSlot CameraTable[base::kSlotCount];
std::atomic<int> FoundCount{0};

namespace {
bool ValidSlot(int index) {
    return index >= 0 && index < base::kSlotCount;
}
}  // namespace

void CameraStats::CountFrameTime(double seconds) {
    int bucket = 0;
    while (bucket < kFrameSecondsBuckets - 1 && seconds > base::kFrameSecondsBounds[bucket])
        ++bucket;
    frameTimeBuckets[bucket].fetch_add(1, std::memory_order_relaxed);
    frameTimeMicros.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
}

void CameraStats::Reset() {
    for (auto* a : {&frames, &motionFrames, &snapshots, &videoFrames, &outputErrors, &reconnects,
                    &received, &decoded, &dropped, &clipFrames, &workerCpuNs, &readerCpuNs,
                    &clipDrops, &frameTimeMicros}) {
        a->store(0);
    }
    for (auto& b : frameTimeBuckets) b.store(0);
    lost.store(false);
    lastProgressMs.store(0);
    lastMotionWallMs.store(0);
}

namespace {

void AttachCapture(CameraSlot& slot, std::unique_ptr<cameras::FrameSource> capture, bool showWindow,
                   bool background) {
    slot.capture = std::move(capture);
    slot.background = background;
    slot.showWindow.store(showWindow ? 1 : 0);
    slot.runState.store(RunState::Running);
}

}  // namespace

void OpenSlot(int index, std::unique_ptr<cameras::FrameSource> capture, bool showWindow) {
    if (!ValidSlot(index)) return;
    AttachCapture(CameraTable[index], std::move(capture), showWindow, false);
    FoundCount.fetch_add(1);
}

void AttachBackgroundSlot(int index, std::unique_ptr<cameras::FrameSource> capture,
                          bool showWindow) {
    if (!ValidSlot(index)) return;
    AttachCapture(CameraTable[index], std::move(capture), showWindow, true);
}

bool RequestStop(int index) {
    if (!ValidSlot(index)) return false;
    CameraSlot& slot = CameraTable[index];
    RunState expected = RunState::Running;
    bool stopped;
    {
        // Taken under the wake mutex so that a worker about to pause cannot miss the change.
        std::lock_guard<std::mutex> lock(slot.wakeMutex);
        stopped = slot.runState.compare_exchange_strong(expected, RunState::Stopped);
        if (stopped && slot.capture) slot.capture->Interrupt();
    }
    if (stopped) slot.wake.notify_all();
    return stopped;
}

void WaitForFinish(int index) {
    if (!ValidSlot(index)) return;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (CameraTable[index].runState.load() != RunState::Finished);
}

void ReleaseCapture(int index) {
    if (!ValidSlot(index)) return;
    CameraSlot& slot = CameraTable[index];
    std::unique_ptr<cameras::FrameSource> gone;
    std::lock_guard<std::mutex> lock(slot.wakeMutex);
    gone = std::move(slot.capture);  // destroyed after the lock is released
}

void ReportFinished(int index) {
    if (ValidSlot(index)) CameraTable[index].runState.store(RunState::Finished);
}

void SetAllWindows(int cameraCount, int32_t value) {
    for (int i = 0; i < cameraCount && i < base::kSlotCount; ++i) {
        CameraTable[i].showWindow.store(value);
    }
}

void PauseUnlessStopped(int index, int32_t ms) {
    if (!ValidSlot(index) || ms <= 0) return;
    CameraSlot& slot = CameraTable[index];
    std::unique_lock<std::mutex> lock(slot.wakeMutex);
    slot.wake.wait_for(lock, std::chrono::milliseconds(ms),
                       [&] { return slot.runState.load() == RunState::Stopped; });
}

bool CamerasAlive(int64_t periodMs) {
    const int64_t now = base::SteadyMs();
    for (const CameraSlot& slot : CameraTable) {
        if (slot.runState.load() != RunState::Running) continue;
        const int64_t last = slot.stats.lastProgressMs.load(std::memory_order_relaxed);
        if (last == 0) continue;  // not started yet
        const int64_t wait = std::max(0, slot.stats.waitMs.load(std::memory_order_relaxed));
        if (now - last > periodMs + wait) return false;
    }
    return true;
}

void ResetCameraTable() {
    for (CameraSlot& slot : CameraTable) {
        slot.capture.reset();
        slot.background = false;
        slot.runState.store(RunState::Stopped);
        slot.showWindow.store(0);
        slot.stats.Reset();
    }
    FoundCount.store(0);
}

}  // namespace slots
