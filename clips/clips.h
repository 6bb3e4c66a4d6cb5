// Event clips: one MP4 per motion event of a camera, beginning a few seconds before the first
// motion frame (kept in a bounded ring) and ending a few seconds after the last; encoded on a
// thread of its own per camera. And the sweep that deletes old clips.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <string>
#include <thread>

#include "episodes/episodes.h"

namespace cameras {
class FrameSource;
}
namespace recording {
class DiskLedger;
}

namespace clips {

class CopyClips;

struct Options {
    bool on = false;                // OUTCLIP=ON
    std::string prefix;             // PATHCLIP, put in front of camN-YYYYMMDD-HHMMSS.mp4
    double preSeconds = 2;          // PRECAPTURE
    double postSeconds = 2;         // POSTCAPTURE
    int64_t ringBytes = 64 << 20;   // PRECAPTUREMB: the ring's bound per camera
    int days = 0;                   // CLIPDAYS: 0 keeps every clip
    int64_t queueBytes = 64 << 20;  // frames waiting for the encoder (at least 2 frames)
    bool copy = true;               // CLIPCOPY: OFF encodes even an H.264/H.265 camera's clips
    // Continuous recording:
    bool continuous = false;   // RECORD=continuous
    int segmentSeconds = 600;  // SEGMENT: a segment's length
    int64_t maxBytes = 0;      // CLIPMAXGB: the segments' bound in all; 0 = none
    int keepEventDays = 0;     // KEEPEVENTDAYS: segments with an event younger stay
};

// camN-YYYYMMDD-HHMMSS.mp4 in local time.
std::string ClipName(int camera, int64_t wallMs);

// One per camera, fed by that camera's frame loop only: a clip per episode of the camera (the
// frame loop's episodes::Tracker says where they begin and end). OnFrame never blocks on the
// encoder: when its queue is full the frame is dropped and counted.
class Recorder {
  public:
    // sourceFps: the camera's own rate, 0 when it reports none (then the rate is measured).
    Recorder(int camera, const Options& options, double sourceFps);
    ~Recorder();  // Finish()
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // frame: the clean frame (an open clip scales one of another size into its own). step:
    // what the frame did to the episode. room: false while the disk guard says no (no clip
    // starts, an open clip ends).
    void OnFrame(const cv::Mat& frame, episodes::Step step, int64_t steadyMs, int64_t wallMs,
                 bool room = true);
    // The episode was cut (the camera was lost): an open clip ends here.
    void Cut();
    // The open event's clip (prefix + name), "" between events.
    const std::string& Clip() const { return clip_; }
    // Where the open clip's first motion frame lies in it (the pre-capture), ms.
    int64_t ClipOffsetMs() const { return clipOffsetMs_; }
    // How a clip of this recorder came out: still being written, finished under its name, or
    // failed (it could not be created, or its writer did not close it whole: it keeps its
    // .part.mp4 name). Any thread.
    enum class Outcome { kPending, kFinished, kFailed };
    Outcome ClipOutcome(const std::string& clip) const;
    // Ends an open clip, writes what is queued and stops the encoder. Idempotent.
    void Finish();

    // Stream copy: when the options allow it and source reads H.264 or H.265, the clips are
    // written from its own packets from now on (before the first OnFrame); frames then only
    // time the clips. True when they are. A stream that is not up yet switches to copying
    // between clips once its packets come.
    bool CopyFrom(cameras::FrameSource& source);
    bool Copying() const { return copy_ != nullptr; }

    uint64_t Dropped() const;       // frames the full queue turned away
    uint64_t Written() const;       // frames written into clips
    double EncoderSeconds() const;  // time the encoder thread spent writing and ringing
    size_t RingBytes() const;       // the ring's memory now
    size_t RingPeakBytes() const;   // and its highest

  private:
    struct Encoder;
    void Send(int kind, const cv::Mat* frame, std::string name = {});
    void CopySend(int kind, const std::string& name);  // Send's part under stream copy
    void TakeUpCopy();  // between clips: pendingCopy_ becomes copy_ once it receives
    int Frames(double seconds) const;
    std::string NextName(int64_t firstWallMs);

    int camera_;
    Options options_;
    double fps_;
    bool measuring_;
    int64_t firstSteadyMs_ = -1;
    int64_t seenFrames_ = 0;
    bool open_ = false;     // inside an event
    bool writing_ = false;  // frames go into the clip (not past POSTCAPTURE)
    int64_t sinceMotion_ = 0;
    std::string clip_, lastName_;
    int64_t clipOffsetMs_ = 0;
    std::unique_ptr<int64_t[]> ringWall_;  // wall times of the frames the ring should hold
    size_t ringWallCap_ = 0, ringWallHead_ = 0, ringWallCount_ = 0;
    std::unique_ptr<Encoder> encoder_;
    std::shared_ptr<CopyClips> copy_;         // stream copy, else null
    std::shared_ptr<CopyClips> pendingCopy_;  // a stream's, until its packets come
    int64_t nowMs_ = 0;                       // the frame's base::SteadyMs, for copy_
    bool copyWriting_ = false;                // copy_ takes packets
};

// Continuous recording of one camera: its H.264/H.265 packets as they come, copied into
// fragmented MP4 segments of SEGMENT seconds (PATHCLIP + camN-rec-YYYYMMDD-HHMMSS.mp4, from a
// key frame; .part.mp4 while open) on a thread of its own behind a queue that drops and
// counts. A camera without such packets (MJPEG, raw) has its frames encoded into the
// segments instead, on a thread of their own behind a queue that drops and counts too. After each
// segment the oldest go by CLIPDAYS and CLIPMAXGB, never the open one; segments that hold an event
// stay for KEEPEVENTDAYS while those without go first. With a disk floor (MINFREEMB), what the
// segments write counts into the ledger the other outputs share; near the floor the oldest finished
// segments go (eventless first, then those with events KEEPEVENTDAYS does not keep), and when that
// is not enough the recording pauses (its open segment finished; one stderr line) until the disk
// has room again.
struct DiskFloor {
    int64_t bytes = 0;                        // 0: no floor
    recording::DiskLedger* ledger = nullptr;  // must outlive the Recording
};
class Recording {
  public:
    static std::unique_ptr<Recording> Start(int camera, const Options& options,
                                            cameras::FrameSource& source, DiskFloor floor = {});
    virtual ~Recording() = default;
    // Where the frame read at steadyMs lies: the open segment's name (prefix + name) and the
    // seconds from its start; false while none is open. That segment holds an event.
    virtual bool Locate(int64_t steadyMs, std::string* file, double* offsetSeconds) = 0;
    // Whether the recording takes the camera's frames (it has no packets to copy), and the
    // frame read at steadyMs: the clean picture in colour, copied; never blocks.
    virtual bool WantsFrames() const = 0;
    virtual void OnFrame(const cv::Mat& frame, int64_t steadyMs) = 0;
    virtual uint64_t Dropped() const = 0;  // packets or frames the full queues turned away
    virtual void Stop() = 0;               // closes the open segment; idempotent
};

// Deletes segments (camN-rec-YYYYMMDD-HHMMSS.mp4 in prefix's folder), oldest first: those
// older than days (when > 0), then while they hold more than maxBytes (when > 0) in all.
// A segment with an event (a .event file beside it) younger than keepEventDays stays, and
// goes after every segment without one. Returns how many were deleted.
// mustFree: at least that many bytes go besides, the same way (kept ones stay).
int SweepSegments(const std::string& prefix, int days, int64_t maxBytes, int keepEventDays,
                  int64_t nowWallMs, int64_t mustFree = 0);

// At start: clips and segments of camera that a crash left unfinished (fragmented .part.mp4
// files in prefix's folder) are cut after their last whole fragment and renamed as finished, one
// stderr line each. Files that are not fragmented MP4 are left alone. Returns how many.
int FinishCutClips(const std::string& prefix, int camera);

// Deletes, oldest first, the clips (files named camN-YYYYMMDD-HHMMSS.mp4 after prefix's own
// name part, in prefix's folder) whose time is more than `days` days before nowWallMs.
// Returns how many were deleted. Nothing for days <= 0.
// With a guard, a clip it keeps stays, and each deleted clip is told to it.
class RetentionGuard {
  public:
    virtual ~RetentionGuard() = default;
    virtual bool Kept(const std::string& path) = 0;
    virtual void Deleted(const std::string& path) = 0;
};
int DeleteOldClips(const std::string& prefix, int days, int64_t nowWallMs,
                   RetentionGuard* guard = nullptr);

// Runs DeleteOldClips at once and then once an hour on its own thread until destroyed.
class Retention {
  public:
    Retention(std::string prefix, int days, RetentionGuard* guard = nullptr);
    ~Retention();
    Retention(const Retention&) = delete;
    Retention& operator=(const Retention&) = delete;

  private:
    std::string prefix_;
    int days_;
    RetentionGuard* guard_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
// A Retention when OUTCLIP is on and CLIPDAYS > 0, else null.
// guard, when given, must outlive the Retention.
std::unique_ptr<Retention> StartRetention(const Options& options, RetentionGuard* guard = nullptr);

}  // namespace clips
