// Video files decoded as OpenCV's capture decodes them, to the byte.
#pragma once

#include <memory>
#include <string>

#include "cameras/source.h"

namespace cameras {
// A regular video file decoded on one thread, with the frames OpenCV's FFmpeg capture gives
// for it (to the byte) and fps as its Fps() (by default the rate that capture reports, as
// UsableFps keeps it); nullptr for anything else, or for a file that capture would read
// differently (a rotated video). Never throws.
constexpr double kCaptureFps = -1.0;
std::unique_ptr<FrameSource> OpenFileDecoder(const std::string& path, double fps = kCaptureFps);

// Sets FFmpeg up as OpenCV's capture does at each open (the network layer, the log level).
// False, with nothing done, where the environment holds settings of OpenCV's own for its
// capture (its FFmpeg log, capture options, backend choices): only its capture follows them.
bool PrepareFfmpegLikeCapture();

// A source's frame rate as the cameras report it: 0 when it is none or out of range.
inline double UsableFps(double fps) {
    return fps > 0 && fps < 1000 ? fps : 0.0;
}

}  // namespace cameras
