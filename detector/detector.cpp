#include "detector/detector.h"

DetectorState DetectorTable[kDetectorSlots];

double MotionTimestamp() { return 0.0; }
int32_t DetectMotion(cv::Mat&, int32_t, int, bool) { return 0; }
int32_t DetectMotionAt(cv::Mat&, int32_t, int, double, bool) { return 0; }
void DrawComponent(cv::Mat&, DetectorState&, const cv::Mat&, cv::Rect, double) {}
void ResetDetector(int slotIndex) { DetectorTable[slotIndex] = DetectorState{}; }
