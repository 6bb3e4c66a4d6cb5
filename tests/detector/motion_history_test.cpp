// The detector's motion history code against OpenCV's motion templates: the same bytes and the
// same orientations, on whole images and on views into them.
#include "detector/motion_history.h"

#include <gtest/gtest.h>

#include <cstring>
#include <opencv2/optflow/motempl.hpp>
#include <random>
#include <vector>

namespace {

bool SameBytes(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0) return false;
    }
    return true;
}

TEST(MotionHistory, UpdateGradientAndOrientationAreOpenCVsToTheBit) {
    std::mt19937 rng(7);
    auto in = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const cv::Size full(83, 61);
    // The whole image, a band of whole rows, and views whose widths leave odd tails.
    const cv::Rect areas[] = {
        {0, 0, 83, 61}, {0, 9, 83, 17}, {3, 5, 37, 40}, {1, 2, 13, 9}, {70, 30, 7, 20}};
    const double deltas[][2] = {{0.5, 0.05}, {0.05, 0.5}, {0.02, 0.3}};
    int validPixels = 0;
    for (const cv::Rect& area : areas) {
        cv::Mat ours(full, CV_32F, cv::Scalar(0)), theirs;
        double t = 10.0 + in(0, 1000) / 7.0;
        for (int step = 0; step < 40; ++step) {
            // Boxes that drift, specks, now and then a silhouette of 255s or a repeated stamp.
            cv::Mat silhouette(full, CV_8U, cv::Scalar(0));
            for (int k = 0; k < 3; ++k) {
                const cv::Rect box(in(0, 60) + step, in(0, 40) + step / 2, in(4, 30), in(4, 20));
                silhouette(box & cv::Rect({}, full)).setTo(step % 5 == 0 ? 255 : 1);
            }
            for (int k = 0; k < 30; ++k) silhouette.at<uchar>(in(0, 60), in(0, 82)) = 1;
            t += step % 7 == 0 ? 0.0 : 0.033 * in(1, 12);
            theirs = ours.clone();
            cv::Mat ourView = ours(area), theirView = theirs(area);
            detector::UpdateMotionHistory(silhouette(area), ourView, t, 1.0);
            cv::motempl::updateMotionHistory(silhouette(area), theirView, t, 1.0);
            ASSERT_TRUE(SameBytes(ours, theirs)) << area << " step " << step;

            if (step % 4 != 3) continue;
            const int aperture = 3 + 2 * (step / 4 % 3);
            const double* d = deltas[step / 4 % 3];
            // Into views of larger images, as the detector keeps them, and into new images.
            cv::Mat maskImage(full, CV_8U, cv::Scalar(9)), angleImage(full, CV_32F, cv::Scalar(9));
            cv::Mat ourMask = maskImage(area), ourAngle = angleImage(area), theirMask, theirAngle;
            detector::CalcMotionGradient(ourView, ourMask, ourAngle, d[0], d[1], aperture);
            cv::motempl::calcMotionGradient(theirView, theirMask, theirAngle, d[0], d[1], aperture);
            ASSERT_TRUE(SameBytes(ourMask, theirMask)) << area << " aperture " << aperture;
            ASSERT_TRUE(SameBytes(ourAngle, theirAngle)) << area << " aperture " << aperture;
            validPixels += cv::countNonZero(theirMask);

            for (int k = 0; k < 4; ++k) {
                const cv::Rect r = k == 0 ? cv::Rect({}, area.size())
                                          : cv::Rect(in(0, area.width - 1), in(0, area.height - 1),
                                                     in(1, 40), in(1, 30)) &
                                                cv::Rect({}, area.size());
                const double a =
                    detector::CalcGlobalOrientation(ourAngle(r), ourMask(r), ourView(r), t, 1.0);
                const double b = cv::motempl::calcGlobalOrientation(theirAngle(r), theirMask(r),
                                                                    theirView(r), t, 1.0);
                EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << a << " " << b << " in " << r;
                // The same from the valid pixels alone, as the detector keeps them.
                std::vector<detector::OrientationSample> samples;
                for (int y = r.y; y < r.y + r.height; ++y) {
                    for (int x = r.x; x < r.x + r.width; ++x) {
                        if (ourMask.at<uchar>(y, x) == 0) continue;
                        samples.push_back({ourAngle.at<float>(y, x), ourView.at<float>(y, x)});
                    }
                }
                const double c = detector::GlobalOrientationOf(samples, 1.0);
                EXPECT_EQ(std::memcmp(&c, &b, sizeof c), 0) << c << " " << b << " in " << r;
            }
        }
    }
    EXPECT_GT(validPixels, 1000);  // the orientations were not all masked off

    cv::Mat history(5, 5, CV_32F, cv::Scalar(0)), mask, angle;
    EXPECT_THROW(detector::CalcMotionGradient(history, mask, angle, 0.5, 0.05, 4), cv::Exception);
    EXPECT_THROW(detector::CalcMotionGradient(history, mask, angle, 0.0, 0.05, 3), cv::Exception);
    EXPECT_THROW(detector::UpdateMotionHistory(cv::Mat(4, 5, CV_8U), history, 1.0, 1.0),
                 cv::Exception);
}

}  // namespace
