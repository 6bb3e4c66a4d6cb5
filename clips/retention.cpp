// Deleting old clips: only files this program names, only in the clips' own folder.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "clips/clips.h"

namespace clips {

namespace {

// The local time of a name camN-YYYYMMDD-HHMMSS.mp4 as YYYYMMDD-HHMMSS, which sorts as time
// does; "" for any other name. Compared as text rather than through mktime(), which re-reads
// the time zone on every call while the workers' localtime_r() calls read it.
std::string ClipTime(const std::string& name) {
    if (name.size() != 24 || name.compare(0, 3, "cam") != 0 || name[4] != '-' || name[13] != '-' ||
        name.compare(20, 4, ".mp4") != 0) {
        return {};
    }
    for (size_t i : {3u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 14u, 15u, 16u, 17u, 18u, 19u}) {
        if (name[i] < '0' || name[i] > '9') return {};
    }
    return name.substr(5, 15);
}

}  // namespace

int DeleteOldClips(const std::string& prefix, int days, int64_t nowWallMs, RetentionGuard* guard) {
    if (days <= 0) return 0;
    const size_t slash = prefix.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
    const std::string lead = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    const std::string cutoff = ClipTime(ClipName(0, nowWallMs - int64_t{days} * 86400 * 1000));
    std::vector<std::pair<std::string, std::string>> old;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.compare(0, lead.size(), lead) != 0) continue;
            const std::string at = ClipTime(name.substr(lead.size()));
            if (at.empty() || at >= cutoff) continue;
            struct stat st;
            const std::string path = slash == std::string::npos ? name : folder + name;
            if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                old.emplace_back(at, path);
            }
        }
        closedir(dir);
    }
    std::sort(old.begin(), old.end());
    int deleted = 0;
    for (const auto& [at, path] : old) {
        if (guard && guard->Kept(path)) continue;
        if (std::remove(path.c_str()) == 0) {
            ++deleted;
            if (guard) guard->Deleted(path);
        }
    }
    return deleted;
}

Retention::Retention(std::string prefix, int days, RetentionGuard* guard)
    : prefix_(std::move(prefix)), days_(days), guard_(guard) {
    thread_ = std::thread([this] {
        try {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!stop_) {
                lock.unlock();
                const auto now = std::chrono::system_clock::now().time_since_epoch();
                DeleteOldClips(prefix_, days_,
                               std::chrono::duration_cast<std::chrono::milliseconds>(now).count(),
                               guard_);
                lock.lock();
                wake_.wait_for(lock, std::chrono::hours(1), [this] { return stop_; });
            }
        } catch (...) {
            // An unreadable folder or a full heap: the clips stay, the program goes on.
        }
    });
}

Retention::~Retention() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::unique_ptr<Retention> StartRetention(const Options& options, RetentionGuard* guard) {
    if (!options.on || options.days <= 0) return nullptr;
    // The time zone is read here, before the sweep's thread and the workers start: glibc
    // reads it again only when TZ changes, so their localtime_r() calls then only read it.
    tzset();
    return std::make_unique<Retention>(options.prefix, options.days, guard);
}

}  // namespace clips
