#include "episodes/episodes.h"

namespace episodes {

Step Tracker::OnFrame(int32_t motionCount, bool held, int64_t steadyMs) {
    if (motionCount > 0) {
        lastMotionMs_ = steadyMs;
        if (open_) return Step::kMotion;
        open_ = true;
        return Step::kStart;
    }
    if (!open_) return Step::kNone;
    const bool over = gapMs_ == 0 ? !held : steadyMs - lastMotionMs_ >= gapMs_;
    if (!over) return Step::kStill;
    open_ = false;
    return Step::kEnd;
}

bool Tracker::Cut() {
    const bool was = open_;
    open_ = false;
    return was;
}

}  // namespace episodes
