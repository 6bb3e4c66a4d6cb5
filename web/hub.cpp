#include "web/hub.h"

#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "cvio/cvio.h"
#include "diag/diag.h"
#include "recording/recording.h"

namespace web {

namespace {

constexpr int64_t kNever = INT64_MIN / 2;
constexpr int kQuality = 80;  // of the browser's pictures

Jpeg Encode(const cv::Mat& frame, int width) {
    if (frame.empty()) return nullptr;
    cv::Mat scaled = frame;
    if (frame.cols > width) {
        const int height = std::max(1, frame.rows * width / frame.cols);
        cv::resize(frame, scaled, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    }
    // Colour frames (all a worker offers) without OpenCV's image libraries; the same bytes.
    std::vector<uchar> bytes;
    if (!recording::EncodeJpeg(scaled, kQuality, bytes)) {
        recording::PrepareImageCodecs();
        if (!cvio::Encode(".jpg", scaled, bytes, {cvio::kJpegQuality, kQuality})) return nullptr;
    }
    return std::make_shared<const std::string>(bytes.begin(), bytes.end());
}

}  // namespace

FrameHub::FrameHub() : impl_(std::make_unique<Impl>()) {}
FrameHub::~FrameHub() {
    impl_->BeginClose();
    impl_->Stop();
}

bool FrameHub::Watched(int camera) const {
    if (camera < 0 || camera >= base::kSlotCount || !impl_->running.load(std::memory_order_relaxed))
        return false;
    const Impl::Slot& slot = impl_->slots[camera];
    return slot.streams.load(std::memory_order_relaxed) > 0 ||
           base::SteadyMs() < slot.watchedUntilMs.load(std::memory_order_relaxed);
}

bool FrameHub::Due(int camera, int64_t steadyMs) const {
    if (camera < 0 || camera >= base::kSlotCount || !impl_->running.load(std::memory_order_relaxed))
        return false;
    const Impl::Slot& slot = impl_->slots[camera];
    if (slot.streams.load(std::memory_order_relaxed) <= 0 &&
        steadyMs >= slot.watchedUntilMs.load(std::memory_order_relaxed))
        return false;
    return steadyMs >= slot.nextDueMs.load(std::memory_order_relaxed);
}

void FrameHub::Offer(int camera, cv::Mat annotated, cv::Mat clean, int64_t steadyMs) {
    if (camera < 0 || camera >= base::kSlotCount || !impl_->running.load(std::memory_order_relaxed))
        return;
    Impl::Slot& slot = impl_->slots[camera];
    // The next frame is due one period after the last due time, but never sooner than half a
    // period from now: on average at most fps frames a second, whatever the camera's rate.
    const int64_t period = impl_->periodMs.load(std::memory_order_relaxed);
    const int64_t next =
        std::max(slot.nextDueMs.load(std::memory_order_relaxed) + period, steadyMs + period / 2);
    slot.nextDueMs.store(next, std::memory_order_relaxed);
    bool replaced;
    {
        std::lock_guard<std::mutex> lock(impl_->pendingMutex);
        replaced = slot.pending;
        slot.pending = true;
        slot.pendingAnnotated = std::move(annotated);
        slot.pendingClean = std::move(clean);
    }
    impl_->pendingCv.notify_one();
    if (replaced) dropped_.fetch_add(1, std::memory_order_relaxed);
}

void FrameHub::Impl::Start(int fps, int frameWidth) {
    periodMs.store(1000 / std::max(1, fps));
    width = frameWidth;
    closing.store(false);
    for (Slot& slot : slots) {
        slot.watchedUntilMs.store(kNever);
        slot.nextDueMs.store(kNever);
    }
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        stopEncoder = false;
    }
    encoder = std::thread([this] { EncoderLoop(); });
    running.store(true);
}

void FrameHub::Impl::BeginClose() {
    running.store(false);
    closing.store(true);
    for (Slot& slot : slots) {
        // Taking the mutex orders closing before any waiter's next check of its predicate.
        { std::lock_guard<std::mutex> lock(slot.mutex); }
        slot.fresh.notify_all();
    }
}

void FrameHub::Impl::Stop() {
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        stopEncoder = true;
    }
    pendingCv.notify_all();
    if (encoder.joinable()) encoder.join();
    for (Slot& slot : slots) {
        {
            std::lock_guard<std::mutex> lock(pendingMutex);
            slot.pending = false;
            slot.pendingAnnotated.release();
            slot.pendingClean.release();
        }
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.jpeg.reset();
        slot.cleanJpeg.reset();
        slot.clean.release();
    }
}

void FrameHub::Impl::Touch(int cam, int64_t untilMs) {
    std::atomic<int64_t>& until = slots[cam].watchedUntilMs;
    int64_t seen = until.load();
    while (seen < untilMs && !until.compare_exchange_weak(seen, untilMs)) {
    }
}

EncodedFrame FrameHub::Impl::WaitFrame(int cam, uint64_t after,
                                       std::chrono::steady_clock::time_point deadline) {
    Slot& slot = slots[cam];
    std::unique_lock<std::mutex> lock(slot.mutex);
    slot.fresh.wait_until(lock, deadline, [&] { return slot.seq > after || closing.load(); });
    return {slot.jpeg, slot.seq};
}

EncodedFrame FrameHub::Impl::Latest(int cam) {
    Slot& slot = slots[cam];
    std::lock_guard<std::mutex> lock(slot.mutex);
    return {slot.jpeg, slot.seq};
}

Jpeg FrameHub::Impl::Clean(int cam, uint64_t seq) {
    Slot& slot = slots[cam];
    cv::Mat clean;
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        if (slot.cleanSeq == seq && slot.cleanJpeg) return slot.cleanJpeg;
        if (slot.seq != seq) return nullptr;
        clean = slot.clean;
    }
    Jpeg jpeg = Encode(clean, width);
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.seq == seq) {
        slot.cleanJpeg = jpeg;
        slot.cleanSeq = seq;
    }
    return jpeg;
}

void FrameHub::Impl::EncoderLoop() {
    try {
        std::vector<cv::Mat> annotated(base::kSlotCount), clean(base::kSlotCount);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(pendingMutex);
                pendingCv.wait(lock, [&] {
                    if (stopEncoder) return true;
                    for (const Slot& slot : slots)
                        if (slot.pending) return true;
                    return false;
                });
                if (stopEncoder) return;
                for (int i = 0; i < base::kSlotCount; ++i) {
                    if (!slots[i].pending) continue;
                    slots[i].pending = false;
                    annotated[i] = std::move(slots[i].pendingAnnotated);
                    clean[i] = std::move(slots[i].pendingClean);
                    slots[i].pendingAnnotated.release();
                    slots[i].pendingClean.release();
                }
            }
            for (int i = 0; i < base::kSlotCount; ++i) {
                if (annotated[i].empty()) continue;
                Jpeg jpeg = Encode(annotated[i], width);
                annotated[i].release();
                if (!jpeg) {
                    clean[i].release();
                    continue;
                }
                Slot& slot = slots[i];
                {
                    std::lock_guard<std::mutex> lock(slot.mutex);
                    slot.jpeg = std::move(jpeg);
                    slot.clean = std::move(clean[i]);
                    ++slot.seq;
                }
                clean[i].release();
                slot.fresh.notify_all();
            }
        }
    } catch (const std::exception& e) {
        diag::Line(std::string("web: live frames stopped: ") + e.what());
    }
}

}  // namespace web
