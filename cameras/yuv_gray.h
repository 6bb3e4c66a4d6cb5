// The gray picture of a decoded 4:2:0 frame, taken from its planes without converting the frame
// to colour: the bytes the scaler's conversion to BGR and then cv::cvtColor(COLOR_BGR2GRAY)
// would give. Used by the file and stream decoder (ffmpeg_stream.cpp) only.
#pragma once

#include <cstddef>
#include <cstdint>

struct SwsContext;

namespace cameras {

// The scaler's fixed-point coefficients for 4:2:0 to BGR, as its vector code applies them:
//   y = ((8 Y - yOffset) * yCoeff) >> 16, u = 8 U - 1024, v = 8 V - 1024
//   B = clamp(y + (u * ub >> 16)), G = clamp(y + (u * ug >> 16) + (v * vg >> 16)),
//   R = clamp(y + (v * vr >> 16))
struct YuvCoefficients {
    int16_t yCoeff = 0, yOffset = 0, vr = 0, ub = 0, vg = 0, ug = 0;
    bool operator==(const YuvCoefficients&) const = default;
};

// cvtColor's fixed-point luma of 8-bit BGR: (B kB + G kG + R kR + 2^14) >> 15.
inline constexpr int kB = 3735, kG = 19235, kR = 9798, kLumaShift = 15;

// Frames the scaler converts with that vector code: 4:2:0 of an even height and a width that
// is a multiple of 16 (no pixel left to its scalar tail).
bool PlanesGiveGray(int width, int height, int format);

// The coefficients of scaler (made with scalerFlags for frames of format; as
// sws_getColorspaceDetails reports its colour space), and whether the gray picture from them is
// proved exact: once per process and colour space, every (Y, U, V) goes through a scaler made
// like this one and cvtColor, and through GrayFromPlanes, and all 2^24 grays must agree. False when
// they do not, or when the scaler cannot be asked; the frames are then converted to colour as
// before.
bool ProvedCoefficients(SwsContext* scaler, int scalerFlags, int format, YuvCoefficients& out);

// Rows [begin, end) of the gray picture of a frame that PlanesGiveGray accepts into gray
// (one byte per pixel, grayStride bytes a row, row begin first).
void GrayFromPlanes(const uint8_t* const planes[3], const int strides[3], int width, int begin,
                    int end, const YuvCoefficients& k, uint8_t* gray, size_t grayStride);

}  // namespace cameras
