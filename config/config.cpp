#include "config/config.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace config {
ConfigEntry ConfigTable[kConfigEntries];
SettingsRecord Settings;

namespace {

constexpr int kPieceMax = kTextSize - 1;  // a line is read in pieces of at most 255 bytes
// Far beyond any table of kConfigEntries lines; what follows is not read (a device that never
// ends, a pipe that is never closed).
constexpr size_t kMaxFileBytes = 1 << 20;
constexpr int kMaxReadMs = 1000;

// Reads the next piece: up to and including '\n', at most kPieceMax bytes. Returns its length;
// 0 at end of file. Counts bytes itself so that NUL bytes in the file cannot confuse it.
int ReadPiece(std::FILE* file, char* piece) {
    int length = 0;
    while (length < kPieceMax) {
        int c = std::getc(file);
        if (c == EOF) break;
        piece[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    return length;
}

// Copies [begin, begin+length) into a text field, dropping one carriage return at its end
// (files saved with CR LF line ends).
void StoreText(char* field, const char* begin, int length) {
    if (length > 0 && begin[length - 1] == '\r') --length;
    std::memcpy(field, begin, static_cast<size_t>(length));
    field[length] = '\0';
}

// Splits one piece (its last byte already removed) at its first '=' into the entry.
// A piece without '=' leaves the entry's key empty.
void ParseEntry(const char* piece, int length, ConfigEntry& entry) {
    const void* eq = std::memchr(piece, '=', static_cast<size_t>(length));
    if (!eq) return;
    int keyLength = static_cast<int>(static_cast<const char*>(eq) - piece);
    StoreText(entry.key, piece, keyLength);                                 // ParseKey
    StoreText(entry.value, piece + keyLength + 1, length - keyLength - 1);  // ParseValue
}

}  // namespace

// The file's bytes, read with bounds: at most kMaxFileBytes and kMaxReadMs, never waiting on
// a pipe without a writer; and the read ends early once stopFd (when >= 0) is readable.
// False when the file cannot be opened.
bool ReadBounded(const char* fileName, int stopFd, std::string& text) {
    const int fd = open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxReadMs);
    char buffer[65536];
    while (text.size() < kMaxFileBytes) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, kMaxFileBytes - text.size()));
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(p, stopFd >= 0 ? 2 : 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) break;
    }
    close(fd);
    return true;
}

int LoadConfig(const char* fileName, int stopFd) {
    std::string text;
    if (!fileName || !ReadBounded(fileName, stopFd, text)) return 1;
    for (ConfigEntry& entry : ConfigTable) entry.key[0] = '\0';
    if (text.empty()) return 0;
    std::FILE* file = fmemopen(text.data(), text.size(), "r");
    if (!file) return 0;

    char piece[kTextSize];
    int index = 0;
    for (int length; (length = ReadPiece(file, piece)) > 0; ++index) {
        if (index >= kConfigEntries) continue;  // the table is full: read on to the end
        ParseEntry(piece, length - 1, ConfigTable[index]);
    }
    std::fclose(file);
    return 0;
}

int LoadConfig(const char* fileName) {
    return LoadConfig(fileName, -1);
}

std::string GetConfigValue(const char* name) {
    if (!name || !*name) return {};
    for (const ConfigEntry& entry : ConfigTable) {
        if (std::strcmp(entry.key, name) == 0) return entry.value;
    }
    return {};
}

int32_t ParseInt32(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t magnitude = 0;
    const int64_t limit = negative ? int64_t{INT32_MAX} + 1 : int64_t{INT32_MAX};
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) magnitude = limit;  // clamp; keep reading the digits
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

int32_t ConfigInt(const char* name, int32_t fallback) {
    const std::string value = GetConfigValue(name);
    return value.empty() ? fallback : ParseInt32(value);
}

bool ConfigSwitch(const char* name) {
    return ParseSwitch(GetConfigValue(name));
}

std::string ConfigText(const char* name, const std::string& fallback) {
    const std::string value = GetConfigValue(name);
    return value.empty() ? fallback : value;
}

bool ParseSwitch(const std::string& text) {
    return text == "ON";
}

int32_t CodecFourcc(const std::string& codec) {
    uint32_t code = 0;
    for (size_t i = 0; i < 4 && i < codec.size(); ++i) {
        code |= uint32_t{static_cast<unsigned char>(codec[i])} << (8 * i);
    }
    return static_cast<int32_t>(code);
}

void DeriveSettings() {
    Settings.cameraCount = ParseInt32(GetConfigValue("ALLCAM"));
    Settings.busyWaitMs = ParseInt32(GetConfigValue("MINMSEC"));
    Settings.idleWaitMs = ParseInt32(GetConfigValue("MAXMSEC"));
    Settings.jpgPrefix = GetConfigValue("PATHJPG");
    Settings.aviPrefix = GetConfigValue("PATHAVI");
    Settings.logPrefix = GetConfigValue("PATHLOG");
    Settings.codec = GetConfigValue("CODEC");
    Settings.windows = ParseSwitch(GetConfigValue("WINDOWS"));
    Settings.outJpg = ParseSwitch(GetConfigValue("OUTJPG"));
    Settings.outAvi = ParseSwitch(GetConfigValue("OUTAVI"));
    Settings.outLog = ParseSwitch(GetConfigValue("OUTLOG"));
    for (int i = 0; i < kSlotCount; ++i) {
        Settings.source[i] = GetConfigValue(("SOURCE" + std::to_string(i)).c_str());
    }
}

}  // namespace config
