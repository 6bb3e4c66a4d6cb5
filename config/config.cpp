#include "config/config.h"

#include <cstdio>
#include <cstring>

ConfigEntry ConfigTable[kConfigEntries];
SettingsRecord Settings;

namespace {

constexpr int kPieceMax = kTextSize - 1;  // a line is read in pieces of at most 255 bytes

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

int LoadConfig(const char* fileName) {
    std::FILE* file = std::fopen(fileName, "r");
    if (!file) return 1;
    for (ConfigEntry& entry : ConfigTable) entry.key[0] = '\0';

    char piece[kTextSize];
    int index = 0;
    for (int length; (length = ReadPiece(file, piece)) > 0; ++index) {
        if (index >= kConfigEntries) continue;  // the table is full: read on to the end
        ParseEntry(piece, length - 1, ConfigTable[index]);
    }
    std::fclose(file);
    return 0;
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
