// A long run of ten cameras whose memory must stay flat.
#include "tests/e2e/fault.h"

namespace {

using namespace fault;

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Ten cameras for a while (CAMWATCH_SOAK_SECONDS, 40 by default) on a source that loops a
// short segment with motion in part of it; the program's resident memory at the end must be
// what it was once every output was under way.
TEST(Soak, TenCamerasKeepTheirMemoryFlat) {
    const char* env = std::getenv("CAMWATCH_SOAK_SECONDS");
    const int seconds = env && std::atoi(env) > 0 ? std::atoi(env) : (kSanitized ? 15 : 40);
    const int warmUp = std::clamp(seconds / 4, 5, 20);

    testkit::TempDir dir;
    const cv::Size size(128, 96);
    constexpr int kSegment = 100;  // frames; the box crosses the scene in the first twenty
    ASSERT_TRUE(testkit::WriteVideo(dir.File("segment.avi"), kSegment, size, [size](int i) {
        return testkit::MovingBoxScene(size, i, 0, 20);
    }));
    // FFmpeg's concat list plays the segment again and again: at most 50 frames a second are
    // served (20 ms waits), so one segment per second of soak is plenty.
    std::string list = "ffconcat version 1.0\n";
    for (int i = 0; i < seconds + 30; ++i) list += "file segment.avi\n";
    testkit::WriteTextFile(dir.File("loop.ffconcat"), list);
    std::map<std::string, std::string> config{{"ALLCAM", "10"}, {"MAXMSEC", "40"}};
    for (int i = 0; i < 10; ++i) config["SOURCE" + std::to_string(i)] = "loop.ffconcat";
    e2e::WriteConfig(dir, config);

    testkit::Program program(dir.path());
    ASSERT_TRUE(program.WaitForOutput("QORV#", kWaitMs));
    const auto start = Clock::now();
    auto elapsed = [&] {
        return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    };
    // Snapshots are cleared now and then, as an operator would: the folder stays small and
    // the lowest free numbers are taken again.
    auto clearSnapshots = [&] {
        for (const std::string& name : e2e::Snapshots(dir, "cam")) unlink(dir.File(name).c_str());
    };
    long startKiB = -1, peakKiB = 0;
    std::vector<int> recordsAtStart(10);
    while (elapsed() < seconds) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (elapsed() % 5 == 0) clearSnapshots();
        const long now = ResidentKiB(program.pid());
        ASSERT_GT(now, 0) << "the program has ended";
        peakKiB = std::max(peakKiB, now);
        if (startKiB < 0 && elapsed() >= warmUp) {
            startKiB = now;
            for (int i = 0; i < 10; ++i)
                recordsAtStart[i] = e2e::LogRecords(dir.File(Cam(i, ".log")));
        }
    }
    const long endKiB = ResidentKiB(program.pid());
    for (int i = 0; i < 10; ++i) {
        EXPECT_GT(e2e::LogRecords(dir.File(Cam(i, ".log"))), recordsAtStart[i])
            << "camera " << i << " is no longer served";
        EXPECT_FALSE(LogClosed(dir.File(Cam(i, ".log")))) << "camera " << i << " has ended";
    }
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(10, 10));
    for (int i = 0; i < 10; ++i) {
        ExpectVideoMatchesLog(dir.File(Cam(i, ".avi")), dir.File(Cam(i, ".log")));
    }

    std::cout << "[   SOAK   ] " << seconds << " s, ten cameras: resident " << startKiB
              << " KiB after " << warmUp << " s, " << endKiB << " KiB at the end, peak " << peakKiB
              << " KiB\n";
    ::testing::Test::RecordProperty("rss_start_kib", std::to_string(startKiB));
    ::testing::Test::RecordProperty("rss_end_kib", std::to_string(endKiB));
    if (kSanitized) return;  // a sanitizer's own bookkeeping grows; the figure means nothing
    // Flat: what the allocator's caches may still settle by (about 1 MiB in 40 s, 3 MiB in
    // 300 s here), well below what losing a frame buffer per held frame would add.
    EXPECT_LE(endKiB, startKiB + 4 * 1024 + startKiB / 50);
}

}  // namespace
