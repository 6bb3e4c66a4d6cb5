// Helpers for running the real program on video files that stand in for cameras.
#pragma once

#include <chrono>
#include <map>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "tests/testkit/process.h"
#include "tests/testkit/video.h"
#include "tests/testkit/xdisplay.h"

namespace e2e {

const cv::Size kSmall(160, 120);

// config.cfg with one camera on src0.avi, 20 ms waits, every output on in the working folder;
// overrides replace or add keys.
inline void WriteConfig(const testkit::TempDir& dir,
                        const std::map<std::string, std::string>& overrides = {}) {
    std::map<std::string, std::string> keys = {
        {"ALLCAM", "1"},  {"MINMSEC", "20"}, {"MAXMSEC", "20"}, {"PATHJPG", ""},
        {"PATHAVI", ""},  {"PATHLOG", ""},   {"CODEC", "MJPG"}, {"WINDOWS", "OFF"},
        {"OUTJPG", "ON"}, {"OUTAVI", "ON"},  {"OUTLOG", "ON"},  {"SOURCE0", "src0.avi"}};
    for (const auto& [key, value] : overrides) keys[key] = value;
    std::string text;
    for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
    testkit::WriteTextFile(dir.File("config.cfg"), text);
}

inline cv::Mat Lit(int) {
    return testkit::StillScene(kSmall);
}
inline cv::Mat Dark(int) {
    return cv::Mat::zeros(kSmall, CV_8UC3);
}
// Every frame differs from the one three frames before it: motion all the time.
inline cv::Mat Flicker(int i) {
    return i % 2 ? testkit::StillScene(kSmall) : cv::Mat(kSmall, CV_8UC3, cv::Scalar(20, 20, 20));
}

inline int Occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

inline int LogRecords(const std::string& path) {
    return Occurrences(testkit::ReadFile(path), "Log:cadr #");
}

// Polls until the file holds needle at least count times.
inline bool WaitForText(const std::string& path, const std::string& needle, int timeoutMs,
                        int count = 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Occurrences(testkit::ReadFile(path), needle) < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// A closed log ends with its total time: the worker has finished.
inline bool WaitForWorkerEnd(const testkit::TempDir& dir, int slot, int timeoutMs = 20000) {
    return WaitForText(dir.File("cam" + std::to_string(slot) + ".log"), "Total time", timeoutMs);
}

struct VideoInfo {
    std::string codec;
    int width = 0, height = 0, frames = -1;
    std::string rate;
};

// The first video stream of path as ffprobe reads it, every frame decoded and counted.
inline VideoInfo Probe(const std::string& path) {
    std::istringstream lines(testkit::CommandOutput(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of default=nw=1 '" +
        path + "' 2>/dev/null"));
    VideoInfo info;
    for (std::string line; std::getline(lines, line);) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name") info.codec = value;
        if (key == "width") info.width = std::atoi(value.c_str());
        if (key == "height") info.height = std::atoi(value.c_str());
        if (key == "r_frame_rate") info.rate = value;
        if (key == "nb_read_frames") info.frames = std::atoi(value.c_str());
    }
    return info;
}

// Snapshot files of a camera in dir, sorted by name.
inline std::vector<std::string> Snapshots(const testkit::TempDir& dir, const std::string& base) {
    std::vector<std::string> found;
    for (const std::string& name : testkit::ListFiles(dir.path())) {
        if (name.rfind(base, 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".jpg") {
            found.push_back(name);
        }
    }
    return found;
}

}  // namespace e2e
