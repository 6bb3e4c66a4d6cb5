// The event record, its JSON form and time stamps, and the per-camera tracker.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "events/events.h"

namespace events {

namespace {

// Labels confirmed this long before an event began still join it.
constexpr int64_t kLabelsWaitMs = 2000;

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

nlohmann::ordered_json Text(const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

}  // namespace

int LocalUtcOffset(int64_t wallMs) {
    std::time_t seconds = static_cast<std::time_t>(FloorDiv(wallMs, 1000));
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return 0;
    return static_cast<int>(local.tm_gmtoff);
}

std::string FormatTime(int64_t wallMs, UtcOffset offset) {
    int off = offset ? offset(wallMs) : 0;
    int64_t localMs = wallMs + int64_t{off} * 1000;
    std::time_t seconds = static_cast<std::time_t>(FloorDiv(localMs, 1000));
    int ms = static_cast<int>(localMs - int64_t{seconds} * 1000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    int absOff = off < 0 ? -off : off;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms,
                  off < 0 ? '-' : '+', absOff / 3600, absOff / 60 % 60);
    return text;
}

const char* TypeName(Type type) {
    switch (type) {
        case Type::kStart:
            return "start";
        case Type::kEnd:
            return "end";
        case Type::kLost:
            return "lost";
        case Type::kBack:
            return "back";
        case Type::kLabel:
            return "label";
    }
    return "?";
}

std::string Event::ToJson(UtcOffset offset) const {
    nlohmann::ordered_json j;
    j["type"] = TypeName(type);
    j["id"] = id;
    j["camera"] = camera;
    j["start"] = FormatTime(startMs, offset);
    if (type == Type::kLost) j["reason"] = reason;
    if (type == Type::kBack && lostAtMs != 0) j["lost_at"] = FormatTime(lostAtMs, offset);
    if (type == Type::kLabel) j["at"] = FormatTime(labelMs, offset);
    if (type == Type::kStart || type == Type::kEnd || type == Type::kLabel) {
        if (type == Type::kEnd) j["end"] = FormatTime(endMs, offset);
        j["frames"] = frames;
        j["first_snapshot"] = Text(firstSnapshot);
        j["last_snapshot"] = Text(lastSnapshot);
        j["max_regions"] = maxRegions;
        if (largest) {
            j["largest"] = {
                {"x", largest->x}, {"y", largest->y}, {"w", largest->w}, {"h", largest->h}};
        } else {
            j["largest"] = nullptr;
        }
        j["direction"] = direction ? nlohmann::ordered_json(*direction) : nullptr;
        j["clip"] = Text(clip);
        if (tracks) {
            j["tracks"] = tracks->tracks;
            j["travel"] = tracks->travelPercent;
            j["travel_direction"] =
                tracks->direction ? nlohmann::ordered_json(*tracks->direction) : nullptr;
        }
        if (labels) {
            j["labels"] = nlohmann::ordered_json::array();
            for (const LabelFacts& l : *labels) {
                j["labels"].push_back(
                    {{"label", l.label},
                     {"score", l.score},
                     {"box", {{"x", l.box.x}, {"y", l.box.y}, {"w", l.box.w}, {"h", l.box.h}}},
                     {"snapshot", l.snapshot.empty() ? nlohmann::ordered_json(nullptr)
                                                     : nlohmann::ordered_json(l.snapshot)}});
            }
        }
        if (segment) {
            j["recording"] = {{"file", *segment},
                              {"offset", std::round(segmentOffset * 1000.0) / 1000.0}};
        }
    }
    // Snapshot names and reasons come from outside; bytes that are not UTF-8 become U+FFFD
    // rather than an exception.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

CameraEvents::CameraEvents(int camera, Bus& bus, bool snapshotsOn)
    : camera_(camera), bus_(bus), snapshotsOn_(snapshotsOn) {}

void CameraEvents::UseLabels(std::vector<std::string> alert) {
    labelsOn_ = true;
    alert_ = std::move(alert);
}

void CameraEvents::OnFrame(const FrameFacts& facts) {
    SettleEnd(false);
    const bool moving = episodes::Moving(facts.step);
    if (moving) {
        if (open_) {
            Add(facts);
        } else {
            Begin(facts);
        }
    }
    if (!facts.labels.empty()) {
        if (open_) {
            AddLabels(facts.labels, facts.wallMs);
        } else if (labelsOn_) {  // the tracks may pass the gate a moment later
            waiting_ = facts.labels;
            waitingMs_ = facts.steadyMs;
        }
    }
    if (moving || !open_) return;
    // The frames of the hold after the last motion frame keep snapshots too.
    if (snapshotsOn_ && !facts.snapshot.empty()) event_.lastSnapshot = facts.snapshot;
    if (facts.step != episodes::Step::kStill) End(facts.wallMs);
}

void CameraEvents::Begin(const FrameFacts& facts) {
    SettleEnd(true);
    event_ = Event{};
    event_.type = Type::kStart;
    event_.camera = camera_;
    event_.id = std::to_string(camera_) + "-" + std::to_string(facts.wallMs);
    event_.startMs = facts.wallMs;
    sumSin_ = sumCos_ = 0;
    largestArea_ = -1;
    open_ = true;
    alerted_ = false;
    if (labelsOn_) event_.labels.emplace();
    Add(facts);
    Event start = event_;
    if (!alert_.empty()) start.audience = Audience::kRecord;
    bus_.Publish(std::move(start));
    if (!waiting_.empty() && facts.steadyMs - waitingMs_ <= kLabelsWaitMs) {
        AddLabels(waiting_, facts.wallMs);
    }
    waiting_.clear();
}

// New labels and better sightings join the event. A label it did not have yet is told at
// once (a "label" record); the first alert label lets the alerting outlets hear the start.
void CameraEvents::AddLabels(const std::vector<LabelFacts>& labels, int64_t wallMs) {
    if (!labelsOn_ || !event_.labels) return;
    bool added = false;
    for (const LabelFacts& l : labels) {
        auto same = std::find_if(event_.labels->begin(), event_.labels->end(),
                                 [&](const LabelFacts& k) { return k.label == l.label; });
        if (same == event_.labels->end()) {
            event_.labels->push_back(l);
            added = true;
        } else if (l.score > same->score) {
            *same = l;
        }
    }
    if (!added) return;
    bool alert = alert_.empty();
    for (const LabelFacts& l : *event_.labels) {
        alert = alert || std::find(alert_.begin(), alert_.end(), l.label) != alert_.end();
    }
    if (alert && !alerted_ && !alert_.empty()) {
        Event start = event_;
        start.audience = Audience::kAlert;
        bus_.Publish(std::move(start));
        alerted_ = true;
    }
    Event label = event_;
    label.type = Type::kLabel;
    label.labelMs = wallMs;
    label.audience = alert ? Audience::kAll : Audience::kRecord;
    bus_.Publish(std::move(label));
}

void CameraEvents::Add(const FrameFacts& facts) {
    ++event_.frames;
    if (facts.count > event_.maxRegions) event_.maxRegions = facts.count;
    if (facts.largest) {
        int64_t area = int64_t{facts.largest->w} * facts.largest->h;
        if (area > largestArea_) {
            largestArea_ = area;
            event_.largest = facts.largest;
        }
    }
    if (facts.direction && std::isfinite(*facts.direction)) {
        double rad = *facts.direction * (M_PI / 180.0);
        sumSin_ += std::sin(rad);
        sumCos_ += std::cos(rad);
        // Opposite directions cancel; a mean that is no direction at all stays null.
        if (std::hypot(sumSin_, sumCos_) > 1e-9) {
            double deg = std::atan2(sumSin_, sumCos_) * (180.0 / M_PI);
            if (deg < 0) deg += 360.0;
            deg = std::round(deg * 100.0) / 100.0;
            event_.direction = deg >= 360.0 ? 0.0 : deg;
        } else {
            event_.direction.reset();
        }
    }
    if (!facts.clip.empty() && !event_.clip) {
        event_.clip = facts.clip;
        event_.clipOffsetMs = facts.clipOffsetMs;
    }
    if (facts.tracks) {
        if (!event_.tracks) event_.tracks.emplace();
        event_.tracks->tracks += facts.tracks->tracks;
        if (facts.tracks->travelPercent > event_.tracks->travelPercent) {
            event_.tracks->travelPercent = facts.tracks->travelPercent;
            event_.tracks->direction = facts.tracks->direction;
        }
    }
    if (!facts.segment.empty() && !event_.segment) {
        event_.segment = facts.segment;
        event_.segmentOffset = facts.segmentOffset;
    }
    if (snapshotsOn_ && !facts.snapshot.empty()) {
        if (!event_.firstSnapshot) event_.firstSnapshot = facts.snapshot;
        event_.lastSnapshot = facts.snapshot;
    }
}

void CameraEvents::End(int64_t wallMs) {
    event_.type = Type::kEnd;
    event_.endMs = wallMs;
    if (!alert_.empty() && !alerted_) event_.audience = Audience::kRecord;
    open_ = false;
    if (clipCheck_ && event_.clip) {
        pendingEnd_ = std::move(event_);
        event_ = Event{};
        SettleEnd(false);
        return;
    }
    bus_.Publish(std::move(event_));
    event_ = Event{};
}

void CameraEvents::SettleEnd(bool now) {
    if (!pendingEnd_) return;
    const ClipState state = clipCheck_(*pendingEnd_->clip);
    if (state == ClipState::kPending && !now) return;
    if (state == ClipState::kFailed) pendingEnd_->clip.reset();
    bus_.Publish(std::move(*pendingEnd_));
    pendingEnd_.reset();
}

Event CameraEvents::LinkRecord(Type type, int64_t wallMs) const {
    Event e;
    e.type = type;
    e.camera = camera_;
    e.id = std::to_string(camera_) + "-" + std::to_string(wallMs);
    e.startMs = wallMs;
    return e;
}

void CameraEvents::OnLost(const std::string& reason, int64_t wallMs) {
    if (open_) End(wallMs);
    SettleEnd(true);
    Event lost = LinkRecord(Type::kLost, wallMs);
    lost.reason = reason;
    if (lostAtMs_ == 0) lostAtMs_ = wallMs;
    bus_.Publish(std::move(lost));
}

void CameraEvents::OnBack(int64_t wallMs) {
    SettleEnd(true);
    Event back = LinkRecord(Type::kBack, wallMs);
    back.lostAtMs = lostAtMs_;
    lostAtMs_ = 0;
    bus_.Publish(std::move(back));
}

void CameraEvents::Finish(int64_t steadyMs, int64_t wallMs) {
    (void)steadyMs;  // the end is the moment of shutdown whatever the gap
    if (open_) End(wallMs);
    SettleEnd(true);
}

}  // namespace events
