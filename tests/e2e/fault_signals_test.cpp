// Stop signals at moments drawn from a fixed seed: during probing, during a hold, during
// shutdown.
#include "tests/e2e/fault.h"

namespace {

using namespace fault;

enum class Moment { Probing, Hold, Shutdown };

// Ten blinking cameras, stopped by SIGINT or SIGTERM at moments drawn from a fixed seed, so
// that a failure comes back on the next run (CAMWATCH_FAULT_SEED tries another seed,
// CAMWATCH_FAULT_ROUNDS sets the rounds per moment). Whatever
// the moment: status 0, the full console transcript, every log closed, every video playable
// with one frame per record.
void StopAtRandomMoments(Moment moment, unsigned seed) {
    if (const char* other = std::getenv("CAMWATCH_FAULT_SEED"))
        seed = std::strtoul(other, nullptr, 10);
    const char* rounds = std::getenv("CAMWATCH_FAULT_ROUNDS");  // 3 unless set
    const int kRounds = rounds ? std::max(1, std::atoi(rounds)) : 3;
    constexpr int kFrames = 400;  // outlasts every round
    testkit::TempDir sources;
    ASSERT_TRUE(WriteBlinking(sources.File("src.avi"), kFrames));
    std::mt19937 random(seed);
    for (int round = 0; round < kRounds; ++round) {
        const int sig = random() % 2 ? SIGINT : SIGTERM;
        testkit::TempDir dir;
        std::map<std::string, std::string> config{{"ALLCAM", "10"}};
        for (int i = 0; i < 10; ++i) config["SOURCE" + std::to_string(i)] = sources.File("src.avi");
        e2e::WriteConfig(dir, config);
        testkit::Program program(dir.path());

        int delayMs = 0;
        if (moment == Moment::Probing) {
            ASSERT_TRUE(program.WaitForOutput("Searching", kWaitMs));
            delayMs = static_cast<int>(random() % 100);  // probing ten files takes about that long
        } else if (moment == Moment::Hold) {
            const int records = 1 + static_cast<int>(random() % 30);
            const int slot = static_cast<int>(random() % 10);
            ASSERT_TRUE(
                e2e::WaitForText(dir.File(Cam(slot, ".log")), "Log:cadr #", kWaitMs, records));
            delayMs = static_cast<int>(random() % 40);
        } else {
            ASSERT_TRUE(program.WaitForOutput("QORV#", kWaitMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
            program.Send("exit\n");
            // Ten workers take a little over a second to stop, one after another.
            delayMs = static_cast<int>(random() % 1200);
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) +
                     ": signal " + std::to_string(sig) + " after " + std::to_string(delayMs) +
                     " ms");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        program.Signal(sig);
        if (moment == Moment::Shutdown) program.Signal(sig == SIGINT ? SIGTERM : SIGINT);
        EXPECT_EQ(program.Wait(kWaitMs), 0) << program.Stderr();
        EXPECT_EQ(program.Stdout(), Console(10, 10));
        for (int i = 0; i < 10; ++i) {
            SCOPED_TRACE("camera " + std::to_string(i));
            const std::string log = dir.File(Cam(i, ".log"));
            EXPECT_TRUE(LogClosed(log));
            const std::vector<int> numbers = RecordNumbers(log);
            EXPECT_EQ(numbers, Range(0, static_cast<int>(numbers.size())));
            ExpectVideoMatchesLog(dir.File(Cam(i, ".avi")), log);
        }
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(FaultSignals, DuringProbing) {
    StopAtRandomMoments(Moment::Probing, 1101);
}
TEST(FaultSignals, DuringAHold) {
    StopAtRandomMoments(Moment::Hold, 2202);
}
TEST(FaultSignals, DuringShutdown) {
    StopAtRandomMoments(Moment::Shutdown, 3303);
}

}  // namespace
