// The track gate in the real program: swaying foliage, a walker and a light jump side by side.
// Events and hooks report only the walker, with its travel; the core outputs follow the plain
// count unless TRACKGATE=ON; a light jump restarts the scene instead of counting. Then the
// person label: the photographed walker alerts, the foliage is only recorded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/testkit/e2e.h"
#include "tests/testkit/scenes.h"

namespace {

const cv::Size kSize(320, 240);

std::vector<nlohmann::json> Starts(const testkit::TempDir& dir, int camera) {
    std::vector<nlohmann::json> found;
    std::istringstream lines(testkit::ReadFile(dir.File("events.jsonl")));
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        if (j["type"] == "start" && j["camera"] == camera) found.push_back(j);
    }
    return found;
}

void RunUntilEnd(const testkit::TempDir& dir, int cameras) {
    testkit::Program program(dir.path());
    for (int slot = 0; slot < cameras; ++slot) EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, slot)) << slot;
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(10000), 0);
    EXPECT_EQ(program.Stderr(), "");
}

TEST(TrackGate, OnlyTheWalkerMakesEventsAndTrackGateTakesTheCoreOutputsAlong) {
    testkit::TempDir dir;
    const char* scenes[] = {"foliage", "crossing", "lightjump"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(testkit::WriteVideo(dir.File(std::string(scenes[i]) + ".avi"), 125, kSize,
                                        [&](int f) { return testkit::SceneFrame(scenes[i], kSize, f); }));
    }
    std::map<std::string, std::string> keys = {
        {"ALLCAM", "3"},
        {"SOURCE0", "foliage.avi"},
        {"SOURCE1", "crossing.avi"},
        {"SOURCE2", "lightjump.avi"},
        {"OUTEVENTS", "ON"},
        {"MINTRAVEL", "10"},
        {"MINDURATION", "300"},
        {"ONEVENTSTART", "echo \"$CAMWATCH_CAMERA $CAMWATCH_TRACKS $CAMWATCH_TRAVEL\" >> hook.txt"}};
    e2e::WriteConfig(dir, keys);
    RunUntilEnd(dir, 3);

    EXPECT_TRUE(Starts(dir, 0).empty());
    EXPECT_TRUE(Starts(dir, 2).empty());
    const auto walker = Starts(dir, 1);
    ASSERT_EQ(walker.size(), 1u);
    EXPECT_EQ(walker[0]["tracks"], 1);
    const double travel = walker[0]["travel"], heading = walker[0]["travel_direction"];
    EXPECT_GE(travel, 10.0);
    EXPECT_TRUE(heading < 30.0 || heading > 330.0) << heading;  // left to right
    const std::string hooks = testkit::ReadFile(dir.File("hook.txt"));
    EXPECT_EQ(hooks.rfind("1 1 ", 0), 0u) << hooks;
    EXPECT_EQ(e2e::Occurrences(hooks, "\n"), 1) << hooks;
    // Without TRACKGATE the foliage is still recorded; the light jump restarted the scene.
    EXPECT_GE(e2e::Snapshots(dir, "cam0n").size(), 100u);
    EXPECT_GE(e2e::Snapshots(dir, "cam1n").size(), 40u);
    EXPECT_TRUE(e2e::Snapshots(dir, "cam2n").empty());
    const size_t plainWalker = e2e::Snapshots(dir, "cam1n").size();

    // TRACKGATE=ON: snapshots, video and log follow the gate as well.
    testkit::TempDir gated;
    for (const char* scene : {"foliage", "crossing"}) {
        ASSERT_EQ(std::rename(dir.File(std::string(scene) + ".avi").c_str(),
                              gated.File(std::string(scene) + ".avi").c_str()), 0);
    }
    keys["ALLCAM"] = "2";
    keys["TRACKGATE"] = "ON";
    keys.erase("ONEVENTSTART");
    e2e::WriteConfig(gated, keys);
    RunUntilEnd(gated, 2);
    EXPECT_TRUE(e2e::Snapshots(gated, "cam0n").empty());
    EXPECT_EQ(e2e::LogRecords(gated.File("cam0.log")), 0);
    const size_t gatedWalker = e2e::Snapshots(gated, "cam1n").size();
    EXPECT_GE(gatedWalker, 15u);
    EXPECT_LT(gatedWalker, plainWalker);
    EXPECT_EQ(e2e::LogRecords(gated.File("cam1.log")), static_cast<int>(gatedWalker));
    EXPECT_EQ(Starts(gated, 1).size(), 1u);
}

TEST(PersonLabel, OnlyThePhotographedWalkerAlertsAndEveryEventIsRecorded) {
    cv::Mat person, mask;
    if (!testkit::PersonPhoto(person, mask)) GTEST_SKIP() << "opencv-doc is not installed";
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("foliage.avi"), 125, kSize, [&](int f) {
        return testkit::SceneFrame("foliage", kSize, f);
    }));
    ASSERT_TRUE(testkit::WriteVideo(dir.File("crossing.avi"), 125, kSize, [&](int f) {
        return testkit::SceneFrame("crossing", kSize, f, person, mask);
    }));
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE0", "foliage.avi"},
                           {"SOURCE1", "crossing.avi"},
                           {"OUTEVENTS", "ON"},
                           {"MINMSEC", "40"},  // the scene's own pace, 25 frames a second
                           {"MAXMSEC", "40"},
                           {"WARMUP", "3"},
                           {"LABELS", "person"},
                           {"ALERTLABELS", "person"},
                           {"ONEVENTSTART", "echo \"$CAMWATCH_CAMERA $CAMWATCH_LABELS\" >> hook.txt"}});
    RunUntilEnd(dir, 2);

    // Both events are recorded; the foliage's has no label.
    ASSERT_EQ(Starts(dir, 0).size(), 1u);
    ASSERT_EQ(Starts(dir, 1).size(), 1u);
    EXPECT_EQ(Starts(dir, 0)[0]["labels"], nlohmann::json::array());
    const std::string records = testkit::ReadFile(dir.File("events.jsonl"));
    EXPECT_EQ(e2e::Occurrences(records, "\"type\":\"label\""), 1) << records;
    std::istringstream lines(records);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        if (j["type"] != "end") continue;
        if (j["camera"] == 0) {
            EXPECT_EQ(j["labels"], nlohmann::json::array());
        }
        if (j["camera"] != 1) continue;
        ASSERT_EQ(j["labels"].size(), 1u);
        EXPECT_EQ(j["labels"][0]["label"], "person");
        EXPECT_GT(j["labels"][0]["score"].get<double>(), 0.3);
        const std::string shot = j["labels"][0]["snapshot"];
        EXPECT_TRUE(testkit::FileExists(dir.File(shot))) << shot;
    }
    // Only the person's event ran the start hook, with its label.
    const std::string hooks = testkit::ReadFile(dir.File("hook.txt"));
    EXPECT_EQ(e2e::Occurrences(hooks, "\n"), 1) << hooks;
    EXPECT_EQ(hooks.rfind("1 [{\"label\":\"person\"", 0), 0u) << hooks;

    // With the travel gate too: the person walking towards the camera, whose box grows more
    // than it travels, passes it once labelled, before travelling MINTRAVEL.
    testkit::TempDir gated;
    ASSERT_TRUE(testkit::WriteVideo(gated.File("approach.avi"), 125, kSize, [&](int f) {
        return testkit::SceneFrame("approach", kSize, f, person, mask);
    }));
    e2e::WriteConfig(gated, {{"ALLCAM", "1"},
                             {"SOURCE0", "approach.avi"},
                             {"OUTEVENTS", "ON"},
                             {"MINMSEC", "40"},
                             {"MAXMSEC", "40"},
                             {"WARMUP", "3"},
                             {"MINTRAVEL", "10"},
                             {"MINDURATION", "300"},
                             {"LABELS", "person"},
                             {"ALERTLABELS", "person"}});
    RunUntilEnd(gated, 1);
    const auto approach = Starts(gated, 0);
    ASSERT_EQ(approach.size(), 1u);
    EXPECT_LT(approach[0]["travel"].get<double>(), 10.0) << approach[0];
    EXPECT_NE(testkit::ReadFile(gated.File("events.jsonl")).find("\"label\":\"person\""),
              std::string::npos);
}

// A model whose output has the wrong shape: one line for all cameras, which go on unlabelled.
TEST(PersonLabel, AWrongModelIsToldOnceAndTheCamerasGoOn) {
    testkit::TempDir dir;
    ASSERT_EQ(std::system(("/usr/bin/python3 " CAMWATCH_SOURCE "/tests/labels/tiny_model.py '" +
                           dir.path() + "'").c_str()),
              0);
    testkit::WriteTextFile(dir.File("names.txt"), "person\ncar\n");
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 60, kSize, [&](int f) {
        return testkit::SceneFrame("crossing", kSize, f + 20);
    }));
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE1", "src0.avi"},
                           {"OUTEVENTS", "ON"},
                           {"MODEL", "wrong.onnx"},
                           {"MODELLABELS", "names.txt"},
                           {"MODELSIZE", "64"}});
    testkit::Program program(dir.path());
    for (int slot : {0, 1}) EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, slot)) << slot;
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(10000), 0);
    EXPECT_EQ(program.Stderr(),
              "camwatch: model wrong.onnx gives output [1, 14], not [1, N, 7]; cameras run "
              "without labels\n");
    EXPECT_GE(e2e::Snapshots(dir, "cam0n").size(), 20u);
    EXPECT_EQ(Starts(dir, 1).size(), 1u);
}

}  // namespace
