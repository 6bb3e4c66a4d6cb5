#include "supervisor/supervisor.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <opencv2/core/utils/logger.hpp>
#include <streambuf>
#include <system_error>

#include "cameras/stream.h"
#include "config/config.h"
#include "diag/diag.h"

namespace supervisor {

namespace {

constexpr int kWordMax = 20;
constexpr int kStartPauseMs = 100;
constexpr int kConsolePauseMs = 1000;
constexpr int kErrorPauseMs = 5000;

// SIGINT, SIGTERM and SIGHUP are blocked in every thread and read from a signalfd by the main
// thread, so that they end the console like `exit` and shut down in order.
class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);  // the terminal closed: stop in order, so videos stay playable
        // Before any thread exists, so that every later thread inherits the mask.
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~StopSignals() {
        if (fd_ >= 0) close(fd_);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return fd_; }

    // Sleeps ms milliseconds, or less when a stop signal is pending. True when one is.
    bool Pause(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        for (;;) {
            int r = poll(&p, fd_ >= 0 ? 1 : 0, ms);
            if (r < 0 && errno == EINTR) continue;
            return r > 0;
        }
    }

  private:
    sigset_t set_;
    int fd_ = -1;
};

// Standard input as a stream that reaches its end when the input ends or a stop signal
// arrives. The signal is left pending, so every later read ends at once too.
class ConsoleInput : public std::streambuf {
  public:
    explicit ConsoleInput(int signalFd) : signalFd_(signalFd) {}

  protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd_, POLLIN, 0}};
        for (;;) {
            int r = poll(fds, signalFd_ >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (fds[1].revents & POLLIN)) return traits_type::eof();
            ssize_t n = read(STDIN_FILENO, buffer_, sizeof buffer_);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return traits_type::eof();
            setg(buffer_, buffer_, buffer_ + n);
            return traits_type::to_int_type(*gptr());
        }
    }

  private:
    int signalFd_;
    char buffer_[4096];
};

// The console carries only the program's own texts: OpenCV's diagnostics (such as probe
// warnings for missing devices) and Qt's warnings (at window-system start and teardown) are
// switched off. Runs before any other thread exists, as setenv must.
void QuietLibraries() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("QT_LOGGING_RULES", "default.warning=false;qt.*.warning=false", 0);
}

// A camera's keys that say how its streams open, read where cameras are opened.
cameras::OpenSettings SourceSettings(int slot) {
    cameras::OpenSettings settings;
    settings.streamTimeoutMs =
        std::max(config::ConfigInt("SOURCETIMEOUT", settings.streamTimeoutMs),
                 cameras::kLeastStreamTimeoutMs);
    settings.record = config::ConfigText(("RECORD" + std::to_string(slot)).c_str());
    return settings;
}

void Say(std::ostream& out, const std::string& text) {
    out << text << std::flush;
}

// Stream URLs among the probed sources are all opened at once when discovery begins, so that
// dead or silent ones cost one timeout together; each result is awaited when its dot is due.
class StreamProbes {
  public:
    StreamProbes(int probes, CameraOpener opener)
        : deadline_(std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(SourceSettings(0).streamTimeoutMs) +
                    std::chrono::milliseconds(kProbeGraceMs)) {
        for (int i = 0; i < probes; ++i) {
            const std::string name = config::Settings.source[i];
            if (!cameras::IsStreamName(name)) continue;
            pending_[i] = std::make_unique<cameras::PendingOpen>(
                [opener, i, name, settings = SourceSettings(i)](const std::atomic<bool>&) {
                    return opener(i, name, settings);
                });
        }
    }
    bool Has(int i) const { return pending_[i] != nullptr; }

    // The opened source, or nullptr. After a stop signal, opens still pending are not waited for.
    std::unique_ptr<cameras::FrameSource> Take(int i, int stopFd, bool* stopped) {
        bool stopNow = false;
        std::unique_ptr<cameras::FrameSource> capture =
            pending_[i]->Take(deadline_, stopFd, &stopNow);
        *stopped = *stopped || stopNow;
        missing_[i] = !capture;
        return capture;
    }

    // Streams that did not open keep being tried by their slot, uncounted.
    void RetryTheMissing() {
        for (int i = 0; i < base::kSlotCount; ++i) {
            if (!missing_[i]) continue;
            if (auto stream =
                    cameras::OpenStream(config::Settings.source[i], false, SourceSettings(i))) {
                slots::AttachBackgroundSlot(i, std::move(stream), config::Settings.windows);
            }
        }
    }

  private:
    static constexpr int kProbeGraceMs = 500;
    std::chrono::steady_clock::time_point deadline_;
    std::unique_ptr<cameras::PendingOpen> pending_[base::kSlotCount];
    bool missing_[base::kSlotCount] = {};
};

}  // namespace

bool ReadWord(std::istream& in, std::string& word) {
    using traits = std::istream::traits_type;
    word.clear();
    std::streambuf* buf = in.rdbuf();
    int c = buf->sgetc();
    while (c != traits::eof() && config::IsBlank(c)) c = buf->snextc();
    while (c != traits::eof() && !config::IsBlank(c) && word.size() < kWordMax) {
        word.push_back(traits::to_char_type(c));
        c = buf->snextc();
    }
    return !word.empty();
}

void RunConsole(std::istream& in, std::ostream& out, int cameraCount) {
    std::string word;
    for (;;) {
        Say(out, "QORV#");
        if (!ReadWord(in, word) || word == "exit") return;
        if (word == "winon") {
            slots::SetAllWindows(cameraCount, 1);
        } else if (word == "winoff") {
            slots::SetAllWindows(cameraCount, 0);
        } else {
            Say(out, "Unknown command\n");
        }
    }
}

int DiscoverCameras(int cameraCount, CameraOpener opener, std::ostream& out, int stopFd) {
    Say(out, "Searching");
    const int probes = std::min(cameraCount, base::kSlotCount);
    StreamProbes streams(probes, opener);
    bool stopped = false;
    for (int i = 0; i < probes; ++i) {
        Say(out, ".");
        std::unique_ptr<cameras::FrameSource> capture =
            streams.Has(i) ? streams.Take(i, stopFd, &stopped)
                           : opener(i, config::Settings.source[i], SourceSettings(i));
        slots::CameraTable[i].runState.store(slots::RunState::Stopped);
        if (capture) slots::OpenSlot(i, std::move(capture), config::Settings.windows);
    }
    if (!stopped) streams.RetryTheMissing();
    const int found = slots::FoundCount.load();
    Say(out, "\nAll camera=" + std::to_string(found) + "\n");
    return found;
}

namespace {

bool ServeAll() {
    return config::ConfigSwitch("SERVEALL");
}

// Only cameras below the found count are served unless SERVEALL=ON: those that opened and are
// left idle. Before any worker starts, so it needs no lock against them.
std::vector<int> NotServed(int foundCount) {
    std::vector<int> idle;
    if (ServeAll()) return idle;
    for (int i = foundCount; i < base::kSlotCount; ++i) {
        if (slots::CameraTable[i].capture && !slots::CameraTable[i].background) idle.push_back(i);
    }
    return idle;
}

// One line for each camera left idle.
void ReportNotServed(const std::vector<int>& idle, int foundCount) {
    for (int i : idle) {
        diag::Line("camera " + std::to_string(i) + " opened but is not served (only cameras 0.." +
                   std::to_string(foundCount - 1) +
                   " are; SERVEALL=ON serves every camera that opens)");
    }
}

// One worker thread for slot i; false when it cannot be started (the slot is then released,
// so that shutdown skips it).
bool StartWorker(WorkerEntry worker, int i, std::vector<std::thread>& threads) {
    try {
        threads.emplace_back(worker, i);
        // "camwatch-cam3": lets ps, top and the benchmark tell the workers apart.
        std::string name = "camwatch-cam" + std::to_string(i);
        pthread_setname_np(threads.back().native_handle(), name.c_str());
        return true;
    } catch (const std::system_error&) {
        slots::ReleaseCapture(i);
        slots::ReportFinished(i);
        return false;
    }
}

}  // namespace

std::vector<int> ServedSlots(int foundCount) {
    std::vector<int> first, background;
    const int upTo = ServeAll() ? base::kSlotCount : foundCount;
    for (int i = 0; i < base::kSlotCount; ++i) {
        if (!slots::CameraTable[i].capture) continue;
        if (slots::CameraTable[i].background) {
            background.push_back(i);
        } else if (i < upTo) {
            first.push_back(i);
        }
    }
    first.insert(first.end(), background.begin(), background.end());
    return first;
}

std::vector<std::thread> StartWorkers(WorkerEntry worker, int foundCount, int pauseMs) {
    // Which slots to serve is read before the first worker starts: a started worker owns its
    // slot's capture and releases it when its source ends, which may be before the last one
    // here is started.
    std::vector<int> first, background;
    for (int i : ServedSlots(foundCount)) {
        (slots::CameraTable[i].background ? background : first).push_back(i);
    }
    std::vector<std::thread> threads;
    for (int i : first) {
        if (!StartWorker(worker, i, threads)) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    for (int i : background) StartWorker(worker, i, threads);
    return threads;
}

void StopWorkers(int foundCount) {
    // With SERVEALL every slot that opened has a worker; the others read Stopped or Finished.
    const int upTo = ServeAll() ? base::kSlotCount : foundCount;
    for (int i = 0; i < upTo && i < base::kSlotCount; ++i) {
        if (!slots::CameraTable[i].background && slots::RequestStop(i)) slots::WaitForFinish(i);
    }
    for (int i = 0; i < base::kSlotCount; ++i) {
        if (slots::CameraTable[i].background && slots::RequestStop(i)) slots::WaitForFinish(i);
    }
}

int RunProgram(ProgramOutlets& outlets, CameraOpener opener, const service::CommandLine& command,
               std::function<bool()> healthy) {
    QuietLibraries();
    // A write beyond the file-size limit (ulimit -f) then fails like one to a full disk, and
    // a prompt to a console that has gone away (a pipe with no reader) is only lost, instead
    // of either ending the process with every video unfinished.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    StopSignals signals;
    // By default the watchdog asks whether every running camera keeps making progress.
    service::Notifier* self = nullptr;
    service::Notifier notifier(healthy ? std::move(healthy) : [&self] {
        const auto period = self ? self->WatchdogPeriod() : std::chrono::microseconds(0);
        return slots::CamerasAlive(
            std::chrono::duration_cast<std::chrono::milliseconds>(period).count());
    });
    self = &notifier;

    config::LoadConfig(command.configPath.c_str(), signals.fd());
    config::DeriveSettings();
    cameras::PrepareStreams(config::Settings.source, base::kSlotCount);

    const int found =
        DiscoverCameras(config::Settings.cameraCount, opener, std::cout, signals.fd());
    if (config::Settings.cameraCount == 0) {
        Say(std::cout, "Error with camera! Sorry...");
        signals.Pause(kErrorPauseMs);
        return 0;
    }

    const Discovered cameras{config::Settings.cameraCount, ServedSlots(found), NotServed(found)};
    if (!signals.Pause(0)) ReportNotServed(cameras.notServed, found);  // else a stop is pending
    const WorkerEntry worker = outlets.Start(command, cameras);
    std::vector<std::thread> threads = StartWorkers(worker, found, kStartPauseMs);
    notifier.Ready();
    signals.Pause(kConsolePauseMs);

    if (command.noConsole) {
        signals.Pause(-1);  // until a stop signal
    } else {
        ConsoleInput input(signals.fd());
        std::istream console(&input);
        RunConsole(console, std::cout, config::Settings.cameraCount);
    }

    notifier.Stopping();
    // An exit takes at most 2 s: the outlets get what the workers leave of it.
    const auto exitDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    StopWorkers(found);
    // Every started worker has reported Finished by now; joining only lets its thread return
    // before the process tears down.
    for (std::thread& t : threads) t.join();
    outlets.Stop(exitDeadline);
    // Every file is closed by now. A stream thread still inside the network library (a stalled
    // read, an open abandoned at a stop) cannot be cut short: leave without static destructors.
    if (cameras::StreamThreadsRunning() > 0) {
        std::cout.flush();
        std::cerr.flush();
        _exit(0);
    }
    return 0;
}

}  // namespace supervisor
