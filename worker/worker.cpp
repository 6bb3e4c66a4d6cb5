// The capture loop of one camera: grab, detect, hold, show, keep, pause.
#include "worker/worker.h"

#include <opencv2/imgproc.hpp>
#include <string>

#include "cameras/slots.h"
#include "cameras/stream.h"
#include "config/config.h"
#include "eventlog/logfile.h"
#include "worker/errors.h"
#include "worker/outputs.h"

namespace {

constexpr int32_t kMotionThreshold = 30;
constexpr int32_t kHoldLength = 5;  // a motion frame and the four after it

struct Worker {
    Worker(int index, const SettingsRecord& s, const WorkerServices& services)
        : slotIndex(index), slot(CameraTable[index]), settings(s), services(services) {}

    const int slotIndex;
    CameraSlot& slot;
    const SettingsRecord& settings;
    const WorkerServices& services;

    std::string title;
    std::string logPath;       // "" when the log is off or its name is too long
    std::string videoPath;     // "" when the video is off or its name is too long
    std::string snapshotBase;  // "" when snapshots are off or the base is too long

    bool windowShown = false;   // whether this worker's window exists
    bool windowWanted = false;  // the show-window flag, read once per frame
    cv::Mat frame;              // the grabbed frame; receives the motion overlay
    cv::Mat copy;               // clean copy, always the first frame's size
    int32_t holdFrames = 0;
    int32_t wait = 0;
    int32_t loggedFrame = 0;
    bool linkLost = false;   // a stream camera is lost and being reopened (FollowLink)
    int32_t reconnects = 0;  // times a lost stream came back
    LogFile log;
    VideoRecorder video;
    MotionDetector detector;
};

bool Held(const Worker& w) {
    return w.holdFrames > 0;
}

// ---- start ----

void StartLog(Worker& w) {
    const SettingsRecord& s = w.settings;
    w.logPath = s.outLog
                    ? ComposeFileName(s.logPrefix, "cam" + std::to_string(w.slotIndex) + ".log")
                    : std::string();
    if (!w.logPath.empty()) Guarded([&] { w.log.Open(w.logPath.c_str()); });
}

void NameOutputs(Worker& w) {
    std::string cam = "cam" + std::to_string(w.slotIndex);
    if (w.settings.outAvi) w.videoPath = ComposeFileName(w.settings.aviPrefix, cam + ".avi");
    if (w.settings.outJpg) w.snapshotBase = ComposeFileName(w.settings.jpgPrefix, cam + "n");
}

void OpenWindowIfShown(Worker& w) {
    w.title = "Camera #" + std::to_string(w.slotIndex);
    if (w.windowShown) Guarded([&] { w.services.windows.Create(w.title); });
}

// ---- one frame ----

// Frames come as 8-bit BGR; anything else a source hands over is turned into that.
void MakeBgr8(cv::Mat& frame) {
    if (frame.depth() != CV_8U) frame.convertTo(frame, CV_8U);
    if (frame.channels() == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
    if (frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
}

// Frame, or why no usable frame came: the camera is gone, the file has ended, a stream is lost.
ReadStatus GrabFrame(Worker& w) {
    if (!w.slot.capture) return ReadStatus::End;
    try {
        const ReadStatus status = w.slot.capture->Read(w.frame);
        if (status != ReadStatus::Frame) return status;
        if (w.frame.empty()) return ReadStatus::End;
        MakeBgr8(w.frame);
        return w.frame.type() == CV_8UC3 ? ReadStatus::Frame : ReadStatus::Error;
    } catch (...) {
        return ReadStatus::Error;
    }
}

std::string LossReason(const Worker& w, ReadStatus status) {
    const std::string url = MaskCredentials(w.settings.source[w.slotIndex]);
    switch (status) {
        case ReadStatus::Timeout:
            return url + ": no frame for " + std::to_string(StreamTimeoutMs()) + " ms";
        case ReadStatus::Error:
            return url + ": read error";
        default:
            return url + ": stream ended";
    }
}

// The link of a stream camera: a loss and a return are told once each, and the worker goes
// on through a loss (no outputs while no frame comes). False when the camera is gone for good:
// anything but a stream, or a stop.
bool FollowLink(Worker& w, ReadStatus status) {
    if (status == ReadStatus::Frame) {
        if (w.linkLost) {
            w.linkLost = false;
            ++w.reconnects;
            ReportError("camera " + std::to_string(w.slotIndex) + " back");
        }
        return true;
    }
    if (!w.slot.capture || !w.slot.capture->Reconnects()) return false;
    if (w.slot.runState.load() == RunState::Stopped) return false;
    if (!w.linkLost) {
        w.linkLost = true;
        ReportError("camera " + std::to_string(w.slotIndex) + " lost (" + LossReason(w, status) +
                    "); reconnecting");
    }
    return true;
}

void ReadWindowFlag(Worker& w) {
    w.windowWanted = w.slot.showWindow.load() != 0;
}

// A camera that changes its frame size keeps the first size: new frames are scaled into it.
void KeepCleanCopy(Worker& w) {
    Guarded([&] {
        if (w.copy.empty()) w.copy.create(w.frame.size(), CV_8UC3);
        if (w.frame.size() == w.copy.size()) {
            w.frame.copyTo(w.copy);
        } else {
            cv::resize(w.frame, w.copy, w.copy.size(), 0, 0, cv::INTER_AREA);
        }
    });
}

void OpenVideoIfWanted(Worker& w) {
    if (w.videoPath.empty() || w.video.IsOpen()) return;
    Guarded([&] { w.video.Open(w.videoPath, CodecFourcc(w.settings.codec), w.copy.size()); });
}

int32_t CountMotion(Worker& w) {
    int32_t count = 0;
    Guarded([&] {
        count = w.services.countMotion(w.detector, w.frame, kMotionThreshold, w.windowWanted);
    });
    return count;
}

void UpdateHold(Worker& w, int32_t count) {
    if (w.holdFrames > 0) --w.holdFrames;
    if (count > 0) w.holdFrames = kHoldLength;
}

void ChooseWait(Worker& w) {
    w.wait = Held(w) ? w.settings.busyWaitMs : w.settings.idleWaitMs;
}

// A window the user closed counts as switched off for this camera: the flag is cleared so
// that the next `winon` brings the window back.
void FollowWindowFlag(Worker& w) {
    Guarded([&] {
        bool wanted = w.windowWanted;
        if (w.windowShown && w.services.windows.TakeClosedByUser(w.title)) {
            w.windowShown = false;
            int32_t on = 1;
            w.slot.showWindow.compare_exchange_strong(on, 0);
            wanted = false;
        }
        if (wanted == w.windowShown) return;
        if (w.windowShown) {
            w.services.windows.Destroy(w.title);
        } else {
            w.services.windows.Create(w.title);
        }
        w.windowShown = wanted;
    });
}

void ShowFrame(Worker& w) {
    if (w.windowShown) Guarded([&] { w.services.windows.Show(w.title, w.frame); });
}

void SaveSnapshotIfHeld(Worker& w) {
    if (!Held(w) || w.snapshotBase.empty()) return;
    Guarded([&] { SaveSnapshot(NextSnapshotName(w.snapshotBase), w.copy); });
}

void RecordHeldFrame(Worker& w) {
    if (!Held(w)) return;
    if (!w.videoPath.empty()) w.video.Write(w.copy);
    if (!w.logPath.empty()) {
        Guarded([&] {
            std::string record = "cadr #" + std::to_string(w.loggedFrame);
            w.log.Write(record.c_str());
        });
        ++w.loggedFrame;
    }
}

void Pause(Worker& w) {
    Guarded([&] { w.services.pause(w.slotIndex, w.wait); });
}

bool StopRequested(const Worker& w) {
    return w.slot.runState.load() == RunState::Stopped;
}

void FrameLoop(Worker& w) {
    do {
        const ReadStatus status = GrabFrame(w);
        if (!FollowLink(w, status)) break;
        if (status != ReadStatus::Frame) {
            w.wait = w.settings.idleWaitMs;
            Pause(w);
            continue;
        }
        ReadWindowFlag(w);
        KeepCleanCopy(w);
        OpenVideoIfWanted(w);
        UpdateHold(w, CountMotion(w));
        ChooseWait(w);
        FollowWindowFlag(w);
        ShowFrame(w);
        SaveSnapshotIfHeld(w);
        RecordHeldFrame(w);
        Pause(w);
    } while (!StopRequested(w));
}

// ---- end ----

void EndSequence(Worker& w) {
    Guarded([&] { ReleaseCapture(w.slotIndex); });
    if (w.windowShown) Guarded([&] { w.services.windows.Destroy(w.title); });
    w.video.Release();
    if (!w.logPath.empty()) Guarded([&] { w.log.Close(); });
}

// Everything of the worker lives in here, so that it is all gone before -1 is reported.
void RunWorker(int slotIndex, const SettingsRecord& settings, const WorkerServices& services) {
    Worker w(slotIndex, settings, services);
    w.windowShown = w.slot.showWindow.load() != 0;
    if (!w.slot.capture) return;
    w.linkLost = w.slot.background;  // down since start-up: its first frame is told as "back"
    StartLog(w);
    NameOutputs(w);
    OpenWindowIfShown(w);
    w.holdFrames = 0;
    Guarded([&] { FrameLoop(w); });
    EndSequence(w);
}

}  // namespace

void ServeCamera(int slotIndex, const SettingsRecord& settings,
                 const WorkerServices& services) noexcept {
    if (slotIndex < 0 || slotIndex >= kSlotCount) return;
    Guarded([&] { RunWorker(slotIndex, settings, services); });
    Guarded([&] { ReleaseCapture(slotIndex); });  // already done unless the worker broke off
    ReportFinished(slotIndex);
}

void CameraWorker(int slotIndex) {
    try {
        static const WorkerServices services{
            DisplayWindows(),
            [](MotionDetector& detector, cv::Mat& frame, int32_t threshold, bool overlayShown) {
                return detector.Detect(frame, threshold, overlayShown);
            },
            [](int index, int32_t ms) { PauseUnlessStopped(index, ms); },
        };
        ServeCamera(slotIndex, Settings, services);
    } catch (...) {
        // Only building the services could throw; the slot must still be reported.
        ReportFinished(slotIndex);
    }
}
