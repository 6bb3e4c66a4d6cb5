#include "tests/testkit/video.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace testkit {

bool WriteVideo(const std::string& path, int count, cv::Size size,
                const std::function<cv::Mat(int)>& make, double fps) {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), fps,
                           size, true);
    if (!writer.isOpened()) return false;
    for (int i = 0; i < count; ++i) writer.write(make(i));
    writer.release();
    return true;
}

cv::Mat StillScene(cv::Size size) {
    cv::Mat scene(size, CV_8UC3, cv::Scalar(90, 110, 130));
    for (int y = 0; y < size.height; y += 40) {
        cv::line(scene, {0, y}, {size.width - 1, y}, cv::Scalar(60, 70, 80), 2);
    }
    for (int x = 0; x < size.width; x += 40) {
        cv::line(scene, {x, 0}, {x, size.height - 1}, cv::Scalar(150, 160, 170), 2);
    }
    return scene;
}

cv::Mat MovingBoxScene(cv::Size size, int i, int moveFrom, int moveTo) {
    cv::Mat scene = StillScene(size);
    int step = std::clamp(i, moveFrom, moveTo) - moveFrom;
    int x = std::min(20 + 12 * step, std::max(0, size.width - 60));
    int y = std::max(0, size.height / 2 - 30);
    cv::rectangle(scene, cv::Rect(x, y, 60, 60), cv::Scalar(250, 250, 250), cv::FILLED);
    return scene;
}

int CountVideoFrames(const std::string& path, cv::Size* size, double* fps) {
    cv::VideoCapture cap(path, cv::CAP_FFMPEG);
    if (!cap.isOpened()) return -1;
    if (size) {
        *size = cv::Size(static_cast<int>(cap.get(cv::CAP_PROP_FRAME_WIDTH)),
                         static_cast<int>(cap.get(cv::CAP_PROP_FRAME_HEIGHT)));
    }
    if (fps) *fps = cap.get(cv::CAP_PROP_FPS);
    int n = 0;
    cv::Mat frame;
    while (cap.read(frame)) ++n;
    return n;
}

}  // namespace testkit
