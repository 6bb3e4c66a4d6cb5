// Configuration: the key/value table read from config.cfg and the settings derived from it.
// Written only on the main thread before any worker starts; read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/base.h"

namespace config {
constexpr int kConfigEntries = 100;  // lines after the hundredth are ignored
using base::kMaxText;
using base::kSlotCount;
using base::kTextSize;

struct ConfigEntry {
    char key[kTextSize];
    char value[kTextSize];
};

// The process-wide table; all keys are empty at process start.
extern ConfigEntry ConfigTable[kConfigEntries];

// Reads fileName into ConfigTable. Returns 0 when the file was read, 1 when it cannot be
// opened (the table is then left unchanged).
// The file is read with bounds: its first MiB, within a second, never waiting on a pipe
// that has no writer, and no further once stopFd (when >= 0) is readable.
int LoadConfig(const char* fileName);
int LoadConfig(const char* fileName, int stopFd);

// Copy of the value of the first entry whose key equals name; empty when none matches.
std::string GetConfigValue(const char* name);

struct SettingsRecord {
    int32_t cameraCount = 0;  // ALLCAM
    int32_t busyWaitMs = 0;   // MINMSEC
    int32_t idleWaitMs = 0;   // MAXMSEC
    std::string jpgPrefix;    // PATHJPG
    std::string aviPrefix;    // PATHAVI
    std::string logPrefix;    // PATHLOG
    std::string codec;        // CODEC
    bool windows = false;     // WINDOWS
    bool outJpg = false;      // OUTJPG
    bool outAvi = false;      // OUTAVI
    bool outLog = false;      // OUTLOG
    // SOURCEi: a file path or stream URL that replaces camera index i; empty = device i.
    std::string source[kSlotCount];
};

// The process-wide settings, filled once by DeriveSettings.
extern SettingsRecord Settings;

// Fills Settings from ConfigTable: ALLCAM, MINMSEC, MAXMSEC, PATHJPG, PATHAVI, PATHLOG,
// CODEC, WINDOWS, OUTJPG, OUTAVI, OUTLOG in that order, then SOURCE0..SOURCE9.
void DeriveSettings();

// Decimal conversion: leading white space, optional sign, digits up to the first non-digit;
// no digits gives 0; out of range clamps to INT32_MAX / INT32_MIN.
int32_t ParseInt32(const std::string& text);

// True exactly when text is "ON".
bool ParseSwitch(const std::string& text);

// Keys beyond the eleven above (each subsystem reads its own). A key that is absent or has
// an empty value gives fallback; otherwise the value is converted as above.
int32_t ConfigInt(const char* name, int32_t fallback);
bool ConfigSwitch(const char* name);  // "ON"; absent = off
std::string ConfigText(const char* name, const std::string& fallback = {});

// True for the blank characters of the file format and the console: space, \t \n \v \f \r.
inline bool IsBlank(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// b0 + b1*256 + b2*65536 + b3*16777216 of the first four bytes (missing bytes count 0).
int32_t CodecFourcc(const std::string& codec);

}  // namespace config
