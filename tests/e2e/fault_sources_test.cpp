// Sources that misbehave: corrupt and cut files, size changes, sources that cannot be opened,
// and ten sources of which some end early.
#include "tests/e2e/fault.h"

namespace {

using namespace fault;

TEST(FaultSources, CorruptAndCutFilesAreServedAsFarAsTheyDecode) {
    testkit::TempDir dir;
    constexpr int kFrames = 80;
    ASSERT_TRUE(WriteBlinking(dir.File("clean.avi"), kFrames));
    const std::string clean = testkit::ReadFile(dir.File("clean.avi"));
    // Noise over a stretch in the middle of the frame data, always the same noise.
    std::string corrupt = clean;
    std::mt19937 noise(6);
    for (size_t at = corrupt.size() / 2; at < corrupt.size() / 2 + 3000; ++at) {
        corrupt[at] = static_cast<char>(noise());
    }
    testkit::WriteTextFile(dir.File("corrupt.avi"), corrupt);
    testkit::WriteTextFile(dir.File("cut.avi"), clean.substr(0, clean.size() * 6 / 10));
    e2e::WriteConfig(dir, {{"ALLCAM", "3"},
                           {"SOURCE0", "corrupt.avi"},
                           {"SOURCE1", "cut.avi"},
                           {"SOURCE2", "clean.avi"}});
    testkit::Program program(dir.path());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 3));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(3, 3));

    ExpectWholeLog(dir.File("cam2.log"), kFrames);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i ? "cut" : "corrupt");
        const std::vector<int> numbers = RecordNumbers(dir.File(Cam(i, ".log")));
        // Served beyond the damage, or up to the cut; no record missing in between.
        EXPECT_GE(numbers.size(), static_cast<size_t>(kFrames / 2));
        EXPECT_EQ(numbers, Range(0, static_cast<int>(numbers.size())));
        ExpectVideoMatchesLog(dir.File(Cam(i, ".avi")), dir.File(Cam(i, ".log")));
    }
}

// A camera whose frames exceed MAXPIXELS has them skipped, said once; the others go on.
TEST(FaultSources, FramesBeyondThePixelBoundAreSkippedWithOneLine) {
    testkit::TempDir dir;
    ASSERT_TRUE(WriteBlinking(dir.File("large.avi"), 30, cv::Size(160, 120)));
    ASSERT_TRUE(WriteBlinking(dir.File("small.avi"), 30, cv::Size(80, 60)));
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE0", "large.avi"},
                           {"SOURCE1", "small.avi"},
                           {"MAXPIXELS", "10000"}});
    testkit::Program program(dir.path());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 2));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(2, 2));
    EXPECT_EQ(program.Stderr(),
              "camwatch: camera 0: frames of 160x120 exceed MAXPIXELS=10000; they are skipped\n");
    EXPECT_EQ(e2e::LogRecords(dir.File("cam0.log")), 0);
    EXPECT_TRUE(e2e::Snapshots(dir, "cam0n").empty());
    ExpectWholeLog(dir.File("cam1.log"), 30);
}

// Frames at these sizes, in runs of ten: a camera that switches its resolution.
const std::vector<cv::Size> kSizeRuns = {{160, 120}, {320, 240}, {96, 72}};

TEST(FaultSources, AnImageSequenceThatChangesSizeGetsSnapshotsOfEachSize) {
    testkit::TempDir dir;
    // FFmpeg reads no .dib files, so OpenCV's own image-sequence reader serves this source and
    // hands each image over at its own size.
    const int frames = static_cast<int>(kSizeRuns.size()) * 10;
    for (int i = 0; i < frames; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "img%03d.dib", i);
        ASSERT_TRUE(cv::imwrite(dir.File(name), Blink(i, kSizeRuns[i / 10])));
    }
    ASSERT_FALSE(cv::VideoCapture(dir.File("img%03d.dib"), cv::CAP_FFMPEG).isOpened())
        << "FFmpeg would scale every image to the first size itself";
    e2e::WriteConfig(dir, {{"SOURCE0", "img%03d.dib"}});
    testkit::Program program(dir.path());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 1));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(1, 1));

    ExpectWholeLog(dir.File("cam0.log"), frames);
    ASSERT_EQ(e2e::Snapshots(dir, "cam0n").size(), static_cast<size_t>(frames));
    for (int n : {1, 15, 30}) {  // one of each size, as the camera sent it
        EXPECT_EQ(cv::imread(dir.File("cam0n" + std::to_string(n) + ".jpg")).size(),
                  kSizeRuns[(n - 1) / 10])
            << n;
    }
    const e2e::VideoInfo video = e2e::Probe(dir.File("cam0.avi"));
    EXPECT_EQ(video.frames, frames);
    EXPECT_EQ(cv::Size(video.width, video.height), kSizeRuns[0] / 2);
}

TEST(FaultSources, AStreamOfConcatenatedSegmentsOfOtherSizes) {
    testkit::TempDir dir;
    // A raw motion-JPEG stream: the segments simply follow each other, each at its own size.
    std::string stream;
    for (int i = 0; i < static_cast<int>(kSizeRuns.size()) * 10; ++i) {
        std::vector<uchar> jpeg;
        ASSERT_TRUE(cv::imencode(".jpg", Blink(i, kSizeRuns[i / 10]), jpeg));
        stream.append(jpeg.begin(), jpeg.end());
    }
    testkit::WriteTextFile(dir.File("segments.mjpeg"), stream);
    e2e::WriteConfig(dir, {{"SOURCE0", "segments.mjpeg"}});
    testkit::Program program(dir.path());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 1));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(1, 1));

    // How far the library's reader gets past a change of size is its own affair; whatever
    // was served was kept whole.
    const std::vector<int> numbers = RecordNumbers(dir.File("cam0.log"));
    EXPECT_GE(numbers.size(), 10u);
    EXPECT_EQ(numbers, Range(0, static_cast<int>(numbers.size())));
    ExpectVideoMatchesLog(dir.File("cam0.avi"), dir.File("cam0.log"));
    EXPECT_EQ(e2e::Snapshots(dir, "cam0n").size(), numbers.size());
}

TEST(FaultSources, SourcesThatCannotBeOpenedLeaveOnlyTheirSlotsEmpty) {
    testkit::TempDir dir;
    constexpr int kFrames = 40;
    ASSERT_TRUE(WriteBlinking(dir.File("src.avi"), kFrames));
    testkit::WriteTextFile(dir.File("text.avi"), "this is not a video\n");
    testkit::WriteTextFile(dir.File("empty.avi"), "");
    mkdir(dir.File("folder.avi").c_str(), 0755);
    const std::string clean = testkit::ReadFile(dir.File("src.avi"));
    testkit::WriteTextFile(dir.File("headless.avi"), clean.substr(clean.size() / 3));
    // The two good ones come first: only slots below the found count are served.
    e2e::WriteConfig(dir, {{"ALLCAM", "7"},
                           {"SOURCE0", "src.avi"},
                           {"SOURCE1", "src.avi"},
                           {"SOURCE2", "missing.avi"},
                           {"SOURCE3", "text.avi"},
                           {"SOURCE4", "empty.avi"},
                           {"SOURCE5", "folder.avi"},
                           {"SOURCE6", "headless.avi"}});
    testkit::Program program(dir.path());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 2));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(7, 2));
    for (int i = 0; i < 2; ++i) ExpectWholeLog(dir.File(Cam(i, ".log")), kFrames);
    for (int i = 2; i < 7; ++i) EXPECT_FALSE(testkit::FileExists(dir.File(Cam(i, ".log")))) << i;
}

TEST(FaultSources, TenSourcesOfWhichSomeEndEarly) {
    testkit::TempDir dir;
    constexpr int kShort = 6, kLong = 120;
    ASSERT_TRUE(WriteBlinking(dir.File("short.avi"), kShort));
    ASSERT_TRUE(WriteBlinking(dir.File("long.avi"), kLong));
    std::map<std::string, std::string> config{{"ALLCAM", "10"}};
    for (int i = 0; i < 10; ++i) {
        config["SOURCE" + std::to_string(i)] = i % 3 == 0 ? "short.avi" : "long.avi";
    }
    e2e::WriteConfig(dir, config);
    testkit::Program program(dir.path());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 10));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(10, 10));
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("camera " + std::to_string(i));
        ExpectWholeLog(dir.File(Cam(i, ".log")), i % 3 == 0 ? kShort : kLong);
        ExpectVideoMatchesLog(dir.File(Cam(i, ".avi")), dir.File(Cam(i, ".log")));
    }
}

}  // namespace
