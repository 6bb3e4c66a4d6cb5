// Motion events: a per-camera tracker turns the facts of each frame into event records
// (start, end, lost, back), and a process-wide bus hands them to the outlets that are
// switched on (the event file, hook commands, MQTT) on its own threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace events {

struct Region {
    int x = 0, y = 0, w = 0, h = 0;
};

// What the frame loop knows after one frame.
struct FrameFacts {
    int64_t steadyMs = 0;             // monotonic milliseconds
    int64_t wallMs = 0;               // milliseconds since the epoch
    int32_t count = 0;                // moving regions counted in this frame
    bool held = false;                // the frame is inside the motion hold
    std::optional<Region> largest;    // largest counted region of this frame
    std::optional<double> direction;  // its direction in degrees, when measured
    std::string snapshot;             // snapshot file written for this frame, "" if none
    std::string clip;                 // the clip this frame's event is written to, "" if none
};

// Offset of local time from UTC, in seconds, at a moment; the seam tests replace.
using UtcOffset = int (*)(int64_t wallMs);
int LocalUtcOffset(int64_t wallMs);  // the system's time zone
// 2026-12-08T23:20:05.123+01:00
std::string FormatTime(int64_t wallMs, UtcOffset offset = LocalUtcOffset);

enum class Type { kStart, kEnd, kLost, kBack };
const char* TypeName(Type type);

struct Event {
    Type type = Type::kStart;
    std::string id;  // "<camera>-<start in ms since the epoch>"
    int camera = 0;
    int64_t startMs = 0;  // wall time; for lost/back the moment itself
    int64_t endMs = 0;    // end records only
    // Motion events (start, end):
    int64_t frames = 0;
    std::optional<std::string> firstSnapshot, lastSnapshot;
    int32_t maxRegions = 0;
    std::optional<Region> largest;
    std::optional<double> direction;  // circular mean, [0, 360)
    std::optional<std::string> clip;
    // Lost records:
    std::string reason;

    std::string ToJson(UtcOffset offset = LocalUtcOffset) const;
};

// Everything the outlets need; OptionsFromConfig reads it from config.cfg.
struct Options {
    int cameraCount = 0;      // cameras 0 .. cameraCount-1 are in use
    std::vector<int> served;  // the cameras that get a worker; empty: all of 0 .. cameraCount-1
    int gapSeconds = 10;      // EVENTGAP
    std::string eventFile;    // OUTEVENTS=ON: <PATHLOG>events.jsonl; "" = off
    // ONEVENTSTART, ONEVENTEND, ONCAMERALOST, ONCAMERABACK; "" = none.
    std::string onStart, onEnd, onLost, onBack;
    int hookTimeoutSeconds = 30;         // HOOKTIMEOUT
    std::string mqttHost;                // MQTTHOST; "" = off
    int mqttPort = 1883;                 // MQTTPORT
    std::string mqttTopic = "camwatch";  // MQTTTOPIC
    std::string mqttUser, mqttPassword;  // MQTTUSER, MQTTPASSWORD
    bool mqttDiscovery = false;          // MQTTDISCOVERY
    UtcOffset utcOffset = LocalUtcOffset;
    size_t queueCapacity = 1024;   // records waiting for the dispatcher
    size_t historyCapacity = 512;  // records kept for Since()
};
Options OptionsFromConfig(int cameraCount);

// Process-wide dispatcher: a bounded queue and one thread that fans records out to the
// outlets. Publish, Since and the counters may be called from any thread.
class Bus {
  public:
    explicit Bus(const Options& options);  // starts the outlets and the dispatcher
    ~Bus();                                // Stop(now + 2 s) unless stopped
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Never blocks: when the queue is full the oldest waiting record is dropped and counted.
    void Publish(Event event);
    // Delivers what is queued until the deadline, then stops the outlets (each waits at most
    // 2 s, and not past the deadline, for hooks and the broker). Idempotent.
    void Stop(std::chrono::steady_clock::time_point deadline);

    // Records delivered after the last one whose id is `id`, oldest first; with an empty id,
    // or one that is no longer kept, every record kept.
    std::vector<Event> Since(const std::string& id) const;
    uint64_t Published(int camera) const;  // records accepted by Publish for the camera
    uint64_t Started(int camera) const;    // of those, the starts: motion events
    uint64_t Dropped() const;              // records dropped from the full queue
    int gapSeconds() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Null when no outlet is switched on: then nothing at all runs (no thread, no file).
std::unique_ptr<Bus> StartEvents(const Options& options);
// Reads OUTEVENTS, PATHLOG, EVENTGAP, ONEVENTSTART, ONEVENTEND, ONCAMERALOST, ONCAMERABACK,
// HOOKTIMEOUT, MQTTHOST, MQTTPORT, MQTTTOPIC, MQTTUSER, MQTTPASSWORD, MQTTDISCOVERY.
std::unique_ptr<Bus> StartEventsFromConfig(int cameraCount);

// How the clip an event names came out; asked before the event's end record goes out.
enum class ClipState { kPending, kWritten, kFailed };
using ClipCheck = std::function<ClipState(const std::string& clip)>;

// One per camera, used only by that camera's worker thread. OnFrame takes no lock and
// allocates nothing except when an event starts or ends.
class CameraEvents {
  public:
    CameraEvents(int camera, Bus& bus, int gapSeconds, bool snapshotsOn);
    void OnFrame(const FrameFacts& facts);  // may publish start / end
    // The camera stopped delivering frames: an open event ends here, then `lost`.
    void OnLost(const std::string& reason, int64_t wallMs);
    void OnBack(int64_t wallMs);
    // At the worker's end: an open event gets its end.
    void Finish(int64_t steadyMs, int64_t wallMs);
    bool open() const { return open_; }
    // With clips on: an end record that names a clip waits (at most until the next record)
    // until the clip is finished, and names no clip (null) when it failed.
    void SetClipCheck(ClipCheck check) { clipCheck_ = std::move(check); }

  private:
    void Begin(const FrameFacts& facts);
    void Add(const FrameFacts& facts);
    void End(int64_t wallMs);
    void SettleEnd(bool now);  // publishes a waiting end once its clip is settled (or now)

    int camera_;
    Bus& bus_;
    int64_t gapMs_;
    bool snapshotsOn_;
    bool open_ = false;
    int64_t lastMotionMs_ = 0;
    double sumSin_ = 0, sumCos_ = 0;
    int64_t largestArea_ = -1;
    Event event_;
    ClipCheck clipCheck_;
    std::optional<Event> pendingEnd_;
};

}  // namespace events
