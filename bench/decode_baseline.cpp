// The floor under the end-to-end figures: decode the same video files the cameras play,
// one thread per file as the program has one worker per camera, and nothing else.
//
//   decode_baseline <file> [file ...]      prints the total number of frames decoded
#include <atomic>
#include <cstdio>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    std::atomic<long> frames{0};
    std::vector<std::thread> threads;
    for (int i = 1; i < argc; ++i) {
        threads.emplace_back([&frames, name = argv[i]] {
            cv::VideoCapture capture(name, cv::CAP_FFMPEG);
            cv::Mat frame;
            while (capture.read(frame)) frames.fetch_add(1, std::memory_order_relaxed);
        });
    }
    for (std::thread& t : threads) t.join();
    std::printf("%ld\n", frames.load());
    return 0;
}
