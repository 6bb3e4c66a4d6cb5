#include "supervisor/supervisor.h"
#include "worker/worker.h"

int main() {
    return RunProgram(CameraWorker);
}
