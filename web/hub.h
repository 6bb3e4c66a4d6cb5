// What the server side of FrameHub looks like: the per-camera slots, the encoder thread and
// the waits the stream and still-frame handlers use. Internal to cw_web.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <thread>

#include "web/web.h"

namespace web {

using Jpeg = std::shared_ptr<const std::string>;

struct EncodedFrame {
    Jpeg jpeg;         // null: none yet
    uint64_t seq = 0;  // 1, 2, ... per camera
};

using base::SteadyMs;

struct FrameHub::Impl {
    struct Slot {
        // Written by the server threads, read by the camera's worker.
        std::atomic<int> streams{0};
        std::atomic<int64_t> watchedUntilMs{0};
        // Written and read by the camera's worker only (Due, Offer): relaxed order suffices.
        std::atomic<int64_t> nextDueMs{0};

        // Guarded by Impl::pendingMutex: the newest offered frame the encoder has not taken.
        bool pending = false;
        cv::Mat pendingAnnotated, pendingClean;

        // Guarded by mutex: the newest encoded frame and its clean twin.
        std::mutex mutex;
        std::condition_variable fresh;
        Jpeg jpeg;
        uint64_t seq = 0;
        cv::Mat clean;  // unscaled; encoded on demand
        Jpeg cleanJpeg;
        uint64_t cleanSeq = 0;
    };

    void Start(int fps, int width);
    void BeginClose();  // wakes every waiter; they see closing
    void Stop();        // joins the encoder, drops every frame

    void AddStream(int cam) { slots[cam].streams.fetch_add(1); }
    void RemoveStream(int cam) { slots[cam].streams.fetch_sub(1); }
    void Touch(int cam, int64_t untilMs);
    // The newest frame once its seq is above after; the newest there is (maybe none) when
    // the deadline passes or the hub closes.
    EncodedFrame WaitFrame(int cam, uint64_t after, std::chrono::steady_clock::time_point deadline);
    EncodedFrame Latest(int cam);
    Jpeg Clean(int cam, uint64_t seq);  // frame seq without the overlay; null when gone

    void EncoderLoop();

    std::array<Slot, base::kSlotCount> slots;
    std::atomic<bool> running{false};  // Offer takes frames
    std::atomic<bool> closing{false};
    std::atomic<int64_t> periodMs{200};
    int width = 800;  // set before the encoder starts

    std::mutex pendingMutex;
    std::condition_variable pendingCv;
    bool stopEncoder = false;  // guarded by pendingMutex
    std::thread encoder;
};

}  // namespace web
