// The detection controls on scripted frames, on the straight path and on the fast path with
// the overlay shown and hidden: mask, smallest region, light switch and warm-up.
#include <gtest/gtest.h>

#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "detector/detector.h"
#include "detector/internal.h"
#include "tests/testkit/process.h"

namespace {

using namespace detector;

const cv::Size kSize(160, 120);

enum class Path { Reference, Shown, Hidden };

// A mid-gray textured room (so that a brightness jump changes every pixel) with filled boxes.
cv::Mat Room(std::vector<std::pair<cv::Rect, int>> boxes, double light = 1.0,
             cv::Size size = kSize) {
    cv::Mat f(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            f.at<cv::Vec3b>(y, x) =
                cv::Vec3b::all(cv::saturate_cast<uchar>((90 + (x / 8 + y / 8) % 2 * 30) * light));
        }
    }
    for (auto& [r, level] : boxes) cv::rectangle(f, r, cv::Scalar::all(level), cv::FILLED);
    return f;
}

class Controls : public ::testing::TestWithParam<Path> {
  protected:
    void Use(const DetectorControls& c) {
        detector = std::make_unique<MotionDetector>();
        ref = DetectorState{};
        ApplyControls(ref, c);
        detector->SetControls(c);
        t = 10.0;
    }
    int Feed(const cv::Mat& frame) {
        cv::Mat out = frame.clone();
        t += 0.04;
        if (GetParam() == Path::Reference) return DetectMotionReference(out, 30, ref, t);
        return detector->DetectAt(out, 30, t, GetParam() == Path::Shown);
    }
    std::vector<int> FeedAll(const std::vector<cv::Mat>& frames) {
        std::vector<int> counts;
        for (const cv::Mat& f : frames) counts.push_back(Feed(f));
        return counts;
    }
    void Restart() {
        if (GetParam() == Path::Reference) {
            ApplyControls(ref, ref.controls);
        } else {
            detector->Restart();
        }
    }
    DetectorState& State() { return GetParam() == Path::Reference ? ref : DetectorStateOf(*detector); }
    // Bounds of the counted regions of the last call.
    cv::Rect Moved() {
        cv::Rect all;
        for (const cv::Rect& r : State().components) {
            if (r.width + r.height >= 50) all = all.empty() ? r : all | r;
        }
        return all;
    }
    // A 40x40 box walking right from x = x0, 4 px a frame, after a settled start.
    std::vector<int> Walk(int x0, int steps = 8) {
        std::vector<cv::Mat> frames(4, Room({{{x0, 40, 40, 40}, 230}}));
        for (int i = 1; i <= steps; ++i) frames.push_back(Room({{{x0 + 4 * i, 40, 40, 40}, 230}}));
        return FeedAll(frames);
    }

    DetectorState ref;
    std::unique_ptr<MotionDetector> detector;
    double t = 10.0;
};

TEST_P(Controls, MaskedPixelsNeverSeedMotionAtAnyFrameSize) {
    // Black over the left half of the picture, drawn at a quarter of the frame size.
    cv::Mat mask(kSize / 4, CV_8UC1, cv::Scalar(255));
    mask(cv::Rect(0, 0, 20, 30)).setTo(0);
    DetectorControls masked, open;
    masked.mask = mask;
    masked.warmupFrames = open.warmupFrames = 1;  // one frame settles a lit start
    Use(masked);
    EXPECT_EQ(Walk(4), std::vector<int>(12, 0));  // x 4..76: wholly under the mask
    EXPECT_EQ(cv::countNonZero(State().history), 0);

    Use(open);
    EXPECT_GT(Walk(50).back(), 0);  // x 50..122
    const cv::Rect unmasked = Moved();
    EXPECT_LT(unmasked.x, 60);
    Use(masked);
    EXPECT_GT(Walk(50).back(), 0);  // half of the path under the mask
    EXPECT_GE(Moved().x, 80);
    EXPECT_EQ(Moved().br(), unmasked.br());

    // A new frame size (after a restart, as a stream that came back) takes the mask scaled
    // anew: its left half is masked again.
    Restart();
    const cv::Size big(320, 240);
    std::vector<cv::Mat> frames(4, Room({{{120, 80, 80, 80}, 230}}, 1.0, big));
    for (int i = 1; i <= 6; ++i)
        frames.push_back(Room({{{120 + 8 * i, 80, 80, 80}, 230}}, 1.0, big));
    const std::vector<int> counts = FeedAll(frames);
    EXPECT_EQ(std::vector<int>(counts.begin(), counts.begin() + 4), std::vector<int>(4, 0));
    EXPECT_GT(counts.back(), 0);
    EXPECT_EQ(Moved().x, 160);
}

TEST_P(Controls, SmallestRegionIsAKey) {
    for (int minSize : {50, 20}) {
        DetectorControls c;
        c.minSize = minSize;
        c.warmupFrames = 1;
        Use(c);
        std::vector<cv::Mat> frames(4, Room({{{40, 40, 16, 16}, 230}}));
        for (int i = 1; i <= 3; ++i) frames.push_back(Room({{{40 + 2 * i, 40, 16, 16}, 230}}));
        EXPECT_EQ(FeedAll(frames).back(), minSize == 20 ? 2 : 0) << minSize;
    }
}

// The room's light goes up by 60 % at once, then a box walks through the brighter room.
TEST_P(Controls, LightSwitchSwallowsAJumpInBrightnessButNotMotionAfterIt) {
    std::vector<cv::Mat> frames(4, Room({}));
    frames.resize(10, Room({}, 1.6));
    for (int i = 0; i < 8; ++i) frames.push_back(Room({{{20 + 5 * i, 40, 40, 40}, 250}}, 1.6));
    for (int percent : {0, 50}) {
        DetectorControls c;
        c.lightSwitchPercent = percent;
        c.warmupFrames = 1;
        Use(c);
        const std::vector<int> counts = FeedAll(frames);
        const std::vector<int> jump(counts.begin() + 4, counts.begin() + 10);
        if (percent == 0) {
            EXPECT_EQ(jump, (std::vector<int>{1, 1, 1, 0, 0, 0}));
        } else {
            EXPECT_EQ(jump, std::vector<int>(6, 0));
            EXPECT_EQ(cv::countNonZero(State().history(cv::Rect(100, 0, 60, 120))), 0);
        }
        EXPECT_GT(counts.back(), 0) << percent;
    }
}

TEST_P(Controls, WarmUpCountsNoMotionAtStartAndAfterARestart) {
    const cv::Mat lit = Room({}), moved = Room({{{30, 30, 50, 50}, 20}});
    DetectorControls c;
    c.warmupFrames = 3;
    Use(c);
    EXPECT_EQ(FeedAll({lit, lit, lit, lit, lit, lit}), std::vector<int>(6, 0));
    // A camera that comes back showing another picture: without a restart it is motion.
    EXPECT_EQ(FeedAll({moved, moved, moved, moved}), (std::vector<int>{1, 1, 1, 0}));
    FeedAll({lit, lit, lit, lit});
    Restart();
    EXPECT_EQ(FeedAll({moved, moved, moved, moved, moved}), std::vector<int>(5, 0));
    EXPECT_EQ(cv::countNonZero(State().history), 0);
    EXPECT_GT(Feed(lit), 0);  // and motion after the warm-up counts again
}

INSTANTIATE_TEST_SUITE_P(Paths, Controls,
                         ::testing::Values(Path::Reference, Path::Shown, Path::Hidden),
                         [](const auto& info) {
                             return info.param == Path::Reference ? "Reference"
                                    : info.param == Path::Shown   ? "Shown"
                                                                  : "Hidden";
                         });

}  // namespace
