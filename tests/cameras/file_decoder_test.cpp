#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <thread>
#include <vector>

#include "cameras/files.h"
#include "cameras/stream.h"
#include "cameras/yuv_gray.h"
#include "tests/testkit/process.h"
#include "tests/testkit/video.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

// Every frame the program's decoder gives must be the frame OpenCV's capture gives, to the
// byte and in the same number, or counts, snapshots and videos would change.
void ExpectSameFramesAsTheCapture(const std::string& path) {
    SCOPED_TRACE(path);
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    ASSERT_TRUE(capture.isOpened());
    std::unique_ptr<cameras::FrameSource> own = cameras::OpenFileDecoder(path, 12.5);
    ASSERT_TRUE(own);
    EXPECT_FALSE(own->Reconnects());
    EXPECT_EQ(own->Fps(), 12.5);
    EXPECT_EQ(cameras::OpenFileDecoder(path)->Fps(),
              cameras::UsableFps(capture.get(cv::CAP_PROP_FPS)));
    cv::Mat expected, got;
    int frames = 0;
    while (capture.read(expected)) {
        ASSERT_EQ(own->Read(got), cameras::ReadStatus::Frame) << "frame " << frames;
        ASSERT_EQ(got.size(), expected.size()) << "frame " << frames;
        ASSERT_EQ(got.type(), CV_8UC3);
        ASSERT_EQ(cv::norm(got, expected, cv::NORM_INF), 0) << "frame " << frames;
        ++frames;
    }
    EXPECT_EQ(own->Read(got), cameras::ReadStatus::End) << "after " << frames << " frames";
    EXPECT_GT(frames, 10);

    // Deferred: the gray picture in two bands split at an odd row, without the colour, and
    // the colour of every third frame only, after its gray.
    cv::VideoCapture again(path, cv::CAP_FFMPEG);
    std::unique_ptr<cameras::FrameSource> deferred = cameras::OpenFileDecoder(path, 12.5);
    ASSERT_TRUE(deferred && deferred->Defers());
    cv::Mat expectedGray, gray;
    for (int i = 0; again.read(expected); ++i) {
        ASSERT_EQ(deferred->ReadDeferred(), cameras::ReadStatus::Frame) << "frame " << i;
        ASSERT_EQ(deferred->Size(), expected.size());
        cv::cvtColor(expected, expectedGray, cv::COLOR_BGR2GRAY);
        gray.create(expected.size(), CV_8U);
        const int split = expected.rows / 2 | 1;
        cv::Mat top = gray.rowRange(0, split), bottom = gray.rowRange(split, gray.rows);
        deferred->Gray(0, split, top);
        deferred->Gray(split, gray.rows, bottom);
        ASSERT_EQ(cv::norm(gray, expectedGray, cv::NORM_INF), 0) << "frame " << i;
        if (i % 3 == 0) {
            ASSERT_TRUE(deferred->Colour(got));
            ASSERT_EQ(cv::norm(got, expected, cv::NORM_INF), 0) << "frame " << i;
        }
    }
    EXPECT_EQ(deferred->ReadDeferred(), cameras::ReadStatus::End);
}

bool Ffmpeg(const std::string& args) {
    return std::system(("ffmpeg -loglevel error -y " + args).c_str()) == 0;
}

}  // namespace

TEST(FileDecoder, FramesAsOpenCvGivesThem) {
    testkit::TempDir dir;
    // H.264 at a width whose BGR rows are not 32-byte aligned, and a textured, noisy picture.
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc2=s=202x120:r=25:d=2 -vf noise=alls=20:allf=t "
               "-c:v libx264 -pix_fmt yuv420p -threads 1 " +
               dir.File("h264.mp4")));
    ExpectSameFramesAsTheCapture(dir.File("h264.mp4"));
    // A width the gray picture is taken from the planes for.
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc2=s=256x144:r=25:d=2 -vf noise=alls=30:allf=t "
               "-c:v libx264 -pix_fmt yuv420p -threads 1 " +
               dir.File("h264-256.mp4")));
    ExpectSameFramesAsTheCapture(dir.File("h264-256.mp4"));
    // MJPEG (full-range chroma), damaged in the middle of its frames.
    ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=3 -c:v mjpeg -q:v 3 " +
                       dir.File("mjpeg.avi")));
    std::string bytes = testkit::ReadFile(dir.File("mjpeg.avi"));
    std::mt19937 noise(6);
    for (size_t at = bytes.size() / 2; at < bytes.size() / 2 + 3000; ++at) {
        bytes[at] = static_cast<char>(noise());
    }
    testkit::WriteTextFile(dir.File("damaged.avi"), bytes);
    ExpectSameFramesAsTheCapture(dir.File("damaged.avi"));
    // The lossless video of the end-to-end tests.
    ASSERT_TRUE(testkit::WriteVideo(dir.File("ffv1.avi"), 20, {96, 72}, [](int i) {
        return testkit::MovingBoxScene({96, 72}, i, 2, 15);
    }));
    ExpectSameFramesAsTheCapture(dir.File("ffv1.avi"));
    // Variable frame rate: the container's average rate (17.6) is not its base rate (25).
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=4 -fps_mode passthrough "
               "-vf \"setpts='if(lt(N,50),N,50+(N-50)*3)/25/TB'\" -c:v libx264 " +
               dir.File("vfr.mp4")));
    ExpectSameFramesAsTheCapture(dir.File("vfr.mp4"));

    // Settings only OpenCV's capture follows leave files to it.
    EXPECT_TRUE(cameras::PrepareFfmpegLikeCapture());
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 1);  // what the program sets beside streams
    EXPECT_TRUE(cameras::PrepareFfmpegLikeCapture());
    setenv("OPENCV_FFMPEG_LOGLEVEL", "32", 1);
    EXPECT_FALSE(cameras::PrepareFfmpegLikeCapture());
    unsetenv("OPENCV_FFMPEG_LOGLEVEL");
    setenv("OPENCV_VIDEOIO_PRIORITY_FFMPEG", "0", 1);
    EXPECT_FALSE(cameras::PrepareFfmpegLikeCapture());
    unsetenv("OPENCV_VIDEOIO_PRIORITY_FFMPEG");

    // Not regular files: left to OpenCV's capture.
    EXPECT_FALSE(cameras::OpenFileDecoder(dir.path(), 25.0));
    EXPECT_FALSE(cameras::OpenFileDecoder(dir.File("none.mp4"), 25.0));
    testkit::WriteTextFile(dir.File("text.mp4"), "not a video");
    EXPECT_FALSE(cameras::OpenFileDecoder(dir.File("text.mp4"), 25.0));
}

// The gray picture comes from the planes only where it is proved: over every (Y, U, V), for
// limited and full range, against the scaler and cvtColor themselves.
TEST(FileDecoder, GrayFromThePlanesIsProvedHere) {
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}) {
        SwsContext* scaler = sws_getContext(768, 576, format, 768, 576, AV_PIX_FMT_BGR24,
                                            SWS_BICUBIC, nullptr, nullptr, nullptr);
        ASSERT_TRUE(scaler);
        cameras::YuvCoefficients k;
        EXPECT_TRUE(cameras::ProvedCoefficients(scaler, SWS_BICUBIC, format, k)) << format;
        sws_freeContext(scaler);
    }
    EXPECT_TRUE(cameras::PlanesGiveGray(768, 576, AV_PIX_FMT_YUV420P));
    EXPECT_FALSE(cameras::PlanesGiveGray(202, 120, AV_PIX_FMT_YUV420P));
    EXPECT_FALSE(cameras::PlanesGiveGray(256, 145, AV_PIX_FMT_YUV420P));
    EXPECT_FALSE(cameras::PlanesGiveGray(256, 144, AV_PIX_FMT_YUV422P));
}

namespace {

// A capture that reads nothing until interrupted.
class IdleCapture : public cameras::FrameSource {
  public:
    cameras::ReadStatus Read(cv::Mat&) override {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return interrupted_; });
        return cameras::ReadStatus::End;
    }
    void Interrupt() override {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
        wake_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
};

// A stop (the slot's interrupt) ends the reader, which drops its capture; the source's
// destructor stops it again and must not reach that capture (a crash at exit, seen as a
// use-after-free under AddressSanitizer).
TEST(StreamSource, DestroyedAfterItsReaderEndedOnAStop) {
    for (int round = 0; round < 20; ++round) {
        std::unique_ptr<cameras::FrameSource> source = cameras::MakeStreamSource(
            [](const std::atomic<bool>&) { return std::make_unique<IdleCapture>(); }, 1000,
            std::make_unique<IdleCapture>());
        ASSERT_TRUE(source);
        source->Interrupt();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (cameras::StreamThreadsRunning() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        source.reset();
    }
}

}  // namespace

// A stream's reader hands its pictures on undecoded to colour: each, converted later and on
// another thread, is the frame Read gives (colour and gray), even after the decoder has moved
// on by several pictures.
TEST(StreamSource, PicturesHandedOnAreTheFramesReadGives) {
    testkit::TempDir dir;
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc2=s=256x144:r=25:d=2 -vf noise=alls=30:allf=t "
               "-c:v libx264 -pix_fmt yuv420p -bf 2 " +
               dir.File("planes.mp4")));
    ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc2=s=202x120:r=25:d=1 -c:v libx264 -pix_fmt yuv420p " +
                       dir.File("odd.mp4")));
    ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=1 -c:v mjpeg -q:v 3 " +
                       dir.File("mjpeg.avi")));
    for (const char* name : {"planes.mp4", "odd.mp4", "mjpeg.avi"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<cameras::FrameSource> read =
            cameras::OpenStreamCapture(dir.File(name), 5000);
        std::unique_ptr<cameras::FrameSource> held =
            cameras::OpenStreamCapture(dir.File(name), 5000);
        ASSERT_TRUE(read && held);
        std::vector<std::unique_ptr<cameras::FrameSource>> pictures;
        std::vector<cv::Mat> expected;
        cv::Mat frame, none;
        for (std::unique_ptr<cameras::FrameSource> picture;
             held->ReadPicture(none, picture) == cameras::ReadStatus::Frame; picture.reset()) {
            ASSERT_TRUE(picture && none.empty());
            ASSERT_EQ(read->Read(frame), cameras::ReadStatus::Frame);
            expected.push_back(frame.clone());
            pictures.push_back(std::move(picture));
        }
        ASSERT_GT(pictures.size(), 20u);
        std::thread([&] {
            for (size_t i = 0; i < pictures.size(); ++i) {
                cameras::FrameSource& p = *pictures[i];
                ASSERT_EQ(p.Size(), expected[i].size());
                cv::Mat gray(expected[i].size(), CV_8U), colour, expectedGray;
                cv::Mat top = gray.rowRange(0, 7), rest = gray.rowRange(7, gray.rows);
                p.Gray(0, 7, top);
                p.Gray(7, gray.rows, rest);
                cv::cvtColor(expected[i], expectedGray, cv::COLOR_BGR2GRAY);
                ASSERT_EQ(cv::norm(gray, expectedGray, cv::NORM_INF), 0) << "frame " << i;
                ASSERT_TRUE(p.Colour(colour));
                ASSERT_EQ(cv::norm(colour, expected[i], cv::NORM_INF), 0) << "frame " << i;
            }
        }).join();
    }
}
