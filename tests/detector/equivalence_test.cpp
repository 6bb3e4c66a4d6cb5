// The fast path against the straight path, frame by frame, over long synthetic sequences:
// same counts, same components, same history, same drawing when the overlay is shown and
// none when it is hidden.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/optflow/motempl.hpp>
#include <random>
#include <vector>

#include "detector/internal.h"
#include "tests/testkit/process.h"

namespace {

using namespace detector;

// Under a sanitizer the sequences are a quarter as long: every branch is still reached (the
// counts at the end of RunBoth check that), in a quarter of the time.
int Frames(int frames) {
    return testkit::kSanitized ? frames / 4 : frames;
}

struct Mover {
    cv::Point2d pos, vel;
    cv::Size size;
    int level;
    bool textured;
    int runLeft = 0;
};

// Objects that move, stop and start again, lighting steps, sensor specks, and every 200
// frames a still spell of 40 frames.
class Scene {
  public:
    Scene(uint32_t seed, cv::Size size) : rng_(seed), size_(size) {
        for (int i = 0; i < 4; ++i) {
            movers_.push_back({{Uniform(0, size.width), Uniform(0, size.height)},
                               {0, 0},
                               {Int(8, 60), Int(8, 50)},
                               Int(40, 255),
                               i % 2 == 0});
        }
    }
    void Resize(cv::Size size) { size_ = size; }
    cv::Mat Next(int i) {
        const bool still = i % 200 >= 160;
        if (!still && --lightLeft_ <= 0) {
            light_ = light_ == 0 ? Int(-60, 60) : 0;
            lightLeft_ = Int(15, 90);
        }
        if (background_.size() != size_) {
            background_.create(size_, CV_8UC3);
            for (int y = 0; y < size_.height; ++y) {
                for (int x = 0; x < size_.width; ++x) {
                    const int v = 60 + (x * 7 + y * 3) % 90 + ((x / 16 + y / 16) % 2) * 40;
                    background_.at<cv::Vec3b>(y, x) = cv::Vec3b::all(static_cast<uchar>(v));
                }
            }
        }
        cv::Mat f = background_ + cv::Scalar::all(light_);
        if (light_ < 0) f = background_ - cv::Scalar::all(-light_);
        for (Mover& m : movers_) {
            if (!still && --m.runLeft <= 0) {
                const bool moving = m.vel == cv::Point2d(0, 0);
                m.vel = moving ? cv::Point2d(Uniform(-7, 7), Uniform(-7, 7)) : cv::Point2d(0, 0);
                m.runLeft = Int(5, 40);
            }
            if (!still) m.pos += m.vel;
            if (m.pos.x < -20 || m.pos.x > size_.width) m.vel.x = -m.vel.x;
            if (m.pos.y < -20 || m.pos.y > size_.height) m.vel.y = -m.vel.y;
            const cv::Rect r(cv::Point(m.pos), m.size);
            cv::rectangle(f, r, cv::Scalar::all(m.level), cv::FILLED);
            if (m.textured)
                cv::rectangle(f, r + cv::Point(4, 4) - cv::Size(8, 8), cv::Scalar(0, 90, 250), 2);
        }
        if (i % 200 >= 100 && !still) {
            for (int k = 0; k < 40; ++k)
                f.at<cv::Vec3b>(Int(0, f.rows - 1), Int(0, f.cols - 1)) = {255, 255, 255};
        }
        return f;
    }
    // Mostly camera-like steps, sometimes a repeated stamp, a slow frame or a long gap.
    double Step() {
        const int k = Int(0, 99);
        return k < 70 ? 0.033 : k < 80 ? 0.1 : k < 88 ? 0.0 : k < 97 ? 0.4 : 1.3;
    }

  private:
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    double Uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng_);
    }

    std::mt19937 rng_;
    cv::Size size_;
    std::vector<Mover> movers_;
    cv::Mat background_;
    int light_ = 0, lightLeft_ = 0;
};

bool SameBits(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() &&
           std::equal(a.datastart, a.dataend, b.datastart, b.dataend);
}

// With controls, every state takes them at the start and again every 250 frames (which
// restarts their warm-up).
void RunBoth(uint32_t seed, std::vector<cv::Size> sizes, int frames, double t0, double jump = 0,
             const DetectorControls* controls = nullptr) {
    Scene scene(seed, sizes[0]);
    DetectorState ref, shown, hidden, toggled;
    std::mt19937 coin(seed);
    double t = t0;
    int moving = 0, still = 0, drawn = 0, most = 0, switched = 0;
    for (int i = 0; i < frames; ++i) {
        if (controls && i % 250 == 0) {
            for (DetectorState* s : {&ref, &shown, &hidden, &toggled}) ApplyControls(*s, *controls);
        }
        scene.Resize(sizes[i * sizes.size() / frames]);
        const cv::Mat f = scene.Next(i);
        const bool show = coin() % 4 != 0;
        cv::Mat a = f.clone(), b = f.clone(), c = f.clone(), d = f.clone();
        const int count = DetectMotionReference(a, 30, ref, t);
        ASSERT_EQ(DetectMotionFast(b, 30, shown, t, true), count) << i;
        ASSERT_EQ(DetectMotionFast(c, 30, hidden, t, false), count) << i;
        ASSERT_EQ(DetectMotionFast(d, 30, toggled, t, show), count) << i;
        ASSERT_TRUE(SameBits(a, b)) << i;
        ASSERT_TRUE(SameBits(c, f)) << i;
        ASSERT_TRUE(SameBits(d, show ? a : f)) << i;
        for (const DetectorState* s : {&shown, &hidden, &toggled}) {
            ASSERT_TRUE(SameBits(s->history, ref.history)) << i;
            ASSERT_EQ(s->components, ref.components) << i;
            ASSERT_EQ(s->ringIndex, ref.ringIndex) << i;
        }
        if (controls && controls->lightSwitchPercent > 0) {
            const int64_t changed = cv::countNonZero(ref.ring[ref.ringIndex]);  // the silhouette
            switched += changed * 100 > controls->lightSwitchPercent * ref.watchedPixels;
        }
        (count > 0 ? moving : still) += 1;
        drawn += !SameBits(a, f);
        most = std::max(most, count);
        t += scene.Step() + (i % 200 == 199 ? jump : 0.0);
    }
    // The sequence must have exercised what it is meant to.
    EXPECT_GT(moving, frames / 4);
    EXPECT_GT(still, frames / 10);
    EXPECT_GT(drawn, frames / 5);
    EXPECT_GE(most, 3);
    if (controls && controls->lightSwitchPercent > 0) {
        EXPECT_GT(switched, frames / 240);  // several light switches
    }
}

TEST(FastPath, MatchesStraightPathThroughStopsLightingAndSizeChanges) {
    RunBoth(1, {{320, 240}, {180, 120}, {320, 240}}, Frames(1200), 5.0);
}

TEST(FastPath, MatchesStraightPathOnOddFrameWidths) {
    RunBoth(2, {{203, 151}, {97, 61}, {203, 151}}, Frames(900), 0.5);
}

TEST(FastPath, MatchesStraightPathOnNarrowTallFrames) {
    // The gradient's strips: a last strip of too few pixels joins the one before it.
    RunBoth(4, {{21, 203}, {37, 150}}, Frames(600), 2.0);
}

TEST(FastPath, MatchesStraightPathAcrossHistoryClockRestarts) {
    // The clock restarts within the first seconds, and again after each jump of 4070 s.
    RunBoth(3, {{240, 180}}, 600, 4095.0, 4070.0);
}

TEST(FastPath, MatchesStraightPathWithEveryControlOn) {
    // A mask of another size than any frame: a blind band and a blind corner.
    DetectorControls c;
    c.mask = cv::Mat(90, 110, CV_8UC1, cv::Scalar(255));
    c.mask(cv::Rect(30, 0, 20, 90)).setTo(0);
    c.mask(cv::Rect(80, 60, 30, 30)).setTo(0);
    c.minSize = 35;
    c.lightSwitchPercent = 25;
    c.warmupFrames = 3;
    RunBoth(5, {{320, 240}, {203, 151}, {320, 240}}, Frames(1200), 5.0, 0.0, &c);
}

TEST(FastPath, PicksUpAStateTheStraightPathRanOn) {
    Scene scene(4, {160, 120});
    DetectorState ref, mixed;
    for (int i = 0; i < 300; ++i) {
        const cv::Mat f = scene.Next(i);
        cv::Mat a = f.clone(), b = f.clone();
        const double t = 1.0 + 0.05 * i;
        const int count = DetectMotionReference(a, 30, ref, t);
        ASSERT_EQ((i / 10) % 2 ? DetectMotionFast(b, 30, mixed, t, true)
                               : DetectMotionReference(b, 30, mixed, t),
                  count)
            << i;
        ASSERT_TRUE(SameBits(a, b)) << i;
    }
}

// The detector's banded gray conversion, difference and threshold against the library's
// whole-frame calls, on every one of the 2^24 colours, in a frame of odd size (under a
// sanitizer, a scattered sixteenth of them in a smaller frame of odd size).
TEST(FastPath, GrayAndDifferenceAreTheLibrarysForEveryColour) {
    const int rows = testkit::kSanitized ? 1031 : 4099, cols = testkit::kSanitized ? 1029 : 4097;
    cv::Mat frame(rows, cols, CV_8UC3, cv::Scalar::all(0));
    for (int i = 0; i < (testkit::kSanitized ? 1 << 20 : 1 << 24); ++i) {
        const uint32_t colour = testkit::kSanitized ? (i * 2654435761u) & 0xffffff : i;
        uchar* p = frame.ptr<uchar>(i / cols) + 3 * (i % cols);
        p[0] = static_cast<uchar>(colour), p[1] = static_cast<uchar>(colour >> 8),
        p[2] = static_cast<uchar>(colour >> 16);
    }
    cv::Mat shifted;
    cv::flip(frame, shifted, 1);
    cv::Mat gray, older, difference, expected;
    cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(shifted, older, cv::COLOR_BGR2GRAY);
    cv::absdiff(gray, older, difference);
    for (const int threshold : {30, -1, 0, 254, 255}) {
        DetectorState s;
        for (const cv::Mat& f : {shifted, frame, frame, frame}) {
            cv::Mat copy = f.clone();
            DetectMotionFast(copy, threshold, s, 1.0, false);
        }
        // The last call compared the frame with the mirrored one, three calls before it.
        cv::threshold(difference, expected, threshold, 1, cv::THRESH_BINARY);
        EXPECT_EQ(cv::norm(s.ring[(s.ringIndex + 3) & 3], gray, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(s.ring[s.ringIndex & 3], expected, cv::NORM_INF), 0.0) << threshold;
    }
}

// Histories built to test every rule of the library's segmentation: values on a lattice of
// 0.25 s steps (so that neighbours sit exactly on, inside and beyond the 0.5 s limit), holes
// of zero, runs that touch only across a diagonal, seeds next to the border, and views into a
// larger image.
TEST(Segmentation, FindsTheLibrarysBoxesInItsOrder) {
    std::mt19937 rng(7);
    const auto Int = [&](int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); };
    int components = 0;
    SegmentScratch scratch;
    for (int round = 0; round < 400; ++round) {
        const cv::Size size(Int(1, 90), Int(1, 70));
        cv::Mat whole(size.height + 4, size.width + 6, CV_32FC1, cv::Scalar(3.0f));
        cv::Mat history = whole(cv::Rect(3, 2, size.width, size.height));
        const float stamp = 5.0f;
        const int holes = Int(0, 60);
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const int v = Int(0, 99);
                history.at<float>(y, x) = v < holes ? 0.f : stamp - 0.25f * Int(0, 6);
            }
        }
        if (round % 5 == 0) {  // a diagonal staircase of seeds
            history.setTo(0);
            for (int k = 0; k < std::min(size.width, size.height); ++k)
                history.at<float>(k, k) = stamp;
        }
        std::vector<cv::Rect> expected, found;
        cv::Mat labels;
        cv::motempl::segmentMotion(history, labels, expected, stamp, 0.5);
        SegmentComponents(history, stamp, 0.5f, scratch, found);
        ASSERT_EQ(found, expected) << "round " << round;
        components += static_cast<int>(expected.size());
    }
    EXPECT_GT(components, 2000);
}

}  // namespace
