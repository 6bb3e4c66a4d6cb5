// The pre-capture ring's memory bound and the retention sweep, as units.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <opencv2/core.hpp>

#include "clips/clips.h"
#include "clips/ring.h"
#include "tests/testkit/process.h"
#include "tests/testkit/video.h"

namespace {

constexpr size_t kMB = size_t{1} << 20;

// Two seconds at 25 fps into a 64 MB ring: a still scene keeps every frame (as JPEG once raw
// frames no longer fit), noise that compresses badly keeps fewer; the bound holds throughout
// and the frames come back whole and in order.
TEST(ClipRing, StaysUnderItsBoundAtEverySizeAndHandsFramesBackInOrder) {
    for (cv::Size size : {cv::Size(320, 240), cv::Size(1280, 720), cv::Size(1920, 1080)}) {
        // Under a sanitizer the JPEG work of the largest size would take most of a minute.
        if (testkit::kSanitized && size.width > 1280) continue;
        for (bool noise : {false, true}) {
            SCOPED_TRACE(std::to_string(size.width) + (noise ? " noise" : " scene"));
            clips::FrameRing ring(64 * kMB);
            cv::Mat scene = testkit::StillScene(size);
            if (noise) cv::randu(scene, 0, 256);
            for (int i = 0; i < 80; ++i) {
                cv::Mat frame = scene.clone();
                frame(cv::Rect(0, 0, 16, 16)).setTo(cv::Scalar::all(3 * i));  // its number
                ring.Push(frame, 50);
                ASSERT_LE(ring.Bytes(), 64 * kMB);
            }
            EXPECT_LE(ring.PeakBytes(), 64 * kMB);
            if (!noise) {
                EXPECT_EQ(ring.Frames(), 50u);
            } else if (size.width >= 1920) {
                EXPECT_LT(ring.Frames(), 50u);
            }
            std::printf("[ ring ] %dx%d %s: %zu frames, %.1f MB\n", size.width, size.height,
                        noise ? "noise" : "scene", ring.Frames(), ring.Bytes() / double(kMB));
            const size_t kept = ring.Frames();
            int expect = 80 - static_cast<int>(kept), handed = 0;
            ring.Drain([&](const cv::Mat& f) {
                EXPECT_EQ(f.size(), size);
                // JPEG blurs the number a little; raw frames keep it exactly.
                EXPECT_NEAR(f.at<cv::Vec3b>(8, 8)[1], 3 * expect, 4);
                ++expect;
                ++handed;
            });
            EXPECT_EQ(handed, static_cast<int>(kept));
            EXPECT_EQ(ring.Frames(), 0u);
            EXPECT_EQ(ring.Bytes(), 0u);
        }
    }
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Only files named like clips, after the prefix's own part, in its folder, and only the old.
TEST(ClipRetention, DeletesOnlyOldClipsOfThisPrefix) {
    testkit::TempDir dir;
    std::filesystem::create_directory(dir.File("clips"));
    std::filesystem::create_directory(dir.File("clips/x_cam1-20000101-000000.mp4"));  // a folder
    const int64_t now = NowMs();
    const std::string recent = "x_" + clips::ClipName(2, now - 3600 * 1000);
    const std::string older = "x_" + clips::ClipName(3, now - 2 * 86400 * 1000);
    for (const std::string& name :
         {std::string("x_cam0-20000101-000000.mp4"), std::string("x_cam9-20200229-235959.mp4"),
          older, recent, std::string("cam0-20000101-000000.mp4"),
          std::string("x_cam0-20000101-000000.mp4.bak"), std::string("x_cam0-20000101-00000.mp4"),
          std::string("x_cam0-20000101-000000.part.mp4"), std::string("x_camA-20000101-000000.mp4"),
          std::string("x_cam10-20000101-000000.mp4")}) {
        testkit::WriteTextFile(dir.File("clips/" + name), "clip");
    }
    testkit::WriteTextFile(dir.File("x_cam0-20000101-000000.mp4"), "outside the folder");

    EXPECT_EQ(clips::DeleteOldClips(dir.File("clips/x_"), 0, now), 0);  // 0 keeps all
    EXPECT_EQ(clips::DeleteOldClips(dir.File("clips/x_"), 1, now), 3);
    std::vector<std::string> kept{"cam0-20000101-000000.mp4",
                                  "x_cam0-20000101-00000.mp4",
                                  "x_cam0-20000101-000000.mp4.bak",
                                  "x_cam0-20000101-000000.part.mp4",
                                  "x_cam10-20000101-000000.mp4",
                                  "x_camA-20000101-000000.mp4",
                                  recent};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(testkit::ListFiles(dir.File("clips")), kept);
    EXPECT_TRUE(testkit::FileExists(dir.File("x_cam0-20000101-000000.mp4")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("clips/x_cam1-20000101-000000.mp4")));
}

}  // namespace
