// Start-up, discovery, console and shutdown: the program's main thread.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "supervisor/slots.h"

// Body of a worker thread; must keep the slot contract (report -1 last).
using WorkerEntry = void (*)(int slotIndex);
// How a camera index (or SOURCEi name) is opened.
using CameraOpener = std::unique_ptr<FrameSource> (*)(int index, const std::string& name);

// The whole program after main(): config, discovery, workers, console, shutdown.
// Always returns 0.
int RunProgram(WorkerEntry worker, CameraOpener opener = OpenCamera);

// Reads one console word: skips white space, takes at most 20 non-white characters.
// False at end of input.
bool ReadWord(std::istream& in, std::string& word);

// The console loop: prompt, word, command, until `exit` or end of input.
void RunConsole(std::istream& in, std::ostream& out, int cameraCount);
