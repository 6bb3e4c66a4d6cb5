// The HOG people detector that ships inside OpenCV: nothing to download.
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "labels/labels.h"

namespace labels {

namespace {

// Below this SVM margin a window is no person.
constexpr double kLeastScore = 0.3;
// The picture comes scaled so that a person is near the window's size: eight levels 7 %
// apart reach 1.6 times larger, as ten levels 5 % apart did; with a padding of one cell
// instead of two a check costs about a third less and finds what it found.
constexpr int kLevels = 8;
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
    // The window is 128 rows and a person fills about 3/4 of it; a target padded by half its
    // height and scaled to this shows a person a little above the window's scale.
    int WorkingHeight() const override { return 160; }

  private:
    cv::HOGDescriptor hog_;
};

}  // namespace

std::unique_ptr<Detector> ModuleHogPeople() {
    return std::make_unique<HogPeople>();
}

}  // namespace labels
