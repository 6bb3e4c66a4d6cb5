// Labels: what a moving thing is. Checks of the area around a camera's tracks run on a
// thread of their own behind a small queue that drops and counts; a label counts once it is
// seen in two checks within two seconds on the same track.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

namespace labels {

struct Options {
    bool person = false;             // LABELS=person: OpenCV's HOG people detector
    int ratePerSecond = 2;           // LABELRATE: checks per second per camera at most
    std::vector<std::string> alert;  // ALERTLABELS: labels that let hooks and MQTT fire
    // MODEL: an ONNX detection network used instead of HOG, with MODELLABELS (one class
    // name a line), MODELSIZE (its square input, pixels) and MODELSCORE (least score).
    std::string model, modelLabels;
    int modelSize = 640;
    double modelScore = 0.5;
    bool On() const { return person || !model.empty(); }
};

// A region to check: a track and its box in the frame. front, when not empty, is the part of
// the box where a mover smaller than the box may be (the box is the end of a wider region
// that merged the mover with something else); with a detector whose Framing sets shorter,
// checks of such targets look there first, at the box after a miss (both for a mover that
// share of the box's height), and a sighting's second look goes where the first one saw it.
struct Target {
    int track = 0;
    cv::Rect box;
    cv::Rect front = {};
};

struct Label {
    std::string label;
    double score = 0;
    cv::Rect box;          // in the frame, where it was seen best
    std::string snapshot;  // snapshot of the frame it was seen best on, "" if none
    int track = 0;
};

// Something found in a picture, in its coordinates.
struct Found {
    std::string label;
    double score = 0;
    cv::Rect box;
};

// How a target is cut out of the frame and scaled for a detector: its box padded by these
// shares of its width and height on each side (at least minPad pixels), scaled so that the
// padded area (or, with scaleBox, the box itself) is the detector's WorkingHeight() rows high,
// and the area widened where needed so the scaled picture is at least minWidth pixels wide.
// With shorter > 0 a target's front is checked as a mover that share of the box's height.
struct Framing {
    double padX = 0.25, padY = 0.25;
    int minPad = 16;
    bool scaleBox = false;
    int minWidth = 0;
    double shorter = 0;
};

// A detector of labelled things in an 8-bit BGR picture. Runs on the labeller's thread.
class Detector {
  public:
    virtual ~Detector() = default;
    virtual std::vector<Found> Detect(const cv::Mat& picture) = 0;
    // The picture height the detector works best at for one target (it is scaled to it).
    virtual int WorkingHeight() const = 0;
    virtual Framing Frames() const { return {}; }
};
// The detector the options ask for: the network of options.model, checked with one pass, or
// else the HOG people detector; both live in camwatch-labels.so, loaded at the first call.
// Null, and why in error, when the module cannot be loaded or the model file cannot be read,
// is no network, or its output is not [1, N, 5 + classes].
std::unique_ptr<Detector> MakeDetector(const Options& options, std::string& error);
// Inside the module.
std::unique_ptr<Detector> ModuleHogPeople();
std::unique_ptr<Detector> ModuleModel(const Options& options, std::string& error);

// One per camera with labels on; fed by that camera's frame loop only.
class Labeller {
  public:
    Labeller(const Options& options, std::unique_ptr<Detector> detector);
    ~Labeller();  // stops its thread; queued checks are dropped
    Labeller(const Labeller&) = delete;
    Labeller& operator=(const Labeller&) = delete;

    // Whether a check is due at this time: never more than LABELRATE checks in any second. A
    // label needs two sightings, so the second look follows a sighting after kSecondLookMs and
    // the checks that look for a first one are spaced so that it always can: at LABELRATE=2,
    // 800 ms apart, then 200 ms after a sighting (500 and 500 if spaced evenly).
    bool Due(int64_t steadyMs) const;
    // The track whose sighting waits for its second look, 0 when none does.
    int Awaited() const;
    // Queues a check of the padded areas around targets in frame (copied). Never blocks: when
    // the queue is full the check is dropped and counted.
    void Check(const cv::Mat& frame, const std::vector<Target>& targets, int64_t steadyMs,
               const std::string& snapshot);
    // Labels confirmed since the last call, each label once per track.
    std::vector<Label> TakeConfirmed();
    // Forgets what was seen on the tracks so far (the tracks restarted).
    void Reset();
    // Waits until every queued check is done (tests and benchmarks).
    void Drain();

    uint64_t Checks() const { return checks_.load(); }
    uint64_t Dropped() const { return dropped_.load(); }

    static constexpr size_t kQueue = 2;
    static constexpr int64_t kConfirmWithinMs = 2000;
    static constexpr int64_t kSecondLookMs = 200;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int64_t lastCheckMs_ = INT64_MIN / 2;
    int64_t searchMs_, secondLookMs_;  // the spacing of checks, and after a sighting
    int ratePerSecond_;
    std::deque<int64_t> recent_;  // the times of the checks of the last second
    std::atomic<uint64_t> checks_{0}, dropped_{0};
};

}  // namespace labels
