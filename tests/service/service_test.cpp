// The command line and the service-manager notices, on the real program and on Notifier.
#include "service/service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/testkit/e2e.h"
#include "tests/testkit/process.h"
#include "tests/testkit/video.h"

namespace {

using namespace service;

constexpr int kTimeoutMs = 30000;
const cv::Size kSize(160, 120);

// The real binary with arguments.
class Camwatch {
  public:
    Camwatch(const std::string& dir, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {})
        : program_(std::make_unique<testkit::Program>(dir, env, CAMWATCH_BINARY,
                                                      std::function<void()>{}, args)) {}
    testkit::Program& operator*() { return *program_; }
    testkit::Program* operator->() { return program_.get(); }

  private:
    std::unique_ptr<testkit::Program> program_;
};

// Process state letter from /proc ('Z' once it has ended and awaits its reaper).
char ProcessState(pid_t pid) {
    std::string stat = testkit::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// A bound unix datagram socket standing in for the service manager's notify socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval tv{0, 200 * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NotifySocket() { close(fd_); }
    bool bound() const { return bound_; }

    // The next notice, or "" when none arrives within timeoutMs.
    std::string Next(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) return std::string(buffer, static_cast<size_t>(n));
        }
        return {};
    }
    // Notices until one equals want (that one included), or until the time is up.
    std::vector<std::string> Until(const std::string& want, int timeoutMs) {
        std::vector<std::string> seen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string notice = Next(200);
            if (notice.empty()) continue;
            seen.push_back(notice);
            if (notice == want) break;
        }
        return seen;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

int Count(const std::vector<std::string>& notices, const std::string& want) {
    return static_cast<int>(std::count(notices.begin(), notices.end(), want));
}

// A camera in its own folder with an absolute SOURCE0 path, log and video written to
// relative prefixes.
void WriteSetup(const testkit::TempDir& confDir) {
    ASSERT_TRUE(testkit::WriteVideo(confDir.File("cam.avi"), 30, kSize, [](int i) {
        return i % 2 ? testkit::StillScene(kSize) : cv::Mat(kSize, CV_8UC3, cv::Scalar::all(20));
    }));
    testkit::WriteTextFile(confDir.File("camwatch.cfg"),
                           "ALLCAM=1\nMINMSEC=20\nMAXMSEC=20\nCODEC=MJPG\nOUTAVI=ON\nOUTLOG=ON\n"
                           "SOURCE0=" +
                               confDir.File("cam.avi") + "\n");
}

TEST(CommandLine, HelpVersionAndBadArgumentsEndBeforeAnyCamera) {
    testkit::TempDir dir;
    Camwatch help(dir.path(), {"--help"});
    EXPECT_EQ(0, help->Wait(kTimeoutMs));
    EXPECT_NE(std::string::npos, help->Stdout().find("--config FILE"));
    EXPECT_NE(std::string::npos, help->Stdout().find("--no-console"));
    EXPECT_EQ("", help->Stderr());

    Camwatch version(dir.path(), {"--version"});
    EXPECT_EQ(0, version->Wait(kTimeoutMs));
    EXPECT_EQ(std::string("camwatch ") + ProgramVersion() + "\n", version->Stdout());

    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--bogus"}, {"--web", "70000"}, {"--config"}, {"stray"}}) {
        Camwatch run(dir.path(), bad);
        EXPECT_EQ(2, run->Wait(kTimeoutMs)) << bad[0];
        EXPECT_EQ("", run->Stdout()) << "no camera is probed";
        const std::string err = run->Stderr();
        EXPECT_EQ(0u, err.find("camwatch: ")) << err;
        EXPECT_EQ(err.size() - 1, err.find('\n')) << "one line: " << err;
        EXPECT_NE(std::string::npos, err.find("; see camwatch --help")) << err;
    }
    EXPECT_TRUE(testkit::ListFiles(dir.path()).empty());
}

TEST(CommandLine, ConfigFromElsewhereWithoutConsoleRunsUntilSigterm) {
    testkit::TempDir work, conf;
    WriteSetup(conf);
    Camwatch run(work.path(), {"--no-console", "-c", conf.File("camwatch.cfg"), "--web", "8080"});
    run->CloseInput();  // end of input would end the console; here nothing reads it
    ASSERT_TRUE(run->WaitForOutput("All camera=1\n", kTimeoutMs)) << run->Stderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // beyond the console pause
    const char state = ProcessState(run->pid());  // 'Z' (or gone) once it has ended
    EXPECT_NE(std::string::npos, std::string("RSD").find(state)) << "ended by itself: " << state;
    // An instrumented build on a loaded machine may not have reached the first moving frame yet.
    EXPECT_TRUE(e2e::WaitForText(work.File("cam0.log"), "Log:cadr #", kTimeoutMs));
    run->Signal(SIGTERM);
    EXPECT_EQ(0, run->Wait(kTimeoutMs));
    EXPECT_EQ("Searching.\nAll camera=1\n", run->Stdout()) << "no prompt";
    EXPECT_EQ("", run->Stderr());
    // Outputs land in the working folder, with the web view's event history; the video was
    // closed in order, so it decodes.
    EXPECT_EQ((std::vector<std::string>{"cam0.avi", "cam0.log", "events.db"}),
              testkit::ListFiles(work.path()));
    EXPECT_GT(testkit::CountVideoFrames(work.File("cam0.avi")), 0);

    // A config file that cannot be read is a missing config.cfg, even with one in the folder.
    testkit::WriteTextFile(work.File("config.cfg"), "ALLCAM=1\n");
    Camwatch missing(work.path(), {"--config", conf.File("absent.cfg")});
    ASSERT_TRUE(missing->WaitForOutput("Error with camera! Sorry...", kTimeoutMs));
    missing->Signal(SIGTERM);  // cuts the pause after the error short
    EXPECT_EQ(0, missing->Wait(kTimeoutMs));
    EXPECT_EQ("Searching\nAll camera=0\nError with camera! Sorry...", missing->Stdout());
}

TEST(ServiceManager, ReadyWatchdogAndStoppingReachTheNotifySocket) {
    testkit::TempDir work, conf;
    WriteSetup(conf);
    NotifySocket manager(work.File("notify"));
    ASSERT_TRUE(manager.bound());
    // No WATCHDOG_PID: the child is not the pid the test could name before the fork.
    Camwatch run(work.path(), {"--no-console", "--config", conf.File("camwatch.cfg")},
                 {"NOTIFY_SOCKET=" + work.File("notify"), "WATCHDOG_USEC=200000", "WATCHDOG_PID"});
    EXPECT_EQ("READY=1", manager.Next(kTimeoutMs));
    std::vector<std::string> beat = manager.Until("(none)", 1500);  // every 100 ms meanwhile
    EXPECT_GE(Count(beat, "WATCHDOG=1"), 3);
    EXPECT_EQ(Count(beat, "WATCHDOG=1"), static_cast<int>(beat.size()));
    run->Signal(SIGTERM);
    std::vector<std::string> end = manager.Until("STOPPING=1", kTimeoutMs);
    ASSERT_FALSE(end.empty());
    EXPECT_EQ("STOPPING=1", end.back());
    EXPECT_EQ(0, run->Wait(kTimeoutMs));
    EXPECT_EQ("", manager.Next(300)) << "nothing after STOPPING=1";
}

TEST(ServiceManager, WatchdogNoticesOnlyWhileHealthyAndNoThreadOutsideAService) {
    auto tasks = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    testkit::TempDir dir;
    NotifySocket manager(dir.File("notify"));
    ASSERT_TRUE(manager.bound());

    unsetenv("NOTIFY_SOCKET");
    {
        Notifier outside;
        const auto before = tasks();
        outside.Ready();
        EXPECT_EQ(before, tasks());
        EXPECT_EQ(0, outside.WatchdogPeriod().count());
    }

    setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "100000", 1);
    std::atomic<bool> healthy{false};
    {
        Notifier notifier([&] { return healthy.load(); });
        EXPECT_EQ(100000, notifier.WatchdogPeriod().count());
        notifier.Ready();
        notifier.Ready();  // once only
        EXPECT_EQ("READY=1", manager.Next(2000));
        EXPECT_EQ("", manager.Next(400)) << "no notice while unhealthy";
        healthy = true;
        EXPECT_EQ("WATCHDOG=1", manager.Next(2000));
        notifier.Stopping();
        EXPECT_EQ("STOPPING=1", manager.Until("STOPPING=1", 2000).back());
    }
    {
        // A long period: stopping must not wait for the next notice.
        setenv("WATCHDOG_USEC", "600000000", 1);
        Notifier notifier;
        notifier.Ready();
        const auto start = std::chrono::steady_clock::now();
        notifier.Stopping();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
}

}  // namespace
