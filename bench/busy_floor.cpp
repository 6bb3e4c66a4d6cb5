// The floor under a busy camera with every output on: the library calls each motion frame
// needs however the program is arranged around them. For every frame of a video, on one
// thread, the CPU time of
//   decode    the program's own reader of a video file: FFmpeg's decoder on one thread, and the
//             colour picture
//   snapshot  the frame as the snapshot's JPEG (quality 95, the same bytes as the program's)
//   video     the frame halved and appended to an MJPEG AVI (the program's own recorder)
// and what ten such cameras at a given rate would need of one core for these alone.
//
//   busy_floor <video> [fps=15] [cameras=10]   prints one JSON object
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include "cameras/source.h"
#include "recording/recording.h"

namespace {

double ThreadMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: busy_floor <video> [fps] [cameras]\n");
        return 2;
    }
    const double fps = argc > 2 ? std::atof(argv[2]) : 15.0;
    const int cameras = argc > 3 ? std::atoi(argv[3]) : 10;
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    const std::unique_ptr<cameras::FrameSource> camera = cameras::OpenCamera(0, argv[1]);
    if (!camera) {
        std::fprintf(stderr, "busy_floor: %s does not open\n", argv[1]);
        return 1;
    }
    char folder[] = "/tmp/busy_floor.XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string avi = std::string(folder) + "/video.avi";
    recording::VideoRecorder video;
    std::vector<uchar> jpeg;
    cv::Mat frame;
    double decodeMs = 0, snapshotMs = 0, videoMs = 0;
    long frames = 0;
    for (;;) {
        const double t0 = ThreadMs();
        if (camera->Read(frame) != cameras::ReadStatus::Frame) break;
        const double t1 = ThreadMs();
        recording::EncodeJpeg(frame, 95, jpeg);
        const double t2 = ThreadMs();
        video.Open(avi, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), frame.size());
        video.Write(frame);
        const double t3 = ThreadMs();
        decodeMs += t1 - t0, snapshotMs += t2 - t1, videoMs += t3 - t2;
        ++frames;
    }
    video.Release();
    std::remove(avi.c_str());
    rmdir(folder);
    if (frames == 0) return 1;
    const double perFrame = (decodeMs + snapshotMs + videoMs) / frames;
    std::printf(
        "{\"frames\": %ld, \"decode_ms\": %.3f, \"snapshot_ms\": %.3f, \"video_ms\": %.3f, "
        "\"cameras\": %d, \"fps\": %.1f, \"floor_core_percent\": %.1f}\n",
        frames, decodeMs / frames, snapshotMs / frames, videoMs / frames, cameras, fps,
        perFrame * fps * cameras / 10.0);
    return 0;
}
