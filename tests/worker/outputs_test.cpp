#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "recording/avi.h"
#include "recording/recording.h"
#include "tests/testkit/process.h"

namespace {

using namespace recording;

TEST(SnapshotNumbers, LowestFreeNumberAmongLookalikeNames) {
    testkit::TempDir dir;
    const std::string base = dir.path() + "/cam0n";
    for (const char* name : {"cam0n1.jpg", "cam0n3.jpg", "cam0n02.jpg", "cam0n2.jpg.bak",
                             "cam0n2.png", "xcam0n2.jpg", "cam1n2.jpg", "cam0n4x.jpg"}) {
        testkit::WriteTextFile(dir.File(name), "x");
    }
    EXPECT_EQ(base + "2.jpg", NextSnapshotName(base)) << "only exact cam0n<N>.jpg names count";
    testkit::WriteTextFile(base + "2.jpg", "x");
    EXPECT_EQ(base + "4.jpg", NextSnapshotName(base));

    mkdir((base + "4.jpg").c_str(), 0700);  // anything under that name is taken
    EXPECT_EQ(base + "5.jpg", NextSnapshotName(base));
    remove((base + "1.jpg").c_str());
    EXPECT_EQ(base + "1.jpg", NextSnapshotName(base)) << "freed numbers are reused";
}

TEST(SnapshotNumbers, PrefixWithoutSeparatorAndUnreadableFolders) {
    testkit::TempDir dir;
    const std::string glued = dir.path() + "/shots";  // no trailing separator: glued on
    testkit::WriteTextFile(glued + "cam2n1.jpg", "x");
    EXPECT_EQ(glued + "cam2n2.jpg", NextSnapshotName(glued + "cam2n"));

    const std::string missing = dir.path() + "/missing/cam0n";
    EXPECT_EQ(missing + "1.jpg", NextSnapshotName(missing));
}

TEST(SnapshotNumbers, EveryNumberTakenOverwritesTheLast) {
    testkit::TempDir dir;
    const std::string base = dir.path() + "/cam0n";
    // Made without allocating: under AddressSanitizer every allocation unwinds its stack.
    char name[4096];
    for (int n = 1; n <= kLastSnapshotNumber; ++n) {
        snprintf(name, sizeof name, "%s%d.jpg", base.c_str(), n);
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    EXPECT_EQ(base + "99999.jpg", NextSnapshotName(base));
    remove((base + "77777.jpg").c_str());
    EXPECT_EQ(base + "77777.jpg", NextSnapshotName(base));
}

// The namer keeps its numbers true through what others do to the folder between snapshots.
TEST(SnapshotNumbers, TheWatchedNamerAgreesWithAFreshSearch) {
    testkit::TempDir dir;
    const std::string base = dir.path() + "/cam0n";
    SnapshotNamer namer(base);
    auto take = [&](const std::string& name) { testkit::WriteTextFile(name, "x"); };
    for (int n : {1, 2, 3, 5}) take(base + std::to_string(n) + ".jpg");
    EXPECT_EQ(namer.Next(), base + "4.jpg");
    take(base + "4.jpg");
    EXPECT_EQ(namer.Next(), base + "6.jpg");
    remove((base + "2.jpg").c_str());  // deleted by someone else
    EXPECT_EQ(namer.Next(), base + "2.jpg");
    take(base + "2.jpg");
    rename((base + "3.jpg").c_str(), dir.File("elsewhere.jpg").c_str());
    rename(dir.File("elsewhere.jpg").c_str(), (base + "6.jpg").c_str());
    EXPECT_EQ(namer.Next(), base + "3.jpg");
    take(base + "3.jpg");
    take(base + "7.jpg");  // made by someone else after the last snapshot
    EXPECT_EQ(namer.Next(), base + "8.jpg");
    EXPECT_EQ(namer.Next(), NextSnapshotName(base));
    SnapshotNamer missing(dir.path() + "/none/cam0n");  // no folder: no watch, still right
    EXPECT_EQ(missing.Next(), dir.path() + "/none/cam0n1.jpg");
}

TEST(SnapshotNumbers, NamesOverTheLimitAreRefused) {
    const std::string base = "/tmp/" + std::string(base::kMaxText - 5 - 5, 'a');  // "1.jpg" fits
    EXPECT_EQ(base + "1.jpg", NextSnapshotName(base));
    EXPECT_EQ("", NextSnapshotName(base + "b"));
    EXPECT_EQ("", ComposeFileName(std::string(200, 'p'), std::string(56, 'n')));
    EXPECT_EQ(std::string(255, 'p'), ComposeFileName(std::string(200, 'p'), std::string(55, 'p')));
}

// The snapshot writer against the library's, on noise, flat colour, odd sizes and a view
// into a larger image; and its failures: a folder that does not exist, a named pipe that
// nothing reads (refused at once, not waited on), and images it does not take.
TEST(Snapshots, SameBytesAsTheLibraryAndNoStallOnAPipe) {
    testkit::TempDir dir;
    cv::Mat big(301, 419, CV_8UC3);
    cv::randu(big, 0, 256);
    cv::GaussianBlur(big(cv::Rect(0, 0, 200, 301)), big(cv::Rect(0, 0, 200, 301)), {9, 9}, 3);
    const std::vector<cv::Mat> images = {
        big, big(cv::Rect(7, 5, 333, 211)), cv::Mat(1, 1, CV_8UC3, cv::Scalar(10, 200, 30)),
        cv::Mat(17, 3, CV_8UC3, cv::Scalar(255, 255, 255)), big(cv::Rect(0, 0, 64, 48)).clone()};
    for (size_t i = 0; i < images.size(); ++i) {
        const std::string ours = dir.File("ours" + std::to_string(i) + ".jpg");
        const std::string theirs = dir.File("theirs" + std::to_string(i) + ".jpg");
        ASSERT_TRUE(SaveSnapshot(ours, images[i])) << i;
        ASSERT_TRUE(cv::imwrite(theirs, images[i])) << i;
        const std::string a = testkit::ReadFile(ours), b = testkit::ReadFile(theirs);
        EXPECT_GT(a.size(), 100u) << i;
        EXPECT_TRUE(a == b) << "image " << i << ": " << a.size() << " vs " << b.size() << " bytes";
        // In memory at another quality (the browser's pictures), as cv::imencode makes them.
        std::vector<uchar> mine, library;
        ASSERT_TRUE(EncodeJpeg(images[i], 80, mine)) << i;
        ASSERT_TRUE(cv::imencode(".jpg", images[i], library, {cv::IMWRITE_JPEG_QUALITY, 80})) << i;
        EXPECT_TRUE(mine == library) << "image " << i << " at quality 80";
    }
    EXPECT_FALSE(SaveSnapshot(dir.File("none/cam0n1.jpg"), big));
    const std::string pipe = dir.File("pipe.jpg");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_FALSE(SaveSnapshot(pipe, big));
    EXPECT_FALSE(WriteJpeg(dir.File("gray.jpg"), cv::Mat(8, 8, CV_8UC1, cv::Scalar(0))));
    std::vector<uchar> bytes;
    EXPECT_FALSE(EncodeJpeg(cv::Mat(8, 8, CV_8UC1, cv::Scalar(0)), 80, bytes));
}

// The video as OpenCV's writer makes it, to the byte: noise (the encoder's rate control at
// work), flat colour and saturated edges over more than one gop, at an even size and at an odd
// one (cut to even); a video that gets no frame; and a folder that does not exist.
TEST(Video, SameFileAsTheLibrary) {
    testkit::TempDir dir;
    const int mjpg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    for (const cv::Size size : {cv::Size(384, 288), cv::Size(81, 61)}) {
        for (const int frames : {0, 27}) {
            const std::string name = std::to_string(size.width) + "-" + std::to_string(frames);
            const std::string ours = dir.File("ours" + name + ".avi");
            const std::string theirs = dir.File("theirs" + name + ".avi");
            {
                cv::VideoWriter library(theirs, cv::CAP_FFMPEG, mjpg, kVideoFps, size, true);
                MjpegAvi own;
                ASSERT_TRUE(library.isOpened() && own.Open(ours, kVideoFps, size)) << name;
                cv::Mat frame(size, CV_8UC3);
                for (int i = 0; i < frames; ++i) {
                    if (i % 9 < 5) {
                        cv::randu(frame, 0, 256);
                    } else {
                        frame.setTo(cv::Scalar(i * 20 % 256, 255 - i, 40));
                        cv::rectangle(frame, {i, i / 2, size.width / 3, size.height / 2},
                                      cv::Scalar(0, 0, 255), cv::FILLED);
                    }
                    library.write(frame);
                    ASSERT_TRUE(own.Write(frame)) << name << " frame " << i;
                }
            }
            const std::string a = testkit::ReadFile(ours), b = testkit::ReadFile(theirs);
            EXPECT_GT(a.size(), 1000u) << name;
            EXPECT_TRUE(a == b) << name << ": " << a.size() << " vs " << b.size() << " bytes";
        }
    }
    MjpegAvi own;
    EXPECT_FALSE(own.Open(dir.File("none/cam0.avi"), kVideoFps, {80, 60}));
    EXPECT_FALSE(own.IsOpen());
    EXPECT_FALSE(own.Write(cv::Mat(60, 80, CV_8UC3)));
}

}  // namespace
