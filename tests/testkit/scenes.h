// Test scenes that fool pixel motion, and people moving through them: what a garden or
// door camera really sees, made frame by frame.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace testkit {

struct SceneSpec {
    std::string name;
    int frames = 0;
    int expectedEvents = 0;  // events a person-only camera should report
    int personFrom = -1;     // first frame with a person in view; -1: none
    int clearFrom = -1;      // first frame it is in clear view (behind the leaves: later)
};

// foliage, rain, lightjump, colourgray, insect, crossing, approach, standleave, behindfoliage.
// SceneFrame also draws "gardenwalk": a person crossing below the swaying tree.
const std::vector<SceneSpec>& Scenes();

// Frame i of a scene. person: the picture of a person (8-bit BGR) with its mask (8-bit, 255
// on the person), pasted where the person is; empty: a drawn figure.
cv::Mat SceneFrame(const std::string& name, cv::Size size, int i, const cv::Mat& person = {},
                   const cv::Mat& personMask = {});

// A real photograph of a walking person and its mask, cut from the first frame of OpenCV's
// sample street video (Debian's opencv-doc). False when the package is not installed.
bool PersonPhoto(cv::Mat& picture, cv::Mat& mask);

}  // namespace testkit
