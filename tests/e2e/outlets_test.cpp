// The real program with its optional outlets on: the event file, a hook and the web view,
// on a synthetic camera with two bursts of motion far apart.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/testkit/e2e.h"

namespace {

constexpr int kTimeoutMs = 60000;
const cv::Size kSize(320, 240);

std::string Curl(int port, const std::string& path, const std::string& file = "/dev/stdout") {
    return testkit::CommandOutput("curl -s -m 10 -o '" + file + "' -w '%{http_code}' " +
                                  "http://127.0.0.1:" + std::to_string(port) + path);
}

// The box moves over frames 10..29, rests, and moves again over 100..119: with EVENTGAP=1 and
// 20 ms waits the rest is well over a second, so these are two events (the first one also
// holds the lit first frames, which differ from the empty history).
cv::Mat TwoBursts(int i) {
    return i < 100 ? testkit::MovingBoxScene(kSize, i, 10, 30)
                   : testkit::MovingBoxScene(kSize, i - 90, 10, 30);
}

std::vector<nlohmann::json> Lines(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(testkit::ReadFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(Outlets, EventFileHookAndWebViewFollowTheMotion) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 180, kSize, TwoBursts));
    // A snapshot folder whose name would run commands if it were ever spliced into one.
    const std::string shots = "a b $(touch pwned) `touch pwned2` 'q\"/";
    ASSERT_EQ(mkdir(dir.File(shots).c_str(), 0755), 0);
    const int port = testkit::FreePort();
    e2e::WriteConfig(dir, {{"PATHJPG", shots},
                           {"OUTEVENTS", "ON"},
                           {"EVENTGAP", "1"},
                           {"ONEVENTSTART", "printf '%s|%s\\n' \"$CAMWATCH_EVENT\" "
                                            "\"$CAMWATCH_FIRST_SNAPSHOT\" >> hook.txt"},
                           {"WEBPORT", std::to_string(port)}});

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        testkit::Program program(dir.path());
        ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
        if (run == 1) {
            EXPECT_EQ(Curl(port, "/healthz", "/dev/null"), "200");
            const std::string status = Curl(port, "/api/status", dir.File("status.json"));
            EXPECT_EQ(status, "200");
            const auto json = nlohmann::json::parse(testkit::ReadFile(dir.File("status.json")));
            ASSERT_EQ(json["cameras"].size(), 1u);
            EXPECT_EQ(json["cameras"][0]["source"], "src0.avi");
            EXPECT_EQ(Curl(port, "/cam/0/latest.jpg", dir.File("latest.jpg")), "200");
            EXPECT_EQ(cv::imread(dir.File("latest.jpg")).size(), kSize);
            EXPECT_EQ(Curl(port, "/metrics", dir.File("metrics.txt")), "200");
            EXPECT_EQ(testkit::CommandOutput("promtool check metrics < '" +
                                             dir.File("metrics.txt") + "' 2>&1 && echo ok"),
                      "ok\n");
            EXPECT_EQ(Curl(port, "/cam/7/latest.jpg", "/dev/null"), "404");
        }
        ASSERT_TRUE(e2e::WaitForWorkerEnd(dir, 0, kTimeoutMs));
        program.Send("exit\n");
        EXPECT_EQ(program.Wait(kTimeoutMs), 0);
        EXPECT_EQ(program.Stdout(), "Searching.\nAll camera=1\nQORV#");

        // Two events a run, each a start and an end with the same id; every run appends.
        const std::vector<nlohmann::json> lines = Lines(dir.File("events.jsonl"));
        ASSERT_EQ(lines.size(), 4u * run);
        int64_t frames = 0;
        for (size_t i = 4 * (run - 1); i < lines.size(); i += 2) {
            EXPECT_EQ(lines[i]["type"], "start");
            EXPECT_EQ(lines[i + 1]["type"], "end");
            EXPECT_EQ(lines[i]["id"], lines[i + 1]["id"]);
            EXPECT_GT(lines[i + 1]["max_regions"].get<int>(), 0);
            frames += lines[i + 1]["frames"].get<int64_t>();
            for (const char* key : {"first_snapshot", "last_snapshot"}) {
                const std::string name = lines[i + 1][key];
                EXPECT_EQ(name.rfind(shots, 0), 0u) << name;
                EXPECT_TRUE(testkit::FileExists(dir.File(name))) << name;
            }
        }
        // Motion frames never outnumber the held frames the log records.
        const int records = e2e::LogRecords(dir.File("cam0.log"));
        EXPECT_GT(frames, 0);
        EXPECT_LE(frames, records);
    }
    // The hook saw each start with the hostile name intact, and ran nothing from it.
    const std::string hook = testkit::ReadFile(dir.File("hook.txt"));
    const std::vector<nlohmann::json> lines = Lines(dir.File("events.jsonl"));
    for (const auto& line : lines) {
        if (line["type"] != "start") continue;
        const std::string entry = line["id"].get<std::string>() + "|" +
                                  line["first_snapshot"].get<std::string>() + "\n";
        EXPECT_NE(hook.find(entry), std::string::npos) << entry << " in " << hook;
    }
    EXPECT_FALSE(testkit::FileExists(dir.File("pwned")));
    EXPECT_FALSE(testkit::FileExists(dir.File("pwned2")));
}

}  // namespace
