// Pixel kernels of the recording path, each giving the same bytes as the library call it stands
// in for, at a fraction of its cost (README.md: the rule they all follow).
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core/mat.hpp>

// cv::resize(image, half, half.size(), 0, 0, cv::INTER_CUBIC), bit for bit; several times
// faster when half is exactly half of an 8-bit image (the video's frames).
void HalveBicubic(const cv::Mat& image, cv::Mat& half);

// The video writer's colour conversion: 8-bit BGR frames into YUVJ420P planes with the bytes
// the scaler gives for it (same size in and out, bicubic, default colour details).

// bgr (8-bit BGR, width x height, bgrStride bytes a row) into Y, U, V planes of YUVJ420P as
// the scaler converts it for OpenCV's video writer, bit for bit. False (nothing written)
// for sizes it does not take (odd widths or heights) and on processors without AVX2; the
// caller then uses the scaler. The chroma planes are width / 2 x height / 2.
bool BgrToYuvj420(const uint8_t* bgr, size_t bgrStride, int width, int height,
                  uint8_t* const planes[3], const int strides[3]);

// Whether BgrToYuvj420 gives the scaler's bytes for frames of this size on this machine:
// checked once per size and process against a real scaler on probe pictures (noise,
// extremes, flat areas, edges, colours right on a rounding step); false when they differ, when
// BgrToYuvj420 does not take the size or the scaler cannot be made.
bool Yuvj420MatchesScaler(int width, int height);
