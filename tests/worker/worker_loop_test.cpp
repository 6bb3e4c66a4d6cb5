// The capture loop with a scripted camera, motion count and window system.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <stdexcept>

#include "config/config.h"
#include "tests/testkit/process.h"
#include "tests/testkit/video.h"
#include "tests/worker/fakes.h"

namespace {

using Strings = std::vector<std::string>;
const std::string kTitle = "Camera #0";

cv::Mat Still(int) {
    return testkit::StillScene({160, 120});
}

int RedPixels(const cv::Mat& image) {
    cv::Mat red;
    cv::inRange(image, cv::Scalar(0, 0, 180), cv::Scalar(90, 90, 255), red);
    return cv::countNonZero(red);
}

int Occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        slots::ResetCameraTable();
        settings = WorkerConfig{};
        settings.busyWaitMs = 50;
        settings.idleWaitMs = 1000;
        settings.codec = "MJPG";
        settings.outJpg = settings.outAvi = settings.outLog = true;
        settings.jpgPrefix = settings.aviPrefix = settings.logPrefix = dir.path() + "/";
    }

    // Serves slot 0 with a camera of count frames until the camera ends.
    void Run(int count, bool windowOn = false, std::function<void(int)> beforeFrame = {},
             std::function<cv::Mat(int)> frames = Still) {
        slots::OpenSlot(0, std::make_unique<fakes::ScriptedCamera>(count, frames, beforeFrame),
                        windowOn);
        ServeCamera(0, settings, Services());
        EXPECT_EQ(slots::CameraTable[0].runState.load(), slots::RunState::Finished);
        EXPECT_EQ(slots::CameraTable[0].capture, nullptr);
    }

    WorkerServices Services() {
        return {windows, std::ref(motion), [this](int, int32_t ms) { waits.push_back(ms); }};
    }

    std::vector<std::string> Snapshots() const {
        Strings jpgs;
        for (const std::string& name : testkit::ListFiles(dir.path())) {
            if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg") jpgs.push_back(name);
        }
        return jpgs;
    }
    std::string Log() const { return testkit::ReadFile(dir.File("cam0.log")); }
    int LogRecords() const { return Occurrences(Log(), "Log:cadr #"); }
    int VideoFrames(cv::Size* size = nullptr) const {
        return testkit::CountVideoFrames(dir.File("cam0.avi"), size);
    }

    testkit::TempDir dir;
    fakes::RecordingWindows windows;
    fakes::ScriptedMotion motion;
    WorkerConfig settings;
    std::vector<int32_t> waits;
};

// ---- the hold and the waits ----

TEST_F(WorkerTest, OneMotionFrameHoldsFiveFramesWithTheBusyWait) {
    motion.counts = {0, 1, 0, 0, 0, 0, 0, 0};
    Run(8);
    EXPECT_EQ(waits, (std::vector<int32_t>{1000, 50, 50, 50, 50, 50, 1000, 1000}));
    EXPECT_EQ(Snapshots().size(), 5u);
    EXPECT_EQ(LogRecords(), 5);
    EXPECT_EQ(VideoFrames(), 5);
}

TEST_F(WorkerTest, MotionInsideAHoldStartsItAgainAndRecordsCountOn) {
    motion.counts = {1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    Run(10);
    EXPECT_EQ(Snapshots().size(), 8u);
    EXPECT_EQ(VideoFrames(), 8);
    EXPECT_EQ(LogRecords(), 8);
    EXPECT_NE(Log().find("Log:cadr #7 "), std::string::npos);
    EXPECT_NE(Log().find("Total time"), std::string::npos);  // closed at the camera's end
}

TEST_F(WorkerTest, AStillSceneGivesAnEmptyVideoAndALogWithoutRecords) {
    Run(4);
    EXPECT_TRUE(Snapshots().empty());
    EXPECT_TRUE(testkit::FileExists(dir.File("cam0.avi")));
    EXPECT_EQ(LogRecords(), 0);
    EXPECT_NE(Log().find("Start!"), std::string::npos);
}

// ---- windows ----

TEST_F(WorkerTest, TheWindowFollowsTheFlagAfterTheNextFrame) {
    Run(6, true, [](int i) {
        if (i == 2) slots::CameraTable[0].showWindow = 0;
        if (i == 4) slots::CameraTable[0].showWindow = 1;
    });
    EXPECT_EQ(windows.calls, (Strings{"create " + kTitle, "show " + kTitle, "show " + kTitle,
                                      "destroy " + kTitle, "create " + kTitle, "show " + kTitle,
                                      "show " + kTitle, "destroy " + kTitle}));
    EXPECT_EQ(motion.overlayShown, (std::vector<bool>{true, true, false, false, true, true}));
}

TEST_F(WorkerTest, AWindowClosedByTheUserStaysClosedUntilWinon) {
    int32_t flagAfterClose = -1;
    Run(6, true, [&](int i) {
        if (i == 1) windows.CloseByUser(kTitle);
        if (i == 3) flagAfterClose = slots::CameraTable[0].showWindow;
        if (i == 4) slots::CameraTable[0].showWindow = 1;  // winon
    });
    EXPECT_EQ(flagAfterClose, 0);
    EXPECT_EQ(windows.calls, (Strings{"create " + kTitle, "show " + kTitle, "create " + kTitle,
                                      "show " + kTitle, "show " + kTitle, "destroy " + kTitle}));
}

TEST_F(WorkerTest, SnapshotsAndVideoNeverCarryTheOverlay) {
    motion.paintOverlay = true;
    motion.counts = {1, 1, 1};
    Run(3, true);
    ASSERT_EQ(windows.shown.size(), 3u);
    for (const cv::Mat& shown : windows.shown) EXPECT_GT(RedPixels(shown), 500);
    ASSERT_EQ(Snapshots().size(), 3u);
    for (const std::string& name : Snapshots()) {
        EXPECT_EQ(RedPixels(cv::imread(dir.File(name))), 0) << name;
    }
    cv::VideoCapture video(dir.File("cam0.avi"));
    cv::Mat frame;
    int frames = 0;
    for (; video.read(frame); ++frames) EXPECT_EQ(RedPixels(frame), 0);
    EXPECT_EQ(frames, 3);
}

// ---- ending ----

TEST_F(WorkerTest, AStopRequestCutsALongIdleWaitShort) {
    settings.idleWaitMs = 600000;
    std::promise<void> firstFrame;
    slots::OpenSlot(0,
                    std::make_unique<fakes::ScriptedCamera>(-1, Still,
                                                            [&](int i) {
                                                                if (i == 0) firstFrame.set_value();
                                                            }),
                    false);
    WorkerServices services{windows, std::ref(motion), slots::PauseUnlessStopped};
    auto worker = std::async(std::launch::async, [&] { ServeCamera(0, settings, services); });
    firstFrame.get_future().wait();
    slots::RequestStop(0);
    ASSERT_EQ(worker.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(slots::CameraTable[0].runState.load(), slots::RunState::Finished);
    EXPECT_EQ(slots::CameraTable[0].capture, nullptr);
    EXPECT_NE(Log().find("Total time"), std::string::npos);
}

TEST_F(WorkerTest, ASlotWithoutCameraFinishesAtOnceAndTouchesNothing) {
    slots::CameraTable[0].runState = slots::RunState::Running;
    slots::CameraTable[0].showWindow = 1;
    ServeCamera(0, settings, Services());
    EXPECT_EQ(slots::CameraTable[0].runState.load(), slots::RunState::Finished);
    EXPECT_TRUE(windows.calls.empty());
    EXPECT_TRUE(testkit::ListFiles(dir.path()).empty());
}

// ---- failures ----

class ThrowingWindows : public display::WindowSystem {
    void Create(const std::string&) override { throw cv::Exception(); }
    void Show(const std::string&, const cv::Mat&) override { throw cv::Exception(); }
    void Destroy(const std::string&) override { throw cv::Exception(); }
    bool TakeClosedByUser(const std::string&) override { throw std::runtime_error("x"); }
};

TEST_F(WorkerTest, FailingCallsAreDroppedAndTheLoopGoesOn) {
    ThrowingWindows broken;
    int calls = 0;
    WorkerServices services{
        broken,
        [&](detector::MotionDetector&, const MotionFrame&, int32_t, bool) -> int32_t {
            if (++calls % 2 == 0) throw cv::Exception();
            return 1;
        },
        [](int, int32_t) { throw std::runtime_error("pause"); }};
    slots::OpenSlot(0, std::make_unique<fakes::ScriptedCamera>(6, Still), true);
    ServeCamera(0, settings, services);
    EXPECT_EQ(calls, 6);
    EXPECT_EQ(LogRecords(), 6);
    EXPECT_EQ(slots::CameraTable[0].runState.load(), slots::RunState::Finished);

    // A camera that throws ends its worker like one that stops delivering.
    struct ThrowingCamera : cameras::FrameSource {
        cameras::ReadStatus Read(cv::Mat&) override { throw std::runtime_error("unplugged"); }
    };
    slots::OpenSlot(1, std::make_unique<ThrowingCamera>(), false);
    ServeCamera(1, settings, services);
    EXPECT_EQ(slots::CameraTable[1].runState.load(), slots::RunState::Finished);
    EXPECT_EQ(slots::CameraTable[1].capture, nullptr);
}

TEST_F(WorkerTest, ACameraThatChangesItsFrameSizeGetsSnapshotsOfTheSizeItSendsNow) {
    motion.counts = std::vector<int32_t>(6, 1);
    const auto sizeOf = [](int i) {
        return i < 2 ? cv::Size(160, 120) : i < 4 ? cv::Size(320, 240) : cv::Size(99, 51);
    };
    Run(6, false, {}, [&](int i) { return testkit::StillScene(sizeOf(i)); });
    ASSERT_EQ(Snapshots().size(), 6u);
    for (int i = 0; i < 6; ++i) {
        const std::string name = "cam0n" + std::to_string(i + 1) + ".jpg";
        EXPECT_EQ(cv::imread(dir.File(name)).size(), sizeOf(i)) << name;
    }
    // The video keeps the size it opened with, the other frames scaled into it.
    cv::Size size;
    EXPECT_EQ(VideoFrames(&size), 6);
    EXPECT_EQ(size, cv::Size(80, 60));
}

// A first frame too small for a video (2x2) does not keep the camera from having one.
TEST_F(WorkerTest, AFirstFrameTooSmallForAVideoLeavesTheVideoToTheNextFrames) {
    motion.counts = std::vector<int32_t>(6, 1);
    Run(6, false, {},
        [](int i) { return testkit::StillScene(i == 0 ? cv::Size(2, 2) : cv::Size(320, 240)); });
    EXPECT_EQ(Snapshots().size(), 6u);
    cv::Size size;
    EXPECT_EQ(VideoFrames(&size), 5);
    EXPECT_EQ(size, cv::Size(160, 120));
}

TEST_F(WorkerTest, AVideoThatCannotBeCreatedIsTriedAgainOnLaterFrames) {
    settings.aviPrefix = dir.File("later/");
    motion.counts = std::vector<int32_t>(6, 1);
    Run(6, false, [&](int i) {
        if (i == 3) mkdir(dir.File("later").c_str(), 0700);
    });
    EXPECT_EQ(testkit::CountVideoFrames(dir.File("later/cam0.avi")), 3);
}

// ---- file names ----

TEST_F(WorkerTest, SnapshotsFillTheLowestFreeNumbers) {
    testkit::WriteTextFile(dir.File("cam0n1.jpg"), "old");
    testkit::WriteTextFile(dir.File("cam0n3.jpg"), "old");
    ASSERT_EQ(mkfifo(dir.File("cam0n5.jpg").c_str(), 0600), 0);  // taken, and must not stall
    motion.counts = {1};
    Run(5);
    EXPECT_EQ(Snapshots(), (Strings{"cam0n1.jpg", "cam0n2.jpg", "cam0n3.jpg", "cam0n4.jpg",
                                    "cam0n6.jpg", "cam0n7.jpg", "cam0n8.jpg"}));
    EXPECT_EQ(testkit::ReadFile(dir.File("cam0n3.jpg")), "old");
}

TEST_F(WorkerTest, NamesAreGluedToThePrefixAndRefusedPast255Characters) {
    // Each prefix names files in dir without a trailing separator.
    auto prefix = [&](size_t total, size_t nameLength) {
        return dir.path() + "/" + std::string(total - dir.path().size() - 1 - nameLength, 'p');
    };
    settings.logPrefix = prefix(255, 8);         // + "cam0.log": exactly 255
    settings.aviPrefix = prefix(256, 8);         // + "cam0.avi": 256
    settings.jpgPrefix = prefix(256, 10) + "q";  // + "cam0n1.jpg": 257
    motion.counts = {1};
    Run(7);
    EXPECT_EQ(testkit::ListFiles(dir.path()),
              Strings{settings.logPrefix.substr(dir.path().size() + 1) + "cam0.log"});
    EXPECT_EQ(waits.size(), 7u);
}

}  // namespace
