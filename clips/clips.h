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

namespace clips {

struct Options {
    bool on = false;                // OUTCLIP=ON
    std::string prefix;             // PATHCLIP, put in front of camN-YYYYMMDD-HHMMSS.mp4
    double preSeconds = 2;          // PRECAPTURE
    double postSeconds = 2;         // POSTCAPTURE
    int gapSeconds = 10;            // EVENTGAP: stillness that ends an event
    int64_t ringBytes = 64 << 20;   // PRECAPTUREMB: the ring's bound per camera
    int days = 0;                   // CLIPDAYS: 0 keeps every clip
    int64_t queueBytes = 64 << 20;  // frames waiting for the encoder (at least 2 frames)
};
// Reads OUTCLIP, PATHCLIP, PRECAPTURE, POSTCAPTURE, EVENTGAP, PRECAPTUREMB, CLIPDAYS.
Options OptionsFromConfig();

// camN-YYYYMMDD-HHMMSS.mp4 in local time.
std::string ClipName(int camera, int64_t wallMs);

// One per camera, fed by that camera's frame loop only. OnFrame never blocks on the encoder:
// when its queue is full the frame is dropped and counted.
class Recorder {
  public:
    // sourceFps: the camera's own rate, 0 when it reports none (then the rate is measured).
    Recorder(int camera, const Options& options, double sourceFps);
    ~Recorder();  // Finish()
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // frame: the clean frame (an open clip scales one of another size into its own). room:
    // false while the disk guard says no (no clip starts, an open clip ends). held: the frame
    // is inside the motion hold.
    void OnFrame(const cv::Mat& frame, int32_t motionCount, bool held, int64_t steadyMs,
                 int64_t wallMs, bool room = true);
    // The open event's clip (prefix + name), "" between events.
    const std::string& Clip() const { return clip_; }
    // How a clip of this recorder came out: still being written, finished under its name, or
    // failed (it could not be created, or its writer did not close it whole: it keeps its
    // .part.mp4 name). Any thread.
    enum class Outcome { kPending, kFinished, kFailed };
    Outcome ClipOutcome(const std::string& clip) const;
    // Ends an open clip, writes what is queued and stops the encoder. Idempotent.
    void Finish();

    uint64_t Dropped() const;       // frames the full queue turned away
    uint64_t Written() const;       // frames written into clips
    double EncoderSeconds() const;  // time the encoder thread spent writing and ringing
    size_t RingBytes() const;       // the ring's memory now
    size_t RingPeakBytes() const;   // and its highest

  private:
    struct Encoder;
    void Send(int kind, const cv::Mat* frame, std::string name = {});
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
    int64_t lastMotionMs_ = 0;
    int64_t sinceMotion_ = 0;
    std::string clip_, lastName_;
    std::unique_ptr<int64_t[]> ringWall_;  // wall times of the frames the ring should hold
    size_t ringWallCap_ = 0, ringWallHead_ = 0, ringWallCount_ = 0;
    std::unique_ptr<Encoder> encoder_;
};

// Deletes, oldest first, the clips (files named camN-YYYYMMDD-HHMMSS.mp4 after prefix's own
// name part, in prefix's folder) whose time is more than `days` days before nowWallMs.
// Returns how many were deleted. Nothing for days <= 0.
int DeleteOldClips(const std::string& prefix, int days, int64_t nowWallMs);

// Runs DeleteOldClips at once and then once an hour on its own thread until destroyed.
class Retention {
  public:
    Retention(std::string prefix, int days);
    ~Retention();
    Retention(const Retention&) = delete;
    Retention& operator=(const Retention&) = delete;

  private:
    std::string prefix_;
    int days_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
// A Retention when OUTCLIP is on and CLIPDAYS > 0, else null.
std::unique_ptr<Retention> StartRetention(const Options& options);

}  // namespace clips
