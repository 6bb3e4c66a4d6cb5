// Motion segmentation for the fast path. A component is every history pixel reachable from a
// pixel stamped with the current time stamp through non-zero 4-neighbours whose values differ
// by at most the threshold; its box is what the library's segmentation reports for it, in the
// same order (that of the seed pixels, row by row). The library's scan-line fill reaches
// exactly this set, whatever order it visits it in, so a plain fill gives the same boxes. Its
// label image is not made: nothing reads it.
#include <algorithm>
#include <cstring>
#include <opencv2/core/hal/intrin.hpp>

#include "detector/testing.h"

namespace {

// First x in [x, n) where row[x] == value, or n.
int FindValue(const float* row, int x, int n, float value) {
#if CV_SIMD
    const cv::v_float32 v = cv::vx_setall_f32(value);
    const int lanes = cv::v_float32::nlanes;
    for (; x + 2 * lanes <= n; x += 2 * lanes) {
        const cv::v_float32 a = cv::vx_load(row + x) == v;
        const cv::v_float32 b = cv::vx_load(row + x + lanes) == v;
        if (cv::v_check_any(a | b)) break;
    }
#endif
    while (x < n && row[x] != value) ++x;
    return x;
}

}  // namespace

void SegmentComponents(const cv::Mat& history, float stamp, float threshold,
                       SegmentScratch& scratch, std::vector<cv::Rect>& components) {
    components.clear();
    const int w = history.cols, h = history.rows;
    if (w <= 0 || h <= 0 || stamp == 0.f) return;  // zero pixels never join a component
    // Visited marks with a border of one around the image, so that neighbours in a row need
    // no bounds check. Made only once a seed turns up.
    const size_t stride = static_cast<size_t>(w) + 2;
    uint8_t* visited = nullptr;
    auto marks = [&](int y) { return visited + (y + 1) * stride + 1; };
    const float lo = -threshold, up = threshold;
    // The library's test of a candidate pixel against a member, operands in its order.
    auto joins = [lo, up](float candidate, float member) {
        const float d = candidate - member;
        return candidate != 0.f && lo <= d && d <= up;
    };
    // Grows a row run from its first member x (already marked) as far as it links.
    auto extend = [&](int y, int x) {
        const float* row = history.ptr<float>(y);
        uint8_t* seen = marks(y);
        int l = x, r = x;
        while (!seen[l - 1] && joins(row[l - 1], row[l])) seen[--l] = 1;
        while (!seen[r + 1] && joins(row[r + 1], row[r])) seen[++r] = 1;
        return SegmentScratch::Run{y, l, r};
    };
    std::vector<SegmentScratch::Run>& stack = scratch.stack;

    for (int y = 0; y < h; ++y) {
        const float* row = history.ptr<float>(y);
        for (int x = FindValue(row, 0, w, stamp); x < w; x = FindValue(row, x + 1, w, stamp)) {
            if (!visited) {
                scratch.visited.assign(stride * (h + 2), 0);
                visited = scratch.visited.data();
                for (int r = 0; r < h; ++r) marks(r)[-1] = marks(r)[w] = 1;
            }
            if (marks(y)[x]) continue;
            marks(y)[x] = 1;
            int x0 = x, x1 = x, y0 = y, y1 = y;
            stack.assign(1, extend(y, x));
            while (!stack.empty()) {
                const SegmentScratch::Run run = stack.back();
                stack.pop_back();
                x0 = std::min(x0, run.l), x1 = std::max(x1, run.r);
                y0 = std::min(y0, run.y), y1 = std::max(y1, run.y);
                const float* members = history.ptr<float>(run.y);
                for (const int ny : {run.y - 1, run.y + 1}) {
                    if (ny < 0 || ny >= h) continue;
                    const float* next = history.ptr<float>(ny);
                    uint8_t* seen = marks(ny);
                    for (int i = run.l; i <= run.r; ++i) {
                        if (seen[i] || !joins(next[i], members[i])) continue;
                        seen[i] = 1;
                        stack.push_back(extend(ny, i));
                        i = stack.back().r;  // the rest of that run is marked now
                    }
                }
            }
            components.emplace_back(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
        }
    }
}
