// The tracker against scripted region sequences: a walker crossing, foliage swaying, a
// region that splits, two walkers whose regions merge while they pass each other.
#include <gtest/gtest.h>

#include <cmath>

#include "tracks/tracks.h"

namespace {

const cv::Size kFrame(320, 240);  // diagonal 400
constexpr int64_t kStep = 40;     // ms between frames

tracks::Observation At(int x, int y, int w = 30, int h = 70) {
    return {cv::Rect(x, y, w, h), std::nullopt};
}

const tracks::Track* Find(const tracks::Tracker& t, int id) {
    for (const tracks::Track& track : t.Tracks()) {
        if (track.id == id) return &track;
    }
    return nullptr;
}

TEST(Tracker, AWalkerCrossesAsOneTrackAndPassesTheGateOnlyOnceFarAndOldEnough) {
    tracks::Tracker tracker({10, 200});  // 40 px, 200 ms
    int firstMoving = -1;
    for (int i = 0; i < 36; ++i) {
        tracker.Update({{cv::Rect(8 * i, 150, 30, 70), 0.0}}, i * kStep, kFrame);
        if (tracker.Moving() && firstMoving < 0) firstMoving = i;
        // Coming in at the side, not half as wide as tall: not worth a label check yet.
        if (i == 0) {
            EXPECT_EQ(tracks::ToLabel(tracker.Tracks(), 0, {}, kFrame), nullptr);
        }
    }
    const tracks::Track* toLabel = tracks::ToLabel(tracker.Tracks(), 35 * kStep, {}, kFrame);
    ASSERT_NE(toLabel, nullptr);
    EXPECT_EQ(toLabel->id, 1);
    EXPECT_EQ(tracks::ToLabel(tracker.Tracks(), 35 * kStep, {1}, kFrame), nullptr);  // labelled
    ASSERT_EQ(tracker.Tracks().size(), 1u);
    const tracks::Track& t = tracker.Tracks()[0];
    EXPECT_EQ(t.id, 1);
    EXPECT_EQ(t.frames, 36);
    EXPECT_EQ(t.AgeMs(), 35 * kStep);
    EXPECT_NEAR(t.Travel(), 35 * 8, 1e-9);
    EXPECT_EQ(t.Direction(), 0.0);
    EXPECT_EQ(t.path.front(), cv::Point(15, 185));
    EXPECT_EQ(t.path.back(), cv::Point(35 * 8 + 15, 185));
    // 40 px after 5 frames, 200 ms after 5 frames: frame 5 is the first that counts.
    EXPECT_EQ(firstMoving, 5);
    EXPECT_EQ(tracker.Last().longestTravelPercent, 70.0);  // 280 of 400 px
    // A region that trails its mover (wider than tall, moving sideways) is looked at where
    // the mover is: its leading end, as wide as it is tall.
    // Where it merged with another track's region, its front is the leading half of that end.
    tracks::Track trail = t;
    EXPECT_EQ(trail.Lead(), t.box);
    EXPECT_TRUE(trail.Front().empty());
    trail.box = cv::Rect(100, 150, 200, 70);
    EXPECT_EQ(trail.Lead(), cv::Rect(230, 150, 70, 70));
    EXPECT_TRUE(trail.Front().empty());  // a walker's own trail
    trail.mergedHeight = 70;             // merged with something
    EXPECT_EQ(trail.Front(), cv::Rect(265, 150, 35, 70));
    trail.velocity = {-8, 1};
    EXPECT_EQ(trail.Lead(), cv::Rect(100, 150, 70, 70));
    EXPECT_EQ(trail.Front(), cv::Rect(100, 150, 35, 70));
    trail.velocity = {1, 8};
    EXPECT_EQ(trail.Lead(), trail.box);
    EXPECT_TRUE(trail.Front().empty());
    // It left: unseen beyond the keep time, the track ends.
    tracker.Update({}, 36 * kStep, kFrame);
    EXPECT_FALSE(tracker.Moving());
    EXPECT_EQ(tracker.Tracks().size(), 1u);
    tracker.Update({}, 35 * kStep + tracks::Tracker::kKeepMs + 1, kFrame);
    EXPECT_TRUE(tracker.Tracks().empty());
}

TEST(Tracker, SwayingFoliageNeverTravelsHoweverLongItMoves) {
    tracks::Tracker tracker({10, 0});
    for (int i = 0; i < 250; ++i) {
        const int sway = static_cast<int>(std::lround(14 * std::sin(i * 0.9)));
        // The detector's direction flips with the sway.
        const double dir = std::cos(i * 0.9) > 0 ? 0.0 : 180.0;
        tracker.Update({{cv::Rect(200 + sway, 10, 110, 100), dir}}, i * kStep, kFrame);
        ASSERT_FALSE(tracker.Moving()) << i;
    }
    ASSERT_EQ(tracker.Tracks().size(), 1u);  // one branch, one track, all along
    EXPECT_LE(tracker.Tracks()[0].Travel(), 28.0);
    EXPECT_LE(tracker.Tracks()[0].path.size(), tracks::Tracker::kPathPoints);
    // A walker comes in at the right, merges with the tree into one taller region that grows
    // to the left: the tree's track has a front, the leading half of the leading end, until
    // the walker's own region parts from the tree's.
    const int tree = tracker.Tracks()[0].id;
    tracker.Update({{cv::Rect(285, 50, 20, 90), std::nullopt}, {cv::Rect(200, 10, 110, 100), 0.0}},
                   250 * kStep, kFrame);
    EXPECT_TRUE(Find(tracker, tree)->Front().empty());
    tracker.Update({{cv::Rect(200, 10, 110, 130), std::nullopt}}, 251 * kStep, kFrame);
    tracker.Update({{cv::Rect(150, 10, 160, 130), std::nullopt}}, 252 * kStep, kFrame);
    EXPECT_EQ(Find(tracker, tree)->Front(), cv::Rect(150, 10, 65, 130));
    tracker.Update({{cv::Rect(100, 52, 150, 88), std::nullopt}, {cv::Rect(200, 10, 110, 100), 0.0}},
                   253 * kStep, kFrame);
    EXPECT_TRUE(Find(tracker, tree)->Front().empty());
    // The walker that left the tree behind is checked first, unless the tree's sighting waits
    // for its second look.
    const int rest = tracker.Tracks().back().id;
    ASSERT_NE(rest, tree);
    EXPECT_EQ(tracks::ToLabel(tracker.Tracks(), 253 * kStep, {}, kFrame)->id, tree);
    EXPECT_EQ(tracks::ToLabel(tracker.Tracks(), 253 * kStep, {}, kFrame, rest)->id, rest);
    // Reset forgets it; the next region starts a track of its own.
    tracker.Reset();
    tracker.Update({At(10, 10)}, 254 * kStep, kFrame);
    ASSERT_EQ(tracker.Tracks().size(), 1u);
    EXPECT_GT(tracker.Tracks()[0].id, tree + 1);  // a new id, after the walker's
}

TEST(Tracker, ASplitKeepsTheTrackOnOnePartAndStartsAnotherAtZeroTravel) {
    tracks::Tracker tracker({10, 0});
    // A car parks (one region), then a person gets out and walks off to the left.
    for (int i = 0; i < 10; ++i) tracker.Update({At(150, 100, 80, 50)}, i * kStep, kFrame);
    for (int i = 10; i < 30; ++i) {
        const int x = 140 - 6 * (i - 10);
        tracker.Update({At(160, 100, 70, 50), {cv::Rect(x, 90, 20, 60), 180.0}}, i * kStep, kFrame);
    }
    ASSERT_EQ(tracker.Tracks().size(), 2u);
    const tracks::Track* car = Find(tracker, 1);
    const tracks::Track* person = Find(tracker, 2);
    ASSERT_TRUE(car && person);
    EXPECT_LT(car->Travel(), 10.0);
    EXPECT_EQ(person->bornMs, 10 * kStep);
    EXPECT_NEAR(person->Travel(), 19 * 6, 1e-9);
    EXPECT_EQ(person->Direction(), 180.0);
    EXPECT_TRUE(tracker.Moving());
    EXPECT_EQ(tracker.Last().moving, 1);
}

TEST(Tracker, TwoWalkersWhoseRegionsMergeCarryOnTheirWayWithTheirIds) {
    tracks::Tracker tracker({10, 0});
    int qualified = 0;
    for (int i = 0; i < 40; ++i) {
        const int a = 10 + 7 * i, b = 280 - 7 * i;  // a walks right, b walks left
        std::vector<tracks::Observation> seen;
        if (std::abs(a - b) < 40) {  // they pass: the detector sees one region
            const int x0 = std::min(a, b), x1 = std::max(a, b) + 30;
            seen.push_back({cv::Rect(x0, 120, x1 - x0, 70), std::nullopt});
        } else {
            seen.push_back({cv::Rect(a, 120, 30, 70), 0.0});
            seen.push_back({cv::Rect(b, 120, 30, 70), 180.0});
        }
        tracker.Update(seen, i * kStep, kFrame);
        qualified += tracker.Last().newlyQualified;
    }
    ASSERT_EQ(tracker.Tracks().size(), 2u);
    const tracks::Track* a = Find(tracker, 1);
    const tracks::Track* b = Find(tracker, 2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->box.x, 10 + 7 * 39);
    EXPECT_EQ(b->box.x, 280 - 7 * 39);
    EXPECT_EQ(a->Direction(), 0.0);
    EXPECT_EQ(b->Direction(), 180.0);
    EXPECT_EQ(qualified, 2);  // each counted once
}

}  // namespace
