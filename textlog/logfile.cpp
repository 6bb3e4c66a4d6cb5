#include "textlog/logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

namespace textlog {

namespace {

uint32_t SystemTick() {
    using namespace std::chrono;
    // Wraps every 49.7 days; intervals are taken modulo 2^32, so that is harmless.
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

LocalTime SystemLocalTime() {
    // localtime_r need not read the time zone by itself.
    static const bool zoneRead = (tzset(), true);
    (void)zoneRead;

    using namespace std::chrono;
    const auto sinceEpoch =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(sinceEpoch / 1000);
    const int millisecond = static_cast<int>(sinceEpoch % 1000);
    tm parts{};
    if (sinceEpoch < 0 || !localtime_r(&seconds, &parts)) return {};
    return {static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint16_t>(parts.tm_mon + 1),
            static_cast<uint16_t>(parts.tm_wday),        static_cast<uint16_t>(parts.tm_mday),
            static_cast<uint16_t>(parts.tm_hour),        static_cast<uint16_t>(parts.tm_min),
            static_cast<uint16_t>(parts.tm_sec),         static_cast<uint16_t>(millisecond)};
}

// fopen(name, "wb" or "ab") that never waits: a named pipe that nothing reads fails at once,
// and a full one drops the record, instead of stalling the worker and the shutdown after it.
std::FILE* OpenForWriting(const char* name, bool append) {
    const int fd = open(
        name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (append ? O_APPEND : O_TRUNC), 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, append ? "ab" : "wb");
    if (!file) close(fd);
    return file;
}

// Appends text to the file in one write, whole or not at all: a write cut short by a full disk
// is taken back, so no torn record is left for the next one to follow. Never waits (see above).
bool AppendWhole(const char* name, const std::string& text) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_APPEND, 0666);
    if (fd < 0) return false;
    const off_t before = lseek(fd, 0, SEEK_END);
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    const bool whole = n == static_cast<ssize_t>(text.size());
    if (!whole && n > 0 && before >= 0 && ftruncate(fd, before) != 0) {
        // Not a regular file (a pipe): what went out cannot be taken back.
    }
    return close(fd) == 0 && whole;
}

// Interval between two tick counts, across a wrap of the counter.
int Elapsed(uint32_t from, uint32_t to) {
    return static_cast<int32_t>(to - from);
}

}  // namespace

LogClocks SystemLogClocks() {
    return {SystemTick, SystemLocalTime};
}

LogFile::LogFile(LogClocks c) : text_{}, clocks_(c) {
    if (!clocks_.tick) clocks_.tick = SystemTick;
    if (!clocks_.localTime) clocks_.localTime = SystemLocalTime;
}

LogFile::~LogFile() {
    Close();
}

uint32_t LogFile::Tick() const {
    return clocks_.tick();
}

void LogFile::FormatStamp(const char* lead) {
    time_ = clocks_.localTime();
    std::snprintf(text_, sizeof text_, "%s%d.%d.%d %d:%d:%d:%d ", lead, time_.year, time_.month,
                  time_.day, time_.hour, time_.minute, time_.second, time_.millisecond);
}

bool LogFile::Put(const char* s) {
    return std::fputs(s, file_) >= 0;
}

bool LogFile::CloseFile() {
    bool ok = !std::ferror(file_);
    ok = std::fclose(file_) == 0 && ok;  // a full disk shows up here, on the final flush
    file_ = nullptr;
    return ok;
}

void LogFile::Open(const char* name) {
    startTick_ = lastTick_ = Tick();
    path_[0] = '\0';
    // A name that does not fit is refused rather than cut: a cut name could land anywhere.
    if (!name || !name[0] || std::strlen(name) >= sizeof path_) return;

    // The name is kept even when the file cannot be made now (say its folder does not
    // exist yet): every later record tries again, so no record that could be written is lost.
    std::strcpy(path_, name);
    file_ = OpenForWriting(name, false);
    if (!file_) return;

    FormatStamp("");
    Put(text_);
    Put(" Start!");
    // If the start line is lost (full disk), the emptied file still belongs to this run,
    // so the records that follow go on into it.
    CloseFile();
}

void LogFile::Write(const char* message) {
    if (!path_[0]) return;
    const uint32_t now = Tick();

    // Each record starts a new line and goes out whole or not at all, so a lost record never
    // leaves half a line for the next one to merge with.
    std::snprintf(text_, sizeof text_, "\nTime: %d ms. Log:%s", Elapsed(lastTick_, now),
                  message ? message : "");
    std::string record = text_;
    FormatStamp(" ### ");
    record += text_;
    // Only a record that reached the file moves the interval's starting point.
    if (AppendWhole(path_, record)) lastTick_ = now;
}

void LogFile::Close() {
    if (!path_[0]) return;
    file_ = OpenForWriting(path_, true);
    path_[0] = '\0';  // the log ends here, whether or not the closing lines get through
    if (!file_) return;

    FormatStamp("");
    Put("\n");
    Put(text_);
    std::snprintf(text_, sizeof text_, "\nTotal time: %d ms", Elapsed(startTick_, Tick()));
    Put(text_);
    CloseFile();
}

}  // namespace textlog
