// Camera windows of the real program: on a virtual X display, and with no display at all.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "tests/testkit/e2e.h"

namespace {

const std::string kUnavailable = "camera windows are unavailable";

TEST(WorkerWindows, WithoutADisplayTheProgramSaysSoOnceAndRunsOn) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 200, e2e::kSmall, e2e::Flicker));
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src1.avi"), 200, e2e::kSmall, e2e::Flicker));
    e2e::WriteConfig(dir, {{"WINDOWS", "ON"}, {"ALLCAM", "2"}, {"SOURCE1", "src1.avi"}});
    // No DISPLAY at all, then one that names no server.
    for (auto env : {std::vector<std::string>{}, std::vector<std::string>{"DISPLAY=:9876"}}) {
        testkit::Program program(dir.path(), env);
        ASSERT_TRUE(program.WaitForOutput("QORV#", 10000)) << program.Stderr();
        program.Send("winoff\nwinon\n");
        EXPECT_TRUE(e2e::WaitForText(dir.File("cam1.log"), "Log:cadr #", 5000, 5));
        program.Send("exit\n");
        EXPECT_EQ(program.Wait(5000), 0);
        std::string err = program.Stderr();
        EXPECT_EQ(e2e::Occurrences(err, "\n"), 1) << err;
        EXPECT_NE(err.find(kUnavailable), std::string::npos) << err;
    }
}

int RedPixels(const cv::Mat& image) {
    cv::Mat red;
    cv::inRange(image, cv::Scalar(0, 0, 180), cv::Scalar(90, 90, 255), red);
    return cv::countNonZero(red);
}

// Camera 0's file ends at once, so its worker (the first to make a window) is gone while
// camera 1's window keeps following the console and the close button.
TEST(WorkerWindows, WindowsFollowTheConsoleAndTheCloseButton) {
    testkit::VirtualDisplay display;
    if (!display.ok()) GTEST_SKIP() << "Xvfb is not available";
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 10, e2e::kSmall, e2e::Lit));
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src1.avi"), 1000, e2e::kSmall, e2e::Flicker));
    e2e::WriteConfig(dir, {{"WINDOWS", "ON"},
                           {"ALLCAM", "2"},
                           {"SOURCE1", "src1.avi"},
                           {"OUTAVI", "OFF"},
                           {"OUTLOG", "OFF"}});
    testkit::Program program(dir.path(), {display.Env()});
    ASSERT_TRUE(program.WaitForOutput("QORV#", 10000)) << program.Stderr();
    const std::string cam0 = "Camera #0", cam1 = "Camera #1";
    EXPECT_TRUE(display.WaitForWindows(cam1, 1, 30000));  // Qt starts slowly under sanitizers
    EXPECT_TRUE(display.WaitForWindows(cam0, 0, 5000));   // its camera has ended

    program.Send("winoff\n");
    EXPECT_TRUE(display.WaitForWindows(cam1, 0, 3000));
    program.Send("winon\n");
    EXPECT_TRUE(display.WaitForWindows(cam1, 1, 3000));

    ASSERT_TRUE(display.CloseLikeUser(cam1));
    EXPECT_TRUE(display.WaitForWindows(cam1, 0, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // many frames later
    EXPECT_TRUE(display.VisibleWindows(cam1).empty()) << "a closed window came back by itself";
    program.Send("winon\n");
    EXPECT_TRUE(display.WaitForWindows(cam1, 1, 3000));

    program.Send("exit\n");
    EXPECT_EQ(program.Wait(5000), 0);
    EXPECT_TRUE(display.VisibleWindows(cam1).empty());
    auto shots = e2e::Snapshots(dir, "cam1n");
    EXPECT_GT(shots.size(), 20u);
    for (const std::string& name : shots) {
        ASSERT_EQ(RedPixels(cv::imread(dir.File(name))), 0) << name;
    }
}

}  // namespace
