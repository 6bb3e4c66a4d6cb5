// The tracker: greedy matching of regions to tracks by overlap and distance.
#include <algorithm>
#include <cmath>

#include "tracks/tracks.h"

namespace tracks {

namespace {

cv::Point2d Centre(const cv::Rect& r) {
    return {r.x + r.width / 2.0, r.y + r.height / 2.0};
}

double HalfDiagonal(const cv::Rect& r) {
    return 0.5 * std::hypot(r.width, r.height);
}

double Overlap(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area();
    const double all = double(a.area()) + b.area() - inter;
    return all > 0 ? inter / all : 0.0;
}

// Degrees in [0, 360), 0 = toward larger x, 90 = toward smaller row numbers.
double Heading(cv::Point2d d) {
    double deg = std::atan2(-d.y, d.x) * (180.0 / M_PI);
    if (deg < 0) deg += 360.0;
    return deg >= 360.0 ? 0.0 : deg;
}

double AngleBetween(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

// How well region o continues track t at time now; below zero: not at all.
double Score(const Track& t, const Observation& o, int64_t nowMs) {
    const double dt = double(nowMs - t.lastSeenMs);
    const cv::Point2d shift = t.velocity * dt;
    const cv::Rect predicted =
        t.box + cv::Point(int(std::lround(shift.x)), int(std::lround(shift.y)));
    const double distance = cv::norm(Centre(predicted) - Centre(o.box));
    const double reach = std::max(8.0, HalfDiagonal(t.box) + HalfDiagonal(o.box));
    const double overlap = Overlap(predicted, o.box);
    if (overlap <= 0 && distance >= reach) return -1;
    double score = overlap + 0.5 * (1.0 - std::min(1.0, distance / reach));
    // A region moving against a track that clearly goes one way is a poor continuation.
    const double speed = cv::norm(t.velocity);
    if (o.direction && speed * 1000.0 > 20.0 && t.frames >= 3 &&
        AngleBetween(*o.direction, Heading(t.velocity)) > 120.0) {
        score -= 0.3;
    }
    // Of two tracks that run into one region, the older one carries on.
    score += 0.1 * std::min<double>(1.0, double(t.frames) / 10.0);
    return score;
}

void AddPoint(std::vector<cv::Point>& path, cv::Point2d p) {
    if (path.size() >= Tracker::kPathPoints) {
        size_t kept = 0;
        for (size_t i = 0; i < path.size(); i += 2) path[kept++] = path[i];
        path.resize(kept);
    }
    path.emplace_back(int(std::lround(p.x)), int(std::lround(p.y)));
}

}  // namespace

double Track::Travel() const {
    return cv::norm(centre - start);
}

namespace {

// A mover coming in at the side of the picture shows only part of itself until about a
// person's width (half its height) is in: a check of a young track before that spends its
// turn on a sliver.
constexpr int64_t kComingInMs = 1000;

bool ComingIn(const Track& t, cv::Size frame) {
    const cv::Rect& b = t.box;
    const bool atSide = b.x <= 0 || b.x + b.width >= frame.width;
    return atSide && t.AgeMs() < kComingInMs && b.width * 2 < b.height;
}

}  // namespace

const Track* ToLabel(const std::vector<Track>& tracks, int64_t nowMs, const std::vector<int>& skip,
                     cv::Size frame, int awaited) {
    const Track* pick = nullptr;
    for (const Track& t : tracks) {
        if (t.lastSeenMs != nowMs) continue;
        if (std::find(skip.begin(), skip.end(), t.id) != skip.end()) continue;
        if (awaited != 0 && t.id == awaited) return &t;
        if (ComingIn(t, frame)) continue;
        if (!pick || t.Travel() > pick->Travel() + 1.0 ||
            (t.Travel() > pick->Travel() - 1.0 && t.box.area() > pick->box.area())) {
            pick = &t;
        }
    }
    return pick;
}

cv::Rect Track::Lead() const {
    cv::Rect lead = box;
    if (box.width > box.height && std::fabs(velocity.x) > std::fabs(velocity.y)) {
        lead.width = box.height;
        if (velocity.x > 0) lead.x = box.x + box.width - lead.width;
    }
    return lead;
}

cv::Rect Track::Front() const {
    cv::Rect front = Lead();
    if (mergedHeight == 0 || front == box) return {};
    front.width = std::max(1, front.width / 2);
    if (velocity.x > 0) front.x = box.x + box.width - front.width;
    return front;
}

std::optional<double> Track::Direction() const {
    const cv::Point2d d = centre - start;
    if (std::fabs(d.x) < 0.5 && std::fabs(d.y) < 0.5) return std::nullopt;
    return std::round(Heading(d) * 100.0) / 100.0;
}

void Tracker::Reset() {
    tracks_.clear();
    summary_ = {};
}

void Tracker::Vouch(int id) {
    for (Track& t : tracks_) {
        if (t.id == id) t.vouched = true;
    }
}

void Tracker::Update(const std::vector<Observation>& regions, int64_t nowMs, cv::Size frame) {
    std::erase_if(tracks_, [&](const Track& t) { return nowMs - t.lastSeenMs > kKeepMs; });

    struct Pair {
        double score;
        size_t track, region;
    };
    std::vector<Pair> pairs;
    for (size_t i = 0; i < tracks_.size(); ++i) {
        for (size_t j = 0; j < regions.size(); ++j) {
            const double s = Score(tracks_[i], regions[j], nowMs);
            if (s > 0) pairs.push_back({s, i, j});
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.score > b.score; });
    std::vector<char> trackTaken(tracks_.size(), 0), regionTaken(regions.size(), 0);
    std::vector<int> heightBefore;
    for (const Track& t : tracks_) heightBefore.push_back(t.box.height);
    for (const Pair& p : pairs) {
        if (trackTaken[p.track] || regionTaken[p.region]) continue;
        trackTaken[p.track] = regionTaken[p.region] = 1;
        Track& t = tracks_[p.track];
        const cv::Point2d c = Centre(regions[p.region].box);
        const double dt = std::max<double>(1.0, double(nowMs - t.lastSeenMs));
        const cv::Point2d v = (c - t.centre) / dt;
        t.velocity = t.frames > 1 ? 0.5 * t.velocity + 0.5 * v : v;
        t.centre = c;
        t.box = regions[p.region].box;
        t.lastSeenMs = nowMs;
        ++t.frames;
        AddPoint(t.path, c);
    }
    // A track left without a region, mostly inside another track's region that has just
    // grown taller, has merged into it.
    for (size_t i = 0; i < heightBefore.size(); ++i) {
        if (trackTaken[i]) continue;
        for (size_t k = 0; k < heightBefore.size(); ++k) {
            if (trackTaken[k] && tracks_[k].box.height * 20 > heightBefore[k] * 23 &&
                (tracks_[i].box & tracks_[k].box).area() * 2 > tracks_[i].box.area()) {
                tracks_[k].mergedHeight = tracks_[k].box.height;
            }
        }
    }
    for (Track& t : tracks_) {
        if (std::abs(t.box.height - t.mergedHeight) * 10 > t.mergedHeight) t.mergedHeight = 0;
    }
    for (size_t j = 0; j < regions.size(); ++j) {
        if (regionTaken[j]) continue;
        Track t;
        t.id = nextId_++;
        t.bornMs = t.lastSeenMs = nowMs;
        t.frames = 1;
        t.box = regions[j].box;
        t.start = t.centre = Centre(t.box);
        AddPoint(t.path, t.centre);
        tracks_.push_back(std::move(t));
    }

    summary_ = {};
    const double diagonal = std::hypot(frame.width, frame.height);
    const double minTravel = gate_.minTravelPercent / 100.0 * diagonal;
    double longest = -1;
    for (Track& t : tracks_) {
        if (t.lastSeenMs != nowMs) continue;
        const double travel = t.Travel();
        if (travel > longest) {
            longest = travel;
            summary_.longestTravelPercent =
                diagonal > 0 ? std::round(travel / diagonal * 1000.0) / 10.0 : 0.0;
            summary_.direction = t.Direction();
        }
        if ((travel >= minTravel || t.vouched) && t.AgeMs() >= gate_.minDurationMs) {
            ++summary_.moving;
            if (!t.qualified) ++summary_.newlyQualified;
            t.qualified = true;
        }
    }
}

}  // namespace tracks
