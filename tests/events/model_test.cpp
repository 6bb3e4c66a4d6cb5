// The event model against scripted frame facts, with a fixed time zone.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "events/events.h"
#include "tests/events/tracked.h"

namespace {

using events::Bus;

using events::Event;
using events::FrameFacts;
using events::Type;
using nlohmann::json;

constexpr int64_t kWall = 1796768405123;  // 2026-12-08T22:20:05.123Z
int PlusOne(int64_t) {
    return 3600;
}
int MinusFiveThirty(int64_t) {
    return -(5 * 3600 + 30 * 60);
}

FrameFacts Frame(int64_t ms, int count, bool held, std::optional<events::Region> largest = {},
                 std::optional<double> direction = {}, std::string snapshot = {}) {
    FrameFacts f;
    f.steadyMs = 5000 + ms;
    f.wallMs = kWall + ms;
    f.count = count;
    f.held = held;
    f.largest = largest;
    f.direction = direction;
    f.snapshot = std::move(snapshot);
    return f;
}

// Quiet frames every 40 ms from `from` to `to`.
void Quiet(TrackedEvents& cam, int64_t from, int64_t to) {
    for (int64_t t = from; t <= to; t += 40) cam.OnFrame(Frame(t, 0, false));
}

std::vector<Event> Records(Bus& bus) {
    bus.Stop(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    return bus.Since("");
}

TEST(EventModel, GapSnapshotsRegionsDirectionAndJson) {
    events::Options options;
    options.utcOffset = PlusOne;
    Bus bus(options);
    TrackedEvents cam(2, bus, 10, true);

    cam.OnFrame(Frame(0, 0, false));  // still scene: nothing
    cam.OnFrame(Frame(40, 2, true, events::Region{1, 2, 3, 4}, 350.0, "cam2n1K.jpg"));
    cam.OnFrame(Frame(80, 3, true, events::Region{0, 0, 10, 10}, 10.0));
    cam.OnFrame(Frame(120, 0, true));
    Quiet(cam, 160, 10000);  // 9.96 s without motion: shorter than the gap
    cam.OnFrame(Frame(10080, 1, true, events::Region{5, 5, 2, 2}, 20.0, "cam2n2K.jpg"));
    Quiet(cam, 10120, 20080);  // ends on the frame 10 s after the last motion
    EXPECT_FALSE(cam.open());
    cam.OnFrame(Frame(30000, 1, true, {}, {}, {}));  // motion on the last frame, then Finish
    cam.Finish(6000 + 30040, kWall + 30040);
    cam.OnLost("end of stream", kWall + 31000);
    cam.OnBack(kWall + 32000);

    auto r = Records(bus);
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0].type, Type::kStart);
    EXPECT_EQ(r[0].id, "2-" + std::to_string(kWall + 40));
    EXPECT_EQ(r[0].frames, 1);
    EXPECT_EQ(r[0].firstSnapshot, "cam2n1K.jpg");

    const Event& end = r[1];
    EXPECT_EQ(end.type, Type::kEnd);
    EXPECT_EQ(end.id, r[0].id);
    EXPECT_EQ(end.endMs, kWall + 20080);
    EXPECT_EQ(end.frames, 3);
    EXPECT_EQ(end.maxRegions, 3);
    // Circular mean of 350, 10 and 20 degrees, not the arithmetic 126.7.
    ASSERT_TRUE(end.direction);
    EXPECT_DOUBLE_EQ(*end.direction, 6.7);  // atan2(0.342, 2.909), to 0.01 degree

    json j = json::parse(end.ToJson(PlusOne));
    std::vector<std::string> keys;
    for (auto& [k, v] : j.items()) keys.push_back(k);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"camera", "clip", "direction", "end",
                                              "first_snapshot", "frames", "id", "largest",
                                              "last_snapshot", "max_regions", "start", "type"}));
    EXPECT_EQ(j["start"], "2026-12-08T23:20:05.163+01:00");
    EXPECT_EQ(j["end"], "2026-12-08T23:20:25.203+01:00");
    EXPECT_EQ(j["largest"], json::parse(R"({"x":0,"y":0,"w":10,"h":10})"));
    EXPECT_EQ(j["first_snapshot"], "cam2n1K.jpg");
    EXPECT_EQ(j["last_snapshot"], "cam2n2K.jpg");
    EXPECT_TRUE(j["clip"].is_null());

    // The event cut short by Finish: one frame, nothing measured.
    EXPECT_EQ(r[2].type, Type::kStart);
    EXPECT_EQ(r[3].type, Type::kEnd);
    EXPECT_EQ(r[3].endMs, kWall + 30040);
    json short_ = json::parse(r[3].ToJson(MinusFiveThirty));
    EXPECT_EQ(short_["frames"], 1);
    EXPECT_TRUE(short_["largest"].is_null() && short_["direction"].is_null() &&
                short_["first_snapshot"].is_null());
    EXPECT_EQ(short_["end"], "2026-12-08T16:50:35.163-05:30");

    json lost = json::parse(r[4].ToJson(PlusOne));
    EXPECT_EQ(lost, json::parse(R"({"type":"lost","id":"2-1796768436123","camera":2,
                                    "start":"2026-12-08T23:20:36.123+01:00",
                                    "reason":"end of stream"})"));
    // back: type, id, camera, start, and when its loss began
    const json back = json::parse(r[5].ToJson(PlusOne));
    EXPECT_EQ(back.size(), 5u);
    EXPECT_EQ(back["lost_at"], lost["start"]);

    EXPECT_EQ(bus.Published(2), 6u);
    EXPECT_EQ(bus.Since(r[3].id).size(), 2u);  // after the last record of the second event
    EXPECT_EQ(bus.Since(r[0].id).size(), 4u);
    bus.Publish(r[0]);  // after Stop: dropped, counted, never blocks
    EXPECT_EQ(bus.Dropped(), 1u);
}

TEST(EventModel, ZeroGapFollowsTheHoldAndSnapshotsOffStayNull) {
    events::Options options;
    Bus bus(options);
    TrackedEvents cam(0, bus, 0, false);
    cam.OnFrame(Frame(0, 1, true, events::Region{0, 0, 4, 4}, 0.0, "cam0n1K.jpg"));
    cam.OnFrame(Frame(40, 1, true, events::Region{0, 0, 2, 2}, 180.0, "cam0n2K.jpg"));
    cam.OnFrame(Frame(80, 0, true));
    cam.OnFrame(Frame(120, 0, true));
    EXPECT_TRUE(cam.open());
    cam.OnFrame(Frame(160, 0, false));  // the hold is over: so is the event
    EXPECT_FALSE(cam.open());
    // Motion again straight away is a new event, and a lost camera ends it.
    cam.OnFrame(Frame(200, 4, true));
    cam.OnLost("read failed", kWall + 240);

    auto r = Records(bus);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[1].type, Type::kEnd);
    EXPECT_EQ(r[1].endMs, kWall + 160);
    EXPECT_FALSE(r[1].firstSnapshot || r[1].lastSnapshot);  // snapshots are off
    EXPECT_FALSE(r[1].direction);                           // 0 and 180 cancel out
    EXPECT_EQ(r[1].largest->w, 4);
    EXPECT_NE(r[2].id, r[0].id);
    EXPECT_EQ(r[3].type, Type::kEnd);
    EXPECT_EQ(r[3].endMs, kWall + 240);
    EXPECT_EQ(r[3].maxRegions, 4);
    EXPECT_EQ(r[4].type, Type::kLost);
}

}  // namespace
