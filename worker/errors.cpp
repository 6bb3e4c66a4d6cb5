#include "worker/errors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace {
std::mutex gStderrMutex;
}  // namespace

void ReportError(const std::string& text) {
    std::lock_guard<std::mutex> lock(gStderrMutex);
    std::string line = "camwatch: " + text + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void WithStderrMuted(const std::function<void()>& f) {
    std::lock_guard<std::mutex> lock(gStderrMutex);
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool muted = saved >= 0 && null >= 0 && dup2(null, STDERR_FILENO) >= 0;
    if (null >= 0) close(null);
    try {
        f();
    } catch (...) {
    }
    if (muted) {
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
    }
    if (saved >= 0) close(saved);
}
