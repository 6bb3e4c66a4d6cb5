// What the web server costs a camera worker, and how fast a frame reaches a viewer.
//   web_bench      prints Due() per frame with no viewer, Due()+Offer() per due frame with 0
//                  and 5 viewers of an MJPEG stream, and the time from Offer to a viewer
//                  holding the whole frame (median and 95th percentile)
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "web/web.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

struct OneCamera : web::Provider {
    std::vector<web::CameraStatus> Cameras() override {
        web::CameraStatus c;
        c.index = 0;
        c.state = "running";
        return {c};
    }
    std::string EventsSince(const std::string&) override { return "[]"; }
    bool Healthy() override { return true; }
};

// Frame number n drawn as 16 black or white blocks across the top of the picture.
cv::Mat Frame(int n) {
    cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(90, 80, 70));
    for (int bit = 0; bit < 16; ++bit)
        cv::rectangle(frame, cv::Rect(bit * 80, 0, 80, 80),
                      cv::Scalar::all((n >> bit) & 1 ? 255 : 0), cv::FILLED);
    return frame;
}

int FrameNumber(const cv::Mat& frame) {  // frame as served: 800 wide
    int n = 0;
    const double scale = frame.cols / 1280.0;
    for (int bit = 0; bit < 16; ++bit) {
        const cv::Vec3b px = frame.at<cv::Vec3b>(static_cast<int>(40 * scale),
                                                 static_cast<int>((bit * 80 + 40) * scale));
        if (px[0] > 128) n |= 1 << bit;
    }
    return n;
}

double ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    OneCamera provider;
    web::FrameHub hub;
    web::Server server;
    web::Options opts;  // 5 fps, 800 wide
    opts.fps = 10;
    if (!server.Start(opts, provider, hub, "bench")) return 1;

    // Due() on every frame with nobody watching: the whole cost for a camera.
    {
        constexpr int kCalls = 10'000'000;
        int due = 0;
        const auto start = Clock::now();
        for (int i = 0; i < kCalls; ++i) due += hub.Due(0, i);
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        std::printf("Due, no viewer: %.1f ns a frame (%d due)\n", ns / kCalls, due);
    }

    std::vector<Clock::time_point> offered(1 << 16);
    std::mutex latencyMutex;
    std::vector<double> latencies;
    std::atomic<bool> stop{false};
    std::vector<std::thread> viewers;
    auto viewer = [&] {
        httplib::Client client("127.0.0.1", server.Port());
        std::string bytes;
        client.Get("/cam/0/stream.mjpg", [&](const char* data, size_t size) {
            bytes.append(data, size);
            for (;;) {
                const size_t end = bytes.find("\r\n\r\n");
                if (end == std::string::npos) break;
                const size_t at = bytes.find("Content-Length: ");
                const size_t length = std::stoul(bytes.substr(at + 16));
                if (bytes.size() < end + 4 + length + 2) break;
                const auto received = Clock::now();
                const std::string jpeg = bytes.substr(end + 4, length);
                bytes.erase(0, end + 4 + length + 2);
                const cv::Mat frame =
                    cv::imdecode(std::vector<uchar>(jpeg.begin(), jpeg.end()), cv::IMREAD_COLOR);
                const int n = FrameNumber(frame);
                std::lock_guard<std::mutex> lock(latencyMutex);
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(received - offered[n]).count());
            }
            return !stop.load();
        });
    };

    // Due()+Offer() per due frame, a camera at 30 frames a second for 5 s.
    auto run = [&](const char* label) {
        double dueNs = 0, offerNs = 0, offerCpuNs = 0;
        int frames = 0, due = 0;
        std::vector<cv::Mat> pictures;
        for (int n = 0; n < 200; ++n) pictures.push_back(Frame(n));
        for (int n = 0; n < 150; ++n) {
            const auto t0 = Clock::now();
            const bool isDue = hub.Due(0, NowMs());
            const auto t1 = Clock::now();
            dueNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
            ++frames;
            if (isDue) {
                offered[n] = Clock::now();
                const auto t2 = Clock::now();
                const double cpu = ThreadCpuNs();
                hub.Offer(0, pictures[n], pictures[n], NowMs());
                offerCpuNs += ThreadCpuNs() - cpu;
                offerNs += std::chrono::duration<double, std::nano>(Clock::now() - t2).count();
                ++due;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        std::printf(
            "%s: Due %.0f ns a frame; Offer %.0f ns wall, %.0f ns CPU a due frame (%d of %d "
            "frames due)\n",
            label, dueNs / frames, due ? offerNs / due : 0.0, due ? offerCpuNs / due : 0.0, due,
            frames);
    };
    run("0 viewers");
    for (int i = 0; i < 5; ++i) viewers.emplace_back(viewer);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run("5 viewers");
    stop = true;
    server.Stop();
    for (std::thread& t : viewers) t.join();
    std::printf(
        "Offer to viewer (5 viewers, 1280x720 scaled to 800): median %.1f ms, p95 %.1f ms, "
        "%zu frames\n",
        Percentile(latencies, 0.5), Percentile(latencies, 0.95), latencies.size());
    return 0;
}
