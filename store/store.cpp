// The event store: schema, the writer thread and its queue, start-up checks, queries.
#include "store/store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <variant>

#include "diag/diag.h"
#include "recording/recording.h"
#include "store/files.h"

namespace store {

namespace {

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS events("
    " id INTEGER PRIMARY KEY, camera INTEGER NOT NULL, start INTEGER NOT NULL, end INTEGER,"
    " frames INTEGER, regions INTEGER, bx INTEGER, by INTEGER, bw INTEGER, bh INTEGER,"
    " dir REAL, snap1 TEXT, snap2 TEXT, clip TEXT, clip_off INTEGER, keep INTEGER NOT NULL"
    " DEFAULT 0);"
    "CREATE UNIQUE INDEX IF NOT EXISTS events_camera_start ON events(camera, start);"
    "CREATE INDEX IF NOT EXISTS events_start ON events(start);"
    // Kept events are few: their own small index keeps "kept only" from reading every row.
    "CREATE INDEX IF NOT EXISTS events_kept ON events(start) WHERE keep = 1;";

constexpr char kColumns[] =
    "id, camera, start, end, frames, regions, bx, by, bw, bh, dir, snap1, snap2, clip, clip_off, "
    "keep";

constexpr auto kRetentionEvery = std::chrono::hours(1);

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;

struct StmtFinalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

// A prepared statement; throws on a failed prepare.
class Stmt {
  public:
    Stmt(sqlite3* db, const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sqlite3_errmsg(db));
        }
        stmt_.reset(s);
    }
    Stmt& Bind(int i, int64_t v) {
        sqlite3_bind_int64(stmt_.get(), i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::string& v) {
        if (v.empty()) {
            sqlite3_bind_null(stmt_.get(), i);
        } else {
            sqlite3_bind_text(stmt_.get(), i, v.data(), static_cast<int>(v.size()),
                              SQLITE_TRANSIENT);
        }
        return *this;
    }
    Stmt& BindNull(int i) {
        sqlite3_bind_null(stmt_.get(), i);
        return *this;
    }
    Stmt& Bind(int i, double v) {
        sqlite3_bind_double(stmt_.get(), i, v);
        return *this;
    }
    // SQLITE_ROW: a row; SQLITE_DONE: none left; throws on errors.
    bool Step() {
        const int rc = sqlite3_step(stmt_.get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(stmt_.get())));
    }
    void Run() {
        while (Step()) {
        }
    }
    // Ready to run again with new bindings.
    void Reset() {
        sqlite3_reset(stmt_.get());
        sqlite3_clear_bindings(stmt_.get());
    }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt_.get(), col); }
    bool Null(int col) const { return sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL; }
    double Real(int col) const { return sqlite3_column_double(stmt_.get(), col); }
    std::string Text(int col) const {
        const auto* t = sqlite3_column_text(stmt_.get(), col);
        return t ? std::string(reinterpret_cast<const char*>(t),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), col)))
                 : std::string();
    }

  private:
    std::unique_ptr<sqlite3_stmt, StmtFinalize> stmt_;
};

void Exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

Record ReadRow(const Stmt& s) {
    Record r;
    r.id = s.Int(0);
    r.camera = static_cast<int>(s.Int(1));
    r.startMs = s.Int(2);
    r.endMs = s.Null(3) ? 0 : s.Int(3);
    r.frames = s.Int(4);
    r.maxRegions = static_cast<int32_t>(s.Int(5));
    if (!s.Null(6)) {
        r.largest = events::Region{static_cast<int>(s.Int(6)), static_cast<int>(s.Int(7)),
                                   static_cast<int>(s.Int(8)), static_cast<int>(s.Int(9))};
    }
    if (!s.Null(10)) r.direction = s.Real(10);
    r.firstSnapshot = s.Text(11);
    r.lastSnapshot = s.Text(12);
    r.clip = s.Text(13);
    r.clipOffsetMs = s.Null(14) ? -1 : s.Int(14);
    r.keep = s.Int(15) != 0;
    return r;
}

// Opens and sets up a connection; the SQLite result code of the first failure, with its
// message, else SQLITE_OK.
int Connect(const std::string& path, Db& db, std::string& error) {
    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK) {
        error = raw ? sqlite3_errmsg(raw) : "out of memory";
        return rc;
    }
    sqlite3_extended_result_codes(raw, 0);
    sqlite3_busy_timeout(raw, 1000);
    for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", kSchema,
                            "SELECT count(*) FROM events WHERE id = 0"}) {
        char* message = nullptr;
        rc = sqlite3_exec(raw, sql, nullptr, nullptr, &message);
        if (rc != SQLITE_OK) {
            error = message ? message : sqlite3_errmsg(raw);
            sqlite3_free(message);
            return rc;
        }
    }
    return SQLITE_OK;
}

std::string Dated(int64_t ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm t{};
    localtime_r(&seconds, &t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

bool Exists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Snapshot numbers are reused (the lowest free one is taken), so the numbers between an
// event's first and last snapshot may also hold other events' pictures: a file counts as the
// event's only when it was written while the event lasted.
bool TakenDuring(const std::string& path, const Record& r) {
    constexpr int64_t kSlackMs = 2000;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    const int64_t at = int64_t{st.st_mtim.tv_sec} * 1000 + st.st_mtim.tv_nsec / 1000000;
    const int64_t end = r.endMs ? r.endMs : NowMs();
    return at >= r.startMs - kSlackMs && at <= end + kSlackMs;
}

}  // namespace

struct Thumb {
    int camera;
    int64_t startMs;
    cv::Mat picture;
};
using Item = std::variant<events::Event, Thumb>;

struct Store::Impl {
    Options options;
    std::string thumbs;  // folder, ends in '/'
    bool fresh = false;  // the file was created by this start
    Db writer;
    mutable std::mutex readMutex;  // reader
    Db reader;

    std::mutex mutex;  // queue, stopping
    std::condition_variable wake;
    std::deque<Item> queue;
    bool stopping = false;
    std::atomic<uint64_t> dropped{0};
    std::thread thread;
    bool stopped = false;
    std::mutex stopMutex;
    bool failing_ = false;  // writer thread only

    void Say(const std::string& text) const {
        if (options.report) {
            options.report(text);
        } else {
            diag::Line(text);
        }
    }
    void Push(Item item) {
        {
            std::lock_guard lock(mutex);
            if (stopping || queue.size() >= options.queueCapacity) {
                dropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            // A newer thumbnail of the same event replaces one still waiting.
            if (auto* t = std::get_if<Thumb>(&item)) {
                for (Item& waiting : queue) {
                    auto* w = std::get_if<Thumb>(&waiting);
                    if (w && w->camera == t->camera && w->startMs == t->startMs) {
                        *w = std::move(*t);
                        return;
                    }
                }
            }
            queue.push_back(std::move(item));
        }
        wake.notify_one();
    }

    void Run() noexcept;
    void StartUp();
    void Write(std::deque<Item>& items);
    void Upsert(const events::Event& e);
    void WriteThumb(Thumb& t);
    void Import();
    void Reconcile();
    int Retain(sqlite3* db, int64_t nowMs);
    void DeleteFiles(const Record& r, bool withClip) const;
};

std::string Store::ThumbPath(int camera, int64_t startMs) const {
    return impl_->thumbs + std::to_string(camera) + "-" + std::to_string(startMs) + ".jpg";
}

void Store::Impl::Upsert(const events::Event& e) {
    if (e.type != events::Type::kStart && e.type != events::Type::kEnd) return;
    Stmt s(writer.get(),
           "INSERT INTO events(camera, start, end, frames, regions, bx, by, bw, bh, dir, snap1, "
           "snap2, clip, clip_off) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14) "
           "ON CONFLICT(camera, start) DO UPDATE SET end=excluded.end, frames=excluded.frames, "
           "regions=excluded.regions, bx=excluded.bx, by=excluded.by, bw=excluded.bw, "
           "bh=excluded.bh, dir=excluded.dir, snap1=excluded.snap1, snap2=excluded.snap2, "
           "clip=excluded.clip, clip_off=excluded.clip_off");
    s.Bind(1, int64_t{e.camera}).Bind(2, e.startMs);
    if (e.type == events::Type::kEnd) {
        s.Bind(3, e.endMs);
    } else {
        s.BindNull(3);
    }
    s.Bind(4, e.frames).Bind(5, int64_t{e.maxRegions});
    if (e.largest) {
        s.Bind(6, int64_t{e.largest->x}).Bind(7, int64_t{e.largest->y});
        s.Bind(8, int64_t{e.largest->w}).Bind(9, int64_t{e.largest->h});
    }
    if (e.direction) s.Bind(10, *e.direction);
    s.Bind(11, e.firstSnapshot.value_or("")).Bind(12, e.lastSnapshot.value_or(""));
    s.Bind(13, e.clip.value_or(""));
    if (e.clip && e.clipOffsetMs >= 0) s.Bind(14, e.clipOffsetMs);
    s.Run();
}

void Store::Impl::WriteThumb(Thumb& t) {
    const std::string name = std::to_string(t.camera) + "-" + std::to_string(t.startMs);
    const std::string part = thumbs + name + ".part.jpg", path = thumbs + name + ".jpg";
    // As cv::imwrite writes it; a colour picture without OpenCV's image libraries.
    if (recording::SaveSnapshot(part, t.picture) && std::rename(part.c_str(), path.c_str()) == 0)
        return;
    std::remove(part.c_str());
}

void Store::Impl::Write(std::deque<Item>& items) {
    bool began = false;
    try {
        for (Item& item : items) {
            if (auto* e = std::get_if<events::Event>(&item)) {
                if (!began) Exec(writer.get(), "BEGIN");
                began = true;
                Upsert(*e);
            } else {
                WriteThumb(std::get<Thumb>(item));
            }
        }
        if (began) Exec(writer.get(), "COMMIT");
        failing_ = false;
    } catch (const std::exception& ex) {
        if (began) sqlite3_exec(writer.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        dropped.fetch_add(items.size(), std::memory_order_relaxed);
        if (!failing_) Say(std::string("event store: cannot write: ") + ex.what());
        failing_ = true;
    }
}

void Store::Impl::Run() noexcept {
    try {
        StartUp();
    } catch (const std::exception& e) {
        Say(std::string("event store: start-up check failed: ") + e.what());
    }
    auto nextRetention = std::chrono::steady_clock::now() + kRetentionEvery;
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait_until(lock, nextRetention, [&] { return stopping || !queue.empty(); });
        std::deque<Item> items;
        items.swap(queue);
        const bool last = stopping;
        lock.unlock();
        try {
            if (!items.empty()) Write(items);
            if (std::chrono::steady_clock::now() >= nextRetention) {
                nextRetention = std::chrono::steady_clock::now() + kRetentionEvery;
                Retain(writer.get(), NowMs());
            }
        } catch (...) {
        }
        lock.lock();
        if (last && queue.empty()) break;
    }
}

void Store::Impl::StartUp() {
    if (fresh && !options.importFile.empty() && Exists(options.importFile)) Import();
    if (options.reconcile) Reconcile();
    Retain(writer.get(), NowMs());
}

void Store::Impl::Import() {
    std::ifstream in(options.importFile);
    std::string line;
    std::deque<Item> items;
    while (std::getline(in, line)) {
        try {
            const auto j = nlohmann::json::parse(line);
            if (!j.is_object() || j.value("type", "") != "end") continue;
            events::Event e;
            e.type = events::Type::kEnd;
            e.camera = j.at("camera").get<int>();
            auto start = ParseTime(j.at("start").get<std::string>());
            auto end = ParseTime(j.at("end").get<std::string>());
            if (!start || !end) continue;
            e.startMs = *start;
            e.endMs = *end;
            e.frames = j.value("frames", int64_t{0});
            e.maxRegions = j.value("max_regions", 0);
            if (j.contains("largest") && j["largest"].is_object()) {
                const auto& b = j["largest"];
                e.largest = events::Region{b.value("x", 0), b.value("y", 0), b.value("w", 0),
                                           b.value("h", 0)};
            }
            if (j.contains("direction") && j["direction"].is_number())
                e.direction = j["direction"].get<double>();
            auto text = [&](const char* key) -> std::optional<std::string> {
                if (j.contains(key) && j[key].is_string()) return j[key].get<std::string>();
                return std::nullopt;
            };
            e.firstSnapshot = text("first_snapshot");
            e.lastSnapshot = text("last_snapshot");
            e.clip = text("clip");
            items.push_back(std::move(e));
        } catch (...) {
            // A torn or foreign line: skipped.
        }
    }
    if (items.empty()) return;
    const size_t count = items.size();
    Write(items);
    Say("event store: imported " + std::to_string(count) + (count == 1 ? " event" : " events") +
        " from " + options.importFile);
}

void Store::Impl::Reconcile() {
    // Files gone from under rows: the row forgets them; a row left with no file at all goes.
    int forgotten = 0, rows = 0, strays = 0;
    std::vector<std::pair<int64_t, int>> changes;  // id, what: 1 clip gone, 2 snapshots gone
    {
        Stmt s(writer.get(), "SELECT id, camera, start, snap1, clip FROM events");
        while (s.Step()) {
            const bool hadSnap = !s.Null(3), hadClip = !s.Null(4);
            const bool snapGone = hadSnap && !Exists(s.Text(3));
            const bool clipGone = hadClip && !Exists(s.Text(4));
            if (!snapGone && !clipGone) continue;
            const std::string thumb =
                std::to_string(s.Int(1)) + "-" + std::to_string(s.Int(2)) + ".jpg";
            const bool nothingLeft =
                (!hadSnap || snapGone) && (!hadClip || clipGone) && !Exists(thumbs + thumb);
            changes.emplace_back(s.Int(0),
                                 nothingLeft ? 0 : (clipGone ? 1 : 0) | (snapGone ? 2 : 0));
        }
    }
    if (!changes.empty()) {
        Exec(writer.get(), "BEGIN");
        for (const auto& [id, what] : changes) {
            if (what == 0) {
                Stmt(writer.get(), "DELETE FROM events WHERE id=?1").Bind(1, id).Run();
                ++rows;
                continue;
            }
            if (what & 1)
                Stmt(writer.get(), "UPDATE events SET clip=NULL, clip_off=NULL WHERE id=?1")
                    .Bind(1, id)
                    .Run();
            if (what & 2)
                Stmt(writer.get(), "UPDATE events SET snap1=NULL, snap2=NULL WHERE id=?1")
                    .Bind(1, id)
                    .Run();
            ++forgotten;
        }
        Exec(writer.get(), "COMMIT");
    }
    // Thumbnails no row names (a row that went while the program was down, a write cut
    // short): each is looked up by its name, so that memory stays flat at a million rows.
    Stmt named(writer.get(), "SELECT 1 FROM events WHERE camera=?1 AND start=?2");
    for (const std::string& name : ListFolder(thumbs)) {
        if (!IsThumbName(name)) continue;
        if (!name.ends_with(".part.jpg")) {
            const size_t dash = name.find('-');
            int64_t camera = -1, start = -1;
            std::from_chars(name.data(), name.data() + dash, camera);
            std::from_chars(name.data() + dash + 1, name.data() + name.size() - 4, start);
            named.Reset();
            if (named.Bind(1, camera).Bind(2, start).Step()) continue;
        }
        if (std::remove((thumbs + name).c_str()) == 0) ++strays;
    }
    if (forgotten || rows || strays) {
        Say("event store: reconciled: " + std::to_string(rows) + " events without files removed, " +
            std::to_string(forgotten) + " events lost files, " + std::to_string(strays) +
            " stray thumbnails deleted");
    }
}

int Store::Impl::Retain(sqlite3* db, int64_t nowMs) {
    if (options.days <= 0) return 0;
    const int64_t cutoff = nowMs - int64_t{options.days} * 86400 * 1000;
    std::vector<std::pair<int, int64_t>> gone;
    {
        Stmt s(db, "SELECT camera, start FROM events WHERE start < ?1 AND keep = 0");
        s.Bind(1, cutoff);
        while (s.Step()) gone.emplace_back(static_cast<int>(s.Int(0)), s.Int(1));
    }
    if (gone.empty()) return 0;
    Stmt(db, "DELETE FROM events WHERE start < ?1 AND keep = 0").Bind(1, cutoff).Run();
    for (const auto& [camera, start] : gone) {
        std::remove(
            (thumbs + std::to_string(camera) + "-" + std::to_string(start) + ".jpg").c_str());
    }
    return static_cast<int>(gone.size());
}

void Store::Impl::DeleteFiles(const Record& r, bool withClip) const {
    std::remove(
        (thumbs + std::to_string(r.camera) + "-" + std::to_string(r.startMs) + ".jpg").c_str());
    if (withClip && !r.clip.empty()) std::remove(r.clip.c_str());
    const auto first = SnapshotNumber(r.firstSnapshot), last = SnapshotNumber(r.lastSnapshot);
    if (first && last && *last >= *first && *last - *first < 100000) {
        for (int64_t k = *first; k <= *last; ++k) {
            const std::string name = SnapshotName(r.firstSnapshot, k);
            if (TakenDuring(name, r)) std::remove(name.c_str());
        }
    }
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Store::~Store() {
    Stop();
}

std::unique_ptr<Store> Store::Open(const Options& options) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    if (impl->options.queueCapacity == 0) impl->options.queueCapacity = 1;
    const size_t slash = options.path.rfind('/');
    impl->thumbs =
        (slash == std::string::npos ? std::string() : options.path.substr(0, slash + 1)) +
        "thumbs/";
    impl->fresh = !Exists(options.path);
    std::string error;
    int rc = Connect(options.path, impl->writer, error);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
        impl->writer.reset();
        const std::string aside = options.path + ".corrupt-" + Dated(NowMs());
        if (std::rename(options.path.c_str(), aside.c_str()) != 0) {
            impl->Say("event store " + options.path +
                      " is corrupt and cannot be moved aside; "
                      "the event history is off");
            return nullptr;
        }
        for (const char* tail : {"-wal", "-shm"}) {
            std::rename((options.path + tail).c_str(), (aside + tail).c_str());
        }
        impl->Say("event store " + options.path + " was corrupt (" + error + "); moved to " +
                  aside + ", starting a fresh one");
        impl->fresh = true;
        rc = Connect(options.path, impl->writer, error);
    }
    if (rc == SQLITE_OK) rc = Connect(options.path, impl->reader, error);
    if (rc != SQLITE_OK) {
        impl->Say("event store " + options.path + " cannot be used (" + error +
                  "); the event history is off");
        return nullptr;
    }
    sqlite3_busy_timeout(impl->reader.get(), 2000);
    ::mkdir(impl->thumbs.c_str(), 0755);
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->Run(); });
    return std::unique_ptr<Store>(new Store(std::move(impl)));
}

void Store::Add(const events::Event& event) {
    if (event.type != events::Type::kStart && event.type != events::Type::kEnd) return;
    impl_->Push(event);
}

void Store::Thumbnail(int camera, int64_t startMs, cv::Mat picture) {
    impl_->Push(Thumb{camera, startMs, std::move(picture)});
}

void Store::Stop() {
    std::lock_guard stopLock(impl_->stopMutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_one();
    if (impl_->thread.joinable()) impl_->thread.join();
}

uint64_t Store::Dropped() const {
    return impl_->dropped.load(std::memory_order_relaxed);
}

std::vector<Record> Store::List(const Query& q) const {
    std::string sql = std::string("SELECT ") + kColumns + " FROM events";
    std::string where;
    auto add = [&](const char* cond) {
        where += (where.empty() ? " WHERE " : " AND ") + std::string(cond);
    };
    if (q.camera >= 0) add("camera = ?1");
    if (q.fromMs != INT64_MIN) add("start >= ?2");
    if (q.toMs != INT64_MAX) add("start < ?3");
    if (q.keptOnly) add("keep = 1");
    if (q.beforeStart != INT64_MAX) add("(start, id) < (?4, ?5)");
    sql += where;
    sql += q.camera >= 0 ? " ORDER BY camera DESC, start DESC, id DESC LIMIT ?6"
                         : " ORDER BY start DESC, id DESC LIMIT ?6";
    std::lock_guard lock(impl_->readMutex);
    Stmt s(impl_->reader.get(), sql);
    if (q.camera >= 0) s.Bind(1, int64_t{q.camera});
    if (q.fromMs != INT64_MIN) s.Bind(2, q.fromMs);
    if (q.toMs != INT64_MAX) s.Bind(3, q.toMs);
    if (q.beforeStart != INT64_MAX) s.Bind(4, q.beforeStart).Bind(5, q.beforeId);
    s.Bind(6, int64_t{std::clamp(q.limit, 1, 200)});
    std::vector<Record> out;
    while (s.Step()) out.push_back(ReadRow(s));
    return out;
}

std::optional<Record> Store::Get(int64_t id) const {
    std::lock_guard lock(impl_->readMutex);
    Stmt s(impl_->reader.get(), std::string("SELECT ") + kColumns + " FROM events WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return ReadRow(s);
}

std::vector<Record> Store::Span(int camera, int64_t fromMs, int64_t toMs) const {
    std::string sql = "SELECT id, camera, start, end FROM events WHERE start >= ?2 AND start < ?3";
    if (camera >= 0) sql += " AND camera = ?1";
    sql += " ORDER BY start";
    std::lock_guard lock(impl_->readMutex);
    Stmt s(impl_->reader.get(), sql);
    if (camera >= 0) s.Bind(1, int64_t{camera});
    s.Bind(2, fromMs).Bind(3, toMs);
    std::vector<Record> out;
    while (s.Step()) {
        Record r;
        r.id = s.Int(0);
        r.camera = static_cast<int>(s.Int(1));
        r.startMs = s.Int(2);
        r.endMs = s.Null(3) ? 0 : s.Int(3);
        out.push_back(r);
    }
    return out;
}

bool Store::SetKeep(int64_t id, bool keep) {
    std::lock_guard lock(impl_->readMutex);
    Stmt(impl_->reader.get(), "UPDATE events SET keep = ?2 WHERE id = ?1")
        .Bind(1, id)
        .Bind(2, int64_t{keep})
        .Run();
    return sqlite3_changes(impl_->reader.get()) > 0;
}

bool Store::Delete(int64_t id) {
    std::optional<Record> r = Get(id);
    if (!r) return false;
    {
        std::lock_guard lock(impl_->readMutex);
        Stmt(impl_->reader.get(), "DELETE FROM events WHERE id = ?1").Bind(1, id).Run();
    }
    impl_->DeleteFiles(*r, true);
    return true;
}

int Store::Snapshots(const Record& r) const {
    const auto first = SnapshotNumber(r.firstSnapshot), last = SnapshotNumber(r.lastSnapshot);
    if (!first || !last || *last < *first || *last - *first >= 100000) return 0;
    return static_cast<int>(*last - *first + 1);
}

std::string Store::File(int64_t id, Media media, int index) const {
    std::optional<Record> r = Get(id);
    if (!r) return {};
    std::string path;
    switch (media) {
        case Media::kThumb:
            path = ThumbPath(r->camera, r->startMs);
            break;
        case Media::kClip:
            path = r->clip;
            break;
        case Media::kSnapshot:
            if (index < 0 || index >= Snapshots(*r)) return {};
            path = SnapshotName(r->firstSnapshot, *SnapshotNumber(r->firstSnapshot) + index);
            return TakenDuring(path, *r) ? path : std::string();
    }
    return Exists(path) ? path : std::string();
}

bool Store::ClipKept(const std::string& clip) const {
    std::lock_guard lock(impl_->readMutex);
    Stmt s(impl_->reader.get(), "SELECT 1 FROM events WHERE clip = ?1 AND keep = 1 LIMIT 1");
    s.Bind(1, clip);
    return s.Step();
}

void Store::ClipDeleted(const std::string& clip) {
    std::lock_guard lock(impl_->readMutex);
    Stmt(impl_->reader.get(), "UPDATE events SET clip = NULL, clip_off = NULL WHERE clip = ?1")
        .Bind(1, clip)
        .Run();
}

int Store::ApplyRetention(int64_t nowMs) {
    std::lock_guard lock(impl_->readMutex);
    return impl_->Retain(impl_->reader.get(), nowMs);
}

std::string ToJson(const Record& r, int snapshots) {
    nlohmann::ordered_json j;
    j["id"] = r.id;
    j["camera"] = r.camera;
    j["start"] = events::FormatTime(r.startMs);
    j["end"] = r.endMs ? nlohmann::ordered_json(events::FormatTime(r.endMs)) : nullptr;
    j["start_ms"] = r.startMs;
    j["end_ms"] = r.endMs ? nlohmann::ordered_json(r.endMs) : nullptr;
    j["frames"] = r.frames;
    j["max_regions"] = r.maxRegions;
    if (r.largest) {
        j["largest"] = {
            {"x", r.largest->x}, {"y", r.largest->y}, {"w", r.largest->w}, {"h", r.largest->h}};
    } else {
        j["largest"] = nullptr;
    }
    j["direction"] = r.direction ? nlohmann::ordered_json(*r.direction) : nullptr;
    j["snapshots"] = snapshots;
    j["clip"] = !r.clip.empty();
    j["clip_offset_ms"] = r.clipOffsetMs >= 0 ? nlohmann::ordered_json(r.clipOffsetMs) : nullptr;
    j["keep"] = r.keep;
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace store
