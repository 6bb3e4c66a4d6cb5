// The event store at a million events: fills a store (10 cameras, a year of events with
// snapshot and clip names), then times what the review view asks for, each as the server
// answers it (query and JSON): the first page, a camera's page, a deep keyset page, a day's
// timeline, a camera's day. Prints the median and the slowest of the runs, and bytes per
// event (thumbnails not counted).
//
//   build/bench/store_bench [events=1000000] [folder=/tmp] [keep]
// With keep the store stays (its name is printed), for a look at it through the program.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Fill(const std::string& path, int64_t count, int64_t firstMs, int64_t lastMs) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO events(camera, start, end, frames, regions, bx, by, bw, bh, "
                       "dir, snap1, snap2, clip, clip_off) "
                       "VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14)",
                       -1, &s, nullptr);
    std::mt19937_64 random(42);
    const int64_t step = (lastMs - firstMs) / count;
    int64_t snapshot[10] = {};
    char text[96];
    for (int64_t i = 0; i < count; ++i) {
        const int camera = static_cast<int>(random() % 10);
        const int64_t start = firstMs + i * step + static_cast<int64_t>(random() % 1000);
        const int64_t length = 2000 + static_cast<int64_t>(random() % 60000);
        const int64_t frames = length / 100;
        sqlite3_bind_int(s, 1, camera);
        sqlite3_bind_int64(s, 2, start);
        sqlite3_bind_int64(s, 3, start + length);
        sqlite3_bind_int64(s, 4, frames);
        sqlite3_bind_int(s, 5, 1 + static_cast<int>(random() % 4));
        sqlite3_bind_int(s, 6, static_cast<int>(random() % 1200));
        sqlite3_bind_int(s, 7, static_cast<int>(random() % 600));
        sqlite3_bind_int(s, 8, 20 + static_cast<int>(random() % 600));
        sqlite3_bind_int(s, 9, 20 + static_cast<int>(random() % 400));
        sqlite3_bind_double(s, 10, static_cast<double>(random() % 36000) / 100.0);
        std::snprintf(text, sizeof text, "shots/cam%dn%lld.jpg", camera,
                      static_cast<long long>(snapshot[camera] + 1));
        sqlite3_bind_text(s, 11, text, -1, SQLITE_TRANSIENT);
        snapshot[camera] += frames;
        std::snprintf(text, sizeof text, "shots/cam%dn%lld.jpg", camera,
                      static_cast<long long>(snapshot[camera]));
        sqlite3_bind_text(s, 12, text, -1, SQLITE_TRANSIENT);
        std::snprintf(text, sizeof text, "clips/cam%d-20261208-%06lld.mp4", camera,
                      static_cast<long long>(i % 1000000));
        sqlite3_bind_text(s, 13, text, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 14, 2000);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    sqlite3_exec(db, "UPDATE events SET keep = 1 WHERE id % 1000 = 0", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// A page as the server renders it.
size_t Render(const store::Store& st, const std::vector<store::Record>& rows) {
    size_t bytes = 0;
    for (const store::Record& r : rows) bytes += store::ToJson(r, st.Snapshots(r)).size();
    return bytes;
}

void Time(const char* name, int runs, const std::function<size_t()>& f) {
    std::vector<double> ms;
    size_t rows = 0;  // rows, or bytes of JSON
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        rows = f();
        ms.push_back(Ms(Clock::now() - t0));
    }
    const double first = ms.front();
    std::sort(ms.begin(), ms.end());
    std::printf("%-34s %8.2f ms median %8.2f ms slowest %8.2f ms first  (%zu)\n", name,
                ms[ms.size() / 2], ms.back(), first, rows);
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t count = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const std::string path = folder + "/camwatch-store-bench-" + std::to_string(getpid()) + ".db";
    const int64_t lastMs = 1796850000000, firstMs = lastMs - int64_t{365} * 86400 * 1000;

    store::Options options;
    options.path = path;
    options.reconcile = false;  // the names are made up: no files behind them
    {
        auto created = store::Store::Open(options);  // the schema
        if (!created) return 1;
    }
    const auto f0 = Clock::now();
    Fill(path, count, firstMs, lastMs);
    std::printf("filled %lld events in %.1f s\n", static_cast<long long>(count),
                Ms(Clock::now() - f0) / 1000);
    struct stat st;
    ::stat(path.c_str(), &st);
    std::printf("store: %.1f MB, %.0f bytes/event\n", st.st_size / 1e6,
                double(st.st_size) / double(count));

    auto opened = store::Store::Open(options);
    if (!opened) return 1;
    store::Store& s = *opened;
    const int runs = 21;
    Time("first page (50)", runs, [&] {
        store::Query q;
        return Render(s, s.List(q));
    });
    Time("camera 3, first page (50)", runs, [&] {
        store::Query q;
        q.camera = 3;
        return Render(s, s.List(q));
    });
    // The cursor 90 % down the list: a page a user would reach only after long scrolling.
    store::Query deepAt;
    deepAt.beforeStart = firstMs + (lastMs - firstMs) / 10;
    deepAt.limit = 1;
    const store::Record anchor = s.List(deepAt).at(0);
    Time("deep keyset page (50, 90% down)", runs, [&] {
        store::Query q;
        q.beforeStart = anchor.startMs;
        q.beforeId = anchor.id;
        return Render(s, s.List(q));
    });
    Time("camera 3, deep keyset page (50)", runs, [&] {
        store::Query q;
        q.camera = 3;
        q.beforeStart = anchor.startMs;
        q.beforeId = anchor.id;
        return Render(s, s.List(q));
    });
    const int64_t day = firstMs + int64_t{180} * 86400 * 1000;
    Time("day timeline, all cameras", runs, [&] {
        const auto rows = s.Span(-1, day, day + 86400 * 1000);
        std::string out;
        for (const auto& r : rows) {  // as the server renders it
            out.append("[").append(std::to_string(r.id)).append(",");
            out.append(std::to_string(r.camera)).append(",").append(std::to_string(r.startMs));
            out.append(",").append(std::to_string(r.endMs)).append("],");
        }
        return rows.size();
    });
    Time("camera 3, one day, first page", runs, [&] {
        store::Query q;
        q.camera = 3;
        q.fromMs = day;
        q.toMs = day + 86400 * 1000;
        return Render(s, s.List(q));
    });
    Time("kept only, first page", runs, [&] {
        store::Query q;
        q.keptOnly = true;
        return Render(s, s.List(q));
    });
    opened.reset();
    if (argc > 3 && std::string(argv[3]) == "keep") {
        std::printf("store kept: %s\n", path.c_str());
        return 0;
    }
    for (const char* tail : {"", "-wal", "-shm"}) std::remove((path + tail).c_str());
    ::rmdir((folder + "/thumbs").c_str());
    return 0;
}
