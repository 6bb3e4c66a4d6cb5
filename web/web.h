// The embedded web server: a live page, MJPEG streams, still frames, JSON status, events,
// Prometheus metrics and a health check. The app feeds it through two narrow seams: a
// Provider it implements (status and events, asked for on server threads) and a FrameHub its
// camera workers hand frames to. Nothing here knows about workers, cameras or events.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/base.h"

namespace web {


struct Options {  // from config.cfg and the command line
    std::string bind = "127.0.0.1";
    int port = 0;       // 0: the app leaves the server off (Start picks a free port)
    std::string token;  // empty: no authentication
    int fps = 5;        // at most this many live frames per second per camera
    int width = 800;    // live frames are scaled down to at most this width
    int clients = 16;   // concurrent MJPEG streams; further ones get 503
    // Open connections from one client address; further ones get 503. 0: clients + 16.
    int peerConnections = 0;
    // Seconds a client has, from connecting or from the end of the last answer, to send a
    // request's headers; a slower one is cut off.
    int headerSeconds = 5;
};

// Parses "[ADDR:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080") into opts.bind / opts.port;
// false (opts unchanged) when malformed or the port is not 1..65535.
bool ParseWebAddress(const std::string& text, Options& opts);

struct CameraStatus {  // one camera slot in use, as the app sees it now
    int index = 0;
    std::string source;  // already credential-masked by the app
    std::string state;   // "running", "lost", "ended"
    uint64_t frames = 0, motion_frames = 0, snapshots = 0, video_frames = 0;
    uint64_t output_errors = 0, reconnects = 0, events = 0;
    // Frames received from the camera, decoded, dropped on the way, written into clips.
    uint64_t received = 0, decoded = 0, dropped = 0, clip_frames = 0;
    double worker_cpu_s = 0, reader_cpu_s = 0;  // CPU time of its threads
    uint64_t clip_frames_dropped = 0;       // frames the clip encoder's full queue turned away
    bool clips = false;                     // OUTCLIP is on: the figure above is shown
    double fps = 0;                         // recent frames per second
    std::optional<int64_t> last_motion_ms;  // ms since the epoch
    // Per-bucket (not cumulative) counts: bucket i holds the observations in
    // (bound i-1, bound i]; observations above the last bound count only in _count and _sum.
    std::array<uint64_t, base::kFrameSecondsBounds.size()> frame_seconds_buckets{};
    uint64_t frame_seconds_count = 0;
    double frame_seconds_sum = 0;
};

// The event history behind the review view; implemented by the app, called on server
// threads, concurrently. JSON comes back ready to send.
class History {
  public:
    virtual ~History() = default;
    struct Page {
        int camera = -1;  // -1: every camera
        int64_t fromMs = INT64_MIN, toMs = INT64_MAX;
        bool keptOnly = false;
        int64_t beforeStart = INT64_MAX, beforeId = INT64_MAX;  // keyset, newest first
        int limit = 50;                                         // 1..200
    };
    // {"events":[...],"next":"<start>.<id>"|null}
    virtual std::string List(const Page& page) = 0;
    virtual std::optional<std::string> Event(int64_t id) = 0;  // nullopt: no such event
    // {"events":[[id,camera,start_ms,end_ms|null],...]} for events starting in [from, to).
    virtual std::string Timeline(int camera, int64_t fromMs, int64_t toMs) = 0;
    enum class Media { kThumb, kClip, kSnapshot };
    // The file the history names for this event (never one taken from a request); "" none.
    virtual std::string File(int64_t id, Media media, int index) = 0;
    virtual bool Keep(int64_t id, bool keep) = 0;  // false: no such event
    virtual bool Delete(int64_t id) = 0;           // the event and its files
};

class Provider {  // implemented by the app; called on server threads, concurrently
  public:
    virtual ~Provider() = default;
    virtual std::vector<CameraStatus> Cameras() = 0;
    // A JSON array of the events after the one with this id ("" = the recent ones); each
    // event should be an object with an "id" the page passes back as since.
    virtual std::string EventsSince(const std::string& id) = 0;
    virtual bool Healthy() = 0;
    // The event history; null when there is none (then its routes answer 404).
    virtual History* EventHistory() { return nullptr; }
};

// Live frames. Camera workers hand frames in; the server's encoder thread scales and
// encodes them, once per camera per due frame, for every client to share.
class FrameHub {
  public:
    FrameHub();
    ~FrameHub();
    FrameHub(const FrameHub&) = delete;
    FrameHub& operator=(const FrameHub&) = delete;

    // Cheap (atomics only), for camera N's worker on every frame: true when someone watches
    // camera N and a frame is due (at most Options::fps a second). The worker then draws
    // the overlay on this frame and calls Offer.
    bool Due(int camera, int64_t steadyMs) const;
    // Someone watches camera N: the worker should draw the overlay.
    bool Watched(int camera) const;
    // annotated: the frame with the overlay; clean: without. The hub keeps both references
    // (the worker must not reuse their buffers afterwards). Never blocks: a frame the
    // encoder has not taken yet is replaced and counted in Dropped.
    void Offer(int camera, cv::Mat annotated, cv::Mat clean, int64_t steadyMs);
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    friend class Server;
    struct Impl;  // web/hub.h
    std::unique_ptr<Impl> impl_;
    std::atomic<uint64_t> dropped_{0};
};

class Server {
  public:
    Server();
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts listening on opts.bind:opts.port (port 0: any free port). false, with one
    // stderr line, when the address cannot be bound. The process must ignore SIGPIPE (the
    // app does). provider and hub must outlive Stop().
    bool Start(const Options& opts, Provider& provider, FrameHub& hub, const std::string& version);
    // Ends the streams, closes every connection and the listener; returns within about 1 s.
    void Stop();
    int Port() const;  // the port listened on; 0 when not running

  private:
    struct Impl;  // web/server.cpp
    std::unique_ptr<Impl> impl_;
};

}  // namespace web
