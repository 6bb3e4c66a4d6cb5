#include "pixels/pixels.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

bool HasVectorCode() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// Y, U and V with rows longer than the planes and a spare row, as a writer's frame has.
struct Planes {
    explicit Planes(cv::Size size)
        : y(size.height + 1, (size.width + 63) & ~63, CV_8UC1, cv::Scalar(7)),
          u(size.height / 2 + 1, ((size.width + 1) / 2 + 63) & ~63, CV_8UC1, cv::Scalar(7)),
          v(u.size(), CV_8UC1, cv::Scalar(7)),
          planes{y.data, u.data, v.data, nullptr},
          strides{static_cast<int>(y.step), static_cast<int>(u.step), static_cast<int>(v.step), 0},
          size(size) {}
    // Bytes that differ from other's, plane by plane, within the planes.
    std::string Differences(const Planes& other) const {
        const cv::Rect luma(0, 0, size.width, size.height);
        const cv::Rect chroma(0, 0, size.width / 2, size.height / 2);
        return "Y " + std::to_string(cv::countNonZero(y(luma) != other.y(luma))) + " U " +
               std::to_string(cv::countNonZero(u(chroma) != other.u(chroma))) + " V " +
               std::to_string(cv::countNonZero(v(chroma) != other.v(chroma)));
    }
    cv::Mat y, u, v;
    uint8_t* planes[4];  // the scaler takes four
    int strides[4];
    cv::Size size;
};

// The scaler made as the video writer makes it.
Planes FromScaler(const cv::Mat& bgr) {
    Planes out(bgr.size());
    SwsContext* scaler =
        sws_getContext(bgr.cols, bgr.rows, AV_PIX_FMT_BGR24, bgr.cols, bgr.rows,
                       AV_PIX_FMT_YUVJ420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    const uint8_t* source[4] = {bgr.data};
    const int sourceStride[4] = {static_cast<int>(bgr.step)};
    sws_scale(scaler, source, sourceStride, 0, bgr.rows, out.planes, out.strides);
    sws_freeContext(scaler);
    return out;
}

Planes Ours(const cv::Mat& bgr) {
    Planes out(bgr.size());
    EXPECT_TRUE(BgrToYuvj420(bgr.data, bgr.step, bgr.cols, bgr.rows, out.planes, out.strides));
    return out;
}

// Noise, channels at 0 or 255, flat 8x8 colours, stripes and checks of extremes; the top of a
// taller picture, so that the scaler's vector loads past the last row stay in it.
cv::Mat Picture(cv::Size size, int kind, cv::RNG& rng) {
    cv::Mat whole(size.height + 1, size.width, CV_8UC3);
    cv::Mat bgr = whole(cv::Rect(0, 0, size.width, size.height));
    if (kind == 0) rng.fill(whole, cv::RNG::UNIFORM, 0, 256);
    if (kind == 1) rng.fill(whole, cv::RNG::UNIFORM, 0, 2), whole *= 255;
    if (kind == 2) {
        cv::Mat blocks((size.height + 7) / 8, (size.width + 7) / 8, CV_8UC3);
        rng.fill(blocks, cv::RNG::UNIFORM, 0, 256);
        cv::resize(blocks, whole, whole.size(), 0, 0, cv::INTER_NEAREST);
    }
    if (kind == 3) {
        for (int y = 0; y < whole.rows; ++y)
            for (int x = 0; x < whole.cols; ++x)
                whole.at<cv::Vec3b>(y, x) = (x / 3 + (y / 5) * ((y / 10) % 2)) % 2
                                                ? cv::Vec3b(255, 255, 255)
                                            : (y / 7) % 2 ? cv::Vec3b(0, 0, 255)
                                                          : cv::Vec3b(0, 0, 0);
    }
    return bgr;
}

}  // namespace

// The writer's frames must stay the scaler's to the bit: camera half sizes, tiny frames (the
// chroma filter's taps shrink below 10 rows), widths off the vector code's 32-pixel runs, and
// pictures that round at every step and saturate at both ends.
TEST(BgrToYuvj420, SameBytesAsTheScaler) {
    if (!HasVectorCode()) GTEST_SKIP() << "no AVX2: the writer keeps the scaler";
    cv::RNG rng(420);
    const cv::Size sizes[] = {{384, 288}, {640, 360}, {320, 240}, {80, 60},  {48, 36},
                              {2, 2},     {4, 2},     {2, 4},     {10, 6},   {6, 8},
                              {34, 18},   {100, 10},  {22, 40},   {354, 146}};
    for (const cv::Size size : sizes) {
        for (int kind = 0; kind < 4; ++kind) {
            const cv::Mat bgr = Picture(size, kind, rng);
            EXPECT_EQ(Ours(bgr).Differences(FromScaler(bgr)), "Y 0 U 0 V 0")
                << size << " picture " << kind;
        }
    }
}

TEST(BgrToYuvj420, RegionsOddSizesAndTheProbe) {
    if (!HasVectorCode()) GTEST_SKIP() << "no AVX2: the writer keeps the scaler";
    cv::RNG rng(7);
    // A region of a larger picture: rows that do not follow each other in memory.
    cv::Mat large(300, 420, CV_8UC3);
    rng.fill(large, cv::RNG::UNIFORM, 0, 256);
    const cv::Mat region = large(cv::Rect(13, 5, 386, 290));
    EXPECT_EQ(Ours(region).Differences(FromScaler(region)), "Y 0 U 0 V 0");

    // Odd sizes are left to the scaler, with nothing written.
    for (const cv::Size odd : {cv::Size(33, 20), cv::Size(32, 21), cv::Size(1, 1)}) {
        const cv::Mat bgr = Picture(odd, 0, rng);
        Planes out(odd);
        EXPECT_FALSE(
            BgrToYuvj420(bgr.data, bgr.step, odd.width, odd.height, out.planes, out.strides));
        EXPECT_EQ(cv::countNonZero(out.y != 7) + cv::countNonZero(out.u != 7) +
                      cv::countNonZero(out.v != 7),
                  0)
            << odd;
        EXPECT_FALSE(Yuvj420MatchesScaler(odd.width, odd.height)) << odd;
    }
    EXPECT_TRUE(Yuvj420MatchesScaler(384, 288));
    EXPECT_TRUE(Yuvj420MatchesScaler(48, 36));
}
