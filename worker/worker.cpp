#include "worker/worker.h"

#include "supervisor/slots.h"

// Placeholder body keeping the slot contract until the capture loop lands.
void CameraWorker(int slotIndex) {
    CameraSlot& slot = CameraTable[slotIndex];
    cv::Mat frame;
    while (slot.capture && slot.capture->Read(frame)) {
        PauseUnlessStopped(slotIndex, 30);
        if (slot.runState.load() == kRunStopped) break;
    }
    ReleaseCapture(slotIndex);
    ReportFinished(slotIndex);
}
