// File names of snapshots and thumbnails, folders, and the records' time stamps.
#include "store/files.h"

#include <dirent.h>

#include <cstdio>

#include "store/store.h"

namespace store {

namespace {

bool Digits(const std::string& s, size_t from, size_t to) {
    if (from >= to) return false;
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

std::optional<int64_t> SnapshotNumber(const std::string& name) {
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".jpg") != 0) return std::nullopt;
    const size_t end = name.size() - 4;
    size_t begin = end;
    while (begin > 0 && name[begin - 1] >= '0' && name[begin - 1] <= '9') --begin;
    if (begin == end || end - begin > 9) return std::nullopt;
    return std::stoll(name.substr(begin, end - begin));
}

std::string SnapshotName(const std::string& like, int64_t k) {
    size_t begin = like.size() - 4;
    while (begin > 0 && like[begin - 1] >= '0' && like[begin - 1] <= '9') --begin;
    return like.substr(0, begin) + std::to_string(k) + ".jpg";
}

bool IsThumbName(const std::string& name) {
    const size_t dash = name.find('-');
    if (dash == std::string::npos) return false;
    size_t end = name.size();
    if (name.ends_with(".part.jpg")) {
        end -= 9;
    } else if (name.ends_with(".jpg")) {
        end -= 4;
    } else {
        return false;
    }
    return Digits(name, 0, dash) && Digits(name, dash + 1, end);
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

std::optional<int64_t> ParseTime(const std::string& text) {
    // YYYY-MM-DDTHH:MM:SS.mmm+HH:MM
    int y, mo, d, h, mi, s, ms, oh, om;
    char sign;
    if (text.size() != 29 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &y, &mo, &d, &h, &mi, &s,
                    &ms, &sign, &oh, &om) != 10 ||
        (sign != '+' && sign != '-') || mo < 1 || mo > 12 || d < 1 || d > 31) {
        return std::nullopt;
    }
    const int64_t offset = (int64_t{oh} * 3600 + om * 60) * (sign == '-' ? -1 : 1);
    const int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset;
    return seconds * 1000 + ms;
}

}  // namespace store
