#include "cameras/slots.h"

#include <chrono>
#include <thread>

CameraSlot CameraTable[kSlotCount];
std::atomic<int> FoundCount{0};

namespace {
bool ValidSlot(int index) {
    return index >= 0 && index < kSlotCount;
}
}  // namespace

void OpenSlot(int index, std::unique_ptr<FrameSource> capture, bool showWindow) {
    if (!ValidSlot(index)) return;
    CameraSlot& slot = CameraTable[index];
    slot.capture = std::move(capture);
    slot.background = false;
    slot.showWindow.store(showWindow ? 1 : 0);
    slot.runState.store(RunState::Running);
    FoundCount.fetch_add(1);
}

void AttachBackgroundSlot(int index, std::unique_ptr<FrameSource> capture, bool showWindow) {
    if (!ValidSlot(index)) return;
    CameraSlot& slot = CameraTable[index];
    slot.capture = std::move(capture);
    slot.background = true;
    slot.showWindow.store(showWindow ? 1 : 0);
    slot.runState.store(RunState::Running);
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
    std::unique_ptr<FrameSource> gone;
    std::lock_guard<std::mutex> lock(slot.wakeMutex);
    gone = std::move(slot.capture);  // destroyed after the lock is released
}

void ReportFinished(int index) {
    if (ValidSlot(index)) CameraTable[index].runState.store(RunState::Finished);
}

void SetAllWindows(int cameraCount, int32_t value) {
    for (int i = 0; i < cameraCount && i < kSlotCount; ++i) {
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

void ResetCameraTable() {
    for (CameraSlot& slot : CameraTable) {
        slot.capture.reset();
        slot.background = false;
        slot.runState.store(RunState::Stopped);
        slot.showWindow.store(0);
    }
    FoundCount.store(0);
}
