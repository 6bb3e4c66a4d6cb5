// The straight pipeline: every step over the whole frame on every call, with OpenCV's motion
// templates throughout, then the overlay of each counted component. The fast path (and its
// own motion history code) is measured against it. A library of its own, for the tests and
// benchmarks only, so that the program does not link OpenCV's optflow.
#include <opencv2/core.hpp>
#include <opencv2/optflow/motempl.hpp>

#include "detector/internal.h"
#include "detector/pipeline.h"

namespace detector {

int32_t DetectMotionReference(cv::Mat& frame, int32_t diffThreshold, DetectorState& state,
                              double timestamp) {
    if (!UsableInput(frame, timestamp)) return 0;
    try {
        cv::Mat& silhouette = Silhouette(frame.size(), GrayOf(frame), diffThreshold, state);
        state.marksValid = false;  // this path keeps no marks
        if (Screened(state)) {
            FitMask(state, silhouette.size());
            if (!state.frameMask.empty()) cv::bitwise_and(silhouette, state.frameMask, silhouette);
            if (Screen(state, cv::countNonZero(silhouette))) {
                state.components.clear();
                return 0;
            }
        }
        const double t =
            HistoryTime(state, timestamp, cv::Rect(0, 0, state.history.cols, state.history.rows));
        cv::motempl::updateMotionHistory(silhouette, state.history, t, kHistoryDuration);
        cv::motempl::calcMotionGradient(state.history, state.gradientMask, state.orientation,
                                        kGradientDelta1, kGradientDelta2, kGradientAperture);
        state.components.clear();
        cv::motempl::segmentMotion(state.history, state.segmentMask, state.components, t,
                                   kSegmentThreshold);
        int32_t count = 0;
        for (const cv::Rect& r : state.components) {
            if (r.width + r.height < state.controls.minSize) continue;
            ++count;
            DrawComponent(frame, state, silhouette, r, t);
        }
        return count;
    } catch (...) {
        state.components.clear();
        return 0;
    }
}

void DrawComponent(cv::Mat& frame, DetectorState& state, const cv::Mat& silhouette,
                   cv::Rect comp_rect, double timestamp) {
    try {
        // OpenCV's own, not the detector's GlobalOrientation: this path is the yardstick.
        const double orientation = cv::motempl::calcGlobalOrientation(
            state.orientation(comp_rect), state.gradientMask(comp_rect), state.history(comp_rect),
            timestamp, kHistoryDuration);
        if (!EnoughChanged(silhouette, comp_rect)) return;
        DrawOverlay(frame, comp_rect, ComponentDirectionLine(comp_rect, orientation));
    } catch (...) {  // a rectangle outside the images: nothing is drawn
    }
}

}  // namespace detector
