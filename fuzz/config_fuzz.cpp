// Fuzzes the config.cfg loader and the settings derivation.
//
// Every input is the whole content of a configuration file. It is loaded through config::LoadConfig
// exactly as the program loads it (from a file name: an in-memory file reached through
// /proc/self/fd), and the table is checked against a plain model of the format:
//   - the file is cut into pieces of at most 255 bytes, each ending at the first line end;
//   - a piece loses its last byte; the first 100 pieces are entries;
//   - a piece with '=' gives key (before the first '=') and value (after it), each losing one
//     trailing carriage return and ending at its first NUL;
//   - every other entry has an empty key.
// Then config::DeriveSettings must agree with the lookups, and the number and codec conversions
// with their own reference definitions.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "config_fuzz: %s %s\n", what, detail.c_str());
    std::abort();
}

void Check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) Fail(what, detail);
}

// One in-memory file for the whole run, rewritten for every input.
class MemoryFile {
  public:
    MemoryFile() {
        fd_ = memfd_create("config.cfg", MFD_CLOEXEC);
        if (fd_ < 0) Fail("memfd_create failed");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const char* Write(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0) Fail("ftruncate failed");
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) Fail("pwrite failed");
            done += static_cast<size_t>(n);
        }
        return path_.c_str();
    }

  private:
    int fd_ = -1;
    std::string path_;
};

struct ModelEntry {
    std::string key;  // empty: the line made no entry
    std::string value;
};

// Text as a C string would hold it: up to the first NUL, minus one trailing CR before that
// cut. (The CR is dropped from the stored bytes first, then the string ends at a NUL.)
std::string StoredText(const uint8_t* begin, size_t length) {
    if (length > 0 && begin[length - 1] == '\r') --length;
    const void* nul = std::memchr(begin, '\0', length);
    if (nul) length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - begin);
    return std::string(reinterpret_cast<const char*>(begin), length);
}

std::vector<ModelEntry> Model(const uint8_t* data, size_t size) {
    std::vector<ModelEntry> entries;
    size_t at = 0;
    while (at < size && entries.size() < static_cast<size_t>(config::kConfigEntries)) {
        size_t length = 0;
        while (length < static_cast<size_t>(base::kTextSize - 1) && at + length < size) {
            if (data[at + length++] == '\n') break;
        }
        const uint8_t* piece = data + at;
        const size_t kept = length - 1;  // the last byte of every piece is dropped
        at += length;
        ModelEntry entry;
        const void* eq = std::memchr(piece, '=', kept);
        if (eq) {
            size_t keyLength = static_cast<size_t>(static_cast<const uint8_t*>(eq) - piece);
            entry.key = StoredText(piece, keyLength);
            entry.value = StoredText(piece + keyLength + 1, kept - keyLength - 1);
        }
        entries.push_back(entry);
    }
    entries.resize(config::kConfigEntries);
    return entries;
}

// The first value stored under name in the model; empty when none.
std::string ModelLookup(const std::vector<ModelEntry>& model, const std::string& name) {
    if (name.empty()) return {};
    for (const ModelEntry& e : model) {
        if (e.key == name) return e.value;
    }
    return {};
}

int32_t ReferenceInt32(const std::string& text) {
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t ReferenceFourcc(const std::string& codec) {
    unsigned char b[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && i < codec.size(); ++i) b[i] = static_cast<unsigned char>(codec[i]);
    return static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t{b[3]} << 24));
}

void CheckTable(const std::vector<ModelEntry>& model) {
    for (int i = 0; i < config::kConfigEntries; ++i) {
        const config::ConfigEntry& entry = config::ConfigTable[i];
        Check(std::memchr(entry.key, '\0', base::kTextSize) != nullptr, "key without terminator",
              std::to_string(i));
        Check(std::memchr(entry.value, '\0', base::kTextSize) != nullptr,
              "value without terminator", std::to_string(i));
        const std::string key = entry.key;
        Check(key == model[i].key, "key differs from the model at entry", std::to_string(i));
        if (key.empty()) continue;  // a line without '=': its value is never looked at
        Check(std::string(entry.value) == model[i].value, "value differs at entry",
              std::to_string(i));
        Check(key.size() + 1 + std::strlen(entry.value) <= size_t(base::kTextSize - 2),
              "entry longer than one piece", std::to_string(i));
        Check(key.find('=') == std::string::npos, "key holds '='", key);
        Check(key.find('\n') == std::string::npos, "key holds a line end", key);
        Check(std::string(entry.value).find('\n') == std::string::npos, "value holds a line end");
        const std::string found = config::GetConfigValue(key.c_str());
        Check(found.size() <= size_t(base::kTextSize - 1), "lookup longer than 255", key);
        Check(found == ModelLookup(model, key), "lookup differs from the model", key);
    }
}

void CheckSettings(const std::vector<ModelEntry>& model) {
    auto value = [&](const char* name) { return ModelLookup(model, name); };
    Check(config::Settings.cameraCount == ReferenceInt32(value("ALLCAM")), "ALLCAM");
    Check(config::Settings.busyWaitMs == ReferenceInt32(value("MINMSEC")), "MINMSEC");
    Check(config::Settings.idleWaitMs == ReferenceInt32(value("MAXMSEC")), "MAXMSEC");
    Check(config::Settings.jpgPrefix == value("PATHJPG"), "PATHJPG");
    Check(config::Settings.aviPrefix == value("PATHAVI"), "PATHAVI");
    Check(config::Settings.logPrefix == value("PATHLOG"), "PATHLOG");
    Check(config::Settings.codec == value("CODEC"), "CODEC");
    Check(config::Settings.windows == (value("WINDOWS") == "ON"), "WINDOWS");
    Check(config::Settings.outJpg == (value("OUTJPG") == "ON"), "OUTJPG");
    Check(config::Settings.outAvi == (value("OUTAVI") == "ON"), "OUTAVI");
    Check(config::Settings.outLog == (value("OUTLOG") == "ON"), "OUTLOG");
    for (int i = 0; i < base::kSlotCount; ++i) {
        Check(config::Settings.source[i] == value(("SOURCE" + std::to_string(i)).c_str()),
              "SOURCEi", std::to_string(i));
    }
    Check(config::CodecFourcc(config::Settings.codec) == ReferenceFourcc(config::Settings.codec),
          "CodecFourcc");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    // Keep the previous input's table: a load must clear what was there before.
    Check(config::LoadConfig(file.Write(data, size)) == 0, "LoadConfig could not read the file");
    const std::vector<ModelEntry> model = Model(data, size);
    CheckTable(model);
    config::DeriveSettings();
    CheckSettings(model);

    // The conversions on the raw bytes too: every byte value, NULs, any length.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string upToNul = raw.substr(0, raw.find('\0'));
    Check(config::ParseInt32(raw) == ReferenceInt32(upToNul), "ParseInt32", upToNul);
    Check(config::ParseSwitch(raw) == (raw == "ON"), "ParseSwitch");
    Check(config::CodecFourcc(raw) == ReferenceFourcc(raw), "CodecFourcc on raw bytes");
    return 0;
}
