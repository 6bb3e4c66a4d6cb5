// Cost of tracks and labels for one camera at 1280x720 with motion in every frame: a
// photographed person (opencv-doc; a drawn figure without it) walking behind swaying foliage
// again and again, 25 frames a second of scene time, as an H.264 stream (ffmpeg). Each round
// runs the stream three ways, in turn: decode and detector; with the tracks (regions,
// tracker); and with the tracks and LABELS=person at LABELRATE=2 (the HOG checks on their own
// thread). The process's CPU time is measured, so the labeller's thread counts; the median
// of the rounds' ratios is printed.
//
//   build/bench/labels_bench [rounds (5)] [frames per round (250)]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "detector/detector.h"
#include "labels/labels.h"
#include "tests/testkit/scenes.h"
#include "tests/testkit/video.h"
#include "tracks/tracks.h"

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

enum Mode { kPlain, kTracks, kLabels };

double Round(Mode mode, const std::string& stream, int count, uint64_t* checks) {
    detector::MotionDetector detector;
    tracks::Tracker tracker({10, 300});
    labels::Options options;
    options.person = true;
    std::unique_ptr<labels::Labeller> labeller;
    if (mode == kLabels)
        labeller = std::make_unique<labels::Labeller>(options, labels::ModuleHogPeople());
    std::vector<int> labelled;  // as the worker: tracks labelled already
    cv::Mat frame;
    const double start = CpuSeconds();
    cv::VideoCapture video(stream, cv::CAP_FFMPEG);
    for (int i = 0; i < count; ++i) {
        if (!video.read(frame)) {
            video.open(stream, cv::CAP_FFMPEG);
            if (!video.read(frame)) return 0;
        }
        const int64_t ms = int64_t{i} * 40;
        const int n = detector.DetectAt(frame, 30, ms / 1000.0, false);
        if (mode == kPlain) continue;
        std::vector<tracks::Observation> seen;
        const auto regions = detector.Regions();
        for (const cv::Rect& r : regions) seen.push_back({r, std::nullopt});
        tracker.Update(seen, ms, frame.size());
        if (!labeller || n == 0 || !labeller->Due(ms)) continue;
        for (const labels::Label& l : labeller->TakeConfirmed()) labelled.push_back(l.track);
        const tracks::Track* pick =
            tracks::ToLabel(tracker.Tracks(), ms, labelled, frame.size(), labeller->Awaited());
        if (!pick) continue;
        const std::vector<labels::Target> targets = {{pick->id, pick->Lead(), pick->Front()}};
        labeller->Check(frame, targets, ms, "");
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
    const std::string dir = "/tmp/camwatch-labels-bench-" + std::to_string(getpid());
    const std::string raw = dir + ".avi", stream = dir + ".mp4";
    // The walk from edge to edge, then again: 40 frames.
    if (!testkit::WriteVideo(raw, 40, size, [&](int i) {
            return testkit::SceneFrame("behindfoliage", size, 30 + i, person, mask);
        })) {
        std::fprintf(stderr, "labels_bench: cannot write %s\n", raw.c_str());
        return 1;
    }
    const std::string encode = "ffmpeg -loglevel error -y -i " + raw +
                               " -c:v libx264 -preset fast -crf 23 -g 25 -pix_fmt yuv420p " +
                               stream;
    if (std::system(encode.c_str()) != 0) return 1;
    std::remove(raw.c_str());
    std::vector<double> tracksRatio, labelsRatio, plainMs;
    uint64_t checks = 0;
    for (int r = 0; r < rounds; ++r) {
        const double plain = Round(kPlain, stream, count, &checks);
        const double withTracks = Round(kTracks, stream, count, &checks);
        const double withLabels = Round(kLabels, stream, count, &checks);
        plainMs.push_back(plain * 1000.0 / count);
        tracksRatio.push_back(withTracks / plain);
        labelsRatio.push_back(withLabels / plain);
        std::printf("round %d: decode+detector %.2f ms/frame, tracks %.3fx, tracks+labels %.3fx\n",
                    r + 1, plain * 1000.0 / count, withTracks / plain, withLabels / plain);
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("1280x720, %s, %d frames x %d rounds, %.1f checks/round\n",
                photo ? "photographed person" : "drawn figure", count, rounds,
                double(checks) / rounds);
    std::printf(
        "median: decode+detector %.2f ms/frame; with tracks %.3fx; with tracks and labels %.3fx\n",
        median(plainMs), median(tracksRatio), median(labelsRatio));
    std::remove(stream.c_str());
    return 0;
}
