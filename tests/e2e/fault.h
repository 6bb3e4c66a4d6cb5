// Helpers of the fault tests: the real program run against faults from outside.
//
// Every camera here blinks (lit, dim, lit, ...), so every frame it serves is a frame of a hold:
// a healthy run writes log records "cadr #0" to "cadr #N-1", N snapshots and N video frames
// for a source of N frames. That makes "nothing lost" exact.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <numeric>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <sstream>

#include "tests/testkit/e2e.h"

namespace fault {

using Clock = std::chrono::steady_clock;

// Generous: the sanitizer builds run these tests too, ten cameras on two cores.
constexpr int kWaitMs = 90000;

using testkit::kSanitized;

inline cv::Mat Dim(cv::Size size) {
    return cv::Mat(size, CV_8UC3, cv::Scalar(20, 20, 20));
}

// Lit, dim, lit, ...: each frame differs from the one three frames before it.
inline cv::Mat Blink(int i, cv::Size size = e2e::kSmall) {
    return i % 2 ? Dim(size) : testkit::StillScene(size);
}

inline bool WriteBlinking(const std::string& path, int frames, cv::Size size = e2e::kSmall) {
    return testkit::WriteVideo(path, frames, size, [size](int i) { return Blink(i, size); });
}

// The whole console transcript of a run that probed `probes` indices, found `found` cameras
// and read one command (or the end of input).
inline std::string Console(int probes, int found) {
    return "Searching" + std::string(static_cast<size_t>(probes), '.') +
           "\nAll camera=" + std::to_string(found) + "\nQORV#";
}

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Whether 127.0.0.1:port listens, or has already taken its one client (a server that serves
// one client stops listening once a camera reconnects, which may be before anyone looks).
inline bool Listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::istringstream table(testkit::ReadFile("/proc/net/tcp"));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && (state == "0A" || state == "01")) return true;  // listens, took one
    }
    return false;
}

inline std::string Cam(int slot, const std::string& what) {
    return "cam" + std::to_string(slot) + what;
}

// The numbers of a log's records, in file order.
inline std::vector<int> RecordNumbers(const std::string& log) {
    const std::string text = testkit::ReadFile(log);
    const std::string mark = "Log:cadr #";
    std::vector<int> numbers;
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
        numbers.push_back(std::atoi(text.c_str() + at + mark.size()));
    }
    return numbers;
}

inline std::vector<int> Range(int from, int to) {  // from .. to-1
    std::vector<int> r(static_cast<size_t>(std::max(0, to - from)));
    std::iota(r.begin(), r.end(), from);
    return r;
}

inline bool LogClosed(const std::string& log) {
    return testkit::ReadFile(log).find("Total time") != std::string::npos;
}

// Whether the program still runs (a child that has ended but is not yet reaped does not).
inline bool Running(const testkit::Program& program) {
    const std::string stat = testkit::ReadFile("/proc/" + std::to_string(program.pid()) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

// A worker has ended once its log is closed. False at once when the program has died.
inline bool WaitForLogsClosed(const testkit::Program& program, const testkit::TempDir& dir,
                              const std::string& prefix, int cameras) {
    bool closed = false;
    WaitUntil(
        [&] {
            closed = true;
            for (int i = 0; i < cameras && closed; ++i) {
                closed = LogClosed(dir.File(prefix + Cam(i, ".log")));
            }
            return closed || !Running(program);
        },
        kWaitMs);
    return closed;
}

// The video plays and holds exactly one frame per record of the log.
inline void ExpectVideoMatchesLog(const std::string& avi, const std::string& log) {
    const e2e::VideoInfo video = e2e::Probe(avi);
    EXPECT_FALSE(video.codec.empty()) << avi << " does not play";
    EXPECT_EQ(video.frames, e2e::LogRecords(log)) << avi;
}

// A log of a camera that served all `frames` frames and lost none of them.
inline void ExpectWholeLog(const std::string& log, int frames) {
    EXPECT_EQ(RecordNumbers(log), Range(0, frames)) << log;
    EXPECT_TRUE(LogClosed(log)) << log;
}

inline void Exit(testkit::Program& program) {
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(kWaitMs), 0) << program.Stderr();
}

// Mounts made by a test stay inside this test process where the machine allows it (a mount
// namespace of its own), so that a test that dies leaves nothing mounted behind.
inline void KeepMountsPrivate() {
    static const bool kept = unshare(CLONE_NEWNS) == 0 &&
                             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    (void)kept;
}

// A tmpfs of a few kilobytes on path, for the life of the object. ok() is false where this
// machine does not allow mounting.
class SmallFileSystem {
  public:
    SmallFileSystem(const std::string& path, int kib)
        : path_(path), options_("size=" + std::to_string(kib) + "k") {
        KeepMountsPrivate();
        mkdir(path.c_str(), 0755);
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", kFlags, options_.c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool ok() const { return mounted_; }
    bool SetReadOnly(bool on) {
        return mounted_ && mount(nullptr, path_.c_str(), nullptr,
                                 MS_REMOUNT | kFlags | (on ? MS_RDONLY : 0), options_.c_str()) == 0;
    }
    // Fills every last byte with a file of its own; Free() gives the room back.
    bool Fill() {
        std::ofstream filler(Filler(), std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) filler.flush();
        filler.close();
        // A one-byte probe must not fit any more.
        int fd = open((path_ + "/probe").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        bool full = fd >= 0 && write(fd, "x", 1) < 0 && errno == ENOSPC;
        if (fd >= 0) close(fd);
        unlink((path_ + "/probe").c_str());
        return full;
    }
    bool Free() { return unlink(Filler().c_str()) == 0; }

  private:
    static constexpr unsigned long kFlags = MS_NOSUID | MS_NODEV;
    std::string Filler() const { return path_ + "/filler"; }
    std::string path_, options_;
    bool mounted_ = false;
};

}  // namespace fault
