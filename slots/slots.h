// Camera slots: the state the supervisor and the camera workers share.
//
// A slot's capture is set by the supervisor before the slot's worker starts and is owned by
// that worker from then on. The run state and the show-window flag are the only words both
// threads touch while the worker runs; they are atomics.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cameras/source.h"
#include "config/config.h"

namespace slots {
enum class RunState : int32_t {
    Stopped = 0,    // not running, or asked to stop
    Running = 1,    // opened; the worker keeps going while not Stopped
    Finished = -1,  // the worker has released everything
};

// Histogram bounds of a frame's processing time, seconds (the last bucket is everything above).
inline constexpr int kFrameSecondsBuckets = static_cast<int>(base::kFrameSecondsBounds.size()) + 1;

// What a worker tells about its camera, for the status page, the metrics and the watchdog.
// Written by the slot's worker only, read by anyone. Each figure stands on its own, so relaxed
// order is enough: a reader may see one figure a frame ahead of another.
struct CameraStats {
    std::atomic<uint64_t> frames{0}, motionFrames{0}, snapshots{0}, videoFrames{0};
    std::atomic<uint64_t> outputErrors{0}, reconnects{0};
    // The frames behind `frames` (those analysed): received from the camera, decoded, dropped
    // on the way (the stream reader's newer frame, the clip queue), and written into clips.
    std::atomic<uint64_t> received{0}, decoded{0}, dropped{0}, clipFrames{0};
    // CPU time of the camera's worker thread and of its stream reader, ns, about once a second.
    std::atomic<uint64_t> workerCpuNs{0}, readerCpuNs{0};
    std::atomic<uint64_t> clipDrops{0};        // frames the clip encoder turned away
    std::atomic<bool> lost{false};             // a stream that is being reconnected
    std::atomic<int64_t> lastProgressMs{0};    // steady ms of the last frame or reconnect try
    std::atomic<int32_t> waitMs{0};            // the pause that follows that frame
    std::atomic<int64_t> lastMotionWallMs{0};  // ms since the epoch; 0: no motion yet
    std::atomic<uint64_t> frameTimeBuckets[kFrameSecondsBuckets] = {};
    std::atomic<uint64_t> frameTimeMicros{0};  // sum of the frames' processing times
    void CountFrameTime(double seconds);
    void Reset();
};

// Steady milliseconds, the clock of CameraStats::lastProgressMs.
using base::SteadyMs;

struct CameraSlot {
    // Written only under wakeMutex once the worker runs, so that a stop request can
    // interrupt the source without it vanishing underneath.
    std::unique_ptr<cameras::FrameSource> capture;
    CameraStats stats;
    // A stream that did not open at start-up and is retried in the background: not counted
    // as found, started after the others and stopped after them. Set before the worker starts.
    bool background = false;
    std::atomic<RunState> runState{RunState::Stopped};
    std::atomic<int32_t> showWindow{0};
    // Lets a stop request cut a worker's pause short.
    std::mutex wakeMutex;
    std::condition_variable wake;
};

extern CameraSlot CameraTable[base::kSlotCount];
// Number of slots whose camera opened at start-up.
extern std::atomic<int> FoundCount;

// Stores the capture, sets Running and the show-window flag, counts the slot as found.
void OpenSlot(int index, std::unique_ptr<cameras::FrameSource> capture, bool showWindow);

// Like OpenSlot for a background slot: stores the capture, sets Running, the show-window
// flag and `background`, and does not count the slot as found.
void AttachBackgroundSlot(int index, std::unique_ptr<cameras::FrameSource> capture,
                          bool showWindow);

// Turns Running into Stopped in one atomic step, wakes the worker's pause and interrupts a
// read blocked on the slot's source; Stopped and Finished are left as they are. True when the
// state was Running.
bool RequestStop(int index);

// Pauses 100 ms, then tests for Finished, until the worker has finished.
void WaitForFinish(int index);

// Worker side: releases the capture (the slot's capture becomes none), taken out under the
// wake mutex and destroyed outside it.
void ReleaseCapture(int index);

// Worker side, the very last action: Finished.
void ReportFinished(int index);

// Sets the show-window flag of slots 0 .. cameraCount-1 (clamped to the table).
void SetAllWindows(int cameraCount, int32_t value);

// Worker side: pauses up to ms milliseconds, returning early when a stop is requested.
// ms <= 0 does not pause.
void PauseUnlessStopped(int index, int32_t ms);

// Whether every slot whose worker runs has made progress (a frame, or a try to reconnect)
// within periodMs plus the pause it is in. The service watchdog's health test.
bool CamerasAlive(int64_t periodMs);

// Puts the whole table back to its process-start state (for tests).
void ResetCameraTable();

}  // namespace slots
