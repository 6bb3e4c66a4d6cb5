// Cost of tracks and labels for one camera at 1280x720 with motion in every frame: a
// photographed person (opencv-doc; a drawn figure without it) walking across swaying foliage
// again and again, 25 frames a second of scene time. Each round runs the same frames three
// ways, in turn: the detector alone; with the tracks (regions, directions, tracker); and with
// the tracks and LABELS=person at LABELRATE=2 (the HOG checks on their own thread). The
// process's CPU time is measured, so the labeller's thread counts; the median of the rounds'
// ratios is printed.
//
//   build/bench/labels_bench [rounds (5)] [frames per round (250)]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "detector/detector.h"
#include "labels/labels.h"
#include "tests/testkit/scenes.h"
#include "tracks/tracks.h"

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

enum Mode { kPlain, kTracks, kLabels };

double Round(Mode mode, const std::vector<cv::Mat>& frames, int count, uint64_t* checks) {
    MotionDetector detector;
    tracks::Tracker tracker({10, 300});
    labels::Options options;
    options.person = true;
    std::unique_ptr<labels::Labeller> labeller;
    if (mode == kLabels) labeller = std::make_unique<labels::Labeller>(options, labels::MakeHogPeople());
    cv::Mat frame;
    const double start = CpuSeconds();
    for (int i = 0; i < count; ++i) {
        frames[i % frames.size()].copyTo(frame);
        const int64_t ms = int64_t{i} * 40;
        const int n = detector.DetectAt(frame, 30, ms / 1000.0, false);
        if (mode == kPlain) continue;
        std::vector<tracks::Observation> seen;
        const auto regions = detector.Regions();
        const auto directions = detector.Directions(regions);
        for (size_t k = 0; k < regions.size(); ++k) seen.push_back({regions[k], directions[k]});
        tracker.Update(seen, ms, frame.size());
        if (!labeller || n == 0 || !labeller->Due(ms)) continue;
        std::vector<labels::Target> targets;
        for (const tracks::Track& t : tracker.Tracks()) {
            if (t.lastSeenMs == ms) targets.push_back({t.id, t.box});
        }
        std::sort(targets.begin(), targets.end(),
                  [](const auto& a, const auto& b) { return a.box.area() > b.box.area(); });
        if (targets.size() > 3) targets.resize(3);
        labeller->Check(frame, targets, ms, "");
        labeller->TakeConfirmed();
    }
    if (labeller) {
        labeller->Drain();
        *checks += labeller->Checks();
    }
    return CpuSeconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int count = argc > 2 ? std::max(25, std::atoi(argv[2])) : 250;
    const cv::Size size(1280, 720);
    cv::Mat person, mask;
    const bool photo = testkit::PersonPhoto(person, mask);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 40; ++i) {  // the walk from edge to edge, then again
        cv::Mat f = testkit::SceneFrame("behindfoliage", size, 30 + i, person, mask);
        frames.push_back(f);
    }
    std::vector<double> tracksRatio, labelsRatio, plainMs;
    uint64_t checks = 0;
    for (int r = 0; r < rounds; ++r) {
        const double plain = Round(kPlain, frames, count, &checks);
        const double withTracks = Round(kTracks, frames, count, &checks);
        const double withLabels = Round(kLabels, frames, count, &checks);
        plainMs.push_back(plain * 1000.0 / count);
        tracksRatio.push_back(withTracks / plain);
        labelsRatio.push_back(withLabels / plain);
        std::printf("round %d: detector %.2f ms/frame, tracks %.3fx, tracks+labels %.3fx\n", r + 1,
                    plain * 1000.0 / count, withTracks / plain, withLabels / plain);
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("1280x720, %s, %d frames x %d rounds, %.1f checks/round\n",
                photo ? "photographed person" : "drawn figure", count, rounds,
                double(checks) / rounds);
    std::printf("median: detector %.2f ms/frame; with tracks %.3fx; with tracks and labels %.3fx\n",
                median(plainMs), median(tracksRatio), median(labelsRatio));
    return 0;
}
