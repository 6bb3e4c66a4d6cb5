// The text the API routes answer with. Internal to cw_web.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "web/web.h"

namespace web {

// "2026-12-08T23:23:17.123+01:00": local time with its offset and milliseconds.
std::string IsoLocalTime(int64_t msSinceEpoch);
std::string StatusJson(const std::vector<CameraStatus>& cameras, const std::string& version,
                       int64_t uptimeSeconds);
// Prometheus text exposition format 0.0.4.
std::string MetricsText(const std::vector<CameraStatus>& cameras);
// True when a and b are equal; the time taken depends only on the length of b.
bool SameSecret(const std::string& a, const std::string& b);

extern const char kPage[];  // the page served on /

}  // namespace web
