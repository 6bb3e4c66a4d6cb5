// The real program on video files as cameras: what the workers write.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/testkit/e2e.h"

namespace {

using e2e::Probe;
using e2e::Snapshots;
using Strings = std::vector<std::string>;

// Runs the program until camera `waitFor` has served its whole file, then types exit.
void RunToFileEnd(const testkit::TempDir& dir, int waitFor = 0) {
    testkit::Program program(dir.path());
    EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, waitFor)) << program.Stderr();
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(5000), 0);  // nothing left to wait for
}

TEST(WorkerEndToEnd, AStillLitSceneOutputsItsFirstSevenFrames) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 12, e2e::kSmall, e2e::Lit));
    e2e::WriteConfig(dir);
    RunToFileEnd(dir);
    EXPECT_EQ(Snapshots(dir, "cam0n"),
              (Strings{"cam0n1.jpg", "cam0n2.jpg", "cam0n3.jpg", "cam0n4.jpg", "cam0n5.jpg",
                       "cam0n6.jpg", "cam0n7.jpg"}));
    EXPECT_EQ(e2e::LogRecords(dir.File("cam0.log")), 7);
    EXPECT_EQ(Probe(dir.File("cam0.avi")).frames, 7);
}

TEST(WorkerEndToEnd, OnlyTheFramesOfHoldsAreWritten) {
    testkit::TempDir dir;
    // Lit start: frames 0-2 count, held to 6. The box moves in frames 21-30, so frames
    // 21-32 differ from three frames earlier; held to 36. Nothing after that.
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 60, {320, 240}, [](int i) {
        return testkit::MovingBoxScene({320, 240}, i, 20, 30);
    }));
    e2e::WriteConfig(dir);
    RunToFileEnd(dir);
    const int held = 7 + (36 - 21 + 1);
    EXPECT_EQ(Snapshots(dir, "cam0n").size(), static_cast<size_t>(held));
    EXPECT_EQ(e2e::LogRecords(dir.File("cam0.log")), held);
    EXPECT_EQ(Probe(dir.File("cam0.avi")).frames, held);
}

TEST(WorkerEndToEnd, SnapshotsTakeTheLowestFreeNumbersAfterAGluedPrefix) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 10, e2e::kSmall, e2e::Lit));
    testkit::WriteTextFile(dir.File("shot_cam0n1.jpg"), "earlier run");
    testkit::WriteTextFile(dir.File("shot_cam0n3.jpg"), "earlier run");
    e2e::WriteConfig(dir, {{"PATHJPG", "shot_"}});
    RunToFileEnd(dir);
    EXPECT_EQ(Snapshots(dir, "shot_cam0n"),
              (Strings{"shot_cam0n1.jpg", "shot_cam0n2.jpg", "shot_cam0n3.jpg", "shot_cam0n4.jpg",
                       "shot_cam0n5.jpg", "shot_cam0n6.jpg", "shot_cam0n7.jpg", "shot_cam0n8.jpg",
                       "shot_cam0n9.jpg"}));
    EXPECT_EQ(testkit::ReadFile(dir.File("shot_cam0n3.jpg")), "earlier run");
}

TEST(WorkerEndToEnd, VideoIsHalfSizeAtTenFramesPerSecondInTheConfiguredCodec) {
    for (auto [codec, expected] : {std::pair{"XVID", "mpeg4"}, std::pair{"MJPG", "mjpeg"}}) {
        SCOPED_TRACE(codec);
        testkit::TempDir dir;
        ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 9, {640, 480}, [](int) {
            return testkit::StillScene({640, 480});
        }));
        ASSERT_TRUE(testkit::WriteVideo(dir.File("src1.avi"), 6, e2e::kSmall, e2e::Dark));
        e2e::WriteConfig(dir, {{"CODEC", codec}, {"ALLCAM", "2"}, {"SOURCE1", "src1.avi"}});
        testkit::Program program(dir.path());
        EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, 0));
        EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, 1));
        program.Send("exit\n");
        EXPECT_EQ(program.Wait(5000), 0);

        e2e::VideoInfo video = Probe(dir.File("cam0.avi"));
        EXPECT_EQ(video.codec, expected);
        EXPECT_EQ(video.width, 320);
        EXPECT_EQ(video.height, 240);
        EXPECT_EQ(video.rate, "10/1");
        EXPECT_EQ(video.frames, 7);
        // Nothing moved before camera 1: its video exists all the same, and nothing else.
        EXPECT_TRUE(testkit::FileExists(dir.File("cam1.avi")));
        EXPECT_TRUE(Snapshots(dir, "cam1n").empty());
        EXPECT_EQ(e2e::LogRecords(dir.File("cam1.log")), 0);
    }
}

TEST(WorkerEndToEnd, OutputsSwitchedOffCreateNoFiles) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 10, e2e::kSmall, e2e::Lit));
    e2e::WriteConfig(dir, {{"OUTJPG", "OFF"}, {"OUTAVI", "on"}, {"OUTLOG", ""}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(program.WaitForOutput("QORV#", 5000));  // the short file is served by then
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(5000), 0);
    EXPECT_EQ(testkit::ListFiles(dir.path()), (Strings{"config.cfg", "src0.avi"}));
}

TEST(WorkerEndToEnd, TenCamerasEachWriteOnlyTheirOwnFiles) {
    testkit::TempDir dir;
    std::map<std::string, std::string> config{{"ALLCAM", "10"}};
    Strings expected{"config.cfg"};
    for (int i = 0; i < 10; ++i) {
        std::string n = std::to_string(i);
        ASSERT_TRUE(testkit::WriteVideo(dir.File("src" + n + ".avi"), 10, e2e::kSmall,
                                        i % 2 ? e2e::Dark : e2e::Lit));
        config["SOURCE" + n] = "src" + n + ".avi";
        expected.push_back("src" + n + ".avi");
        expected.push_back("cam" + n + ".avi");
        expected.push_back("cam" + n + ".log");
        for (int k = 1; k <= 7 && i % 2 == 0; ++k) {
            expected.push_back("cam" + n + "n" + std::to_string(k) + ".jpg");
        }
    }
    std::sort(expected.begin(), expected.end());
    e2e::WriteConfig(dir, config);
    RunToFileEnd(dir, 9);  // the last one started
    EXPECT_EQ(testkit::ListFiles(dir.path()), expected);
    for (int i = 0; i < 10; ++i) {
        std::string n = std::to_string(i);
        EXPECT_EQ(e2e::LogRecords(dir.File("cam" + n + ".log")), i % 2 ? 0 : 7) << n;
        EXPECT_EQ(Probe(dir.File("cam" + n + ".avi")).frames, i % 2 ? 0 : 7) << n;
    }
}

TEST(WorkerEndToEnd, SigtermDuringAHoldLeavesAPlayableVideoOfEveryLoggedFrame) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 400, e2e::kSmall, e2e::Flicker));
    e2e::WriteConfig(dir, {{"MINMSEC", "30"}, {"OUTJPG", "OFF"}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(e2e::WaitForText(dir.File("cam0.log"), "Log:cadr #", 10000, 12));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(5000), 0);
    int records = e2e::LogRecords(dir.File("cam0.log"));
    EXPECT_LT(records, 400);
    EXPECT_NE(testkit::ReadFile(dir.File("cam0.log")).find("Total time"), std::string::npos);
    EXPECT_EQ(Probe(dir.File("cam0.avi")).frames, records);
}

}  // namespace

TEST(WorkerEndToEnd, UnknownCodecIsReportedOnceAndTheOtherOutputsGoOn) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 40, e2e::kSmall, e2e::Lit));
    e2e::WriteConfig(dir, {{"CODEC", "ZZZZ"}});
    testkit::Program program(dir.path());
    EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, 0));
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(5000), 0);
    EXPECT_EQ(program.Stdout(), "Searching.\nAll camera=1\nQORV#");
    // The library's reason once, the program's own line once; 40 frames of retries are quiet.
    const std::string err = program.Stderr();
    EXPECT_EQ(e2e::Occurrences(err, "\n"), 2) << err;
    EXPECT_EQ(e2e::Occurrences(err, "camwatch: video cam0.avi cannot be created"), 1) << err;
    EXPECT_EQ(Snapshots(dir, "cam0n").size(), 7u);
    EXPECT_EQ(e2e::LogRecords(dir.File("cam0.log")), 7);
}
