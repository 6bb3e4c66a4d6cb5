// The per-camera text log of motion. The file is opened and closed for every operation, so its
// contents are complete on disk after each record.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/base.h"

namespace textlog {

using base::kTextSize;

struct LocalTime {
    uint16_t year, month, dayOfWeek, day, hour, minute, second, millisecond;
};

// The two clocks the log reads; tests replace them.
struct LogClocks {
    uint32_t (*tick)();        // monotonic milliseconds
    LocalTime (*localTime)();  // local date and time with milliseconds
};
LogClocks SystemLogClocks();

// Not started (empty path) -> started (Open) -> records (Write) -> closed (Close).
// A name longer than 255 characters is refused: the log is not started, and Write and Close
// do nothing. A log whose file cannot be created now is still started: every later Write
// tries again (say, once its folder exists). No operation throws or prints.
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
    uint32_t Tick() const;
    void FormatStamp(const char* lead);  // takes the local time, stamp into text
    bool Put(const char* s);             // false when the stream already failed
    bool CloseFile();                    // false when anything written was lost

    char text_[10000];
    LocalTime time_{};
    std::FILE* file_ = nullptr;
    uint32_t lastTick_ = 0;
    uint32_t startTick_ = 0;
    char path_[base::kTextSize] = {};  // empty while no log is running
    LogClocks clocks_;
};

}  // namespace textlog
