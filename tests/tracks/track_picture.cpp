// Draws the README's picture of tracks: track_picture <out.png>. A photographed walker
// (opencv-doc) crosses below a swaying tree; each track's path from where it began, its
// travel in percent of the diagonal, and the person label of the walker's area.
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detector/detector.h"
#include "labels/labels.h"
#include "tests/testkit/scenes.h"
#include "tracks/tracks.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const cv::Size size(320, 240);
    cv::Mat person, mask;
    testkit::PersonPhoto(person, mask);
    detector::MotionDetector detector;
    detector::DetectorControls controls;
    controls.warmupFrames = 3;
    detector.SetControls(controls);
    tracks::Tracker tracker({10, 300});
    cv::Mat frame;
    const int last = 58;
    for (int i = 0; i <= last; ++i) {
        frame = testkit::SceneFrame("gardenwalk", size, i, person, mask);
        detector.DetectAt(frame, 30, i * 0.04, false);
        std::vector<tracks::Observation> seen;
        for (const cv::Rect& r : detector.Regions()) seen.push_back({r, std::nullopt});
        tracker.Update(seen, i * 40, size);
    }
    const int k = 3;  // drawn at three times the size
    cv::Mat big;
    cv::resize(frame, big, size * k, 0, 0, cv::INTER_CUBIC);
    const double diagonal = std::hypot(size.width, size.height);
    auto hog = labels::ModuleHogPeople();
    for (const tracks::Track& t : tracker.Tracks()) {
        if (t.lastSeenMs != last * 40) continue;
        const bool walker = t.Travel() >= 0.1 * diagonal;
        const cv::Scalar colour = walker ? cv::Scalar(0, 220, 255) : cv::Scalar(200, 200, 200);
        cv::rectangle(big, cv::Rect(t.box.tl() * k, t.box.size() * k), colour, 2);
        std::vector<cv::Point> path;
        for (const cv::Point& p : t.path) path.push_back(p * k);
        cv::polylines(big, path, false, colour, 5, cv::LINE_AA);
        cv::circle(big, path.front(), 9, colour, cv::FILLED, cv::LINE_AA);
        cv::arrowedLine(big, path.front(), t.centre * k, cv::Scalar(40, 40, 230), 3, cv::LINE_AA, 0,
                        0.08);
        char text[96];
        std::snprintf(text, sizeof text, "track %d: %.0f%% travel, %.1f s", t.id,
                      100.0 * t.Travel() / diagonal, t.AgeMs() / 1000.0);
        int baseline = 0;
        const cv::Size extent = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.9, 5, &baseline);
        const cv::Point at(std::min(t.box.x * k + 6, big.cols - extent.width - 6),
                           std::max(30, t.box.y * k - 12));
        cv::putText(big, text, at, cv::FONT_HERSHEY_SIMPLEX, 0.9, cv::Scalar(0, 0, 0), 5, cv::LINE_AA);
        cv::putText(big, text, at, cv::FONT_HERSHEY_SIMPLEX, 0.9, colour, 2, cv::LINE_AA);
        if (!walker) continue;
        // The labeller's view of the walker's track.
        const cv::Rect area = cv::Rect(t.box.x - t.box.width / 4, t.box.y - t.box.height / 4,
                                       t.box.width * 3 / 2, t.box.height * 3 / 2) &
                              cv::Rect({}, size);
        const double scale = double(hog->WorkingHeight()) / t.box.height;  // as the labeller
        cv::Mat view;
        cv::resize(frame(area), view, cv::Size(), scale, scale);
        for (const labels::Found& f : hog->Detect(view)) {
            const cv::Rect box(area.x + int(f.box.x / scale), area.y + int(f.box.y / scale),
                               int(f.box.width / scale), int(f.box.height / scale));
            cv::rectangle(big, cv::Rect(box.tl() * k, box.size() * k), cv::Scalar(60, 200, 60), 3);
            std::snprintf(text, sizeof text, "person %.1f", f.score);
            cv::putText(big, text, box.tl() * k + cv::Point(6, 28), cv::FONT_HERSHEY_SIMPLEX, 0.9,
                        cv::Scalar(60, 200, 60), 2, cv::LINE_AA);
            break;
        }
    }
    return cv::imwrite(argv[1], big) ? 0 : 1;
}
