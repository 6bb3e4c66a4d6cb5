// The labeller: the two-sightings rule, its queue that drops rather than waits, the HOG
// people detector on a photograph of a person and on scenes without one, and a user's ONNX
// network: tiny ones written by tests/labels/tiny_model.py with known outputs, and hostile
// files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <future>
#include <tuple>

#include "labels/labels.h"
#include "tests/testkit/process.h"
#include "tests/testkit/scenes.h"

namespace {

// Finds a person in every bright picture, in its middle; gated pictures wait for the gate.
class Scripted : public labels::Detector {
  public:
    std::vector<labels::Found> Detect(const cv::Mat& p) override {
        if (gate) {
            entered.set_value();
            gate->wait();
            gate.reset();
        }
        if (cv::mean(p)[0] < 128) return {};
        return {{"person", 0.8 + 0.1 * ++calls, {p.cols / 4, p.rows / 4, p.cols / 2, p.rows / 2}}};
    }
    int WorkingHeight() const override { return 64; }
    int calls = 0;
    std::optional<std::shared_future<void>> gate;
    std::promise<void> entered;
};

labels::Options Person(int rate) {
    labels::Options o;
    o.person = true;
    o.ratePerSecond = rate;
    return o;
}

cv::Mat Frame(bool bright) {
    return cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(bright ? 200 : 20));
}

TEST(Labeller, ALabelCountsOnceTwoChecksWithinTwoSecondsSeeItOnOneTrack) {
    auto owned = std::make_unique<Scripted>();
    labels::Labeller labeller(Person(2), std::move(owned));
    const cv::Rect box(100, 60, 40, 100);
    EXPECT_TRUE(labeller.Due(0));
    labeller.Check(Frame(true), {{1, box}}, 0, "cam0n1.jpg");
    labeller.Drain();
    EXPECT_TRUE(labeller.TakeConfirmed().empty());  // one sighting is not enough
    // At LABELRATE=2 a sighting gets its second look after 200 ms (checks that find nothing are
    // 800 ms apart, below); still no more than two checks fall in any second.
    EXPECT_EQ(labeller.Awaited(), 1);
    EXPECT_FALSE(labeller.Due(199));
    EXPECT_TRUE(labeller.Due(200));
    // Track 2 seen once, then nothing, then again after more than 2 s: never confirmed.
    labeller.Check(Frame(true), {{2, box}}, 500, "");
    labeller.Drain();
    EXPECT_FALSE(labeller.Due(750));
    EXPECT_TRUE(labeller.Due(1000));
    labeller.Check(Frame(false), {{2, box}}, 1000, "");
    labeller.Drain();
    labeller.Check(Frame(true), {{2, box}, {1, box}}, 2600, "cam0n9.jpg");
    labeller.Drain();
    EXPECT_TRUE(labeller.TakeConfirmed().empty());  // track 1's first sighting is 2.6 s old too
    labeller.Check(Frame(true), {{1, box}}, 3100, "cam0n12.jpg");
    labeller.Drain();
    const auto confirmed = labeller.TakeConfirmed();
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0].label, "person");
    EXPECT_EQ(confirmed[0].track, 1);
    EXPECT_EQ(confirmed[0].snapshot, "cam0n12.jpg");
    // The box is where the detector saw it, in frame coordinates, inside the padded area.
    const cv::Rect padded(100 - 16, 60 - 25, 40 + 32, 100 + 50);
    EXPECT_EQ(confirmed[0].box & padded, confirmed[0].box);
    EXPECT_NEAR(confirmed[0].box.width, padded.width / 2, 2);
    // A reset forgets the sightings: one more is again not enough.
    labeller.Reset();
    labeller.Check(Frame(true), {{1, box}}, 3600, "");
    labeller.Drain();
    EXPECT_TRUE(labeller.TakeConfirmed().empty());
    // A reset forgets the sighting that waited: checks are 800 ms apart again.
    labeller.Reset();
    labeller.Check(Frame(false), {{3, box}}, 4400, "");
    labeller.Drain();
    EXPECT_EQ(labeller.Awaited(), 0);
    EXPECT_FALSE(labeller.Due(5199));
    EXPECT_TRUE(labeller.Due(5200));
    EXPECT_EQ(labeller.Checks(), 7u);
    EXPECT_EQ(labeller.Dropped(), 0u);
}

TEST(Labeller, AFullQueueDropsAndCountsInsteadOfWaiting) {
    auto owned = std::make_unique<Scripted>();
    Scripted& detector = *owned;
    std::promise<void> release;
    detector.gate = release.get_future().share();
    auto entered = detector.entered.get_future();
    labels::Labeller labeller(Person(50), std::move(owned));
    const cv::Rect box(10, 10, 50, 50);
    labeller.Check(Frame(true), {{1, box}}, 0, "");
    entered.wait();  // the thread is inside the detector
    for (int i = 1; i <= 4; ++i) labeller.Check(Frame(true), {{1, box}}, i * 20, "");
    EXPECT_EQ(labeller.Dropped(), 2u);  // two wait, two are dropped
    EXPECT_EQ(labeller.Checks(), 3u);
    release.set_value();
    labeller.Drain();
    EXPECT_EQ(labeller.TakeConfirmed().size(), 2u);  // confirmed, then a better sighting
}

TEST(HogPeople, FindsThePhotographedPersonAndConfirmsNothingInTheNoiseScenes) {
    cv::Mat person, mask;
    if (!testkit::PersonPhoto(person, mask)) GTEST_SKIP() << "opencv-doc is not installed";
    const cv::Size size(320, 240);
    labels::Labeller labeller(Person(2), labels::ModuleHogPeople());
    // The walker 150 pixels tall, and the approaching one while still 50 to 65 pixels tall
    // (the regions the detector finds there): two checks each confirm a person.
    const std::tuple<const char*, int, cv::Rect, int, cv::Rect> people[] = {
        {"crossing", 50, {122, 80, 78, 150}, 54, {136, 80, 70, 150}},
        {"approach", 21, {150, 81, 22, 52}, 27, {147, 79, 27, 65}}};
    int track = 1;
    for (const auto& [scene, first, firstBox, second, secondBox] : people) {
        labeller.Check(testkit::SceneFrame(scene, size, first, person, mask), {{track, firstBox}},
                       first * 40, "");
        labeller.Drain();
        labeller.Check(testkit::SceneFrame(scene, size, second, person, mask), {{track, secondBox}},
                       second * 40, "");
        labeller.Drain();
        const auto seen = labeller.TakeConfirmed();
        ASSERT_EQ(seen.size(), 1u) << scene;
        EXPECT_EQ(seen[0].label, "person");
        EXPECT_EQ(seen[0].track, track);
        EXPECT_GT((seen[0].box & secondBox).area(), secondBox.area() / 2) << scene;
        ++track;
    }
    // The walker behind the swaying tree: at first one region with the leaves, in which the
    // walker is two thirds of its height (found in the region's front), then a region of its
    // own that is as tall as the walker (found at the scale of the first sighting).
    labeller.Check(testkit::SceneFrame("behindfoliage", size, 52, person, mask),
                   {{track, {125, 10, 130, 130}, {125, 10, 65, 130}}}, 52 * 40, "");
    labeller.Drain();
    labeller.Check(testkit::SceneFrame("behindfoliage", size, 65, person, mask),
                   {{track, {8, 52, 88, 88}, {8, 52, 44, 88}}}, 65 * 40, "");
    labeller.Drain();
    ASSERT_EQ(labeller.TakeConfirmed().size(), 1u);
    ++track;
    // After a miss in the front (the leaves), the whole end, still for a walker two thirds of
    // the region's height: 94 pixels at the region's scale, too small for the detector.
    for (const auto& [frame, x] : {std::pair{56, 185}, {60, 71}, {62, 40}}) {
        labeller.Check(testkit::SceneFrame("behindfoliage", size, frame, person, mask),
                       {{track, {x, 10, 130, 130}, {x + 65, 10, 65, 130}}}, frame * 40, "");
        labeller.Drain();
    }
    ASSERT_EQ(labeller.TakeConfirmed().size(), 1u);
    ++track;
    // The scenes without a person, checked where they move, twice a second for 5 s: a
    // one-off hit may happen, a confirmed label must not.
    const std::pair<const char*, cv::Rect> noise[] = {
        {"foliage", {190, 5, 120, 110}}, {"rain", {0, 0, 320, 240}}, {"insect", {60, 70, 100, 100}}};
    for (const auto& [scene, area] : noise) {
        for (int frame = 0; frame < 125; frame += 12) {
            labeller.Check(testkit::SceneFrame(scene, size, frame), {{track, area}}, frame * 40, "");
            labeller.Drain();
        }
        EXPECT_TRUE(labeller.TakeConfirmed().empty()) << scene;
        ++track;
    }
}

TEST(Model, KnownOutputsBecomeLabelsAndBadFilesOneReason) {
    testkit::TempDir dir;
    ASSERT_EQ(std::system(("/usr/bin/python3 " CAMWATCH_SOURCE "/tests/labels/tiny_model.py '" +
                           dir.path() + "'").c_str()),
              0);
    testkit::WriteTextFile(dir.File("names.txt"), "person\ncar\n");
    labels::Options o;
    o.modelLabels = dir.File("names.txt");
    o.modelSize = 64;
    o.modelScore = 0.5;
    std::string error;
    o.model = dir.File("good.onnx");
    auto model = labels::MakeDetector(o, error);
    ASSERT_TRUE(model) << error;
    EXPECT_EQ(model->WorkingHeight(), 64);
    // The network sees 64x64; its boxes come back in the picture's pixels (twice as large).
    const auto found = model->Detect(cv::Mat(128, 128, CV_8UC3, cv::Scalar::all(90)));
    ASSERT_EQ(found.size(), 1u);  // the second row's 0.2 x 0.5 is below MODELSCORE
    EXPECT_EQ(found[0].label, "car");
    EXPECT_NEAR(found[0].score, 0.72, 1e-6);
    EXPECT_EQ(found[0].box, cv::Rect(48, 32, 32, 64));

    // Each bad file gives no detector and one reason that names it.
    const std::string good = testkit::ReadFile(dir.File("good.onnx"));
    testkit::WriteTextFile(dir.File("truncated.onnx"), good.substr(0, good.size() / 2));
    testkit::WriteTextFile(dir.File("empty.onnx"), "");
    ASSERT_EQ(mkdir(dir.File("folder.onnx").c_str(), 0755), 0);
    for (const char* bad : {"wrong.onnx", "truncated.onnx", "empty.onnx", "folder.onnx", "none.onnx"}) {
        o.model = dir.File(bad);
        error.clear();
        EXPECT_FALSE(labels::MakeDetector(o, error)) << bad;
        EXPECT_NE(error.find(o.model), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    o.model = dir.File("wrong.onnx");
    labels::MakeDetector(o, error);
    EXPECT_EQ(error, "model " + o.model + " gives output [1, 14], not [1, N, 7]");
    o.model = dir.File("good.onnx");
    o.modelLabels = dir.File("nowhere.txt");
    EXPECT_FALSE(labels::MakeDetector(o, error));
    EXPECT_EQ(error, "model labels " + o.modelLabels + " cannot be read");
}

}  // namespace
