// GrayFromPlanes' vector code with AVX2, for processors that have it; compiled with -mavx2.
#include "cameras/yuv_gray_kernel.h"

namespace cameras {

int GrayOfRowsAvx2(const uint8_t* const yRows[2], uint8_t* const outRows[2], int rows,
                   const uint8_t* u, const uint8_t* v, int width, const YuvCoefficients& k) {
    return avx2::GrayOfRows(yRows, outRows, rows, u, v, 0, width, k);
}

}  // namespace cameras
