// Writes the demo camera: a lit room where objects cross the view with still pauses between
// them, so that the demo shows motion holds starting and ending.
//
//   demo_video <output.avi> [seconds] [width height]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr double kFps = 25.0;

cv::Mat Room() {
    cv::Mat room(kHeight, kWidth, CV_8UC3, cv::Scalar(120, 135, 150));
    cv::rectangle(room, {0, 330, kWidth, kHeight - 330}, cv::Scalar(70, 85, 100), cv::FILLED);
    cv::rectangle(room, {60, 60, 160, 120}, cv::Scalar(200, 190, 170), cv::FILLED);
    cv::rectangle(room, {60, 60, 160, 120}, cv::Scalar(40, 40, 40), 4);
    cv::rectangle(room, {430, 150, 120, 180}, cv::Scalar(50, 80, 110), cv::FILLED);
    for (int x = 0; x < kWidth; x += 32) {
        cv::line(room, {x, 330}, {x, kHeight}, cv::Scalar(60, 72, 88), 1);
    }
    return room;
}

// Position along a pass of `frames` frames starting at `start`; <0 outside the pass.
double Progress(int frame, int start, int frames) {
    if (frame < start || frame >= start + frames) return -1.0;
    return static_cast<double>(frame - start) / (frames - 1);
}

void DrawScene(cv::Mat& frame, int i, int cycle) {
    const int t = i % cycle;
    // A person-sized box walks left to right, then a pause.
    if (double p = Progress(t, 0, 90); p >= 0) {
        int x = static_cast<int>(-80 + p * (kWidth + 80));
        cv::rectangle(frame, {x, 180, 70, 160}, cv::Scalar(150, 90, 40), cv::FILLED);
        cv::circle(frame, {x + 35, 160}, 25, cv::Scalar(140, 170, 210), cv::FILLED);
    }
    // A ball bounces from right to left, then a pause.
    if (double p = Progress(t, 150, 75); p >= 0) {
        int x = static_cast<int>(kWidth + 30 - p * (kWidth + 60));
        int y = static_cast<int>(300 - 180 * std::fabs(std::sin(p * 3.14159 * 3)));
        cv::circle(frame, {x, y}, 28, cv::Scalar(30, 200, 240), cv::FILLED);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: demo_video <output.avi> [seconds] [width height]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 40;
    const cv::Size size =
        argc > 4 ? cv::Size(std::atoi(argv[3]), std::atoi(argv[4])) : cv::Size(kWidth, kHeight);
    if (size.width <= 0 || size.height <= 0) return 2;
    cv::VideoWriter writer(argv[1], cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                           kFps, size, true);
    if (!writer.isOpened()) {
        std::fprintf(stderr, "demo_video: cannot write %s\n", argv[1]);
        return 1;
    }
    const cv::Mat room = Room();
    const int cycle = 300;  // 12 s: walk, pause, ball, pause
    for (int i = 0; i < seconds * static_cast<int>(kFps); ++i) {
        cv::Mat frame = room.clone();
        DrawScene(frame, i, cycle);
        if (frame.size() != size) cv::resize(frame, frame, size, 0, 0, cv::INTER_LINEAR);
        writer.write(frame);
    }
    return 0;
}
