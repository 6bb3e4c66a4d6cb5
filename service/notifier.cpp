#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <system_error>

#include "service/service.h"

namespace service {

Notifier::Notifier(std::function<bool()> healthy) : healthy_(std::move(healthy)) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket && *socket;
    if (!enabled_) return;
    // The environment is left as it is: sd_notify reads NOTIFY_SOCKET at every notice.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) period_ = std::chrono::microseconds(usec);
}

Notifier::~Notifier() {
    Stopping();
}

void Notifier::Ready() {
    if (!enabled_ || ready_ || stopping_) return;
    ready_ = true;
    sd_notify(0, "READY=1");
    if (period_.count() > 0) {
        try {
            watchdog_ = std::thread(&Notifier::Watch, this);
        } catch (const std::system_error&) {
            // No thread, no watchdog notices: the service manager restarts the program
            // after one period, which is the most useful thing left to happen.
        }
    }
}

void Notifier::Stopping() {
    if (!enabled_ || stopping_) return;
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
    sd_notify(0, "STOPPING=1");
}

void Notifier::Watch() {
    try {
        const auto interval = period_ / 2;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            lock.unlock();
            if (!healthy_ || healthy_()) sd_notify(0, "WATCHDOG=1");
            lock.lock();
            if (wake_.wait_for(lock, interval, [this] { return stop_; })) return;
        }
    } catch (...) {
        // A health check that throws ends the notices; the service manager then restarts us.
    }
}

}  // namespace service
