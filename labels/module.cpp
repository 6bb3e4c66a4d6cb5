// camwatch-labels.so: the only part of the program that links OpenCV's objdetect and dnn
// (and what they bring: calib3d, features2d, flann, protobuf), loaded when labels are on.
#include "labels/labels.h"

extern "C" __attribute__((visibility("default"))) labels::Detector* camwatch_labels_hog() {
    return labels::ModuleHogPeople().release();
}

extern "C" __attribute__((visibility("default"))) labels::Detector* camwatch_labels_model(
    const labels::Options* options, std::string* error) {
    return labels::ModuleModel(*options, *error).release();
}
