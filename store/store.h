// The event history: one SQLite row per motion event, kept across runs, with a thumbnail of
// the event's most telling frame. Records and thumbnails come in through a bounded queue that
// one writer thread empties (nothing that feeds it ever waits); queries run on the caller's
// thread beside it (WAL). The app feeds it from the event bus and the camera workers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>
#include <vector>

#include "events/events.h"

namespace store {

struct Options {
    std::string path;        // the database file; "" = off
    int days = 0;            // EVENTDAYS: rows older than this many days go (0 keeps all)
    std::string importFile;  // events.jsonl whose end records a brand-new store takes in
    bool reconcile = true;   // at start, rows and files are matched up (see Open)
    size_t queueCapacity = 1024;
    int thumbWidth = 320;
    // Where the one-line messages go (the app passes ReportError); null: stderr.
    std::function<void(const std::string&)> report;
};

struct Record {
    int64_t id = 0;
    int camera = 0;
    int64_t startMs = 0;
    int64_t endMs = 0;  // 0 while the event goes on
    int64_t frames = 0;
    int32_t maxRegions = 0;
    std::optional<events::Region> largest;
    std::optional<double> direction;
    std::string firstSnapshot, lastSnapshot, clip;  // "" = none
    int64_t clipOffsetMs = -1;                      // the event's start inside its clip
    bool keep = false;
};

struct Query {
    int camera = -1;                               // -1: every camera
    int64_t fromMs = INT64_MIN, toMs = INT64_MAX;  // start in [from, to)
    bool keptOnly = false;
    // Keyset: only rows before (start, id), newest first.
    int64_t beforeStart = INT64_MAX, beforeId = INT64_MAX;
    int limit = 50;
};

enum class Media { kThumb, kClip, kSnapshot };

class Store {
  public:
    // Opens (or creates) the store and starts its writer. A corrupt file is moved aside as
    // <file>.corrupt-YYYYMMDD-HHMMSS and a fresh one started; an unwritable or locked one
    // gives null. Either way one line is reported.
    static std::unique_ptr<Store> Open(const Options& options);
    ~Store();  // Stop()
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Never block: a full queue drops the new item and counts it.
    void Add(const events::Event& event);
    // A frame of an open event whose largest region grew: picture already small, box drawn.
    void Thumbnail(int camera, int64_t startMs, cv::Mat picture);
    // Writes what is queued and stops the writer. Idempotent.
    void Stop();

    std::vector<Record> List(const Query& query) const;
    std::optional<Record> Get(int64_t id) const;
    // The events starting in [fromMs, toMs), oldest first (id, camera, start, end only).
    std::vector<Record> Span(int camera, int64_t fromMs, int64_t toMs) const;
    bool SetKeep(int64_t id, bool keep);
    bool Delete(int64_t id);  // the row, its thumbnail, clip and snapshots
    // A file the store names for the event; "" when there is none.
    std::string File(int64_t id, Media media, int index = 0) const;
    int Snapshots(const Record& record) const;  // how many snapshot numbers the event spans
    // Clip retention: whether a kept event names this clip; forgetting a deleted clip.
    bool ClipKept(const std::string& clip) const;
    void ClipDeleted(const std::string& clip);
    // Drops old rows and their thumbnails now (the writer also does it hourly).
    int ApplyRetention(int64_t nowMs);

    uint64_t Dropped() const;
    std::string ThumbPath(int camera, int64_t startMs) const;

    struct Impl;

  private:
    explicit Store(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// JSON of a row as the API gives it.
std::string ToJson(const Record& record, int snapshots);

// "2026-12-08T23:20:05.123+01:00" (the event records' form) as ms since the epoch.
std::optional<int64_t> ParseTime(const std::string& text);

}  // namespace store
