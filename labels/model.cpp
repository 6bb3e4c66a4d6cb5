// A user's own detection network through OpenCV's DNN module: the common single-output YOLO
// layout, one row per candidate (centre x, centre y, width, height in the network's input
// pixels, objectness, one score per class).
#include <fstream>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <sys/stat.h>

#include "labels/labels.h"

namespace labels {

namespace {

constexpr float kOverlapLimit = 0.45f;  // boxes overlapping more are one thing

std::string Shape(const cv::Mat& m) {
    std::string s = "[";
    for (int i = 0; i < m.dims; ++i) s += (i ? ", " : "") + std::to_string(m.size[i]);
    return s + "]";
}

class Model final : public Detector {
  public:
    Model(cv::dnn::Net net, std::vector<std::string> names, int size, double score)
        : net_(std::move(net)), names_(std::move(names)), size_(size), score_(score) {}

    std::vector<Found> Detect(const cv::Mat& picture) override {
        cv::Mat out = Forward(picture);
        const int rows = out.size[1], width = out.size[2];
        const float* p = out.ptr<float>();
        std::vector<cv::Rect> boxes;
        std::vector<float> scores;
        std::vector<int> classes;
        const double sx = double(picture.cols) / size_, sy = double(picture.rows) / size_;
        for (int r = 0; r < rows; ++r, p += width) {
            int best = 0;
            for (int c = 1; c < width - 5; ++c) {
                if (p[5 + c] > p[5 + best]) best = c;
            }
            const float score = p[4] * p[5 + best];
            if (!(score >= score_)) continue;
            boxes.emplace_back(int((p[0] - p[2] / 2) * sx), int((p[1] - p[3] / 2) * sy),
                               int(p[2] * sx), int(p[3] * sy));
            scores.push_back(score);
            classes.push_back(best);
        }
        std::vector<int> kept;
        cv::dnn::NMSBoxes(boxes, scores, float(score_), kOverlapLimit, kept);
        std::vector<Found> found;
        for (int i : kept) found.push_back({names_[classes[i]], scores[i], boxes[i]});
        return found;
    }
    int WorkingHeight() const override { return size_; }

    cv::Mat Forward(const cv::Mat& picture) {
        cv::Mat blob =
            cv::dnn::blobFromImage(picture, 1.0 / 255.0, {size_, size_}, cv::Scalar(), true, false);
        net_.setInput(blob);
        return net_.forward();
    }

  private:
    cv::dnn::Net net_;
    std::vector<std::string> names_;
    int size_;
    double score_;
};

}  // namespace

std::unique_ptr<Detector> ModuleModel(const Options& o, std::string& error) {
    struct stat st {};
    if (::stat(o.model.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        error = "model " + o.model + " cannot be read";
        return nullptr;
    }
    std::vector<std::string> names;
    std::ifstream list(o.modelLabels);
    for (std::string line; std::getline(list, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) names.push_back(line);
    }
    if (names.empty()) {
        error = "model labels " + o.modelLabels + " cannot be read";
        return nullptr;
    }
    try {
        auto model = std::make_unique<Model>(cv::dnn::readNetFromONNX(o.model), names,
                                             o.modelSize, o.modelScore);
        // One pass on a gray picture: the output must be [1, rows, 5 + classes].
        const cv::Mat out = model->Forward(cv::Mat(o.modelSize, o.modelSize, CV_8UC3,
                                                   cv::Scalar::all(128)));
        if (out.dims != 3 || out.size[0] != 1 || out.size[2] != 5 + int(names.size()) ||
            out.type() != CV_32F) {
            error = "model " + o.model + " gives output " + Shape(out) + ", not [1, N, " +
                    std::to_string(5 + names.size()) + "]";
            return nullptr;
        }
        return model;
    } catch (const std::exception&) {  // cv::Exception for a file that is no network
        error = "model " + o.model + " cannot be read";
        return nullptr;
    }
}

}  // namespace labels
