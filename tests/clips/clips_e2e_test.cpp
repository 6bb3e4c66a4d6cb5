// The real program's event clips: where they begin and end, one per event, and what a stop
// in the middle of an event leaves behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "tests/testkit/e2e.h"

namespace {

using Strings = std::vector<std::string>;

// Clips of camera 0 in folder, sorted by name (= by time); parts left unfinished apart.
Strings Clips(const std::string& folder, Strings* parts = nullptr) {
    Strings found;
    for (const std::string& name : testkit::ListFiles(folder)) {
        if (name.rfind("cam0-2", 0) != 0 || name.rfind("cam0-2000", 0) == 0) continue;
        if (name.find(".part.") != std::string::npos) {
            if (parts) parts->push_back(name);
        } else if (name.size() == 24) {
            found.push_back(name);
        }
    }
    return found;
}

// The clip names of the event file's start and end records, in order.
Strings EventClips(const std::string& path) {
    Strings clips;
    const std::string text = testkit::ReadFile(path);
    for (size_t at = text.find("\"clip\":\""); at != std::string::npos;
         at = text.find("\"clip\":\"", at + 1)) {
        const size_t from = at + 8;
        clips.push_back(text.substr(from, text.find('"', from) - from));
    }
    return clips;
}

const cv::Size kScene(320, 240);

// A 60x60 box moves 12 px a frame right in frames 151-160, back in 351-360 and right again
// in 380-384; motion (a difference from three frames earlier) lasts two frames longer.
// Frames 0-2 count too: the lit start.
cv::Mat ThreeBursts(int i) {
    const int steps =
        std::clamp(i - 150, 0, 10) - std::clamp(i - 350, 0, 10) + std::clamp(i - 379, 0, 5);
    cv::Mat scene = testkit::StillScene(kScene);
    cv::rectangle(scene, cv::Rect(20 + 12 * steps, 90, 60, 60), cv::Scalar(250, 250, 250),
                  cv::FILLED);
    return scene;
}

// At 25 fps: PRECAPTURE=1 is 25 frames, POSTCAPTURE=0.4 is 10.
//  - the lit start, frames 0-2 and 10 after: 13 frames, nothing before it to keep;
//  - the first burst, motion 151-162, more than EVENTGAP=2 s after: 25 + 12 + 10 = 47;
//  - the second, motion 351-362, and the third, 380-386, less than 2 s later: one clip of
//    25 + (386 + 10 - 351 + 1) = 71 frames, the still frames between them included; it is
//    finished when the file ends.
// Each event's records name its clip; an old clip is deleted at start-up, nothing else.
TEST(ClipsEndToEnd, OneClipPerEventFromPreToPostCapture) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 420, kScene, ThreeBursts));
    std::filesystem::create_directory(dir.File("clips"));
    const Strings untouched{"cam0-20000101-000000.mp4.txt", "cam0-20000101-00000.mp4"};
    for (const std::string& name : untouched) testkit::WriteTextFile(dir.File("clips/" + name), "");
    testkit::WriteTextFile(dir.File("clips/cam0-20000101-000000.mp4"), "old");
    e2e::WriteConfig(dir, {{"OUTJPG", "OFF"},
                           {"OUTAVI", "OFF"},
                           {"OUTCLIP", "ON"},
                           {"PATHCLIP", "clips/"},
                           {"PRECAPTURE", "1"},
                           {"POSTCAPTURE", "0.4"},
                           {"EVENTGAP", "2"},
                           {"CLIPDAYS", "30"},
                           {"OUTEVENTS", "ON"}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(e2e::WaitForWorkerEnd(dir, 0, 60000)) << program.Stderr();
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(10000), 0);
    EXPECT_EQ(program.Stdout(), "Searching.\nAll camera=1\nQORV#");
    EXPECT_EQ(program.Stderr(), "");

    Strings parts;
    const Strings clips = Clips(dir.File("clips"), &parts);
    EXPECT_TRUE(parts.empty());
    ASSERT_EQ(clips.size(), 3u) << testkit::CommandOutput("ls " + dir.File("clips"));
    const int expected[] = {13, 47, 71};
    for (size_t i = 0; i < clips.size(); ++i) {
        SCOPED_TRACE(clips[i]);
        const e2e::VideoInfo info = e2e::Probe(dir.File("clips/" + clips[i]));
        EXPECT_EQ(info.codec, "h264");
        EXPECT_EQ(info.width, kScene.width);
        EXPECT_EQ(info.height, kScene.height);
        EXPECT_EQ(info.rate, "25/1");
        EXPECT_NEAR(info.frames, expected[i], 1) << testkit::ReadFile(dir.File("events.jsonl"));
    }
    Strings named;
    for (const std::string& c : clips) named.insert(named.end(), 2, "clips/" + c);
    EXPECT_EQ(EventClips(dir.File("events.jsonl")), named);
    for (const std::string& name : untouched)
        EXPECT_TRUE(testkit::FileExists(dir.File("clips/" + name)));
    EXPECT_FALSE(testkit::FileExists(dir.File("clips/cam0-20000101-000000.mp4")));
}

// `exit` and SIGTERM in the middle of an event: the clip is finished, holds every frame of
// the event so far (motion from the first frame: nothing before it), and the next run's clip
// is a file of its own beside an unfinished one a crash left.
TEST(ClipsEndToEnd, ExitAndSigtermMidEventLeavePlayableClips) {
    for (bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "exit");
        testkit::TempDir dir;
        ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 400, e2e::kSmall, e2e::Flicker));
        const std::string crashed = dir.File("cam0-19991231-235959.part.mp4");
        testkit::WriteTextFile(crashed, "cut short");
        e2e::WriteConfig(dir, {{"OUTJPG", "OFF"},
                               {"OUTAVI", "OFF"},
                               {"OUTCLIP", "ON"},
                               {"MINMSEC", "30"},
                               {"MAXMSEC", "30"}});
        testkit::Program program(dir.path());
        ASSERT_TRUE(e2e::WaitForText(dir.File("cam0.log"), "Log:cadr #", 10000, 20));
        if (bySignal) {
            program.Signal(SIGTERM);
        } else {
            program.Send("exit\n");
        }
        EXPECT_EQ(program.Wait(10000), 0);
        const int records = e2e::LogRecords(dir.File("cam0.log"));
        EXPECT_LT(records, 400);
        Strings parts;
        const Strings clips = Clips(dir.path(), &parts);
        ASSERT_EQ(clips.size(), 1u);
        EXPECT_EQ(e2e::Probe(dir.File(clips[0])).frames, records + 1);  // and the dark first frame
        EXPECT_TRUE(parts.empty());
        EXPECT_EQ(testkit::ReadFile(crashed), "cut short");
    }
}

// A large camera, motion all the time, no pause and a large ring: the encoder falls behind.
// What it turns away is counted in /metrics, the clip never holds more than the log, and the
// exit does not wait for a queue of hundreds of megabytes to be encoded.
TEST(ClipsEndToEnd, AnEncoderThatFallsBehindCountsItsDropsAndExitsInTime) {
    testkit::TempDir dir;
    const cv::Size large(1280, 720);
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 400, large, [&](int i) {
        return testkit::MovingBoxScene(large, i % 100, 0, 100);
    }));
    const int port = testkit::FreePort();
    e2e::WriteConfig(dir, {{"OUTJPG", "OFF"},
                           {"OUTAVI", "OFF"},
                           {"MINMSEC", "0"},
                           {"MAXMSEC", "0"},
                           {"OUTCLIP", "ON"},
                           {"PRECAPTUREMB", "1024"},
                           {"WEBPORT", std::to_string(port)}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(e2e::WaitForText(dir.File("cam0.log"), "Log:cadr #", 60000, 120));
    const std::string metrics = testkit::CommandOutput(
        "curl -s -m 10 http://127.0.0.1:" + std::to_string(port) + "/metrics");
    EXPECT_NE(metrics.find("camwatch_clip_frames_dropped_total{camera=\"0\"} "),
              std::string::npos)
        << metrics;
    const auto asked = std::chrono::steady_clock::now();
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(60000), 0);
    const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - asked)
                            .count();
    std::printf("[ measure  ] exit %lld ms\n", static_cast<long long>(exitMs));
    EXPECT_LT(exitMs, testkit::kSanitized ? 4000 : 2000);
    const Strings clips = Clips(dir.path());
    ASSERT_EQ(clips.size(), 1u);
    const int frames = e2e::Probe(dir.File(clips[0])).frames;
    EXPECT_GT(frames, 0);
    EXPECT_LE(frames, e2e::LogRecords(dir.File("cam0.log")) + 1);
}

}  // namespace
