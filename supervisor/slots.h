// Camera slots: the state the supervisor and the camera workers share.
//
// A slot's capture is set by the supervisor before the slot's worker starts and is owned by
// that worker from then on. The run state and the show-window flag are the only words both
// threads touch while the worker runs; they are atomics.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>

constexpr int kSlotCount = 10;

// A camera: a device, a video file or a stream. Read() gives the next frame (8-bit BGR) or
// false when no frame comes.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual bool Read(cv::Mat& frame) = 0;
};

// Opens camera index i, or the named file/URL when name is non-empty. nullptr when it does
// not open. Never throws; prints nothing.
std::unique_ptr<FrameSource> OpenCamera(int index, const std::string& name);

using RunState = int32_t;
constexpr RunState kRunStopped = 0;    // not running, or asked to stop
constexpr RunState kRunRunning = 1;    // opened; the worker keeps going while not 0
constexpr RunState kRunFinished = -1;  // the worker has released everything

struct CameraSlot {
    std::unique_ptr<FrameSource> capture;
    std::atomic<RunState> runState{kRunStopped};
    std::atomic<int32_t> showWindow{0};
    // Lets a stop request cut a worker's pause short.
    std::mutex wakeMutex;
    std::condition_variable wake;
};

extern CameraSlot CameraTable[kSlotCount];
// Number of slots whose camera opened at start-up.
extern std::atomic<int> FoundCount;

// Stores the capture, sets run state 1 and the show-window flag, counts the slot as found.
void OpenSlot(int index, std::unique_ptr<FrameSource> capture, bool showWindow);

// Turns a run state of 1 into 0 in one atomic step and wakes the worker's pause; 0 and -1
// are left as they are. True when the state was 1.
bool RequestStop(int index);

// Pauses 100 ms, then tests for -1, until the worker has finished.
void WaitForFinish(int index);

// Worker side: releases the capture (the slot's capture becomes none).
void ReleaseCapture(int index);

// Worker side, the very last action: run state -1.
void ReportFinished(int index);

// Sets the show-window flag of slots 0 .. cameraCount-1 (clamped to the table).
void SetAllWindows(int cameraCount, int32_t value);

// Worker side: pauses up to ms milliseconds, returning early when a stop is requested.
// ms <= 0 does not pause.
void PauseUnlessStopped(int index, int32_t ms);

// Puts the whole table back to its process-start state (for tests).
void ResetCameraTable();
