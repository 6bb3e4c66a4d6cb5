#include "tests/testkit/scenes.h"

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tests/testkit/video.h"

namespace testkit {

namespace {

// Still background: the grid scene with some texture, the same for every frame.
cv::Mat Background(cv::Size size) {
    cv::Mat scene = StillScene(size);
    cv::RNG rng(11);
    for (int k = 0; k < 30; ++k) {
        const cv::Point at(rng.uniform(0, size.width), rng.uniform(0, size.height));
        cv::circle(scene, at, rng.uniform(3, 12),
                   cv::Scalar(rng.uniform(60, 200), rng.uniform(60, 200), rng.uniform(60, 200)),
                   cv::FILLED);
    }
    return scene;
}

// A tree in the top right whose leaves sway with frame i.
void Foliage(cv::Mat& scene, int i) {
    const cv::Size size = scene.size();
    const cv::Rect tree(size.width * 5 / 8, size.height / 24, size.width * 11 / 32,
                        size.height * 5 / 12);
    static cv::Mat leaves;
    if (leaves.size() != cv::Size(tree.width + 40, tree.height)) {
        leaves.create(tree.height, tree.width + 40, CV_8UC3);
        leaves.setTo(cv::Scalar(60, 160, 70));
        cv::RNG rng(7);
        for (int k = 0; k < 40; ++k) {
            const cv::Point at(rng.uniform(0, leaves.cols), rng.uniform(0, leaves.rows));
            const cv::Size axes(rng.uniform(6, 16), rng.uniform(4, 10));
            cv::ellipse(leaves, at, axes, rng.uniform(0, 180), 0, 360,
                        cv::Scalar(20, rng.uniform(50, 110), 20), cv::FILLED);
        }
    }
    const int sway = 20 + static_cast<int>(std::lround(12 * std::sin(i * 0.9)));
    leaves(cv::Rect(sway, 0, tree.width, tree.height)).copyTo(scene(tree));
}

// A person whose feet stand at `feet`, `height` pixels tall.
void Person(cv::Mat& scene, cv::Point feet, int height, int i, const cv::Mat& photo,
            const cv::Mat& photoMask) {
    if (height < 8) return;
    if (!photo.empty()) {
        const int width = std::max(1, photo.cols * height / photo.rows);
        cv::Mat picture, mask;
        cv::resize(photo, picture, {width, height}, 0, 0, cv::INTER_AREA);
        cv::resize(photoMask, mask, {width, height}, 0, 0, cv::INTER_NEAREST);
        const cv::Rect at(feet.x - width / 2, feet.y - height, width, height);
        const cv::Rect inside = at & cv::Rect({}, scene.size());
        if (inside.empty()) return;
        picture(inside - at.tl()).copyTo(scene(inside), mask(inside - at.tl()));
        return;
    }
    const cv::Scalar coat(40, 40, 60), skin(120, 150, 200);
    const int head = height / 8, body = height * 3 / 8, leg = height - 2 * head - body;
    const int w = std::max(4, height / 4);
    const int stride = static_cast<int>(std::lround(w / 2.0 * std::sin(i * 0.8)));
    cv::circle(scene, {feet.x, feet.y - height + head}, head, skin, cv::FILLED);
    cv::rectangle(scene, cv::Rect(feet.x - w / 2, feet.y - leg - body, w, body), coat, cv::FILLED);
    const int thick = std::max(2, w / 3);
    cv::line(scene, {feet.x, feet.y - leg}, {feet.x - stride, feet.y}, coat, thick);
    cv::line(scene, {feet.x, feet.y - leg}, {feet.x + stride, feet.y}, coat, thick);
}

}  // namespace

const std::vector<SceneSpec>& Scenes() {
    static const std::vector<SceneSpec> scenes = {
        {"foliage", 125, 0, -1, -1},       {"rain", 125, 0, -1, -1},
        {"lightjump", 125, 0, -1, -1},     {"colourgray", 125, 0, -1, -1},
        {"insect", 125, 0, -1, -1},        {"crossing", 125, 1, 30, 30},
        {"approach", 125, 1, 20, 20},      {"standleave", 125, 1, 15, 15},
        {"behindfoliage", 125, 1, 30, 48},  // out of the leaves from frame 48, gone at 70
    };
    return scenes;
}

cv::Mat SceneFrame(const std::string& name, cv::Size size, int i, const cv::Mat& person,
                   const cv::Mat& personMask) {
    cv::Mat scene = Background(size);
    const int W = size.width, H = size.height;
    const int tall = H * 5 / 8;
    if (name == "foliage") {
        Foliage(scene, i);
    } else if (name == "rain") {
        cv::RNG rng(1000 + i);  // fresh streaks every frame
        for (int k = 0; k < W * H / 1500; ++k) {
            const cv::Point a(rng.uniform(0, W), rng.uniform(0, H));
            const int len = rng.uniform(H / 30, H / 14);
            cv::line(scene, a, a + cv::Point(len / 4, len), cv::Scalar(200, 200, 200), 1);
        }
    } else if (name == "lightjump") {
        if (i >= 40 && i < 90) scene.convertTo(scene, -1, 1.6, 10);  // lights on, later off
    } else if (name == "colourgray") {
        if (i >= 50) {  // the camera's night mode: gray and lit by infrared
            cv::Mat gray;
            cv::cvtColor(scene, gray, cv::COLOR_BGR2GRAY);
            gray.convertTo(gray, -1, 1.3, 25);
            cv::cvtColor(gray, scene, cv::COLOR_GRAY2BGR);
        }
    } else if (name == "insect") {
        // A moth close to the lens: a big, soft, dark blob darting about one spot.
        cv::RNG rng(77 + i / 3);
        const cv::Point at(W / 3 + rng.uniform(-W / 14, W / 14), H / 2 + rng.uniform(-H / 14, H / 14));
        cv::Mat blob = scene.clone();
        cv::circle(blob, at, H / 10, cv::Scalar(30, 30, 30), cv::FILLED);
        cv::GaussianBlur(blob, blob, {0, 0}, H / 40.0);
        scene = blob;
    } else if (name == "crossing") {
        if (i >= 30 && i < 30 + 40) Person(scene, {(i - 30) * (W + 40) / 40 - 20, H - 10}, tall, i, person, personMask);
    } else if (name == "approach") {
        if (i >= 20 && i < 80) {
            const double k = (i - 20) / 60.0;
            Person(scene, {W / 2, static_cast<int>(H * (0.55 + 0.45 * k))},
                   static_cast<int>(tall * (0.35 + 0.85 * k)), i, person, personMask);
        }
    } else if (name == "standleave") {
        // Walks in to the middle, stands still, then leaves.
        const int x = i < 40 ? (i - 15) * (W / 2 + 20) / 25 - 20 : i < 80 ? W / 2 : W / 2 + (i - 80) * 8;
        if (i >= 15 && x < W + 40) Person(scene, {x, H - 10}, tall, i < 40 || i >= 80 ? i : 0, person, personMask);
    } else if (name == "gardenwalk") {  // the README's picture: a walker below the tree
        if (i >= 30 && i < 70) {
            Person(scene, {(i - 30) * (W + 40) / 40 - 20, H - 6}, tall * 4 / 5, i, person, personMask);
        }
        Foliage(scene, i);
    } else if (name == "behindfoliage") {
        if (i >= 30 && i < 70) Person(scene, {W - (i - 30) * (W + 40) / 40 + 20, H / 2 + 20}, tall * 3 / 5, i, person, personMask);
        Foliage(scene, i);
    }
    return scene;
}

bool PersonPhoto(cv::Mat& picture, cv::Mat& mask) {
    cv::VideoCapture video("/usr/share/doc/opencv-doc/examples/data/vtest.avi", cv::CAP_FFMPEG);
    cv::Mat frame;
    if (!video.isOpened() || !video.read(frame) || frame.cols < 320 || frame.rows < 340) return false;
    // The man on the grass at the left, walking; a soft oval around him.
    const cv::Rect at(236, 200, 64, 124);
    picture = frame(at).clone();
    mask = cv::Mat::zeros(at.size(), CV_8UC1);
    cv::ellipse(mask, {at.width / 2, at.height / 2}, {at.width * 2 / 5, at.height / 2 - 2}, 0, 0,
                360, cv::Scalar(255), cv::FILLED);
    return true;
}

}  // namespace testkit
