#include <iostream>

#include "app/app.h"
#include "service/service.h"
#include "worker/worker.h"

int main(int argc, char** argv) {
    CommandLine command;
    const int status = ParseCommandLine(argc, argv, command, std::cout, std::cerr);
    if (status >= 0) return status;
    Outlets outlets;
    return RunProgram(CameraWorker, OpenCamera, command, {}, &outlets);
}
