// Hook commands: /bin/sh -c <command> per record, the record's fields in the environment.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "events/outlets.h"

extern char** environ;

namespace events {

namespace {

constexpr size_t kMaxRunning = 4;
constexpr size_t kMaxWaiting = 64;
// Without pidfds (kernels before 5.3) children are looked for this often.
constexpr int kReapFallbackMs = 100;
constexpr const char* kHookNames[] = {"ONEVENTSTART", "ONEVENTEND", "ONCAMERALOST", "ONCAMERABACK"};

class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        // stdin from /dev/null, stdout onto our stderr: the console owns stdout.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
        // Its own process group so that a timeout kills whatever the command started; the
        // signal mask and dispositions of camwatch's threads are not passed on.
        posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attr, 0);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

std::string Opt(const std::optional<std::string>& text) {
    return text ? *text : std::string();
}

class Hooks final : public Outlet {
  public:
    explicit Hooks(const Options& o)
        : commands_{o.onStart, o.onEnd, o.onLost, o.onBack},
          timeout_(std::chrono::seconds(std::max(1, o.hookTimeoutSeconds))),
          utcOffset_(o.utcOffset) {
        for (char** e = environ; e && *e; ++e) {
            if (std::strncmp(*e, "CAMWATCH_", 9) != 0) baseEnv_.emplace_back(*e);
        }
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        thread_ = std::thread([this] { Run(); });
    }
    ~Hooks() override {
        Stop(std::chrono::steady_clock::now());
        ::close(wakeFd_);
    }

    void Deliver(const Event& event, const std::string& json) override {
        int kind = static_cast<int>(event.type);
        if (kind >= static_cast<int>(std::size(commands_)) || commands_[kind].empty()) return;
        Job job{kind, Environment(event, json)};
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            if (queue_.size() >= kMaxWaiting) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                if (!overflowing_) {
                    Report("too many hook commands at once; dropping runs until they catch up");
                }
                overflowing_ = true;
                return;
            }
            queue_.push_back(std::move(job));
        }
        Wake();
    }

    void Stop(Deadline deadline) override {
        {
            std::lock_guard lock(mutex_);
            if (!stopping_) stopAt_ = deadline;
            stopping_ = true;
        }
        Wake();
        if (thread_.joinable()) thread_.join();
    }

  private:
    struct Job {
        int kind;
        std::vector<std::string> env;
    };
    struct Child {
        pid_t pid;
        int pidfd;
        int kind;
        Deadline killAt;
        bool timedOut = false;
    };

    std::vector<std::string> Environment(const Event& e, const std::string& json) {
        bool motion = e.type == Type::kStart || e.type == Type::kEnd;
        auto num = [&](auto v) { return motion ? std::to_string(v) : std::string(); };
        std::string direction =
            motion && e.direction ? nlohmann::json(*e.direction).dump() : std::string();
        std::vector<std::string> env = {
            std::string("CAMWATCH_TYPE=") + TypeName(e.type),
            "CAMWATCH_CAMERA=" + std::to_string(e.camera),
            "CAMWATCH_EVENT=" + e.id,
            "CAMWATCH_START=" + FormatTime(e.startMs, utcOffset_),
            "CAMWATCH_END=" + (e.type == Type::kEnd ? FormatTime(e.endMs, utcOffset_) : ""),
            "CAMWATCH_FIRST_SNAPSHOT=" + Opt(e.firstSnapshot),
            "CAMWATCH_LAST_SNAPSHOT=" + Opt(e.lastSnapshot),
            "CAMWATCH_FRAMES=" + num(e.frames),
            "CAMWATCH_MAX_REGIONS=" + num(e.maxRegions),
            "CAMWATCH_DIRECTION=" + direction,
            "CAMWATCH_CLIP=" + Opt(e.clip),
            "CAMWATCH_REASON=" + e.reason,
            "CAMWATCH_JSON=" + json,
        };
        if (motion && e.tracks) {  // only with the track gate on
            env.push_back("CAMWATCH_TRACKS=" + std::to_string(e.tracks->tracks));
            env.push_back("CAMWATCH_TRAVEL=" + nlohmann::json(e.tracks->travelPercent).dump());
            env.push_back("CAMWATCH_TRAVEL_DIRECTION=" +
                          (e.tracks->direction ? nlohmann::json(*e.tracks->direction).dump()
                                               : std::string()));
        }
        if (motion && e.labels) {  // only with LABELS set
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const LabelFacts& l : *e.labels) {
                list.push_back({{"label", l.label},
                                {"score", l.score},
                                {"box", {{"x", l.box.x}, {"y", l.box.y}, {"w", l.box.w}, {"h", l.box.h}}},
                                {"snapshot", l.snapshot}});
            }
            env.push_back("CAMWATCH_LABELS=" +
                          list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        }
        return env;
    }
    bool Takes(Audience audience) const override { return audience != Audience::kRecord; }

    void Wake() {
        uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
        (void)ignored;
    }

    void Failed(int kind, const std::string& why) {
        if (reported_[kind]) return;  // once per command, not once per record
        reported_[kind] = true;
        Report(std::string("hook ") + kHookNames[kind] + " failed (" + why + ")");
    }

    void Spawn(const Job& job) {
        std::vector<char*> envp;
        envp.reserve(baseEnv_.size() + job.env.size() + 1);
        for (auto& s : baseEnv_) envp.push_back(const_cast<char*>(s.c_str()));
        for (auto& s : job.env) envp.push_back(const_cast<char*>(s.c_str()));
        envp.push_back(nullptr);
        std::string command = commands_[job.kind];
        char sh[] = "/bin/sh", dashC[] = "-c";
        char* argv[] = {sh, dashC, command.data(), nullptr};
        SpawnSetup setup;
        pid_t pid = -1;
        int rc = ::posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, argv, envp.data());
        if (rc != 0) {
            Failed(job.kind, std::string("cannot start: ") + std::strerror(rc));
            return;
        }
        // The raw call: this glibc's <sys/pidfd.h> lacks C linkage for C++.
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        running_.push_back({pid, pidfd, job.kind, std::chrono::steady_clock::now() + timeout_});
    }

    // Reaps the child if it has ended; true when it has.
    bool TryReap(Child& c, int flags, bool report = true) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(c.pid, &status, flags);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return false;
        if (c.pidfd >= 0) ::close(c.pidfd);
        if (r < 0 || !report) return true;  // r < 0: someone else reaped it
        if (c.timedOut) {
            Failed(c.kind,
                   "killed after " +
                       std::to_string(
                           std::chrono::duration_cast<std::chrono::seconds>(timeout_).count()) +
                       " s");
        } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
            Failed(c.kind, "exit status " + std::to_string(WEXITSTATUS(status)));
        } else if (WIFSIGNALED(status)) {
            Failed(c.kind, "killed by signal " + std::to_string(WTERMSIG(status)));
        }
        return true;
    }

    static void Kill(const Child& c) {
        if (::kill(-c.pid, SIGKILL) != 0) ::kill(c.pid, SIGKILL);
    }

    void Run() noexcept {
        try {
            Loop();
        } catch (const std::exception& e) {
            Report(std::string("hooks stopped: ") + e.what());
        }
        // Whatever happened, no child is left running or unreaped.
        for (auto& c : running_) {
            Kill(c);
            TryReap(c, 0, false);
        }
        running_.clear();
    }

    void Loop() {
        std::vector<pollfd> fds;
        for (;;) {
            bool stopping;
            Deadline stopAt;
            {
                std::unique_lock lock(mutex_);
                while (running_.size() < kMaxRunning && !queue_.empty() &&
                       !(stopping_ && std::chrono::steady_clock::now() >= stopAt_)) {
                    Job job = std::move(queue_.front());
                    queue_.pop_front();
                    if (queue_.empty()) overflowing_ = false;
                    lock.unlock();
                    Spawn(job);
                    lock.lock();
                }
                stopping = stopping_;
                stopAt = stopAt_;
                if (stopping && running_.empty() && queue_.empty()) return;
                if (stopping && std::chrono::steady_clock::now() >= stopAt) {
                    dropped_.fetch_add(queue_.size(), std::memory_order_relaxed);
                    queue_.clear();
                    lock.unlock();
                    for (auto& c : running_) {
                        Kill(c);
                        TryReap(c, 0, false);
                        Failed(c.kind, "killed at shutdown");
                    }
                    running_.clear();
                    return;
                }
            }

            auto now = std::chrono::steady_clock::now();
            auto until = [&](Deadline d) {
                auto ms = std::chrono::ceil<std::chrono::milliseconds>(d - now).count();
                return static_cast<int>(std::clamp<int64_t>(ms, 0, 60'000));
            };
            int timeout = stopping ? until(stopAt) : -1;
            fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
            for (auto& c : running_) {
                if (!c.timedOut)
                    timeout = timeout < 0 ? until(c.killAt) : std::min(timeout, until(c.killAt));
                if (c.pidfd < 0)
                    timeout = timeout < 0 ? kReapFallbackMs : std::min(timeout, kReapFallbackMs);
                fds.push_back(pollfd{c.pidfd, POLLIN, 0});  // a negative fd is skipped
            }
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            if (fds[0].revents & POLLIN) {
                uint64_t count;
                ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
                (void)ignored;
            }
            now = std::chrono::steady_clock::now();
            std::vector<Child> still;
            for (size_t i = 0; i < running_.size(); ++i) {
                Child& c = running_[i];
                bool ended = (c.pidfd < 0 || fds[i + 1].revents) && TryReap(c, WNOHANG);
                if (ended) continue;
                if (!c.timedOut && now >= c.killAt) {
                    Kill(c);
                    c.timedOut = true;
                }
                still.push_back(c);
            }
            running_.swap(still);
        }
    }

    const std::string commands_[4];
    const std::chrono::milliseconds timeout_;
    const UtcOffset utcOffset_;
    std::vector<std::string> baseEnv_;
    int wakeFd_ = -1;

    std::mutex mutex_;  // queue_, stopping_, stopAt_, overflowing_
    std::deque<Job> queue_;
    bool stopping_ = false;
    Deadline stopAt_{};
    bool overflowing_ = false;
    std::atomic<uint64_t> dropped_{0};  // a counter only

    // The hook thread's own.
    bool reported_[4] = {};
    std::vector<Child> running_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Outlet> MakeHooks(const Options& o) {
    if (o.onStart.empty() && o.onEnd.empty() && o.onLost.empty() && o.onBack.empty()) {
        return nullptr;
    }
    return std::make_unique<Hooks>(o);
}

}  // namespace events
