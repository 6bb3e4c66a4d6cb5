#include <iostream>

#include "service/service.h"
#include "supervisor/supervisor.h"
#include "worker/worker.h"

int main(int argc, char** argv) {
    CommandLine command;
    const int status = ParseCommandLine(argc, argv, command, std::cout, std::cerr);
    if (status >= 0) return status;
    return RunProgram(CameraWorker, OpenCamera, command);
}
