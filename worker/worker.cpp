// The capture loop of one camera: grab, detect, hold, show, keep, pause.
#include "worker/worker.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cameras/stream.h"
#include "diag/report.h"
#include "events/events.h"
#include "recording/diskguard.h"
#include "recording/recording.h"
#include "slots/slots.h"
#include "textlog/logfile.h"
#include "web/web.h"

namespace {

constexpr int32_t kHoldLength = 5;  // a motion frame and the four after it

struct Worker {
    Worker(int index, const WorkerConfig& c, const WorkerServices& services)
        : slotIndex(index),
          slot(slots::CameraTable[index]),
          stats(slot.stats),
          settings(c),
          services(services),
          episode(c.eventGapSeconds),
          pictureGuard(c.minFreeBytes, "snapshots and video frames"),
          clipGuard(c.minFreeBytes, "clips"),
          ledger(services.disk ? *services.disk : ownLedger) {}

    const int slotIndex;
    slots::CameraSlot& slot;
    slots::CameraStats& stats;
    const WorkerConfig& settings;
    const WorkerServices& services;

    std::string title;
    std::string logPath;       // "" when the log is off or its name is too long
    std::string videoPath;     // "" when the video is off or its name is too long
    std::string snapshotBase;  // "" when snapshots are off or the base is too long
    std::optional<recording::SnapshotNamer> snapshotNames;

    bool windowShown = false;   // whether this worker's window exists
    bool windowWanted = false;  // the show-window flag, read once per frame
    bool overlay = false;       // whether this frame receives the motion overlay
    cv::Mat frame;              // the grabbed frame in colour; receives the motion overlay
    cv::Size size;              // the grabbed frame's size
    bool deferred = false;      // the camera keeps the frame until its colour is asked for
    bool coloured = false;      // frame (and copy) hold this frame's colour
    cv::Mat copy;               // the clean frame
    cv::Mat ownCopy;            // copy's own pixels, for frames that are drawn on
    int32_t holdFrames = 0;
    int32_t wait = 0;
    int32_t loggedFrame = 0;
    bool linkLost = false;      // a stream camera is lost and being reopened (FollowLink)
    bool recordLost = false;    // its RECORDi stream is lost and being reopened (FollowRecordLink)
    bool oversizeSaid = false;  // a frame over MAXPIXELS was reported
    textlog::LogFile log;
    recording::VideoRecorder video;
    detector::MotionDetector detector;
    episodes::Tracker episode;                    // the one rule of events and clips
    episodes::Step step = episodes::Step::kNone;  // what this frame did to the episode
    int64_t stepMs = 0;                           // the steady time it was judged at
    int64_t stepWallMs = 0;                       // and the wall-clock time
    std::optional<events::CameraEvents> events;   // when the event outlets are on
    std::string snapshotWritten;                  // this frame's snapshot, "" if none
    recording::DiskGuard pictureGuard;
    bool pictureRoom = true;              // the guard's verdict for this frame
    std::optional<clips::Recorder> clip;  // OUTCLIP=ON
    std::string clipGuardPath;            // where the disk guard looks for the clips' room
    recording::DiskGuard clipGuard;
    bool clipRoom = true;
    recording::DiskLedger ownLedger;  // when the services bring no ledger shared by every camera
    recording::DiskLedger& ledger;
    std::unique_ptr<clips::Recording> recording;  // RECORD=continuous
    std::string segment;                          // where this motion frame is recorded
    double segmentOffset = 0;
    std::chrono::steady_clock::time_point frameStart;
    std::chrono::steady_clock::time_point cpuTakenAt{};  // CountFlow's last CPU clock reading
    int64_t stillSinceMs = -1;  // IDLEDECODE: the steady time of the last motion (or start)
    bool idle = false;          // the source was told to decode only key frames
    int64_t thumbStartMs = 0;   // the event the last thumbnail was offered for
    int64_t thumbArea = -1;     // and the area of its region then
    std::optional<tracks::Tracker> tracker;      // MINTRAVEL / MINDURATION, or LABELS
    int32_t gateHold = 0;                        // the motion hold of the gated count
    int64_t trackMs = 0;                         // the tracks' time of this frame
    std::unique_ptr<labels::Labeller> labeller;  // LABELS
    std::vector<events::LabelFacts> newLabels;   // confirmed since the last report
    std::vector<int> labelledTracks;             // live tracks with a confirmed label
};

// Bounds of what an output adds to the disk, for the disk guard's ledger: no file is larger.
int64_t PictureBound(cv::Size size) {
    return int64_t{size.width} * size.height * 3 + 65536;
}
constexpr int64_t kLogRecordBound = 128;

bool Held(const Worker& w) {
    return w.holdFrames > 0;
}

// The hold that events and clips follow: the gate's, when tracks are on.
bool EventHeld(const Worker& w) {
    return w.tracker ? w.gateHold > 0 : Held(w);
}

// ---- start ----

void StartLog(Worker& w) {
    const config::SettingsRecord& s = w.settings;
    w.logPath = s.outLog ? recording::ComposeFileName(s.logPrefix,
                                                      "cam" + std::to_string(w.slotIndex) + ".log")
                         : std::string();
    if (!w.logPath.empty()) Guarded([&] { w.log.Open(w.logPath.c_str()); });
}

void NameOutputs(Worker& w) {
    std::string cam = "cam" + std::to_string(w.slotIndex);
    if (w.settings.outAvi)
        w.videoPath = recording::ComposeFileName(w.settings.aviPrefix, cam + ".avi");
    if (w.settings.outJpg)
        w.snapshotBase = recording::ComposeFileName(w.settings.jpgPrefix, cam + "n");
    if (!w.snapshotBase.empty()) w.snapshotNames.emplace(w.snapshotBase);
}

void OpenWindowIfShown(Worker& w) {
    w.title = "Camera #" + std::to_string(w.slotIndex);
    if (w.windowShown) Guarded([&] { w.services.windows.Create(w.title); });
}

// The detection keys and the camera's mask, read once.
void SetUpDetector(Worker& w) {
    detector::DetectorControls controls = w.settings.detection;
    const std::string& file = w.settings.maskFiles[w.slotIndex];
    if (!file.empty()) {
        recording::PrepareImageCodecs();
        controls.mask = detector::ReadMotionMask(file);
        if (controls.mask.empty()) {
            ReportError("camera " + std::to_string(w.slotIndex) + ": mask " + file +
                        " cannot be read; the camera runs unmasked");
        }
    }
    w.detector.SetControls(controls);
}

// LABELS or MODEL: the camera's labeller. A detector that cannot be had (a model file that
// is no usable network) is told once for all cameras; the camera goes on without labels.
void StartLabeller(Worker& w) {
    std::string error;
    std::unique_ptr<labels::Detector> detector = labels::MakeDetector(w.settings.labels, error);
    if (!detector) {
        static std::once_flag told;
        std::call_once(told, [&] { ReportError(error + "; cameras run without labels"); });
        return;
    }
    w.labeller = std::make_unique<labels::Labeller>(w.settings.labels, std::move(detector));
    if (w.events) w.events->UseLabels(w.settings.labels.alert);
}

// ---- one frame ----

// Frames come as 8-bit BGR; anything else a source hands over is turned into that.
void MakeBgr8(cv::Mat& frame) {
    if (frame.depth() != CV_8U) frame.convertTo(frame, CV_8U);
    if (frame.channels() == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
    if (frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
}

// Frame, or why no usable frame came: the camera is gone, the file has ended, a stream is lost.
// A camera that defers the colour keeps the frame in its own format: the motion count reads
// its gray picture, and the steps that need colour convert it (TakeColour).
cameras::ReadStatus GrabFrame(Worker& w) {
    if (!w.slot.capture) return cameras::ReadStatus::End;
    try {
        cameras::FrameSource& camera = *w.slot.capture;
        w.deferred = camera.Defers();
        w.coloured = false;
        if (w.deferred) {
            const cameras::ReadStatus status = camera.ReadDeferred();
            if (status != cameras::ReadStatus::Frame) return status;
            w.size = camera.Size();
            if (w.size.empty()) return cameras::ReadStatus::End;
            w.frameStart = std::chrono::steady_clock::now();
            return cameras::ReadStatus::Frame;
        }
        const cameras::ReadStatus status = camera.Read(w.frame);
        if (status != cameras::ReadStatus::Frame) return status;
        if (w.frame.empty()) return cameras::ReadStatus::End;
        w.frameStart = std::chrono::steady_clock::now();
        MakeBgr8(w.frame);
        w.size = w.frame.size();
        w.coloured = true;
        return w.frame.type() == CV_8UC3 ? cameras::ReadStatus::Frame : cameras::ReadStatus::Error;
    } catch (...) {
        return cameras::ReadStatus::Error;
    }
}

std::string LossReason(const Worker& w, cameras::ReadStatus status) {
    const std::string url = cameras::MaskCredentials(w.settings.source[w.slotIndex]);
    switch (status) {
        case cameras::ReadStatus::Timeout:
            return url + ": no frame for " +
                   std::to_string(w.slot.capture ? w.slot.capture->TimeoutMs() : 0) + " ms";
        case cameras::ReadStatus::Error:
            return url + ": read error";
        default:
            return url + ": stream ended";
    }
}

int64_t WallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// A stream camera is lost: told once (stderr, status, event and its hook) until it is back.
void TellLost(Worker& w, const std::string& reason) {
    w.linkLost = true;
    w.stats.lost.store(true, std::memory_order_relaxed);
    ReportError("camera " + std::to_string(w.slotIndex) + " lost (" + reason + "); reconnecting");
    w.episode.Cut();  // an event and its clip end at a loss; motion after it starts new ones
    if (w.clip) Guarded([&] { w.clip->Cut(); });
    if (w.events) Guarded([&] { w.events->OnLost(reason, WallMs()); });
}

// The link of a stream camera: a loss and a return are told once each, and the worker goes
// on through a loss (no outputs while no frame comes). False when the camera is gone for good:
// anything but a stream, or a stop.
bool FollowLink(Worker& w, cameras::ReadStatus status) {
    if (status == cameras::ReadStatus::Frame) {
        if (w.linkLost) {
            w.linkLost = false;
            w.stats.lost.store(false, std::memory_order_relaxed);
            w.stats.reconnects.fetch_add(1, std::memory_order_relaxed);
            ReportError("camera " + std::to_string(w.slotIndex) + " back");
            w.detector.Restart();  // WARMUP frames again, as at start
            if (w.events) Guarded([&] { w.events->OnBack(WallMs()); });
        }
        return true;
    }
    if (!w.slot.capture || !w.slot.capture->Reconnects()) return false;
    if (w.slot.runState.load() == slots::RunState::Stopped) return false;
    // Reconnecting counts as progress for the service watchdog.
    w.stats.lastProgressMs.store(base::SteadyMs(), std::memory_order_relaxed);
    if (!w.linkLost) TellLost(w, LossReason(w, status));
    return true;
}

// A frame beyond MAXPIXELS is skipped before anything is made of it (a camera sending
// 8000 x 8000 pictures would otherwise take gigabytes); said once per camera.
bool Oversized(Worker& w) {
    if (int64_t{w.size.width} * w.size.height <= w.settings.maxPixels) return false;
    w.stats.lastProgressMs.store(base::SteadyMs(), std::memory_order_relaxed);  // it does deliver
    if (!w.oversizeSaid) {
        ReportError("camera " + std::to_string(w.slotIndex) + ": frames of " +
                    std::to_string(w.size.width) + "x" + std::to_string(w.size.height) +
                    " exceed MAXPIXELS=" + std::to_string(w.settings.maxPixels) +
                    "; they are skipped");
        w.oversizeSaid = true;
    }
    return true;
}

void ReadWindowFlag(Worker& w) {
    w.windowWanted = w.slot.showWindow.load() != 0;
}

// The clean copy has the size the camera sends now: a camera that changes its frame size gets
// snapshots of the new size (the video and an open clip scale it into theirs). A frame that
// gets no overlay is its own clean copy: nothing draws on it, and everything that keeps a
// frame beyond this one (clips, the browser) copies it.
void KeepCleanCopy(Worker& w) {
    Guarded([&] {
        if (!w.coloured) return;  // TakeColour keeps it
        if (!w.overlay) {
            w.copy = w.frame;
            return;
        }
        w.ownCopy.create(w.frame.size(), CV_8UC3);
        w.frame.copyTo(w.ownCopy);
        w.copy = w.ownCopy;
    });
}

// The frame and its clean copy in colour, converted by the first step that needs them. False
// (and no copy) when the conversion fails.
bool TakeColour(Worker& w) {
    if (w.coloured) return true;
    Guarded([&] {
        w.copy.release();
        if (!w.slot.capture || !w.slot.capture->Colour(w.frame) || w.frame.empty()) return;
        MakeBgr8(w.frame);
        if (w.frame.type() != CV_8UC3) return;
        w.coloured = true;
        KeepCleanCopy(w);
    });
    return w.coloured;
}

void OpenVideoIfWanted(Worker& w) {
    if (w.videoPath.empty() || w.video.IsOpen()) return;
    // The video takes the size of the frame it opens with, and keeps it.
    Guarded([&] { w.video.Open(w.videoPath, config::CodecFourcc(w.settings.codec), w.size); });
}

// The overlay is drawn while the window is wanted or someone watches in the browser.
bool OverlayWanted(const Worker& w) {
    return w.windowWanted || (w.services.web && w.services.web->Watched(w.slotIndex));
}

// Decided once per frame, before the clean copy: a viewer who arrives in between must not
// get the overlay drawn onto a frame that serves as its own clean copy.
void DecideOverlay(Worker& w) {
    w.overlay = false;
    Guarded([&] { w.overlay = OverlayWanted(w); });
}

int32_t CountMotion(Worker& w) {
    int32_t count = 0;
    if (w.overlay) TakeColour(w);
    Guarded([&] {
        const detector::GrayRows gray = [&w](int begin, int end, cv::Mat& band) {
            w.slot.capture->Gray(begin, end, band);
        };
        const MotionFrame frame{w.frame, w.size, w.deferred ? &gray : nullptr};
        count = w.services.countMotion(w.detector, frame, w.settings.threshold,
                                       w.overlay && w.coloured);
    });
    return count;
}

// With MINTRAVEL or MINDURATION the counted regions are followed as tracks, and the frame
// counts as motion for events and clips only while a track has travelled and lived far
// enough: the gated count, 0 otherwise. Without the keys: count itself. A scene switch
// (the detector restarted its history) ends every track.
int32_t FollowTracks(Worker& w, int32_t count) {
    if (!w.tracker) return count;
    int32_t moving = 0;
    Guarded([&] {
        if (w.detector.Restarted()) {
            w.tracker->Reset();
            w.labelledTracks.clear();
            if (w.labeller) w.labeller->Reset();
        }
        std::vector<tracks::Observation> seen;
        // The regions only: measuring each one's direction costs several times the detector
        // (a motion gradient under every region), and the tracks' own motion serves as well.
        if (count > 0) {
            for (const cv::Rect& r : w.detector.Regions()) seen.push_back({r, std::nullopt});
        }
        w.trackMs = base::SteadyMs();
        w.tracker->Update(seen, w.trackMs, w.size);
        if (!w.settings.gate.On() || w.tracker->Moving()) moving = count;
    });
    if (w.gateHold > 0) --w.gateHold;
    if (moving > 0) w.gateHold = kHoldLength;
    return moving;
}

// The count that snapshots, video, log and the status follow: the gated one with
// TRACKGATE=ON, the plain one otherwise.
int32_t CoreCount(const Worker& w, int32_t count, int32_t moving) {
    return w.settings.trackGate ? moving : count;
}

void UpdateHold(Worker& w, int32_t count) {
    if (w.holdFrames > 0) --w.holdFrames;
    if (count > 0) w.holdFrames = kHoldLength;
}

void CountFrame(Worker& w, int32_t count) {
    w.stats.frames.fetch_add(1, std::memory_order_relaxed);
    w.stats.lastProgressMs.store(base::SteadyMs(), std::memory_order_relaxed);
    if (count <= 0) return;
    w.stats.motionFrames.fetch_add(1, std::memory_order_relaxed);
    using namespace std::chrono;
    w.stats.lastMotionWallMs.store(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count(),
        std::memory_order_relaxed);
}

// The RECORDi stream a camera's clips and recording copy: a loss and a return are told once
// each, as the camera's own.
void FollowRecordLink(Worker& w, bool lost) {
    if (lost == w.recordLost) return;
    w.recordLost = lost;
    ReportError("camera " + std::to_string(w.slotIndex) + " recording stream " +
                (lost ? "lost; reconnecting" : "back"));
}

// Where each frame came from and where it went: the source's own counts (a stream's reader
// drops frames the loop had no time for), and the clip recorder's; and, once a second, the
// CPU time of this thread and of the stream's reader.
void CountFlow(Worker& w) {
    Guarded([&] {
        const uint64_t analysed = w.stats.frames.load(std::memory_order_relaxed);
        cameras::FrameCounts c = w.slot.capture ? w.slot.capture->Counts() : cameras::FrameCounts{};
        if (c.decoded == 0) c.received = c.decoded = analysed;
        FollowRecordLink(w, c.recordLost);
        if (w.clip) {
            c.dropped += w.clip->Dropped();
            w.stats.clipFrames.store(w.clip->Written(), std::memory_order_relaxed);
        }
        if (w.frameStart - w.cpuTakenAt >= std::chrono::seconds(1)) {
            w.cpuTakenAt = w.frameStart;
            timespec t{};
            if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) == 0) {
                w.stats.workerCpuNs.store(uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec),
                                          std::memory_order_relaxed);
            }
            w.stats.readerCpuNs.store(c.readerCpuNs, std::memory_order_relaxed);
        }
        w.stats.received.store(c.received, std::memory_order_relaxed);
        w.stats.decoded.store(c.decoded, std::memory_order_relaxed);
        w.stats.dropped.store(c.dropped, std::memory_order_relaxed);
    });
}

// IDLEDECODE: once nothing has moved for IDLEAFTER seconds (and no event is open) the stream
// decodes only its key frames; the first motion seen in one brings every frame back from the
// next key frame on.
void FollowIdle(Worker& w, int32_t count) {
    if (!w.settings.idle.on || !w.slot.capture) return;
    const int64_t now = base::SteadyMs();
    if (count > 0 || w.stillSinceMs < 0 || (w.events && w.events->open())) w.stillSinceMs = now;
    const bool idle = now - w.stillSinceMs >= w.settings.idleAfterMs;
    if (idle == w.idle) return;
    w.idle = idle;
    Guarded([&] { w.slot.capture->SetIdle(idle ? w.settings.idle : cameras::IdleDecoding{}); });
}

// With the disk guard on, a held frame's pictures wait for room on their file system.
void CheckRoom(Worker& w) {
    if (!Held(w) || w.settings.minFreeBytes <= 0) return;
    const int64_t now = base::SteadyMs();
    const bool room = w.pictureGuard.Room(w.snapshotBase.empty() ? std::string() : w.snapshotBase,
                                          now, &w.ledger, w.video.Unflushed()) &&
                      w.pictureGuard.Room(w.videoPath, now, &w.ledger, w.video.Unflushed());
    if (room != w.pictureRoom) w.pictureGuard.Report(w.slotIndex, room);
    w.pictureRoom = room;
}

void ChooseWait(Worker& w) {
    w.wait = Held(w) ? w.settings.busyWaitMs : w.settings.idleWaitMs;
    w.stats.waitMs.store(w.wait, std::memory_order_relaxed);
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
    if (w.windowShown && TakeColour(w)) {
        Guarded([&] { w.services.windows.Show(w.title, w.frame); });
    }
}

void CountOutput(Worker& w, std::atomic<uint64_t>& counter, bool ok) {
    (ok ? counter : w.stats.outputErrors).fetch_add(1, std::memory_order_relaxed);
}

void SaveSnapshotIfHeld(Worker& w) {
    if (!Held(w) || w.snapshotBase.empty() || !w.pictureRoom) return;
    bool saved = false;
    if (TakeColour(w)) {
        Guarded([&] {
            const std::string name = w.snapshotNames->Next();
            saved = recording::SaveSnapshot(name, w.copy);
            if (saved) w.snapshotWritten = name;
            if (w.settings.minFreeBytes > 0) w.ledger.Add(PictureBound(w.copy.size()));
        });
    }
    CountOutput(w, w.stats.snapshots, saved);
}

void RecordHeldFrame(Worker& w) {
    if (!Held(w)) return;
    if (!w.videoPath.empty() && w.pictureRoom) {
        CountOutput(w, w.stats.videoFrames, TakeColour(w) && w.video.Write(w.copy));
        if (w.settings.minFreeBytes > 0) w.ledger.Add(PictureBound(w.video.FrameSize()));
    }
    if (!w.logPath.empty()) {
        Guarded([&] {
            std::string record = "cadr #" + std::to_string(w.loggedFrame);
            w.log.Write(record.c_str());
        });
        if (w.settings.minFreeBytes > 0) w.ledger.Add(kLogRecordBound);
        ++w.loggedFrame;
    }
}

// The frame's place in the camera's episode, judged once for the clip and the event record,
// at one reading of each clock.
void FollowEpisode(Worker& w, int32_t count) {
    if (!w.clip && !w.events) return;
    w.stepMs = base::SteadyMs();
    w.stepWallMs = WallMs();
    w.step = w.episode.OnFrame(count, EventHeld(w), w.stepMs);
}

// Every frame goes to the clip recorder: it keeps the pre-capture and writes the clip of an
// episode on its own thread.
void RecordClip(Worker& w) {
    if (!w.clip || (!w.clip->Copying() && !TakeColour(w))) return;  // a copy needs no picture
    Guarded([&] {
        const int64_t now = w.stepMs;
        const bool guarded = w.settings.minFreeBytes > 0;
        const bool wasOpen = !w.clip->Clip().empty();
        if (guarded && (episodes::Moving(w.step) || wasOpen)) {
            const bool room = w.clipGuard.Room(w.clipGuardPath, now, &w.ledger,
                                               wasOpen ? recording::kWriterBufferBound : 0);
            if (room != w.clipRoom) w.clipGuard.Report(w.slotIndex, room);
            w.clipRoom = room;
        }
        w.clip->OnFrame(w.copy, w.step, now, w.stepWallMs, w.clipRoom);
        // A clip that opens writes its pre-capture at once: at most the ring's raw frames.
        if (guarded && !w.clip->Clip().empty()) {
            w.ledger.Add(PictureBound(w.copy.size()) / 2 +
                         (wasOpen ? 0 : static_cast<int64_t>(w.clip->RingBytes())));
        }
        w.stats.clipDrops.store(w.clip->Dropped(), std::memory_order_relaxed);
    });
}

// The track a label check looks at now (tracks::ToLabel), of those not labelled yet.
const tracks::Track* TrackToLabel(Worker& w) {
    const std::vector<tracks::Track>& all = w.tracker->Tracks();
    std::erase_if(w.labelledTracks, [&](int id) {
        return std::none_of(all.begin(), all.end(),
                            [id](const tracks::Track& t) { return t.id == id; });
    });
    return tracks::ToLabel(all, w.trackMs, w.labelledTracks, w.size, w.labeller->Awaited());
}

// LABELS: on motion frames, at most LABELRATE times a second, the area around one track
// seen in this frame goes to the labeller's thread (copied, never waited for); the labels it
// confirmed since the last frame are handed to the events. A track keeps its label for as
// long as it lives, so it is not checked again; one of ALERTLABELS (any, without them) lets
// it pass the gate from the next frame, however far it has travelled.
void CheckLabels(Worker& w, int32_t count) {
    if (!w.labeller) return;
    Guarded([&] {
        if (count > 0 && w.labeller->Due(w.trackMs)) {
            const tracks::Track* pick = TrackToLabel(w);
            if (pick && TakeColour(w) && w.copy.size() == w.size) {
                w.labeller->Check(w.copy, {{pick->id, pick->Lead(), pick->Front()}}, w.trackMs,
                                  w.snapshotWritten);
            }
        }
        const std::vector<std::string>& alert = w.settings.labels.alert;
        for (const labels::Label& l : w.labeller->TakeConfirmed()) {
            w.newLabels.push_back(
                {l.label, l.score, {l.box.x, l.box.y, l.box.width, l.box.height}, l.snapshot});
            w.labelledTracks.push_back(l.track);
            if (alert.empty() || std::find(alert.begin(), alert.end(), l.label) != alert.end()) {
                w.tracker->Vouch(l.track);
            }
        }
    });
}

// A camera whose continuous recording is encoded from its frames: the clean frame goes to it
// (copied; its queue drops rather than waits).
void FeedRecording(Worker& w) {
    if (!w.recording || !w.recording->WantsFrames() || !TakeColour(w)) return;
    Guarded([&] { w.recording->OnFrame(w.copy, base::SteadyMs()); });
}

// A motion frame's place in the continuous recording, which also marks that segment as
// holding an event.
void LocateInRecording(Worker& w, int32_t count) {
    w.segment.clear();
    if (!w.recording || count <= 0) return;
    Guarded([&] { w.recording->Locate(base::SteadyMs(), &w.segment, &w.segmentOffset); });
}

// The facts of this frame go to the camera's event tracker; it publishes starts and ends.
void ReportEvents(Worker& w, int32_t count) {
    if (!w.events) return;
    Guarded([&] {
        events::FrameFacts facts;
        facts.steadyMs = w.stepMs;
        facts.wallMs = w.stepWallMs;
        facts.count = count;
        facts.held = EventHeld(w);
        facts.step = w.step;
        if (count > 0) {
            const cv::Rect r = w.detector.Largest();
            if (!r.empty()) facts.largest = events::Region{r.x, r.y, r.width, r.height};
            facts.direction = w.detector.LargestDirection();
        }
        if (w.tracker && w.settings.gate.On() && count > 0) {
            const tracks::Summary& t = w.tracker->Last();
            facts.tracks =
                events::TrackFacts{t.newlyQualified, t.longestTravelPercent, t.direction};
        }
        facts.snapshot = w.snapshotWritten;
        facts.labels.swap(w.newLabels);
        if (w.clip) {
            facts.clip = w.clip->Clip();
            facts.clipOffsetMs = w.clip->ClipOffsetMs();
        }
        facts.segment = w.segment;
        facts.segmentOffset = w.segmentOffset;
        w.events->OnFrame(facts);
    });
    w.snapshotWritten.clear();
    w.newLabels.clear();
}

// When an open event's largest region grows, a small boxed copy of this frame goes to the
// thumbnail sink; the JPEG is made on its thread.
void OfferThumbnail(Worker& w) {
    if (!w.services.thumbnails || !w.events || !w.events->open()) return;
    Guarded([&] {
        const int64_t start = w.events->openStartMs(), area = w.events->largestArea();
        if (start != w.thumbStartMs) {
            w.thumbStartMs = start;
            w.thumbArea = -1;
        }
        if (area <= w.thumbArea || !TakeColour(w) || w.copy.empty()) return;
        w.thumbArea = area;
        constexpr int kWidth = 320;
        const double scale = std::min(1.0, double(kWidth) / w.copy.cols);
        cv::Mat small;
        cv::resize(w.copy, small, cv::Size(), scale, scale, cv::INTER_AREA);
        const cv::Rect r = w.detector.Largest();
        const double sx = scale * w.copy.cols / std::max(1, w.size.width);
        const double sy = scale * w.copy.rows / std::max(1, w.size.height);
        cv::rectangle(small,
                      cv::Rect(int(r.x * sx), int(r.y * sy), std::max(1, int(r.width * sx)),
                               std::max(1, int(r.height * sy))),
                      cv::Scalar(0, 0, 255), 2);
        w.services.thumbnails->Offer(w.slotIndex, start, std::move(small));
    });
}

// While someone watches in the browser, a due frame goes to the web server with its overlay
// and without. Copies: the capture reuses the frame's buffer for the next frame.
void OfferLiveFrame(Worker& w) {
    if (!w.services.web) return;
    Guarded([&] {
        const int64_t now = base::SteadyMs();
        if (!w.services.web->Due(w.slotIndex, now) || !TakeColour(w)) return;
        w.services.web->Offer(w.slotIndex, w.frame.clone(), w.copy.clone(), now);
    });
}

void TimeFrame(Worker& w) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - w.frameStart;
    w.stats.CountFrameTime(took.count());
}

void Pause(Worker& w) {
    Guarded([&] { w.services.pause(w.slotIndex, w.wait); });
}

bool StopRequested(const Worker& w) {
    return w.slot.runState.load() == slots::RunState::Stopped;
}

void FrameLoop(Worker& w) {
    do {
        const cameras::ReadStatus status = GrabFrame(w);
        if (!FollowLink(w, status)) break;
        if (status != cameras::ReadStatus::Frame || Oversized(w)) {
            w.wait = w.settings.idleWaitMs;
            Pause(w);
            continue;
        }
        ReadWindowFlag(w);
        DecideOverlay(w);
        KeepCleanCopy(w);
        OpenVideoIfWanted(w);
        const int32_t count = CountMotion(w);
        const int32_t moving = FollowTracks(w, count);
        const int32_t core = CoreCount(w, count, moving);
        UpdateHold(w, core);
        CountFrame(w, core);
        FollowIdle(w, count);
        ChooseWait(w);
        FollowWindowFlag(w);
        ShowFrame(w);
        CheckRoom(w);
        SaveSnapshotIfHeld(w);
        RecordHeldFrame(w);
        FollowEpisode(w, moving);
        RecordClip(w);
        FeedRecording(w);
        LocateInRecording(w, moving);
        CheckLabels(w, count);
        ReportEvents(w, moving);
        OfferThumbnail(w);
        OfferLiveFrame(w);
        CountFlow(w);
        TimeFrame(w);
        Pause(w);
    } while (!StopRequested(w));
}

// ---- end ----

void EndSequence(Worker& w) {
    Guarded([&] { slots::ReleaseCapture(w.slotIndex); });
    if (w.windowShown) Guarded([&] { w.services.windows.Destroy(w.title); });
    w.video.Release();
    if (w.clip) Guarded([&] { w.clip->Finish(); });
    if (w.recording) Guarded([&] { w.recording->Stop(); });
    if (!w.logPath.empty()) Guarded([&] { w.log.Close(); });
    if (w.events) Guarded([&] { w.events->Finish(base::SteadyMs(), WallMs()); });
}

// Everything of the worker lives in here, so that it is all gone before -1 is reported.
void RunWorker(int slotIndex, const WorkerConfig& settings, const WorkerServices& services) {
    Worker w(slotIndex, settings, services);
    w.windowShown = w.slot.showWindow.load() != 0;
    if (!w.slot.capture) return;
    w.stats.lastProgressMs.store(base::SteadyMs(), std::memory_order_relaxed);
    StartLog(w);
    NameOutputs(w);
    if (w.services.events) {
        Guarded([&] { w.events.emplace(w.slotIndex, *w.services.events, w.settings.outJpg); });
    }
    if (w.settings.clips.on || w.settings.clips.continuous) {
        Guarded([&] { clips::FinishCutClips(w.settings.clips.prefix, w.slotIndex); });
    }
    if (w.settings.clips.continuous) {
        Guarded([&] {
            w.recording = clips::Recording::Start(w.slotIndex, w.settings.clips, *w.slot.capture,
                                                  {w.settings.minFreeBytes, &w.ledger});
        });
    }
    if (w.settings.clips.on) {
        w.clipGuardPath = w.settings.clips.prefix + "cam";
        Guarded([&] { w.clip.emplace(w.slotIndex, w.settings.clips, w.slot.capture->Fps()); });
        if (w.clip) Guarded([&] { w.clip->CopyFrom(*w.slot.capture); });
        // An end record names its clip only once the clip is finished, and none if it failed.
        if (w.clip && w.events) {
            w.events->SetClipCheck([&w](const std::string& name) {
                switch (w.clip->ClipOutcome(name)) {
                    case clips::Recorder::Outcome::kFinished:
                        return events::ClipState::kWritten;
                    case clips::Recorder::Outcome::kFailed:
                        return events::ClipState::kFailed;
                    default:
                        return events::ClipState::kPending;
                }
            });
        }
    }
    // Down since start-up: lost from the start, so that its first frame is told as "back".
    if (w.slot.background) {
        TellLost(w, cameras::MaskCredentials(w.settings.source[w.slotIndex]) + ": did not open");
    }
    OpenWindowIfShown(w);
    Guarded([&] { SetUpDetector(w); });
    if (w.settings.gate.On() || w.settings.labels.On()) {
        Guarded([&] { w.tracker.emplace(w.settings.gate); });
    }
    if (w.settings.labels.On()) Guarded([&] { StartLabeller(w); });
    w.holdFrames = 0;
    Guarded([&] { FrameLoop(w); });
    EndSequence(w);
}

}  // namespace

void ServeCamera(int slotIndex, const WorkerConfig& settings,
                 const WorkerServices& services) noexcept {
    if (slotIndex < 0 || slotIndex >= base::kSlotCount) return;
    Guarded([&] { RunWorker(slotIndex, settings, services); });
    Guarded([&] { slots::ReleaseCapture(slotIndex); });  // already done unless the worker broke off
    slots::ReportFinished(slotIndex);
}

WorkerServices ProgramServices(events::Bus* events, web::FrameHub* web, recording::DiskLedger* disk,
                               ThumbnailSink* thumbnails) {
    return WorkerServices{
        display::DisplayWindows(),
        [](detector::MotionDetector& detector, const MotionFrame& frame, int32_t threshold,
           bool overlayShown) {
            if (!frame.gray) return detector.Detect(frame.colour, threshold, overlayShown);
            return detector.DetectGray(frame.size, *frame.gray, frame.colour, threshold,
                                       overlayShown);
        },
        [](int index, int32_t ms) { slots::PauseUnlessStopped(index, ms); },
        events,
        web,
        disk,
        thumbnails,
    };
}
