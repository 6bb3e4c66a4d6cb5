// Running as a program or a service: the command line, and the notices to systemd.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace service {

struct CommandLine {
    std::string configPath = "config.cfg";  // -c, --config FILE
    bool noConsole = false;                 // --no-console: no prompt, standard input unread
    std::string web;                        // --web [ADDR:]PORT, as given; empty when absent
};

// Reads argv into out. Returns -1 to go on, or an exit status: 0 after --help or --version
// (printed to stdout), 2 on a bad command line (one "camwatch: ..." line to stderr).
int ParseCommandLine(int argc, char** argv, CommandLine& out, std::ostream& stdOut,
                     std::ostream& stdErr);

// "1.1.0": the version the program was built as.
const char* ProgramVersion();

// Notices to the service manager (READY=1, STOPPING=1, WATCHDOG=1). Outside a service
// manager (no NOTIFY_SOCKET in the environment) every call does nothing and no thread starts.
// Construct and destroy on the main thread.
class Notifier {
  public:
    // healthy() is asked before every watchdog notice; none is sent while it returns false.
    // Empty: always healthy. It runs on the watchdog thread.
    explicit Notifier(std::function<bool()> healthy = {});
    ~Notifier();  // Stopping(), if it was not called
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // READY=1, once; starts the watchdog thread when the unit sets a watchdog period.
    void Ready();
    // STOPPING=1, once; stops the watchdog thread (it ends promptly).
    void Stopping();

    // The watchdog period the unit asked for; zero when there is none.
    std::chrono::microseconds WatchdogPeriod() const { return period_; }

  private:
    void Watch();

    bool enabled_ = false;
    bool ready_ = false;
    bool stopping_ = false;
    std::chrono::microseconds period_{0};
    std::function<bool()> healthy_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;  // guarded by mutex_
    std::thread watchdog_;
};

}  // namespace service
