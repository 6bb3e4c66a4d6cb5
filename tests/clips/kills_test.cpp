// SIGKILL at moments drawn from a fixed seed (CAMWATCH_FAULT_SEED tries another) while an
// H.264 camera's clips and segments are copied and an MJPEG camera's are encoded: 20 kills, or 8 per CAMWATCH_FAULT_ROUNDS when that is set. Each start finishes what
// the last one left; in the end no file is left unfinished and every one plays.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/e2e/fault.h"
#include "tests/testkit/e2e.h"

namespace {

bool Mp4(const std::string& name) {
    return name.size() > 4 && name.substr(name.size() - 4) == ".mp4";
}

TEST(ClipKills, EveryFileACrashLeftPlaysAfterTheNextStart) {
    unsigned seed = 4404;
    if (const char* other = std::getenv("CAMWATCH_FAULT_SEED")) {
        seed = std::strtoul(other, nullptr, 10);
    }
    const char* rounds = std::getenv("CAMWATCH_FAULT_ROUNDS");
    const int kills = rounds ? 8 * std::max(1, std::atoi(rounds)) : 20;
    testkit::TempDir dir;
    testkit::CommandOutput("cd '" + dir.path() +
                           "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=320x240:r=25:d=60 "
                           "-c:v libx264 -g 25 -pix_fmt yuv420p moving.mp4 2>&1 && "
                           "ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=320x240:r=25:d=60 "
                           "-c:v mjpeg -q:v 5 moving.avi 2>&1");
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE0", "moving.mp4"},
                           {"SOURCE1", "moving.avi"},
                           {"MINMSEC", "40"},
                           {"MAXMSEC", "40"},
                           {"OUTJPG", "OFF"},
                           {"OUTAVI", "OFF"},
                           {"OUTCLIP", "ON"},
                           {"PATHCLIP", "out/"},
                           {"RECORD", "continuous"},
                           {"SEGMENT", "1"}});
    std::filesystem::create_directory(dir.File("out"));
    std::mt19937 random(seed);
    int parts = 0, finished = 0;
    for (int kill = 0; kill <= kills; ++kill) {
        testkit::Program program(dir.path(), {}, CAMWATCH_BINARY, {}, {"--no-console"});
        ASSERT_TRUE(e2e::WaitForText(dir.File("cam0.log"), "Log:cadr #", fault::kWaitMs, 1));
        if (kill == kills) {  // the last start ends as it should
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            program.Signal(SIGTERM);
            EXPECT_EQ(program.Wait(fault::kWaitMs), 0);
            finished += e2e::Occurrences(program.Stderr(), "cut short");
            break;
        }
        const int delayMs = static_cast<int>(random() % 3000);
        SCOPED_TRACE("seed " + std::to_string(seed) + " kill " + std::to_string(kill) + " after " +
                     std::to_string(delayMs) + " ms");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        program.Signal(SIGKILL);
        program.Wait(fault::kWaitMs);
        EXPECT_EQ(program.Stderr().find("cannot"), std::string::npos) << program.Stderr();
        finished += e2e::Occurrences(program.Stderr(), "cut short");
        for (const std::string& name : testkit::ListFiles(dir.File("out"))) {
            parts += name.find(".part.") != std::string::npos;
        }
    }
    int files = 0, segments[2] = {0, 0};
    for (const std::string& name : testkit::ListFiles(dir.File("out"))) {
        EXPECT_EQ(name.find(".part."), std::string::npos) << name;
        if (!Mp4(name)) continue;
        ++files;
        if (name.find("-rec-") != std::string::npos) ++segments[name[3] - '0'];
        EXPECT_EQ(testkit::CommandOutput("ffmpeg -nostdin -v error -i '" + dir.File("out/" + name) +
                                         "' -f null - 2>&1"),
                  "")
            << name;
    }
    // Each kill leaves files open (a kill before their first fragment leaves nothing to keep).
    EXPECT_GT(parts, kills);
    EXPECT_GT(finished, kills);
    EXPECT_GE(files, kills) << testkit::CommandOutput("ls -l " + dir.File("out"));
    EXPECT_GT(segments[0], 0);
    EXPECT_GT(segments[1], 0);
}

}  // namespace
