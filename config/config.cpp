#include "config/config.h"

ConfigEntry ConfigTable[kConfigEntries];
SettingsRecord Settings;

int LoadConfig(const char*) { return 1; }
std::string GetConfigValue(const char*) { return {}; }
void DeriveSettings() {}
int32_t ParseInt32(const std::string&) { return 0; }
bool ParseSwitch(const std::string& text) { return text == "ON"; }
int32_t CodecFourcc(const std::string&) { return 0; }
