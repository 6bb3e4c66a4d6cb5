#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "config/config.h"
#include "supervisor/supervisor.h"

namespace {

using namespace supervisor;

// A camera that delivers a fixed number of frames.
class FakeCamera : public cameras::FrameSource {
  public:
    explicit FakeCamera(int frames) : frames_(frames) {}
    cameras::ReadStatus Read(cv::Mat& frame) override {
        if (frames_-- <= 0) return cameras::ReadStatus::End;
        frame = cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(0));
        return cameras::ReadStatus::Frame;
    }

  private:
    int frames_;
};

// Answers only at the indices in `present`.
std::string gPresent;
std::unique_ptr<cameras::FrameSource> OpenFake(int index, const std::string&,
                                               const cameras::OpenSettings&) {
    if (gPresent.find(static_cast<char>('0' + index)) == std::string::npos) return nullptr;
    return std::make_unique<FakeCamera>(1000000);
}

std::atomic<int> gServed{0};
// Keeps the worker contract: serves until stopped, releases, reports -1 last.
void ContractWorker(int slot) {
    gServed.fetch_or(1 << slot);
    cv::Mat frame;
    while (slots::CameraTable[slot].capture->Read(frame) == cameras::ReadStatus::Frame &&
           slots::CameraTable[slot].runState.load() != slots::RunState::Stopped) {
        slots::PauseUnlessStopped(slot, 10000);
    }
    slots::ReleaseCapture(slot);
    slots::ReportFinished(slot);
}

class SlotsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        slots::ResetCameraTable();
        config::Settings = config::SettingsRecord{};
        gServed = 0;
    }
    void TearDown() override { slots::ResetCameraTable(); }
};

TEST_F(SlotsTest, StopRequestTurnsOnlyARunningState) {
    slots::OpenSlot(0, std::make_unique<FakeCamera>(1), true);
    EXPECT_EQ(1, slots::FoundCount.load());
    EXPECT_EQ(1, slots::CameraTable[0].showWindow.load());
    EXPECT_TRUE(slots::RequestStop(0));
    EXPECT_EQ(slots::RunState::Stopped, slots::CameraTable[0].runState.load());
    EXPECT_FALSE(slots::RequestStop(0));
    slots::CameraTable[0].runState.store(slots::RunState::Finished);
    EXPECT_FALSE(slots::RequestStop(0));
    EXPECT_EQ(slots::RunState::Finished, slots::CameraTable[0].runState.load())
        << "a -1 is never overwritten";
    EXPECT_FALSE(slots::RequestStop(-1));
    EXPECT_FALSE(slots::RequestStop(base::kSlotCount));
}

TEST_F(SlotsTest, StopRequestCutsAPauseShort) {
    slots::OpenSlot(0, std::make_unique<FakeCamera>(1), false);
    std::thread worker([] { slots::PauseUnlessStopped(0, 600000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    slots::RequestStop(0);
    worker.join();  // would take ten minutes if the stop were missed
    slots::PauseUnlessStopped(0, 0);
    slots::PauseUnlessStopped(0, -5);
}

TEST_F(SlotsTest, OnlySlotsBelowTheFoundCountAreServed) {
    gPresent = "12";
    std::ostringstream out;
    int found = DiscoverCameras(3, OpenFake, out);
    EXPECT_EQ("Searching...\nAll camera=2\n", out.str());
    ASSERT_EQ(2, found);

    auto threads = StartWorkers(ContractWorker, found, 0);
    EXPECT_EQ(1u, threads.size());
    StopWorkers(found);
    for (auto& t : threads) t.join();
    EXPECT_EQ(1 << 1, gServed.load()) << "camera 2 is opened but never served";
    EXPECT_EQ(slots::RunState::Finished, slots::CameraTable[1].runState.load());
    EXPECT_FALSE(slots::CameraTable[1].capture);
    EXPECT_EQ(slots::RunState::Running, slots::CameraTable[2].runState.load());
    EXPECT_TRUE(slots::CameraTable[2].capture);
}

TEST_F(SlotsTest, ProbingStopsAtTheTableAndSkipsNegativeCounts) {
    gPresent = "0123456789";
    std::ostringstream out;
    EXPECT_EQ(10, DiscoverCameras(25, OpenFake, out));
    EXPECT_EQ("Searching" + std::string(10, '.') + "\nAll camera=10\n", out.str());

    slots::ResetCameraTable();
    std::ostringstream none;
    EXPECT_EQ(0, DiscoverCameras(-4, OpenFake, none));
    EXPECT_EQ("Searching\nAll camera=0\n", none.str());
}

TEST_F(SlotsTest, WorkerThatEndedOnItsOwnIsNotAwaited) {
    gPresent = "01";
    std::ostringstream out;
    int found = DiscoverCameras(2, OpenFake, out);
    auto threads = StartWorkers(ContractWorker, found, 0);
    ASSERT_EQ(2u, threads.size());
    // Slot 0's camera ends: its worker finishes by itself.
    slots::RequestStop(0);
    while (slots::CameraTable[0].runState.load() != slots::RunState::Finished)
        std::this_thread::yield();
    StopWorkers(found);
    for (auto& t : threads) t.join();
    EXPECT_EQ(slots::RunState::Finished, slots::CameraTable[0].runState.load());
    EXPECT_EQ(slots::RunState::Finished, slots::CameraTable[1].runState.load());
}

}  // namespace
