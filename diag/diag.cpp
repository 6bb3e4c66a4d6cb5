#include "diag/diag.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <opencv2/core/utils/logger.hpp>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace diag {

namespace {

std::mutex gLineMutex;

thread_local int tQuiet = 0;  // QuietLibraries alive on this thread

void FilterFfmpegLog(void* context, int level, const char* format, va_list args) {
    if (tQuiet > 0) return;
    av_log_default_callback(context, level, format, args);
}

// OpenCV's log level is one for the process: the first quiet span lowers it, the last restores.
std::mutex gOpenCvMutex;
int gOpenCvQuiet = 0;
cv::utils::logging::LogLevel gOpenCvSaved = cv::utils::logging::LOG_LEVEL_WARNING;

}  // namespace

void Line(std::string_view text) {
    std::string line = "camwatch: ";
    line.append(text);
    line += '\n';
    std::lock_guard<std::mutex> lock(gLineMutex);
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

QuietLibraries::QuietLibraries() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(FilterFfmpegLog); });
    ++tQuiet;
    std::lock_guard<std::mutex> lock(gOpenCvMutex);
    if (gOpenCvQuiet++ == 0) {
        gOpenCvSaved = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    }
}

QuietLibraries::~QuietLibraries() {
    --tQuiet;
    std::lock_guard<std::mutex> lock(gOpenCvMutex);
    if (--gOpenCvQuiet == 0) cv::utils::logging::setLogLevel(gOpenCvSaved);
}

}  // namespace diag
