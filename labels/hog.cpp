// The HOG people detector that ships inside OpenCV: nothing to download.
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "labels/labels.h"

namespace labels {

namespace {

// Below this SVM margin a window is no person.
constexpr double kLeastScore = 0.3;
// The target comes scaled so that its box, which is about the mover's height, is a little
// taller than the window (the photographed or filmed person fills about 3/4 of the box): four
// levels 7 % apart then reach a person from 0.9 to 1.1 times the window, which finds people
// 50 pixels tall as well as large ones, at less cost than scaling the padded area to a fixed
// height and searching eight levels.
constexpr int kLevels = 4;
constexpr double kLevelScale = 1.07;

class HogPeople final : public Detector {
  public:
    HogPeople() {
        hog_.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
        hog_.nlevels = kLevels;
    }

    std::vector<Found> Detect(const cv::Mat& picture) override {
        std::vector<Found> found;
        if (picture.cols < hog_.winSize.width || picture.rows < hog_.winSize.height) return found;
        std::vector<cv::Rect> boxes;
        std::vector<double> weights;
        hog_.detectMultiScale(picture, boxes, weights, 0, cv::Size(8, 8), cv::Size(8, 8),
                              kLevelScale, 2);
        for (size_t i = 0; i < boxes.size(); ++i) {
            const double score = i < weights.size() ? weights[i] : 0.0;
            if (score >= kLeastScore) found.push_back({"person", score, boxes[i]});
        }
        return found;
    }
    // The box's height in the picture, and the area around it: an eighth of its height above
    // and below, a quarter of its width each side, and wide enough for the window and a cell.
    // A walker merged with foliage behind is about two thirds of the region's height.
    int WorkingHeight() const override { return 136; }
    Framing Frames() const override { return {0.25, 0.125, 8, true, 72, 0.65}; }

  private:
    cv::HOGDescriptor hog_;
};

}  // namespace

std::unique_ptr<Detector> ModuleHogPeople() {
    return std::make_unique<HogPeople>();
}

}  // namespace labels
