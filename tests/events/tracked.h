// The event records of a camera with the episode rule in front, as the frame loop runs them.
#pragma once

#include "episodes/episodes.h"
#include "events/events.h"

class TrackedEvents : public events::CameraEvents {
  public:
    TrackedEvents(int camera, events::Bus& bus, int gapSeconds, bool snapshotsOn)
        : CameraEvents(camera, bus, snapshotsOn), episode_(gapSeconds) {}
    void OnFrame(events::FrameFacts facts) {
        facts.step = episode_.OnFrame(facts.count, facts.held, facts.steadyMs);
        CameraEvents::OnFrame(facts);
    }
    void OnLost(const std::string& reason, int64_t wallMs) {
        episode_.Cut();
        CameraEvents::OnLost(reason, wallMs);
    }

  private:
    episodes::Tracker episode_;
};
