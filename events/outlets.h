// Inside the events library: what the bus hands records to.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "events/events.h"

namespace events {

using Deadline = std::chrono::steady_clock::time_point;

// Deliver runs on the bus's dispatcher thread only and must not wait on the network or on
// children; Stop runs once, after the last Deliver.
class Outlet {
  public:
    virtual ~Outlet() = default;
    virtual void Deliver(const Event& event, const std::string& json) = 0;
    virtual void Stop(Deadline deadline) = 0;
    // Whether Deliver gets records of this audience: outlets that record take all but the
    // alerting ones; hooks take all but the recording ones.
    virtual bool Takes(Audience audience) const { return audience != Audience::kAlert; }
};

std::unique_ptr<Outlet> MakeEventFile(const std::string& path);
std::unique_ptr<Outlet> MakeHooks(const Options& options);  // null when no hook is set
std::unique_ptr<Outlet> MakeMqtt(const Options& options);   // null when MQTTHOST is empty

// One stderr line "camwatch: <message>" in a single write.
void Report(const std::string& message);

}  // namespace events
