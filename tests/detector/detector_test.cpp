// Behaviour of the motion detector on scripted frames, on the straight path and on the fast
// path with the overlay shown and hidden: all three must count the same.
#include "detector/detector.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "detector/internal.h"

namespace {

using namespace detector;

const cv::Size kSize(160, 120);

enum class Path { Reference, Shown, Hidden };

// A dark frame with filled gray boxes.
cv::Mat Frame(std::vector<std::pair<cv::Rect, int>> boxes, cv::Size size = kSize) {
    cv::Mat f(size, CV_8UC3, cv::Scalar::all(0));
    for (auto& [r, level] : boxes) cv::rectangle(f, r, cv::Scalar::all(level), cv::FILLED);
    return f;
}

bool Drawn(const cv::Mat& clean, const cv::Mat& out) {
    return cv::norm(clean, out, cv::NORM_INF) > 0;
}

class Detector : public ::testing::TestWithParam<Path> {
  protected:
    void SetUp() override {
        detector = std::make_unique<MotionDetector>();
        ref = DetectorState{};
    }
    // Feeds a copy of frame at time t; out keeps the frame as drawn on.
    int Feed(const cv::Mat& frame, double t) {
        out = frame.clone();
        if (GetParam() == Path::Reference) return DetectMotionReference(out, 30, ref, t);
        return detector->DetectAt(out, 30, t, GetParam() == Path::Shown);
    }
    std::vector<int> FeedAll(const std::vector<cv::Mat>& frames, double t0 = 10.0,
                             double dt = 0.1) {
        std::vector<int> counts;
        for (size_t i = 0; i < frames.size(); ++i) counts.push_back(Feed(frames[i], t0 + dt * i));
        return counts;
    }
    DetectorState& State() { return GetParam() == Path::Reference ? ref : DetectorStateOf(*detector); }
    bool Draws() const { return GetParam() != Path::Hidden; }

    DetectorState ref;
    std::unique_ptr<MotionDetector> detector;
    cv::Mat out;
};

TEST_P(Detector, FirstThreeCallsCompareWithZeroImages) {
    const cv::Mat lit = Frame({{{0, 0, 160, 120}, 31}});
    EXPECT_EQ(FeedAll({lit, lit, lit, lit, lit}), (std::vector<int>{1, 1, 1, 0, 0}));
    SetUp();
    const cv::Mat dim = Frame({{{0, 0, 160, 120}, 30}});
    EXPECT_EQ(FeedAll({dim, dim, dim}), (std::vector<int>{0, 0, 0}));
}

TEST_P(Detector, ComparesWithTheFrameThreeCallsEarlierAboveThirtyLevels) {
    const cv::Rect box(40, 30, 60, 60);
    const cv::Mat a = Frame({{box, 100}}), b = Frame({{box, 131}}), c = Frame({{box, 130}});
    EXPECT_EQ(FeedAll({a, a, a, a, b, b, b, b}), (std::vector<int>{1, 1, 1, 0, 1, 1, 1, 0}));
    SetUp();
    EXPECT_EQ(FeedAll({a, a, a, a, c, c, c, c}), (std::vector<int>{1, 1, 1, 0, 0, 0, 0, 0}));
}

TEST_P(Detector, CountsComponentsWhoseWidthPlusHeightReachesFifty) {
    const cv::Mat dark = Frame({});
    EXPECT_EQ(FeedAll({dark, dark, dark, Frame({{{10, 10, 20, 25}, 200}})}).back(), 0);
    SetUp();
    EXPECT_EQ(FeedAll({dark, dark, dark, Frame({{{10, 10, 25, 25}, 200}})}).back(), 1);
}

TEST_P(Detector, NewFrameSizeRecreatesImagesAndRingPositionContinues) {
    const cv::Mat small = Frame({{{0, 0, 64, 48}, 90}}, {64, 48});
    FeedAll({small, small, small, small, small});
    ASSERT_EQ(State().ringIndex, 1);
    const cv::Mat big = Frame({{{0, 0, 80, 60}, 90}}, {80, 60});
    EXPECT_EQ(FeedAll({big}, 11.0), (std::vector<int>{1}));
    DetectorState& s = State();
    EXPECT_EQ(s.ringIndex, 2);
    for (const cv::Mat* m : {&s.ring[0], &s.ring[1], &s.ring[2], &s.ring[3], &s.history,
                             &s.orientation, &s.segmentMask, &s.gradientMask}) {
        EXPECT_EQ(m->size(), cv::Size(80, 60));
    }
    EXPECT_EQ(cv::countNonZero(s.ring[0]) + cv::countNonZero(s.ring[3]), 0);  // not yet written
    EXPECT_EQ(FeedAll({big, big, big, big}, 11.1), (std::vector<int>{1, 1, 0, 0}));
}

TEST_P(Detector, StillSceneCountsNothingOnceTheSilhouetteIsEmpty) {
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 8; ++i) frames.push_back(Frame({{{10 + 6 * i, 40, 30, 30}, 200}}));
    for (int i = 0; i < 20; ++i) frames.push_back(frames[7]);
    const std::vector<int> counts = FeedAll(frames);
    EXPECT_GT(counts[9], 0);  // the frame three calls earlier still differs
    EXPECT_EQ(std::vector<int>(counts.begin() + 10, counts.end()), std::vector<int>(18, 0));
    EXPECT_EQ(cv::countNonZero(State().history), 0);  // aged out after 1.0 s
}

TEST_P(Detector, PixelsStampedWithTheSameTimeStampSeedComponents) {
    const cv::Mat a = Frame({{{40, 30, 60, 60}, 100}});
    FeedAll({a, a, a}, 10.0);
    EXPECT_EQ(Feed(a, 10.2), 1);  // silhouette empty, but the last call stamped 10.2 too
    EXPECT_EQ(Feed(a, 10.3), 0);
}

TEST_P(Detector, ComponentIsDrawnWhenFivePercentOfItChanged) {
    const cv::Rect box(10, 20, 100, 40);
    const cv::Mat dark = Frame({}), block = Frame({{box, 200}});
    for (int changed : {150, 200}) {
        SetUp();
        FeedAll({dark, dark, dark, block, block, block});
        const cv::Mat hole = Frame({{box, 200}, {{50, 30, changed / 10, 10}, 0}});
        EXPECT_EQ(Feed(hole, 10.6), 1) << changed;
        ASSERT_FALSE(State().components.empty());
        EXPECT_EQ(State().components[0], box);
        EXPECT_EQ(Drawn(hole, out), Draws() && changed == 200) << changed;
    }
}

TEST_P(Detector, DirectionLinePointsTheWayTheObjectMoves) {
    for (cv::Point step : {cv::Point(3, 0), cv::Point(0, -3), cv::Point(-3, 0), cv::Point(0, 3)}) {
        SetUp();
        cv::Mat frame;
        for (int i = 0; i < 9; ++i) {
            frame = Frame({{{60 + step.x * i, 40 + step.y * i, 40, 40}, 255}});
            EXPECT_GT(Feed(frame, 10.0 + 0.1 * i), 0);
        }
        if (!Draws()) {
            EXPECT_FALSE(Drawn(frame, out));
            continue;
        }
        cv::Rect r;  // the largest component
        for (const cv::Rect& c : State().components) r = c.area() > r.area() ? c : r;
        const cv::Point c(r.x + r.width / 2, r.y + r.height / 2);
        const cv::Point reach = step * (std::min(r.width, r.height) / 12);
        const auto painted = [&](cv::Point p) {
            return out.at<cv::Vec3b>(p) != frame.at<cv::Vec3b>(p);
        };
        EXPECT_TRUE(painted(c + reach)) << step;
        EXPECT_FALSE(painted(c - reach)) << step;
    }
}

TEST_P(Detector, MotionStopsCountingAfterWeeksOfUptime) {
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 10; ++i) frames.push_back(Frame({{{10 + 6 * i, 40, 30, 30}, 200}}));
    for (int i = 0; i < 10; ++i) frames.push_back(frames[9]);
    const std::vector<int> counts = FeedAll(frames, 30 * 86400.0 + 0.1, 0.033);
    EXPECT_GT(counts[11], 0);
    EXPECT_EQ(std::vector<int>(counts.begin() + 12, counts.end()), std::vector<int>(8, 0));
}

std::string PathName(const ::testing::TestParamInfo<Path>& info) {
    return info.param == Path::Reference ? "Reference"
           : info.param == Path::Shown   ? "Shown"
                                         : "Hidden";
}
INSTANTIATE_TEST_SUITE_P(Paths, Detector,
                         ::testing::Values(Path::Reference, Path::Shown, Path::Hidden), PathName);

TEST(DirectionLine, StartsAtTheTruncatedCentreAndReachesHalfTheShorterSide) {
    const cv::Rect r(10, 20, 100, 40);
    EXPECT_EQ(ComponentDirectionLine(r, 0).from, cv::Point(60, 40));
    EXPECT_EQ(ComponentDirectionLine(r, 0).to, cv::Point(80, 40));
    EXPECT_EQ(ComponentDirectionLine(r, 90).to, cv::Point(60, 60));  // larger row numbers
    EXPECT_EQ(ComponentDirectionLine(r, 180).to, cv::Point(40, 40));
    EXPECT_EQ(ComponentDirectionLine(r, 270).to, cv::Point(60, 20));
    EXPECT_EQ(ComponentDirectionLine({5, 5, 3, 61}, 0).from, cv::Point(6, 35));
    EXPECT_EQ(ComponentDirectionLine({5, 5, 3, 61}, 0).to, cv::Point(7, 35));
}

TEST(DrawComponent, DrawsTheThinComponentFromTenChangedPixels) {
    DetectorState s;
    cv::Mat frame = Frame({});
    DetectMotionReference(frame, 30, s, 10.0);
    for (int changed : {9, 10}) {
        cv::Mat silhouette(kSize, CV_8UC1, cv::Scalar(0)), out = Frame({});
        silhouette(cv::Rect(5, 5, 1, changed)).setTo(1);
        DrawComponent(out, s, silhouette, {5, 5, 3, 61}, 10.0);
        EXPECT_EQ(Drawn(frame, out), changed == 10) << changed;
    }
    cv::Mat expected = Frame({}), out = Frame({});
    cv::rectangle(expected, {10, 20}, {110, 60}, cv::Scalar(0, 0, 255), 3, cv::LINE_AA);
    cv::line(expected, {60, 40}, {80, 40}, cv::Scalar(0, 0, 255), 5, cv::LINE_AA);
    DrawComponent(out, s, cv::Mat(kSize, CV_8UC1, cv::Scalar(1)), {10, 20, 100, 40}, 10.0);
    EXPECT_EQ(cv::norm(expected, out, cv::NORM_INF), 0);  // no gradient: orientation 0
}

TEST(DetectMotion, RefusesWhatItCannotMeasureWithoutThrowing) {
    cv::Mat empty, gray(kSize, CV_8UC1, cv::Scalar(200)), lit = Frame({{{0, 0, 160, 120}, 200}});
    MotionDetector detector;
    EXPECT_EQ(detector.DetectAt(empty, 30, 1.0, true), 0);
    EXPECT_EQ(detector.DetectAt(gray, 30, 1.0, true), 0);
    EXPECT_EQ(detector.DetectAt(lit, 30, std::nan(""), true), 0);
    EXPECT_TRUE(DetectorStateOf(detector).history.empty());
    DetectorState broken;  // images that do not fit together make the library throw
    broken.history = cv::Mat(kSize, CV_8UC1);
    EXPECT_EQ(DetectMotionFast(lit, 30, broken, 1.0, true), 0);
    EXPECT_EQ(DetectMotionReference(lit, 30, broken, 1.0), 0);
    DetectorState s;
    DrawComponent(lit, s, gray, {0, 0, 10, 10}, 1.0);  // no history yet: nothing happens
    while (MotionTimestamp() == 0.0) {
    }  // motion stamped 0 would read as none
    EXPECT_EQ(detector.Detect(lit, 30, false), 1);
    EXPECT_EQ(detector.Largest(), cv::Rect(0, 0, 160, 120));
}

TEST(MotionTimestamp, CountsWholeMillisecondsForward) {
    const double a = MotionTimestamp(), b = MotionTimestamp();
    EXPECT_GE(a, 0.0);
    EXPECT_LE(a, b);
    EXPECT_NEAR(std::nearbyint(b * 1000.0), b * 1000.0, 1e-6);
}

// Pages of an image that are in memory.
size_t ResidentPages(const cv::Mat& image) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(image.datastart) / page * page;
    const size_t pages = (reinterpret_cast<uintptr_t>(image.dataend) - start + page - 1) / page;
    std::vector<unsigned char> in(pages);
    if (mincore(reinterpret_cast<void*>(start), pages * page, in.data()) != 0) return pages;
    size_t resident = 0;
    for (unsigned char p : in) resident += p & 1;
    return resident;
}

TEST(Detector, TheLargestRegionsDirectionIsTheSameDrawnOrNot) {
    // Three boxes moving their own ways, the largest among them: its direction with the
    // overlay drawn (every drawn region's gradient taken at once) is the one taken alone.
    MotionDetector shown, hidden;
    int compared = 0;
    for (int i = 0; i < 16; ++i) {
        const std::vector<std::pair<cv::Rect, int>> boxes = {{{20 + 7 * i, 30, 60, 50}, 200},
                                                             {{250 - 5 * i, 40, 30, 30}, 150},
                                                             {{100, 150 - 4 * i, 25, 40}, 220}};
        cv::Mat a = Frame(boxes), b = Frame(boxes);
        shown.DetectAt(a, 30, 10.0 + 0.05 * i, true);
        hidden.DetectAt(b, 30, 10.0 + 0.05 * i, false);
        ASSERT_EQ(shown.Largest(), hidden.Largest());
        const std::optional<double> drawn = shown.LargestDirection();
        ASSERT_EQ(drawn, hidden.LargestDirection());
        ASSERT_EQ(drawn, shown.LargestDirection());  // asked twice
        compared += drawn.has_value();
    }
    EXPECT_GT(compared, 10);
}

TEST(DetectorMemory, ImagesStayOutOfMemoryWhereTheFastPathNeverWrites) {
    // A box moving in one corner of a 720p frame, drawn and measured for its direction.
    const cv::Size size(1280, 720);
    MotionDetector detector;
    int counted = 0;
    for (int i = 0; i < 12; ++i) {
        cv::Mat f = Frame({{{20 + 8 * i, 30, 60, 50}, 200}}, size);
        counted += detector.DetectAt(f, 30, 10.0 + 0.05 * i, true) > 0;
        if (detector.LargestDirection()) ++counted;
    }
    ASSERT_GT(counted, 12);
    DetectorState& s = DetectorStateOf(detector);
    EXPECT_LT(ResidentPages(s.history), s.history.total() * 4 / 4096 / 5);  // its top rows only
    for (const cv::Mat* image : {&s.orientation, &s.segmentMask, &s.gradientMask}) {
        EXPECT_EQ(ResidentPages(*image), 0u);
    }
}

}  // namespace
