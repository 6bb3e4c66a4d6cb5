#include "cameras/yuv_gray.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#if defined(__SSE2__)
#include "cameras/yuv_gray_kernel.h"
#endif

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace cameras {

#if defined(CAMWATCH_AVX2_KERNEL)
// yuv_gray_avx2.cpp: whole 32-pixel steps; returns the first column left.
int GrayOfRowsAvx2(const uint8_t* const yRows[2], uint8_t* const outRows[2], int rows,
                   const uint8_t* u, const uint8_t* v, int width, const YuvCoefficients& k);
#endif

namespace {

// The scaler's rounding of a 16.16 value scaled up to its coefficient precision.
int16_t RoundToInt16(int64_t f) {
    const int64_t r = (f + (1 << 15)) >> 16;
    return static_cast<int16_t>(std::clamp<int64_t>(r, INT16_MIN, INT16_MAX));
}

int16_t MulHigh(int16_t a, int16_t b) {
    return static_cast<int16_t>((int32_t{a} * b) >> 16);
}

uint8_t GrayOfPixel(int Y, int U, int V, const YuvCoefficients& k) {
    const int y = MulHigh(static_cast<int16_t>(8 * Y - k.yOffset), k.yCoeff);
    const int16_t u = static_cast<int16_t>(8 * U - 1024), v = static_cast<int16_t>(8 * V - 1024);
    const int b = std::clamp(y + MulHigh(u, k.ub), 0, 255);
    const int g = std::clamp(y + MulHigh(u, k.ug) + MulHigh(v, k.vg), 0, 255);
    const int r = std::clamp(y + MulHigh(v, k.vr), 0, 255);
    return static_cast<uint8_t>((b * kB + g * kG + r * kR + (1 << (kLumaShift - 1))) >> kLumaShift);
}

// One chroma row's pixels for luma rows yRows[0..rows-1] (one or two).
void GrayOfRows(const uint8_t* const yRows[2], uint8_t* const outRows[2], int rows,
                const uint8_t* u, const uint8_t* v, int width, const YuvCoefficients& k) {
    int x = 0;
#if defined(__SSE2__)
#if defined(CAMWATCH_AVX2_KERNEL)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) x = GrayOfRowsAvx2(yRows, outRows, rows, u, v, width, k);
#endif
    x = sse2::GrayOfRows(yRows, outRows, rows, u, v, x, width, k);
#endif
    for (int r = 0; r < rows; ++r)
        for (int c = x; c < width; ++c)
            outRows[r][c] = GrayOfPixel(yRows[r][c], u[c / 2], v[c / 2], k);
}

YuvCoefficients CoefficientsOf(const int inv[4], int fullRange, int brightness, int contrast,
                               int saturation) {
    int64_t crv = inv[0], cbu = inv[1], cgu = -inv[2], cgv = -inv[3];
    int64_t cy = 1 << 16, oy = 0;
    if (!fullRange) {
        cy = cy * 255 / 219;
        oy = 16 << 16;
    } else {
        crv = crv * 224 / 255;
        cbu = cbu * 224 / 255;
        cgu = cgu * 224 / 255;
        cgv = cgv * 224 / 255;
    }
    cy = (cy * contrast) >> 16;
    crv = (crv * contrast * saturation) >> 32;
    cbu = (cbu * contrast * saturation) >> 32;
    cgu = (cgu * contrast * saturation) >> 32;
    cgv = (cgv * contrast * saturation) >> 32;
    oy -= 256LL * brightness;
    YuvCoefficients k;
    k.yCoeff = RoundToInt16(cy * (1 << 13));
    k.vr = RoundToInt16(crv * (1 << 13));
    k.ub = RoundToInt16(cbu * (1 << 13));
    k.vg = RoundToInt16(cgv * (1 << 13));
    k.ug = RoundToInt16(cgu * (1 << 13));
    k.yOffset = RoundToInt16(oy * (1 << 3));
    return k;
}

struct ColourSpace {
    int inv[4], fullRange, table[4], dstRange, brightness, contrast, saturation;
    int format, flags;
    bool operator==(const ColourSpace& o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};

// Every (Y, U, V) once: 4096 x 4096 pixels in strips of 256 rows. Each chroma sample holds one
// (U, V) pair, and its 2 x 2 pixels four of the Y values; 64 samples per pair cover all 256.
bool ProveAll(const ColourSpace& cs, const YuvCoefficients& k) {
    constexpr int kWidth = 4096, kRows = 256, kStrips = 16;
    SwsContext* raw = sws_getContext(kWidth, kRows, static_cast<AVPixelFormat>(cs.format), kWidth,
                                     kRows, AV_PIX_FMT_BGR24, cs.flags, nullptr, nullptr, nullptr);
    if (!raw) return false;
    std::unique_ptr<SwsContext, void (*)(SwsContext*)> scaler(raw, sws_freeContext);
    if (sws_setColorspaceDetails(scaler.get(), cs.inv, cs.fullRange, cs.table, cs.dstRange,
                                 cs.brightness, cs.contrast, cs.saturation) < 0) {
        return false;
    }
    cv::Mat y(kRows, kWidth, CV_8U), u(kRows / 2, kWidth / 2, CV_8U),
        v(kRows / 2, kWidth / 2, CV_8U);
    cv::Mat bgr(kRows, kWidth, CV_8UC3), expected, got(kRows, kWidth, CV_8U);
    std::vector<uint8_t> ramp(kWidth / 2);
    for (int c = 0; c < kWidth / 2; ++c) ramp[c] = static_cast<uint8_t>(c);
    for (int strip = 0; strip < kStrips; ++strip) {
        // Sample c of chroma row R holds pair i = 2048 R + c: U = i >> 8 & 255 (runs of 256),
        // V = i & 255 (the same ramp on every row); its pixels Y = 4 (i >> 16) + 0..3, and
        // i >> 16 = R / 32 is the same along the row.
        for (int r = 0; r < kRows / 2; ++r) {
            const int row = strip * kRows / 2 + r;
            uint8_t* uRow = u.ptr<uint8_t>(r);
            for (int c = 0; c < kWidth / 2; c += 256)
                std::memset(uRow + c, (row * (kWidth / 2) + c) >> 8 & 255, 256);
            std::memcpy(v.ptr<uint8_t>(r), ramp.data(), kWidth / 2);
            const int y0 = row / 32 * 4;
            uint8_t* top = y.ptr<uint8_t>(2 * r);
            uint8_t* bottom = y.ptr<uint8_t>(2 * r + 1);
            for (int c = 0; c < kWidth; c += 2) {
                top[c] = static_cast<uint8_t>(y0), top[c + 1] = static_cast<uint8_t>(y0 + 1);
                bottom[c] = static_cast<uint8_t>(y0 + 2),
                bottom[c + 1] = static_cast<uint8_t>(y0 + 3);
            }
        }
        const uint8_t* planes[3] = {y.data, u.data, v.data};
        const int strides[3] = {kWidth, kWidth / 2, kWidth / 2};
        uint8_t* dst[4] = {bgr.data, nullptr, nullptr, nullptr};
        int dstStrides[4] = {static_cast<int>(bgr.step[0]), 0, 0, 0};
        sws_scale(scaler.get(), planes, strides, 0, kRows, dst, dstStrides);
        cv::cvtColor(bgr, expected, cv::COLOR_BGR2GRAY);
        GrayFromPlanes(planes, strides, kWidth, 0, kRows, k, got.data, got.step[0]);
        if (std::memcmp(expected.data, got.data, static_cast<size_t>(kWidth) * kRows) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PlanesGiveGray(int width, int height, int format) {
    return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) && width >= 16 &&
           width % 16 == 0 && height >= 2 && height % 2 == 0;
}

bool ProvedCoefficients(SwsContext* scaler, int scalerFlags, int format, YuvCoefficients& out) {
    ColourSpace cs{};
    int *inv = nullptr, *table = nullptr;
    if (sws_getColorspaceDetails(scaler, &inv, &cs.fullRange, &table, &cs.dstRange, &cs.brightness,
                                 &cs.contrast, &cs.saturation) < 0 ||
        !inv || !table) {
        return false;
    }
    std::copy(inv, inv + 4, cs.inv);
    std::copy(table, table + 4, cs.table);
    cs.format = format;
    cs.flags = scalerFlags;
    struct Proof {
        ColourSpace cs;
        YuvCoefficients k;
        bool exact;
    };
    static std::mutex mutex;
    static std::vector<Proof> proofs;  // one per colour space met; normally one
    std::lock_guard<std::mutex> lock(mutex);
    for (const Proof& p : proofs) {
        if (p.cs == cs) {
            out = p.k;
            return p.exact;
        }
    }
    const YuvCoefficients k =
        CoefficientsOf(cs.inv, cs.fullRange, cs.brightness, cs.contrast, cs.saturation);
    bool exact = false;
    try {
        exact = ProveAll(cs, k);
    } catch (...) {
    }
    proofs.push_back({cs, k, exact});
    out = k;
    return exact;
}

void GrayFromPlanes(const uint8_t* const planes[3], const int strides[3], int width, int begin,
                    int end, const YuvCoefficients& k, uint8_t* gray, size_t grayStride) {
    for (int y = begin; y < end;) {
        const int rows = (y % 2 == 0 && y + 1 < end) ? 2 : 1;
        const uint8_t* yRows[2] = {planes[0] + static_cast<ptrdiff_t>(y) * strides[0],
                                   planes[0] + static_cast<ptrdiff_t>(y + 1) * strides[0]};
        uint8_t* outRows[2] = {gray + (y - begin) * grayStride,
                               gray + (y + 1 - begin) * grayStride};
        const ptrdiff_t chroma = static_cast<ptrdiff_t>(y / 2);
        GrayOfRows(yRows, outRows, rows, planes[1] + chroma * strides[1],
                   planes[2] + chroma * strides[2], width, k);
        y += rows;
    }
}

}  // namespace cameras
