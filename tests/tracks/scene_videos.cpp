// Writes every test scene as a lossless video: scene_videos <folder> [<w>x<h>] [photo]
// (photo: the person is the photograph testkit::PersonPhoto cuts; otherwise a drawn figure).
#include <cstdio>

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
