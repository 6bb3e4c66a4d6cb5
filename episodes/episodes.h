// A camera's motion episodes, the one rule that events, clips and the event history follow: a
// motion frame opens an episode or continues it; it ends on the first frame without motion
// EVENTGAP seconds after the last motion frame (EVENTGAP=0: on the first frame outside the
// motion hold), or at once when the camera is lost or its worker ends.
#pragma once

#include <cstdint>

namespace episodes {

// What one frame did to the camera's episode.
enum class Step {
    kNone,    // no episode open and no motion
    kStart,   // a motion frame opened an episode
    kMotion,  // a motion frame inside the open episode
    kStill,   // a frame without motion inside it: the gap still runs
    kEnd,     // a frame without motion that ended it: the gap ran out
};

inline bool Moving(Step step) {
    return step == Step::kStart || step == Step::kMotion;
}

// One per camera, used by that camera's worker thread only.
class Tracker {
  public:
    explicit Tracker(int gapSeconds) : gapMs_(gapSeconds > 0 ? int64_t{gapSeconds} * 1000 : 0) {}

    // motionCount: regions counted in the frame; held: the frame is inside the motion hold.
    Step OnFrame(int32_t motionCount, bool held, int64_t steadyMs);
    // The camera was lost, or the worker ends: an open episode ends here. True if one was open.
    bool Cut();
    bool open() const { return open_; }

  private:
    int64_t gapMs_;
    bool open_ = false;
    int64_t lastMotionMs_ = 0;
};

}  // namespace episodes
