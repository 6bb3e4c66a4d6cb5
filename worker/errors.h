// The worker's few words to the operator: one plain line on stderr each. Library chatter
// during retries that would repeat on every frame is muted.
#pragma once

#include <functional>
#include <string>

// Writes "camwatch: " + text + "\n" to stderr as one line.
void ReportError(const std::string& text);

// Runs f and swallows anything it throws: a step of a worker or of the display thread that
// fails has no effect on the loop around it.
template <typename F>
void Guarded(F&& f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

// Runs f with the process's stderr sent to /dev/null. Serialised with ReportError, so that
// the program's own lines are never lost in the muted span.
void WithStderrMuted(const std::function<void()>& f);
