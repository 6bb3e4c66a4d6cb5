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

#include "episodes/episodes.h"

namespace events {

struct Region {
    int x = 0, y = 0, w = 0, h = 0;
};

// What the tracks say (MINTRAVEL / MINDURATION set): of one frame, or summed over an event.
struct TrackFacts {
    int tracks = 0;            // tracks that passed the gate (in this frame: for the first time)
    double travelPercent = 0;  // the longest net travel, percent of the frame diagonal
    std::optional<double> direction;  // that track's direction in degrees
};

// A label an event got (LABELS set): its best sighting.
struct LabelFacts {
    std::string label;
    double score = 0;
    Region box;
    std::string snapshot;  // the snapshot of the frame it was seen on, "" if none
};

// What the frame loop knows after one frame.
struct FrameFacts {
    int64_t steadyMs = 0;                         // monotonic milliseconds
    int64_t wallMs = 0;                           // milliseconds since the epoch
    int32_t count = 0;                            // moving regions counted in this frame
    bool held = false;                            // the frame is inside the motion hold
    episodes::Step step = episodes::Step::kNone;  // what the frame did to the camera's episode
    std::optional<Region> largest;                // largest counted region of this frame
    std::optional<double> direction;              // its direction in degrees, when measured
    std::string snapshot;              // snapshot file written for this frame, "" if none
    std::string clip;                  // the clip this frame's event is written to, "" if none
    int64_t clipOffsetMs = -1;         // where that event starts inside its clip, -1 unknown
    std::optional<TrackFacts> tracks;  // with the track gate on
    std::vector<LabelFacts> labels;    // labels confirmed since the last frame
    std::string segment;               // RECORD=continuous: the segment holding this frame
    double segmentOffset = 0;          // and the frame's seconds from that segment's start
};

// Offset of local time from UTC, in seconds, at a moment; the seam tests replace.
using UtcOffset = int (*)(int64_t wallMs);
int LocalUtcOffset(int64_t wallMs);  // the system's time zone
// 2026-12-08T23:20:05.123+01:00
std::string FormatTime(int64_t wallMs, UtcOffset offset = LocalUtcOffset);

// kLabel: an open event got a new label (LABELS set); hooks run nothing for it.
enum class Type { kStart, kEnd, kLost, kBack, kLabel };
// Who gets a record: everyone; only the outlets that record (file, history), or only those
// that alert (hooks, MQTT's events topic). ALERTLABELS keeps unlabelled events from alerting.
enum class Audience { kAll, kRecord, kAlert };
const char* TypeName(Type type);

struct Event {
    Type type = Type::kStart;
    std::string id;  // "<camera>-<start in ms since the epoch>"
    int camera = 0;
    int64_t startMs = 0;  // wall time; for lost/back the moment itself
    int64_t endMs = 0;    // end records only
    int64_t labelMs = 0;  // label records only: when the label was told
    // Motion events (start, end):
    int64_t frames = 0;
    std::optional<std::string> firstSnapshot, lastSnapshot;
    int32_t maxRegions = 0;
    std::optional<Region> largest;
    std::optional<double> direction;  // circular mean, [0, 360)
    std::optional<std::string> clip;
    int64_t clipOffsetMs = -1;         // the start inside the clip (pre-capture); not in the JSON
    std::optional<TrackFacts> tracks;  // with the track gate on: "tracks", "travel", ...
    std::optional<std::vector<LabelFacts>> labels;  // with LABELS set, one per label
    Audience audience = Audience::kAll;             // not part of the record
    // RECORD=continuous: where the event begins in the recording ("recording": file, offset).
    std::optional<std::string> segment;
    double segmentOffset = 0;
    // Lost records:
    std::string reason;
    // Back records: when the camera was lost (the gap runs from here to startMs); 0 unknown.
    int64_t lostAtMs = 0;

    std::string ToJson(UtcOffset offset = LocalUtcOffset) const;
};

// Everything the outlets need (options::Events reads it from config.cfg).
struct Options {
    int cameraCount = 0;      // cameras 0 .. cameraCount-1 are in use
    std::vector<int> served;  // the cameras that get a worker; empty: all of 0 .. cameraCount-1
    std::string eventFile;    // OUTEVENTS=ON: <PATHLOG>events.jsonl; "" = off
    // ONEVENTSTART, ONEVENTEND, ONCAMERALOST, ONCAMERABACK; "" = none.
    std::string onStart, onEnd, onLost, onBack;
    int hookTimeoutSeconds = 30;         // HOOKTIMEOUT
    std::string mqttHost;                // MQTTHOST; "" = off
    int mqttPort = 1883;                 // MQTTPORT
    std::string mqttTopic = "camwatch";  // MQTTTOPIC
    std::string mqttUser, mqttPassword;  // MQTTUSER, MQTTPASSWORD
    bool mqttDiscovery = false;          // MQTTDISCOVERY
    bool personLabel = false;            // LABELS=person: camN/person and its discovery
    UtcOffset utcOffset = LocalUtcOffset;
    size_t queueCapacity = 1024;   // records waiting for the dispatcher
    size_t historyCapacity = 512;  // records kept for Since()
};

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

    // One more receiver of every start and end record, called on the dispatcher thread (it
    // must not wait). Attach before the first Publish; the app uses it for the event store.
    void Attach(std::function<void(const Event&)> receiver);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Null when no outlet is switched on: then nothing at all runs (no thread, no file).
std::unique_ptr<Bus> StartEvents(const Options& options);

// How the clip an event names came out; asked before the event's end record goes out.
enum class ClipState { kPending, kWritten, kFailed };
using ClipCheck = std::function<ClipState(const std::string& clip)>;

// One per camera, used only by that camera's worker thread: the records of the camera's
// episodes (facts.step says where they begin and end). OnFrame takes no lock and allocates
// nothing except when an event starts or ends.
class CameraEvents {
  public:
    CameraEvents(int camera, Bus& bus, bool snapshotsOn);
    void OnFrame(const FrameFacts& facts);  // may publish start / end
    // The camera stopped delivering frames: an open event ends here, then `lost`.
    void OnLost(const std::string& reason, int64_t wallMs);
    void OnBack(int64_t wallMs);
    // At the worker's end: an open event gets its end.
    void Finish(int64_t steadyMs, int64_t wallMs);
    bool open() const { return open_; }
    // The open event's start and the area of its largest region so far (-1: none).
    int64_t openStartMs() const { return event_.startMs; }
    int64_t largestArea() const { return largestArea_; }
    // LABELS set: records carry "labels"; with alert labels given (ALERTLABELS), hooks and
    // MQTT's events topic hear of an event only once it has one of them.
    void UseLabels(std::vector<std::string> alert);
    // With clips on: an end record that names a clip waits (at most until the next record)
    // until the clip is finished, and names no clip (null) when it failed.
    void SetClipCheck(ClipCheck check) { clipCheck_ = std::move(check); }

  private:
    void Begin(const FrameFacts& facts);
    void Add(const FrameFacts& facts);
    void End(int64_t wallMs);
    void AddLabels(const std::vector<LabelFacts>& labels, int64_t wallMs);
    void SettleEnd(bool now);  // publishes a waiting end once its clip is settled (or now)
    Event LinkRecord(Type type, int64_t wallMs) const;  // a lost or back record

    int camera_;
    Bus& bus_;
    bool snapshotsOn_;
    bool open_ = false;
    double sumSin_ = 0, sumCos_ = 0;
    int64_t largestArea_ = -1;
    int64_t lostAtMs_ = 0;  // the loss a `back` ends; 0 while the camera is up
    Event event_;
    bool labelsOn_ = false;
    std::vector<LabelFacts> waiting_;  // confirmed just before the event began
    int64_t waitingMs_ = 0;
    std::vector<std::string> alert_;
    bool alerted_ = false;
    ClipCheck clipCheck_;
    std::optional<Event> pendingEnd_;
};

}  // namespace events
