// What every floor of the house shares, defined once: the number of camera slots, the longest
// name, the steady clock in milliseconds, and the bounds of the frame-time histogram.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace base {

constexpr int kSlotCount = 10;  // camera slots 0..9 (SOURCE0 .. SOURCE9)
constexpr int kTextSize = 256;  // a key, value or composed name: 255 characters + terminator
constexpr size_t kMaxText = kTextSize - 1;  // the longest key, value, prefix or composed name

// Milliseconds of the monotonic clock.
inline int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Upper bounds (seconds) of the frame-processing-time histogram; a last bucket takes the rest.
constexpr std::array<double, 10> kFrameSecondsBounds = {0.001, 0.0025, 0.005, 0.01, 0.025,
                                                        0.05,  0.1,    0.25,  0.5,  1.0};

}  // namespace base
