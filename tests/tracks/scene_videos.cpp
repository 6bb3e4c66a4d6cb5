// Writes every test scene as a lossless video: scene_videos <folder> [<w>x<h>] [photo]
// (photo: the person is the photograph testkit::PersonPhoto cuts; otherwise a drawn figure).
#include <cstdio>
#include <opencv2/core.hpp>

#include "tests/testkit/scenes.h"
#include "tests/testkit/video.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: scene_videos <folder> [<w>x<h>] [photo]\n");
        return 2;
    }
    cv::Size size(320, 240);
    if (argc > 2) std::sscanf(argv[2], "%dx%d", &size.width, &size.height);
    cv::Mat person, mask;
    if (argc > 3 && !testkit::PersonPhoto(person, mask)) {
        std::fprintf(stderr, "scene_videos: no photograph of a person (install opencv-doc)\n");
        return 1;
    }
    for (const testkit::SceneSpec& s : testkit::Scenes()) {
        const std::string path = std::string(argv[1]) + "/" + s.name + ".avi";
        cv::Mat first;
        int motionFrom = -1;  // the first frame unlike the first: where motion starts
        if (!testkit::WriteVideo(path, s.frames, size, [&](int i) {
                cv::Mat frame = testkit::SceneFrame(s.name, size, i, person, mask);
                if (i == 0) first = frame.clone();
                if (motionFrom < 0 && i > 0 && cv::norm(frame, first, cv::NORM_INF) > 0) {
                    motionFrom = i;
                }
                return frame;
            })) {
            std::fprintf(stderr, "scene_videos: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s %d %d %d %d\n", s.name.c_str(), s.expectedEvents, s.personFrom, motionFrom,
                    s.clearFrom);
    }
    return 0;
}
