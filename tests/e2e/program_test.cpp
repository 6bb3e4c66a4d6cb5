// The real camwatch binary, run in a fresh folder: exact console transcripts.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/testkit/e2e.h"

namespace {

constexpr int kTimeoutMs = 30000;

class ProgramTest : public ::testing::Test {
  protected:
    // A still camera for slot 0 (outlasting the test with its 10 s idle wait), every output
    // off; overrides replace or add keys.
    void WriteCamera(const std::map<std::string, std::string>& overrides = {}) {
        ASSERT_TRUE(testkit::WriteVideo(dir.File("cam.avi"), 20, {64, 48}, [](int) {
            return testkit::StillScene({64, 48});
        }));
        std::map<std::string, std::string> keys = {{"MAXMSEC", "10000"},
                                                   {"SOURCE0", "cam.avi"},
                                                   {"OUTJPG", "OFF"},
                                                   {"OUTAVI", "OFF"},
                                                   {"OUTLOG", "OFF"}};
        for (const auto& [key, value] : overrides) keys[key] = value;
        e2e::WriteConfig(dir, keys);
    }
    testkit::TempDir dir;
};

TEST_F(ProgramTest, NoConfigurationFileEndsWithTheCameraError) {
    testkit::Program program(dir.path());
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    EXPECT_EQ("Searching\nAll camera=0\nError with camera! Sorry...", program.Stdout());
    EXPECT_EQ("", program.Stderr());
}

TEST_F(ProgramTest, OneFileCameraThenCommands) {
    WriteCamera();
    testkit::Program program(dir.path());
    program.Send("winon\nWINON\nexit\n");
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    EXPECT_EQ("Searching.\nAll camera=1\nQORV#QORV#Unknown command\nQORV#", program.Stdout());
}

TEST_F(ProgramTest, MissingSourcesAndDevicesLeaveSlotsEmpty) {
    WriteCamera(
        {{"ALLCAM", "12"}, {"SOURCE0", "missing.avi"}, {"SOURCE3", "cam.avi"}, {"SOURCE5", ""}});
    testkit::Program program(dir.path());
    program.Send("exit\n");
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    // Slot 3 opens but is at or above the found count of 1, so nothing serves it: said once.
    EXPECT_EQ("Searching..........\nAll camera=1\nQORV#", program.Stdout());
    EXPECT_EQ(
        "camwatch: camera 3 opened but is not served (only cameras 0..0 are; SERVEALL=ON "
        "serves every camera that opens)\n",
        program.Stderr())
        << "the library's own diagnostics stay quiet";
}

// A file camera needs none of OpenCV's video and image libraries: the program does not load
// them. Without their module, the one camera that needs it stays empty, with one line said.
TEST_F(ProgramTest, VideoLibrariesLoadOnlyForCamerasThatNeedThem) {
    WriteCamera();
    {
        testkit::Program program(dir.path());
        ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
        const std::string maps =
            testkit::ReadFile("/proc/" + std::to_string(program.pid()) + "/maps");
        EXPECT_NE(maps.find("libopencv_core"), std::string::npos);
        EXPECT_EQ(maps.find("libopencv_videoio"), std::string::npos);
        EXPECT_EQ(maps.find("libopencv_imgcodecs"), std::string::npos);
        program.Send("exit\n");
        EXPECT_EQ(0, program.Wait(kTimeoutMs));
    }
    // The launcher and the program, without the modules beside them.
    const std::string alone = dir.File("camwatch"), built = CAMWATCH_BINARY;
    const std::string proper = built.substr(0, built.rfind('/') + 1) + "camwatch-main";
    ASSERT_EQ(0, std::system(("cp " + built + " " + proper + " " + dir.path()).c_str()));
    WriteCamera({{"ALLCAM", "2"}, {"SOURCE0", "missing.avi"}, {"SOURCE1", "cam.avi"}});
    testkit::Program program(dir.path(), {}, alone);
    program.Send("exit\n");
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    EXPECT_EQ("Searching..\nAll camera=1\nQORV#", program.Stdout());
    EXPECT_EQ(
        "camwatch: camwatch-cvio.so cannot be loaded (not found); video devices, image "
        "files and video codecs other than MJPG are unavailable\n"
        "camwatch: camera 1 opened but is not served (only cameras 0..0 are; SERVEALL=ON "
        "serves every camera that opens)\n",
        program.Stderr());
}

TEST_F(ProgramTest, NegativeCountRunsTheConsoleWithoutCameras) {
    testkit::WriteTextFile(dir.File("config.cfg"), "ALLCAM=-3\n");
    testkit::Program program(dir.path());
    program.Send("winon winoff exit\n");
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    EXPECT_EQ("Searching\nAll camera=0\nQORV#QORV#QORV#", program.Stdout());
}

TEST_F(ProgramTest, EndOfInputActsAsExit) {
    WriteCamera();
    testkit::Program program(dir.path());
    program.Send("winoff");
    program.CloseInput();
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    EXPECT_EQ("Searching.\nAll camera=1\nQORV#QORV#", program.Stdout());
}

TEST_F(ProgramTest, TerminationSignalsShutDownInOrder) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        WriteCamera();
        testkit::Program program(dir.path());
        ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
        program.Signal(sig);
        EXPECT_EQ(0, program.Wait(kTimeoutMs)) << "signal " << sig;
        EXPECT_EQ("Searching.\nAll camera=1\nQORV#", program.Stdout());
    }
}

TEST_F(ProgramTest, SignalDuringStartUpStillEndsCleanly) {
    WriteCamera();
    testkit::Program program(dir.path());
    ASSERT_TRUE(program.WaitForOutput("All camera=1\n", kTimeoutMs));
    program.Signal(SIGTERM);  // during the pauses before the console
    EXPECT_EQ(0, program.Wait(kTimeoutMs));
    EXPECT_EQ("Searching.\nAll camera=1\nQORV#", program.Stdout());
}

}  // namespace
