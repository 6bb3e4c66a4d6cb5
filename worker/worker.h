// The camera worker: one thread per started slot.
#pragma once

// Thread body for a started slot; serves the slot's camera until stopped or until the camera
// ends, and reports -1 in the slot's run state as its very last action.
void CameraWorker(int slotIndex);
