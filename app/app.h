// The program's optional outlets beside the cameras: motion events (event file, hooks, MQTT)
// and the web server with its status, events, metrics and live frames. Each is off unless
// its config.cfg key (or --web) turns it on; with none on, nothing here starts a thread.
#pragma once

#include <memory>

#include "supervisor/supervisor.h"

namespace app {

class Outlets : public supervisor::ProgramOutlets {
  public:
    Outlets();
    ~Outlets() override;
    // Reads the keys, starts what is switched on, and returns the camera workers' body with it.
    supervisor::WorkerEntry Start(const service::CommandLine& command,
                                  const supervisor::Discovered& cameras) override;
    // Closes the web server and delivers the last events until the deadline (at most 1.5 s,
    // at least a moment). Idempotent.
    void Stop(std::chrono::steady_clock::time_point deadline) override;

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace app
