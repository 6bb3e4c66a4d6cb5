// Per-frame cost of the motion detector on a synthetic camera at three frame sizes:
//   BM_Detect/reference  every step on every frame (DetectMotionReference)
//   BM_Detect/hidden     DetectMotion's path with the window hidden
//   BM_Detect/shown      DetectMotion's path with the window shown (overlay drawn)
//   BM_Detect/floor      gray conversion + difference + threshold only
//   BM_DetectStill/hidden  a lit scene where nothing moves
//   BM_Detect/hidden+mask   the hidden path with a mask (a blind band over the top fifth)
//   BM_Detect/hidden+light  the hidden path with the light switch on (LIGHTSWITCH=50)
//   BM_Detect/hidden+both   both
// The controls are compared with the plain hidden path by their fastest repetition.
// The scene: a textured room and one person-sized textured figure walking to and fro at
// 30 frames per second. Frames are rendered outside the timed region. After the cases the
// program prints the ratios the detector is held to.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "detector/internal.h"

namespace {

using namespace detector;

constexpr double kFrameStep = 1.0 / 30.0;
constexpr int kWarmUpFrames = 45;  // past the first three calls and a full second of history

class Camera {
  public:
    Camera(cv::Size size, bool moving) : moving_(moving), room_(size, CV_8UC3) {
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const int v = 70 + 60 * x / size.width + 40 * y / size.height;
                room_.at<cv::Vec3b>(y, x) = cv::Vec3b(v, v + 10, v + 20);
            }
        }
        for (int x = 0; x < size.width; x += size.width / 12) {
            cv::line(room_, {x, 0}, {x, size.height}, cv::Scalar(40, 50, 60), 3);
        }
        figure_ = {size.width / 10, size.height / 3};
    }
    // Renders frame i into out.
    void Render(int64_t i, cv::Mat& out) const {
        room_.copyTo(out);
        if (!moving_) return;
        const int span = room_.cols - figure_.width - room_.cols / 5;
        const int step = room_.cols / 200;  // crosses the room in about seven seconds
        int x = static_cast<int>(i * step % (2 * span));
        if (x > span) x = 2 * span - x;
        const cv::Rect body(room_.cols / 10 + x, room_.rows / 3, figure_.width, figure_.height);
        cv::rectangle(out, body, cv::Scalar(30, 40, 160), cv::FILLED);
        for (int y = body.y; y < body.y + body.height; y += 12) {
            cv::line(out, {body.x, y}, {body.x + body.width, y}, cv::Scalar(200, 200, 220), 4);
        }
    }

  private:
    bool moving_;
    cv::Mat room_;
    cv::Size figure_;
};

enum class Mode { Reference, Hidden, Shown, Floor, HiddenMask, HiddenLight, HiddenBoth };

DetectorControls ControlsOf(Mode mode, cv::Size size) {
    DetectorControls c;
    if (mode == Mode::HiddenMask || mode == Mode::HiddenBoth) {
        c.mask = cv::Mat(size, CV_8UC1, cv::Scalar(255));
        c.mask(cv::Rect(0, 0, size.width, size.height / 5)).setTo(0);
    }
    if (mode == Mode::HiddenLight || mode == Mode::HiddenBoth) c.lightSwitchPercent = 50;
    return c;
}

// The floor: what every detector must do per frame before any motion analysis.
struct Floor {
    std::array<cv::Mat, 4> ring;
    int index = 0;
    void Run(const cv::Mat& frame) {
        const int p = index, q = (index + 1) & 3;
        cv::cvtColor(frame, ring[p], cv::COLOR_BGR2GRAY);
        if (ring[q].size() != ring[p].size()) ring[q] = cv::Mat::zeros(ring[p].size(), CV_8UC1);
        cv::absdiff(ring[p], ring[q], ring[q]);
        cv::threshold(ring[q], ring[q], 30, 1, cv::THRESH_BINARY);
        index = q;
    }
};

void BM_Detect(benchmark::State& bench, Mode mode, cv::Size size, bool moving) {
    const Camera camera(size, moving);
    DetectorState state;
    ApplyControls(state, ControlsOf(mode, size));
    Floor floor;
    cv::Mat frame;
    int64_t i = 0;
    double t = 1.0;
    int64_t counted = 0;
    const auto run = [&](Mode m) -> int {
        switch (m) {
            case Mode::Reference:
                return DetectMotionReference(frame, 30, state, t);
            case Mode::Hidden:
            case Mode::HiddenMask:
            case Mode::HiddenLight:
            case Mode::HiddenBoth:
                return DetectMotionFast(frame, 30, state, t, false);
            case Mode::Shown:
                return DetectMotionFast(frame, 30, state, t, true);
            case Mode::Floor:
                floor.Run(frame);
                return 0;
        }
        return 0;
    };
    // The same history either way; the controlled cases build theirs under their controls.
    const bool controlled =
        mode == Mode::HiddenMask || mode == Mode::HiddenLight || mode == Mode::HiddenBoth;
    const Mode warm = mode == Mode::Floor ? Mode::Floor : controlled ? mode : Mode::Hidden;
    for (; i < kWarmUpFrames; ++i, t += kFrameStep) {
        camera.Render(i, frame);
        run(warm);
    }
    for (auto _ : bench) {
        bench.PauseTiming();
        camera.Render(i++, frame);
        t += kFrameStep;
        bench.ResumeTiming();
        counted += run(mode);
    }
    bench.counters["regions"] =
        benchmark::Counter(static_cast<double>(counted), benchmark::Counter::kAvgIterations);
}

// Passes every run to the reporter that --benchmark_format asks for (console or json) and
// takes the ratios of each frame size from this very run. They go to stdout beside the console
// table, and to stderr when stdout carries JSON for tools.
class RatioReporter : public benchmark::BenchmarkReporter {
  public:
    explicit RatioReporter(const std::string& format) : toolFormat_(format != "console") {
        if (format == "json") {
            inner_ = std::make_unique<benchmark::JSONReporter>();
        } else {
            inner_ = std::make_unique<benchmark::ConsoleReporter>(
                benchmark::ConsoleReporter::OO_Tabular);
        }
    }
    bool ReportContext(const Context& context) override {
        inner_->SetOutputStream(&GetOutputStream());
        inner_->SetErrorStream(&GetErrorStream());
        return inner_->ReportContext(context);
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        inner_->ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median" &&
                r.aggregate_name != "min")
                continue;
            std::string name = r.run_name.str();
            if (r.aggregate_name == "min") name += "/min";
            ms_[name] =
                r.GetAdjustedRealTime() * 1e3 / benchmark::GetTimeUnitMultiplier(r.time_unit);
        }
    }
    void Finalize() override {
        inner_->Finalize();
        std::FILE* out = toolFormat_ ? stderr : stdout;
        std::fflush(stdout);
        std::fprintf(out, "\nRatios (real time per frame; median when repeated):\n");
        for (const char* size : {"640x480", "1280x720", "1920x1080"}) {
            const auto get = [&](const std::string& name) {
                const auto it = ms_.find(name + "/" + size);
                return it == ms_.end() ? -1.0 : it->second;
            };
            const double ref = get("BM_Detect/reference"), hidden = get("BM_Detect/hidden");
            const double shown = get("BM_Detect/shown"), floor = get("BM_Detect/floor");
            const double still = get("BM_DetectStill/hidden");
            // The controls against the plain hidden path: fastest repetition when repeated (on a
            // busy machine the least disturbed one), else the single run.
            const auto fastest = [&](const std::string& name) {
                const auto it = ms_.find(name + "/" + size + "/min");
                return it != ms_.end() ? it->second : get(name);
            };
            const double plain = fastest("BM_Detect/hidden");
            const double mask = fastest("BM_Detect/hidden+mask");
            const double light = fastest("BM_Detect/hidden+light");
            const double both = fastest("BM_Detect/hidden+both");
            if (plain > 0 && mask > 0 && light > 0 && both > 0) {
                std::fprintf(out,
                             "  %-9s hidden %6.3f ms  +mask %.3f x  +light switch %.3f x  "
                             "+both %.3f x\n",
                             size, plain, mask / plain, light / plain, both / plain);
            }
            if (ref <= 0 || hidden <= 0 || shown <= 0 || floor <= 0 || still <= 0) continue;
            std::fprintf(
                out,
                "  %-9s reference %7.3f ms  hidden %6.3f ms = %.3f x ref  shown %6.3f ms = "
                "%.3f x ref  still %6.3f ms = %.2f x floor (%.3f ms)\n",
                size, ref, hidden, hidden / ref, shown, shown / ref, still, still / floor, floor);
        }
    }

  private:
    bool toolFormat_;
    std::unique_ptr<benchmark::BenchmarkReporter> inner_;
    std::map<std::string, double> ms_;
};

// The value of --benchmark_format, read before the library consumes its flags.
std::string FormatFlag(int argc, char** argv) {
    const std::string flag = "--benchmark_format=";
    std::string format = "console";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(flag, 0) == 0) format = arg.substr(flag.size());
    }
    return format;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<cv::Size> sizes = {{640, 480}, {1280, 720}, {1920, 1080}};
    const std::vector<std::pair<const char*, Mode>> modes = {{"reference", Mode::Reference},
                                                             {"hidden", Mode::Hidden},
                                                             {"shown", Mode::Shown},
                                                             {"floor", Mode::Floor},
                                                             {"hidden+mask", Mode::HiddenMask},
                                                             {"hidden+light", Mode::HiddenLight},
                                                             {"hidden+both", Mode::HiddenBoth}};
    for (const cv::Size& size : sizes) {
        const std::string dims = std::to_string(size.width) + "x" + std::to_string(size.height);
        for (const auto& [name, mode] : modes) {
            benchmark::RegisterBenchmark(("BM_Detect/" + std::string(name) + "/" + dims).c_str(),
                                         BM_Detect, mode, size, true)
                ->Unit(benchmark::kMillisecond)
                ->ComputeStatistics("min", [](const std::vector<double>& v) {
                    return *std::min_element(v.begin(), v.end());
                });
        }
        benchmark::RegisterBenchmark(("BM_DetectStill/hidden/" + dims).c_str(), BM_Detect,
                                     Mode::Hidden, size, false)
            ->Unit(benchmark::kMillisecond);
    }
    const std::string format = FormatFlag(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(format);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
