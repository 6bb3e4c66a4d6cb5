#include <signal.h>

#include <iostream>

#include "app/app.h"
#include "service/service.h"

namespace {

// The stop signals are blocked before anything else runs, the libraries' own initialisers
// included: one that comes while the program starts up waits for it to read the signal and
// stop in order (status 0), as at any later moment. Every thread inherits the mask.
void BlockStopSignals(int, char**, char**) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}
[[gnu::section(".preinit_array"),
  gnu::used]] void (*const blockStopSignals)(int, char**, char**) = BlockStopSignals;

}  // namespace

int main(int argc, char** argv) {
    service::CommandLine command;
    const int status = service::ParseCommandLine(argc, argv, command, std::cout, std::cerr);
    if (status >= 0) return status;
    app::Outlets outlets;
    return supervisor::RunProgram(outlets, cameras::OpenCamera, command);
}
