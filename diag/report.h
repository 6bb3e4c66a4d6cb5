// A few words to the operator: one plain line on stderr each, through the program's
// stderr channel (diag/).
#pragma once

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
