// The per-camera event log. The file is opened and closed for every operation, so its
// contents are complete on disk after each record.
#pragma once

#include <cstdint>
#include <cstdio>

struct LocalTime {
    uint16_t year, month, dayOfWeek, day, hour, minute, second, millisecond;
};

// The two clocks the log reads; tests replace them.
struct LogClocks {
    uint32_t (*tick)();        // monotonic milliseconds
    LocalTime (*localTime)();  // local date and time with milliseconds
};
LogClocks SystemLogClocks();

class LogFile {
public:
    explicit LogFile(LogClocks clocks = SystemLogClocks());
    ~LogFile();  // runs Close()
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void Open(const char* path);
    void Write(const char* message);
    void Close();  // appends the closing lines once; nothing when never opened

private:
    char text[10000];
    LocalTime time{};
    std::FILE* file = nullptr;
    uint32_t lastTick = 0;
    uint32_t startTick = 0;
    char path[256] = {};
    LogClocks clocks;
};
