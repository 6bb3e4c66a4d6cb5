#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "pixels/pixels.h"

// The video's frames must stay the library's to the bit: every width class (output rows that
// end inside a 16-byte run, rows shorter than one), tiny and odd sizes, gray and colour, and
// pictures that round on ties and saturate at both ends.
TEST(HalveBicubic, SameBitsAsTheLibrary) {
    cv::RNG rng(14);
    const cv::Size sizes[] = {{768, 576}, {1280, 720}, {2, 2},   {4, 2},  {10, 6}, {22, 14},
                              {34, 18},   {6, 40},     {100, 2}, {17, 9}, {126, 8}};
    for (const cv::Size size : sizes) {
        for (const int type : {CV_8UC3, CV_8UC1}) {
            for (int picture = 0; picture < 3; ++picture) {
                cv::Mat image(size, type);
                if (picture == 0) rng.fill(image, cv::RNG::UNIFORM, 0, 256);
                if (picture == 1) rng.fill(image, cv::RNG::UNIFORM, 0, 2), image *= 255;
                if (picture == 2) rng.fill(image, cv::RNG::UNIFORM, 120, 136);
                cv::Mat expected(size.height / 2, size.width / 2, type), got(expected.size(), type);
                cv::resize(image, expected, expected.size(), 0, 0, cv::INTER_CUBIC);
                HalveBicubic(image, got);
                EXPECT_EQ(cv::norm(expected, got, cv::NORM_INF), 0)
                    << size << " type " << type << " picture " << picture;
            }
        }
    }
    // Exact halves (one sum in 1024) round differently in the library's float and integer
    // parts of a row: many short rows, so that both parts meet some.
    for (int trial = 0; trial < 300; ++trial) {
        cv::Mat image(8, trial % 2 ? 30 : 18, trial % 2 ? CV_8UC1 : CV_8UC3);
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        cv::Mat expected(4, image.cols / 2, image.type()), got(expected.size(), image.type());
        cv::resize(image, expected, expected.size(), 0, 0, cv::INTER_CUBIC);
        HalveBicubic(image, got);
        ASSERT_EQ(cv::norm(expected, got, cv::NORM_INF), 0) << "trial " << trial;
    }
    // A region of a larger picture: rows that do not follow each other in memory.
    cv::Mat big(100, 200, CV_8UC3);
    rng.fill(big, cv::RNG::UNIFORM, 0, 256);
    const cv::Mat part = big(cv::Rect(3, 5, 64, 48));
    cv::Mat expected(24, 32, CV_8UC3), got(24, 32, CV_8UC3);
    cv::resize(part, expected, expected.size(), 0, 0, cv::INTER_CUBIC);
    HalveBicubic(part, got);
    EXPECT_EQ(cv::norm(expected, got, cv::NORM_INF), 0);
}
