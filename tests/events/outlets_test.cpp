// The event file and the hook commands, with real files, FIFOs and /bin/sh children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "events/events.h"
#include "tests/events/tracked.h"
#include "tests/testkit/process.h"

namespace {

using Clock = std::chrono::steady_clock;

using events::FrameFacts;
using nlohmann::json;
using testkit::FileExists;
using testkit::ReadFile;

FrameFacts Motion(int64_t ms, std::string snapshot = {}) {
    FrameFacts f;
    f.steadyMs = ms;
    f.wallMs = 1796768405123 + ms;
    f.count = 1;
    f.held = true;
    f.snapshot = std::move(snapshot);
    return f;
}

// Counts the lines of text that contain needle.
int Lines(const std::string& text, const std::string& needle) {
    int n = 0;
    size_t at = 0;
    while ((at = text.find(needle, at)) != std::string::npos) ++n, ++at;
    return n;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    for (auto until = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < until;) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

TEST(EventFile, AppendsCompleteLinesAcrossRunsAndNeverStallsOnAFifo) {
    testkit::TempDir dir;
    events::Options o;
    o.eventFile = dir.File("events.jsonl");
    for (int run = 0; run < 2; ++run) {
        auto bus = events::StartEvents(o);
        ASSERT_TRUE(bus);
        TrackedEvents cam(run, *bus, 0, true);
        for (int e = 0; e < 3; ++e) {
            cam.OnFrame(Motion(e * 1000, "cam" + std::to_string(run) + "n1K.jpg"));
            FrameFacts quiet = Motion(e * 1000 + 40);
            quiet.count = 0;
            quiet.held = false;
            cam.OnFrame(quiet);
        }
        cam.OnFrame(Motion(9000));
        cam.Finish(9040, 1796768405123 + 9040);  // still open: gets its end here
        bus->Stop(Clock::now() + std::chrono::seconds(5));
    }
    std::ifstream in(o.eventFile);
    std::map<std::string, int> starts, ends;
    int lines = 0, named = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        json j = json::parse(line);  // throws on a torn line
        (j["type"] == "start" ? starts : ends)[j["id"]]++;
        named += j["type"] == "end" && j["first_snapshot"].is_string();
    }
    EXPECT_EQ(lines, 16);  // 2 runs x 4 events x start + end
    EXPECT_EQ(named, 6);   // the events cut short by Finish had no snapshot
    EXPECT_EQ(starts.size(), 8u);
    EXPECT_EQ(starts, ends);

    // A FIFO nobody reads: no stall, one line on stderr however many records fail.
    std::string fifo = dir.File("fifo/events.jsonl");
    mkdir(dir.File("fifo").c_str(), 0700);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    o.eventFile = fifo;
    testing::internal::CaptureStderr();
    {
        auto bus = events::StartEvents(o);
        TrackedEvents cam(0, *bus, 0, false);
        for (int i = 0; i < 5; ++i) cam.OnLost("gone", i);
        bus->Stop(Clock::now() + std::chrono::seconds(5));
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Lines(err, "camwatch: cannot open event file"), 1) << err;
}

TEST(Hooks, HostileValuesStayDataFailuresAreReportedOnceAndTimeoutsKill) {
    testkit::TempDir dir;
    const std::string d = dir.path();
    const std::string hostile = "a b'c\"d $(touch " + d + "/pwned) `touch " + d + "/pwned2`.jpg";
    setenv("KEPT_CHECK", "passed-on", 1);
    events::Options o;
    o.onStart = "printf '%s' \"$CAMWATCH_FIRST_SNAPSHOT\" > " + d +
                "/snap.$CAMWATCH_EVENT; printf '%s' " + "\"$CAMWATCH_JSON\" > " + d +
                "/json.$CAMWATCH_EVENT; printf '%s|%s|%s|%s' \"$CAMWATCH_TYPE\" " +
                "\"$CAMWATCH_EVENT\" \"$CAMWATCH_FRAMES\" \"$KEPT_CHECK\" > " + d +
                "/vars.$CAMWATCH_EVENT; echo hook-says-hello";
    o.onEnd = "exit 3";
    o.onLost = "echo $$ > " + d + "/lostpid; exec sleep 1000";
    o.hookTimeoutSeconds = 1;
    testing::internal::CaptureStderr();
    {
        auto bus = events::StartEvents(o);
        TrackedEvents cam(4, *bus, 0, true);
        cam.OnFrame(Motion(0, hostile));
        for (int i = 1; i <= 3; ++i) {  // three ends, each failing
            FrameFacts quiet = Motion(i * 100);
            quiet.count = 0;
            quiet.held = false;
            cam.OnFrame(quiet);
            cam.OnFrame(Motion(i * 100 + 40, hostile));  // and four starts
        }
        cam.OnLost("gone", 5);
        // The sleeping hook is killed at the one-second timeout, long before shutdown.
        EXPECT_TRUE(WaitFor([&] { return !ReadFile(d + "/lostpid").empty(); }, 10000));
        pid_t lostPid = atoi(ReadFile(d + "/lostpid").c_str());
        ASSERT_GT(lostPid, 0);
        EXPECT_TRUE(WaitFor([&] { return kill(lostPid, 0) != 0; }, 10000));
        bus->Stop(Clock::now() + std::chrono::seconds(5));
    }
    std::string err = testing::internal::GetCapturedStderr();
    const std::string first = "4-1796768405123";  // four starts run side by side
    EXPECT_EQ(ReadFile(d + "/snap." + first), hostile);
    EXPECT_EQ(json::parse(ReadFile(d + "/json." + first))["first_snapshot"], hostile);
    EXPECT_EQ(ReadFile(d + "/vars." + first), "start|" + first + "|1|passed-on");
    EXPECT_FALSE(FileExists(d + "/pwned") || FileExists(d + "/pwned2"));
    EXPECT_EQ(Lines(err, "hook-says-hello"), 4);  // the hook's stdout lands on stderr
    EXPECT_EQ(Lines(err, "camwatch: hook ONEVENTEND failed (exit status 3)"), 1) << err;
    EXPECT_EQ(Lines(err, "camwatch: hook ONCAMERALOST failed (killed after 1 s)"), 1) << err;
    unsetenv("KEPT_CHECK");
}

TEST(Hooks, BurstNeverBlocksPublishOverflowIsOneLineAndShutdownLeavesNoChildren) {
    testkit::TempDir dir;
    const std::string d = dir.path();
    events::Options o;
    o.onBack = "sleep 30; touch " + d + "/done.$$";
    testing::internal::CaptureStderr();
    auto bus = events::StartEvents(o);
    TrackedEvents cam(1, *bus, 10, false);
    auto before = Clock::now();
    for (int i = 0; i < 100; ++i) cam.OnBack(i);  // 4 run, 64 wait, the rest are dropped
    auto publishTime = Clock::now() - before;
    // Every Publish returned while the hooks are still asleep.
    EXPECT_TRUE(testkit::ListFiles(d).empty());
    EXPECT_LT(publishTime, std::chrono::seconds(1));
    before = Clock::now();
    bus->Stop(Clock::now() + std::chrono::seconds(10));
    auto stopTime = Clock::now() - before;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GE(stopTime, std::chrono::milliseconds(1900));  // waited for the sleepers ...
    EXPECT_LT(stopTime, std::chrono::seconds(5));          // ... up to two seconds
    EXPECT_EQ(Lines(err, "camwatch: too many hook commands"), 1) << err;
    EXPECT_EQ(Lines(err, "camwatch: hook ONCAMERABACK failed (killed at shutdown)"), 1) << err;
    EXPECT_EQ(bus->Published(1), 100u);
    // No zombie and no running child of ours is left.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
