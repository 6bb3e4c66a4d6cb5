// Per-frame cost of the video's frames at the video sizes of 768x576 and 1280x720 cameras:
//   BM_ToYuv/scaler  the scaler's BGR to YUVJ420P, as OpenCV's writer converts
//   BM_ToYuv/own     BgrToYuvj420, the same bytes
//   BM_Halve         the bicubic halving that comes before it
// The picture: textured, noisy colour.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "recording/recording.h"
#include "pixels/pixels.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

const cv::Size kVideoSizes[] = {{384, 288}, {640, 360}};

cv::Mat Picture(cv::Size size) {
    cv::Mat picture(size, CV_8UC3), noise(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            picture.at<cv::Vec3b>(y, x) =
                cv::Vec3b((x * 7 + y) % 256, (x ^ y) % 256, (x * y / 64) % 256);
        }
    }
    cv::randn(noise, 0, 12);
    cv::add(picture, noise, picture);
    return picture;
}

struct Planes {
    explicit Planes(cv::Size s)
        : y(s, CV_8U),
          u((s.height + 1) / 2, (s.width + 1) / 2, CV_8U),
          v((s.height + 1) / 2, (s.width + 1) / 2, CV_8U) {}
    cv::Mat y, u, v;
    uint8_t* data[3] = {y.data, u.data, v.data};
    int strides[3] = {static_cast<int>(y.step[0]), static_cast<int>(u.step[0]),
                      static_cast<int>(v.step[0])};
};

void BM_ToYuv(benchmark::State& state) {
    const cv::Size size = kVideoSizes[state.range(0)];
    const bool own = state.range(1) != 0;
    const cv::Mat picture = Picture(size);
    Planes planes(size);
    SwsContext* scaler =
        sws_getContext(size.width, size.height, AV_PIX_FMT_BGR24, size.width, size.height,
                       AV_PIX_FMT_YUVJ420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    const uint8_t* source[4] = {picture.data, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {static_cast<int>(picture.step[0]), 0, 0, 0};
    for (auto _ : state) {
        if (own) {
            BgrToYuvj420(picture.data, picture.step[0], size.width, size.height, planes.data,
                         planes.strides);
        } else {
            sws_scale(scaler, source, sourceStride, 0, size.height, planes.data, planes.strides);
        }
        benchmark::DoNotOptimize(planes.y.data);
    }
    sws_freeContext(scaler);
    state.SetLabel(std::to_string(size.width) + "x" + std::to_string(size.height) +
                   (own ? " own" : " scaler"));
}

void BM_Halve(benchmark::State& state) {
    const cv::Size size = kVideoSizes[state.range(0)];
    const cv::Mat frame = Picture(size * 2);
    cv::Mat half(size, CV_8UC3);
    for (auto _ : state) {
        HalveBicubic(frame, half);
        benchmark::DoNotOptimize(half.data);
    }
    state.SetLabel(std::to_string(size.width) + "x" + std::to_string(size.height));
}

BENCHMARK(BM_ToYuv)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Halve)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
