#include "web/render.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <tuple>

namespace web {

std::string IsoLocalTime(int64_t ms) {
    const int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int millis = static_cast<int>(ms - seconds * 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  millis, offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return text;
}

std::string StatusJson(const std::vector<CameraStatus>& cameras, const std::string& version,
                       int64_t uptimeSeconds) {
    nlohmann::json list = nlohmann::json::array();
    for (const CameraStatus& c : cameras) {
        list.push_back(
            {{"index", c.index},
             {"source", c.source},
             {"state", c.state},
             {"frames", c.frames},
             {"motion_frames", c.motion_frames},
             {"snapshots", c.snapshots},
             {"video_frames", c.video_frames},
             {"output_errors", c.output_errors},
             {"frames_received", c.received},
             {"frames_decoded", c.decoded},
             {"frames_dropped", c.dropped},
             {"clip_frames", c.clip_frames},
             {"worker_cpu_s", c.worker_cpu_s},
             {"reader_cpu_s", c.reader_cpu_s},
             {"fps", std::isfinite(c.fps) ? c.fps : 0.0},
             {"last_motion", c.last_motion_ms ? nlohmann::json(IsoLocalTime(*c.last_motion_ms))
                                              : nlohmann::json(nullptr)}});
    }
    const nlohmann::json status = {
        {"version", version}, {"uptime_s", uptimeSeconds}, {"cameras", std::move(list)}};
    // Replace rather than throw on text that is not UTF-8 (a source name, say).
    return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

std::string Number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help,
            const std::vector<CameraStatus>& cameras, uint64_t CameraStatus::*field) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const CameraStatus& c : cameras)
        out += std::string(name) + "{camera=\"" + std::to_string(c.index) + "\"} " +
               std::to_string(c.*field) + "\n";
}

}  // namespace

std::string MetricsText(const std::vector<CameraStatus>& cameras) {
    std::string out;
    Family(out, "camwatch_frames_total", "counter", "Frames read from the camera.", cameras,
           &CameraStatus::frames);
    Family(out, "camwatch_frames_received_total", "counter",
           "Video packets or frames received from the camera.", cameras, &CameraStatus::received);
    Family(out, "camwatch_frames_decoded_total", "counter", "Pictures decoded.", cameras,
           &CameraStatus::decoded);
    Family(out, "camwatch_frames_dropped_total", "counter",
           "Decoded frames not analysed (the camera sent faster than they were read) or not "
           "written into a clip (its queue was full).",
           cameras, &CameraStatus::dropped);
    Family(out, "camwatch_clip_frames_total", "counter", "Frames written into event clips.",
           cameras, &CameraStatus::clip_frames);
    for (const auto& [name, field, help] :
         {std::tuple{"camwatch_worker_cpu_seconds_total", &CameraStatus::worker_cpu_s,
                     "CPU time of the camera's worker thread (about once a second)."},
          std::tuple{"camwatch_reader_cpu_seconds_total", &CameraStatus::reader_cpu_s,
                     "CPU time of the camera's stream reader thread (about once a second)."}}) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n";
        for (const CameraStatus& c : cameras)
            out += std::string(name) + "{camera=\"" + std::to_string(c.index) + "\"} " +
                   Number(c.*field) + "\n";
    }
    Family(out, "camwatch_motion_frames_total", "counter", "Frames in which motion was seen.",
           cameras, &CameraStatus::motion_frames);
    Family(out, "camwatch_snapshots_total", "counter", "Snapshots written.", cameras,
           &CameraStatus::snapshots);
    Family(out, "camwatch_video_frames_total", "counter", "Frames added to the video.", cameras,
           &CameraStatus::video_frames);
    Family(out, "camwatch_events_total", "counter", "Motion events.", cameras,
           &CameraStatus::events);
    Family(out, "camwatch_output_errors_total", "counter",
           "Snapshots, video frames or log lines that could not be written.", cameras,
           &CameraStatus::output_errors);
    Family(out, "camwatch_reconnects_total", "counter", "Times the camera was reopened.", cameras,
           &CameraStatus::reconnects);
    if (!cameras.empty() && cameras.front().clips) {
        Family(out, "camwatch_clip_frames_dropped_total", "counter",
               "Frames left out of event clips because the clip encoder fell behind.", cameras,
               &CameraStatus::clip_frames_dropped);
    }
    out +=
        "# HELP camwatch_camera_up 1 while the camera delivers frames, else 0.\n"
        "# TYPE camwatch_camera_up gauge\n";
    for (const CameraStatus& c : cameras)
        out += "camwatch_camera_up{camera=\"" + std::to_string(c.index) + "\"} " +
               (c.state == "running" ? "1" : "0") + "\n";
    out +=
        "# HELP camwatch_frame_seconds Time taken to process one frame.\n"
        "# TYPE camwatch_frame_seconds histogram\n";
    for (const CameraStatus& c : cameras) {
        const std::string label = "camera=\"" + std::to_string(c.index) + "\"";
        uint64_t cumulative = 0;
        for (size_t i = 0; i < base::kFrameSecondsBounds.size(); ++i) {
            cumulative += c.frame_seconds_buckets[i];
            out += "camwatch_frame_seconds_bucket{" + label + ",le=\"" +
                   Number(base::kFrameSecondsBounds[i]) + "\"} " + std::to_string(cumulative) + "\n";
        }
        // _count is the +Inf bucket; never below the finite ones, whatever the app handed in.
        const uint64_t count = std::max(cumulative, c.frame_seconds_count);
        out += "camwatch_frame_seconds_bucket{" + label + ",le=\"+Inf\"} " + std::to_string(count) +
               "\n";
        out += "camwatch_frame_seconds_sum{" + label + "} " + Number(c.frame_seconds_sum) + "\n";
        out += "camwatch_frame_seconds_count{" + label + "} " + std::to_string(count) + "\n";
    }
    return out;
}

bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < b.size(); ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        diff |= x ^ static_cast<unsigned char>(b[i]);
    }
    return diff == 0;
}

}  // namespace web
