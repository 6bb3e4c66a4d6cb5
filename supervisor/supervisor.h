// Start-up, discovery, console and shutdown: the program's main thread.
#pragma once

#include <chrono>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "service/service.h"
#include "slots/slots.h"

namespace supervisor {

// Body of a worker thread; must keep the slot contract (report Finished last).
using WorkerEntry = std::function<void(int slotIndex)>;
// How a camera index (or its SOURCEi name) is opened, with its SOURCETIMEOUT and RECORDi.
using CameraOpener = std::unique_ptr<cameras::FrameSource> (*)(
    int index, const std::string& name, const cameras::OpenSettings& settings);

// What discovery left for the rest of the run.
struct Discovered {
    int cameraCount = 0;         // the camera count setting
    std::vector<int> served;     // the slots that get a worker (ServedSlots)
    std::vector<int> notServed;  // slots that opened at start-up and get none (SERVEALL off)
};

// What runs beside the cameras (events, web) and the workers' body, which writes to it: started
// once discovery is done, before the first worker, and the workers exist only through what
// Start returns; stopped once every worker has finished.
class ProgramOutlets {
  public:
    virtual ~ProgramOutlets() = default;
    virtual WorkerEntry Start(const service::CommandLine& command, const Discovered& cameras) = 0;
    // At exit, after the workers: whatever is left to deliver gets until the deadline, which
    // keeps the whole exit within 2 s.
    virtual void Stop(std::chrono::steady_clock::time_point deadline) = 0;
};

// The whole program after main(): configuration, discovery, outlets and workers, console,
// shutdown. command: the config file, and --no-console (wait for a stop signal instead of the
// console). healthy: asked before each watchdog notice to a service manager (empty: every
// running camera makes progress). Always returns 0.
int RunProgram(ProgramOutlets& outlets, CameraOpener opener = cameras::OpenCamera,
               const service::CommandLine& command = {}, std::function<bool()> healthy = {});

// Prints "Searching", a dot per probed index and the found count; opens every camera that
// answers among indices 0 .. min(cameraCount, 10)-1. Returns the found count. Stream URLs are
// opened all at once at the start, each awaited in its turn; one that does not open gets a
// background slot that keeps trying. Once stopFd (when >= 0) is readable, opens still
// pending are not waited for and count as not opened.
int DiscoverCameras(int cameraCount, CameraOpener opener, std::ostream& out, int stopFd = -1);

// The slots that get a worker, found ones in slot order, then the background ones: each opened
// slot below the found count (every opened slot with SERVEALL=ON), and each background slot.
// Read between discovery and the first worker's start.
std::vector<int> ServedSlots(int foundCount);

// Starts a worker for each opened slot below the found count (every opened one with
// SERVEALL=ON), in slot order, pausing pauseMs after each start, then one for each background
// slot. A slot whose thread cannot be started is released at once.
std::vector<std::thread> StartWorkers(WorkerEntry worker, int foundCount, int pauseMs);

// Stops and awaits every slot below the found count (every slot with SERVEALL=ON) whose run
// state reads Running, one at a time in slot order, then the background slots.
void StopWorkers(int foundCount);

// Reads one console word: skips white space, takes at most 20 non-white characters.
// False at end of input.
bool ReadWord(std::istream& in, std::string& word);

// The console loop: prompt, word, command, until `exit` or end of input.
void RunConsole(std::istream& in, std::ostream& out, int cameraCount);

}  // namespace supervisor
