// <PATHLOG>events.jsonl: one JSON record per line, appended across runs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "events/outlets.h"

namespace events {

namespace {

class EventFile final : public Outlet {
  public:
    explicit EventFile(std::string path) : path_(std::move(path)) { Open(); }
    ~EventFile() override { Close(); }

    void Deliver(const Event& event, const std::string& json) override {
        if (fd_ < 0 && !Open()) return;
        std::string line = json + "\n";
        // One write per line: with O_APPEND no other writer can split it.
        ssize_t n = ::write(fd_, line.data(), line.size());
        if (n < 0) {
            Fail("cannot write event file " + path_ + ": " + std::strerror(errno));
            return;
        }
        if (static_cast<size_t>(n) < line.size()) {
            // Disk full mid-line: finish the line if room comes back, so the next one
            // starts on a line of its own.
            size_t done = static_cast<size_t>(n);
            while (done < line.size()) {
                ssize_t more = ::write(fd_, line.data() + done, line.size() - done);
                if (more <= 0) break;
                done += static_cast<size_t>(more);
            }
            Fail("cannot write event file " + path_ + ": short write");
            return;
        }
        if (event.type == Type::kEnd && ::fsync(fd_) != 0 && errno != EINVAL) {
            Fail("cannot write event file " + path_ + ": " + std::strerror(errno));
            return;
        }
        failing_ = false;
    }

    void Stop(Deadline) override { Close(); }

  private:
    bool Open() {
        // O_NONBLOCK: a FIFO without a reader, or a full one, must not stall the dispatcher.
        fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            Fail("cannot open event file " + path_ + ": " + std::strerror(errno));
            return false;
        }
        return true;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // One line per run of failures; quiet again once a record gets through.
    void Fail(const std::string& message) {
        if (!failing_) Report(message);
        failing_ = true;
    }

    std::string path_;
    int fd_ = -1;
    bool failing_ = false;
};

}  // namespace

std::unique_ptr<Outlet> MakeEventFile(const std::string& path) {
    return std::make_unique<EventFile>(path);
}

}  // namespace events
