// Cost of the per-frame event tracking on the camera thread, against copying the frame's
// facts (the least any hand-over to another thread would cost).
#include <benchmark/benchmark.h>

#include "events/events.h"

namespace {

events::FrameFacts Facts(int64_t i) {
    events::FrameFacts f;
    f.steadyMs = i * 40;
    f.wallMs = 1796768405123 + i * 40;
    f.count = (i % 250) < 176 ? 2 : 0;  // motion in 176 of every 250 frames, as in the videos
    f.held = f.count > 0;
    f.largest = events::Region{10, 20, 30 + int(i % 7), 40};
    f.direction = double(i % 360);
    return f;
}

void BM_OnFrame(benchmark::State& state) {
    events::Options o;
    events::Bus bus(o);  // dispatcher only: no outlet
    events::CameraEvents cam(0, bus, false);
    int64_t i = 0;
    episodes::Tracker episode(0);
    for (auto _ : state) {
        events::FrameFacts f = Facts(i++);
        f.step = episode.OnFrame(f.count, f.held, f.steadyMs);
        cam.OnFrame(f);
    }
    state.counters["events"] = double(bus.Published(0)) / 2;
}
BENCHMARK(BM_OnFrame);

void BM_CopyFacts(benchmark::State& state) {
    int64_t i = 0;
    for (auto _ : state) {
        events::FrameFacts f = Facts(i++);
        benchmark::DoNotOptimize(f);
    }
}
BENCHMARK(BM_CopyFacts);

}  // namespace

BENCHMARK_MAIN();
