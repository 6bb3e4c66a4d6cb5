// The detection keys in the real program, three cameras at once: a warm-up that keeps a lit
// start quiet, motion wholly under a mask, an unreadable mask, and a light switched on. Then
// a walker passing a swaying tree, with and without a mask over the tree.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/testkit/e2e.h"

namespace {

TEST(DetectionKeys, WarmUpMaskAndLightSwitchKeepFalseMotionOut) {
    testkit::TempDir dir;
    const cv::Size size(320, 240);
    // The box moves in frames 21-30 within x 20..200, y 90..150.
    const auto box = [&](int i) { return testkit::MovingBoxScene(size, i, 20, 30); };
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 60, size, box));
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src1.avi"), 60, size, box));
    // The lights go up by 60 % at frame 20.
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src2.avi"), 40, e2e::kSmall, [](int i) {
        const cv::Mat scene = testkit::StillScene(e2e::kSmall);
        return i < 20 ? scene : cv::Mat(scene * 1.6);
    }));
    // Drawn at a quarter of the frame size: black over the box's path.
    cv::Mat mask(size / 4, CV_8UC1, cv::Scalar(255));
    mask(cv::Rect(0, 20, 55, 20)).setTo(0);
    ASSERT_TRUE(cv::imwrite(dir.File("mask0.png"), mask));
    e2e::WriteConfig(dir, {{"ALLCAM", "3"},
                           {"SOURCE1", "src1.avi"},
                           {"SOURCE2", "src2.avi"},
                           {"WARMUP", "3"},
                           {"LIGHTSWITCH", "50"},
                           {"MASK0", "mask0.png"},
                           {"MASK1", "nowhere.png"}});
    testkit::Program program(dir.path());
    for (int slot : {0, 1, 2}) EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, slot)) << slot;
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(5000), 0);

    // Masked motion and the light switch: no snapshot, no log record.
    for (int slot : {0, 2}) {
        const std::string cam = "cam" + std::to_string(slot);
        EXPECT_TRUE(e2e::Snapshots(dir, cam + "n").empty()) << slot;
        EXPECT_EQ(e2e::LogRecords(dir.File(cam + ".log")), 0) << slot;
    }
    // Unmasked: only the box's motion (frames 21-32, held to 36), not the lit start.
    EXPECT_EQ(e2e::Snapshots(dir, "cam1n").size(), 16u);
    EXPECT_EQ(e2e::LogRecords(dir.File("cam1.log")), 16);
    const std::string err = program.Stderr();
    EXPECT_EQ(e2e::Occurrences(err,
                               "camwatch: camera 1: mask nowhere.png cannot be read; the "
                               "camera runs unmasked\n"),
              1)
        << err;
    EXPECT_EQ(e2e::Occurrences(err, "\n"), 1) << err;  // and nothing else
    EXPECT_TRUE(program.Stdout().find("mask") == std::string::npos);
}

// Foliage sways all the time in the top right; a figure walks along the bottom in frames
// 40-69. Masked, only the walk is recorded (about its 30 frames plus the hold); unmasked, the
// tree keeps the camera recording nearly all the time.
TEST(DetectionKeys, AMaskOverSwayingFoliageLeavesOnlyTheWalker) {
    testkit::TempDir dir;
    const cv::Size size(320, 240);
    const cv::Rect tree(200, 10, 110, 100);
    cv::Mat leaves(tree.height, tree.width + 40, CV_8UC3, cv::Scalar(60, 160, 70));
    cv::RNG rng(7);
    for (int k = 0; k < 40; ++k) {
        const cv::Point at(rng.uniform(0, leaves.cols), rng.uniform(0, leaves.rows));
        const cv::Size axes(rng.uniform(6, 16), rng.uniform(4, 10));
        cv::ellipse(leaves, at, axes, rng.uniform(0, 180), 0, 360,
                    cv::Scalar(20, rng.uniform(50, 110), 20), cv::FILLED);
    }
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 100, size, [&](int i) {
        cv::Mat scene = testkit::StillScene(size);
        const int sway = 20 + static_cast<int>(std::lround(12 * std::sin(i * 0.9)));
        leaves(cv::Rect(sway, 0, tree.width, tree.height)).copyTo(scene(tree));
        if (i >= 40 && i < 70) {
            const int x = 8 * (i - 40);
            cv::rectangle(scene, cv::Rect(x, 160, 22, 70), cv::Scalar(40, 40, 60), cv::FILLED);
            cv::circle(scene, {x + 11, 150}, 10, cv::Scalar(40, 40, 60), cv::FILLED);
        }
        return scene;
    }));
    cv::Mat mask(size, CV_8UC1, cv::Scalar(255));
    mask(tree + cv::Size(10, 10) - cv::Point(5, 5)).setTo(0);
    ASSERT_TRUE(cv::imwrite(dir.File("mask0.png"), mask));
    e2e::WriteConfig(
        dir, {{"ALLCAM", "2"}, {"SOURCE1", "src0.avi"}, {"MASK0", "mask0.png"}, {"WARMUP", "3"}});
    testkit::Program program(dir.path());
    for (int slot : {0, 1}) EXPECT_TRUE(e2e::WaitForWorkerEnd(dir, slot)) << slot;
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(5000), 0);

    const size_t masked = e2e::Snapshots(dir, "cam0n").size();
    EXPECT_GE(masked, 25u);
    EXPECT_LE(masked, 45u);
    EXPECT_GE(e2e::Snapshots(dir, "cam1n").size(), 90u);
    EXPECT_EQ(program.Stderr(), "");
}

}  // namespace
