// Tracks: the counted motion regions followed from frame to frame, and the gate that lets a
// frame count as motion only while something has really travelled.
#pragma once

#include <cstdint>
#include <opencv2/core/types.hpp>
#include <optional>
#include <vector>

namespace tracks {

// One counted region of a frame, with the direction the detector measured for it (degrees,
// 0 = toward larger x, 90 = toward smaller row numbers), when it measured one.
struct Observation {
    cv::Rect box;
    std::optional<double> direction;
};

struct Track {
    int id = 0;
    int64_t bornMs = 0;      // first seen
    int64_t lastSeenMs = 0;  // last matched to a region
    int64_t frames = 0;      // frames it was matched in
    cv::Rect box;            // its region in the last frame it was seen
    cv::Point2d start;       // centre of its first region
    cv::Point2d centre;      // centre of its last region
    cv::Point2d velocity;    // centre movement per frame, smoothed
    // Centres seen, first to last; long paths keep every other point.
    std::vector<cv::Point> path;
    bool qualified = false;  // has passed the gate once
    bool vouched = false;    // a label confirmed on it stands in for the gate's travel
    // The height its region grew to when it took in another track's (a walker and a tree);
    // 0 when it did not, or has since shrunk (they parted).
    int mergedHeight = 0;

    int64_t AgeMs() const { return lastSeenMs - bornMs; }
    // Net displacement from where it began, in pixels.
    double Travel() const;
    // Direction of the net displacement (0 = toward larger x, 90 = toward smaller row
    // numbers), nothing while it has not moved.
    std::optional<double> Direction() const;
    // Where the mover is now. A moving region drags a trail through the motion history: a
    // walker's region is the walker and the ground covered behind. For a region wider than
    // tall that moves sideways, this is its leading end, as wide as the region is tall;
    // otherwise the whole region.
    cv::Rect Lead() const;
    // When the track's region took in another track's (a walker passing a swaying tree) and
    // Lead() is the leading end of a wider region: the front half of that end, where the mover
    // is, smaller than the region is tall. Empty otherwise.
    cv::Rect Front() const;
};

// The track a label check should look at, at nowMs: track `awaited` (whose sighting waits for
// its second look) when it is seen then and not in skip; otherwise, of those seen then, not in
// skip and not still coming in at the side of the picture, the one that has travelled farthest
// (a walker before a swaying branch), the larger of equals. Null when there is none.
const Track* ToLabel(const std::vector<Track>& tracks, int64_t nowMs, const std::vector<int>& skip,
                     cv::Size frame, int awaited = 0);

struct Gate {
    double minTravelPercent = 0;  // MINTRAVEL: percent of the frame diagonal
    int64_t minDurationMs = 0;    // MINDURATION
    bool On() const { return minTravelPercent > 0 || minDurationMs > 0; }
};

// What a frame's tracks say, for the event records.
struct Summary {
    int moving = 0;                   // live tracks that pass the gate
    int newlyQualified = 0;           // of those, tracks that pass it for the first time
    double longestTravelPercent = 0;  // the longest net travel of a live track, % of diagonal
    std::optional<double> direction;  // that track's direction
};

class Tracker {
  public:
    explicit Tracker(Gate gate = {}) : gate_(gate) {}

    // Matches this frame's regions to the tracks (box overlap and centre distance after the
    // track's own motion, against the detector's direction); unmatched regions start tracks,
    // and tracks unseen for longer than kKeepMs end.
    void Update(const std::vector<Observation>& regions, int64_t nowMs, cv::Size frame);
    // Forgets every track (a scene switch, a restarted camera).
    void Reset();
    // A label was confirmed on track id (LABELS): from the next Update it passes the gate
    // once it has lived MINDURATION, however far it has travelled. A person walking towards
    // the camera moves little across the picture for the first seconds.
    void Vouch(int id);

    const std::vector<Track>& Tracks() const { return tracks_; }
    const Summary& Last() const { return summary_; }
    // Whether a track seen in the last Update has travelled and lived as far as the gate asks.
    bool Moving() const { return summary_.moving > 0; }

    static constexpr int64_t kKeepMs = 600;  // an unseen track lives on this long
    static constexpr size_t kPathPoints = 64;

  private:
    Gate gate_;
    std::vector<Track> tracks_;
    Summary summary_;
    int nextId_ = 1;
};

}  // namespace tracks
