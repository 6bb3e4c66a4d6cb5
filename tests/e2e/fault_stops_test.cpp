// Stops that must stop: whatever the program reads at start (a config that never ends, named
// pipes as mask and source), a stop signal while it loads, and an exit while a hook hangs and
// a broker accepts but never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <sstream>

#include "tests/e2e/fault.h"

namespace {

using namespace fault;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 that nobody serves: the kernel completes connections to it.
class SilentListener {
  public:
    SilentListener() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || listen(fd_, 16) != 0) {
            ADD_FAILURE() << "no loopback socket";
        }
        port_ = ntohs(a.sin_port);
    }
    ~SilentListener() {
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

TEST(FaultStops, ReadsAtStartAreBoundedAndEveryStopWins) {
    testkit::TempDir dir;
    ASSERT_TRUE(WriteBlinking(dir.File("src0.avi"), 3000));
    ASSERT_EQ(mkfifo(dir.File("mask.fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.File("source.fifo").c_str(), 0600), 0);

    // A config that never ends is read to its bound; the stop signal still ends the program.
    {
        testkit::Program program(dir.path(), {}, CAMWATCH_BINARY, {},
                                 {"--no-console", "--config", "/dev/zero"});
        ASSERT_TRUE(program.WaitForOutput("All camera=0", kWaitMs));
        const Clock::time_point signalled = Clock::now();
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(kWaitMs), 0);
        EXPECT_LT(MsSince(signalled), 2000);
    }

    // A stop signal while the program's libraries still load ends it in order: the program
    // proper holds the stop signals from its exec on (the launcher blocked them), so one sent
    // at once waits for it. Not under a sanitizer, whose runtime sets its own mask first.
    for (int round = 0; round < 5 && !kSanitized; ++round) {
        testkit::Program program(dir.path(), {}, CAMWATCH_BINARY, {},
                                 {"--no-console", "--config", "/dev/zero"});
        const std::string proc = "/proc/" + std::to_string(program.pid());
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        std::error_code gone;
        while (std::filesystem::read_symlink(proc + "/exe", gone).filename() != "camwatch-main" &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::istringstream status(testkit::ReadFile(proc + "/status"));
        unsigned long long blocked = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
        }
        EXPECT_TRUE(blocked & (1ULL << (SIGTERM - 1))) << "round " << round;
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(kWaitMs), 0) << "round " << round;
    }

    // Named pipes with no writer as a mask and as a source; a hook that hangs; a broker that
    // accepts and never answers. The pipe source is no camera, the mask is refused in a line.
    SilentListener broker;
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE1", "source.fifo"},
                           {"MASK0", "mask.fifo"},
                           {"ONEVENTSTART", "sleep 30"},
                           {"MQTTHOST", "127.0.0.1"},
                           {"MQTTPORT", std::to_string(broker.port())}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(program.WaitForOutput("QORV#", kWaitMs));
    EXPECT_EQ(program.Stdout(), Console(2, 1));
    ASSERT_TRUE(e2e::WaitForText(dir.File("cam0.log"), "Log:cadr #", kWaitMs, 10));
    EXPECT_NE(program.Stderr().find("mask mask.fifo cannot be read"), std::string::npos)
        << program.Stderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the hook is running
    const Clock::time_point asked = Clock::now();
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(kWaitMs), 0) << program.Stderr();
    const long long exitMs = MsSince(asked);
    std::printf("[ measure  ] exit %lld ms with a hanging hook and a silent broker\n", exitMs);
    EXPECT_LT(exitMs, 2000);
    EXPECT_TRUE(LogClosed(dir.File("cam0.log")));
}

}  // namespace
