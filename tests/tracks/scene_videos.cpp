// Writes every test scene as a lossless video: scene_videos <folder> [<w>x<h>] [person.png]
// (a person picture with transparency, pasted where the person walks; none: a drawn figure).
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/testkit/scenes.h"
#include "tests/testkit/video.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: scene_videos <folder> [<w>x<h>] [person.png]\n");
        return 2;
    }
    cv::Size size(320, 240);
    if (argc > 2) std::sscanf(argv[2], "%dx%d", &size.width, &size.height);
    cv::Mat person, mask;
    if (argc > 3) {
        cv::Mat rgba = cv::imread(argv[3], cv::IMREAD_UNCHANGED);
        if (rgba.empty() || rgba.channels() != 4) {
            std::fprintf(stderr, "scene_videos: %s is no picture with transparency\n", argv[3]);
            return 1;
        }
        cv::cvtColor(rgba, person, cv::COLOR_BGRA2BGR);
        cv::extractChannel(rgba, mask, 3);
    }
    for (const testkit::SceneSpec& s : testkit::Scenes()) {
        const std::string path = std::string(argv[1]) + "/" + s.name + ".avi";
        if (!testkit::WriteVideo(path, s.frames, size, [&](int i) {
                return testkit::SceneFrame(s.name, size, i, person, mask);
            })) {
            std::fprintf(stderr, "scene_videos: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s %d %d\n", s.name.c_str(), s.expectedEvents, s.personFrom);
    }
    return 0;
}
