// The camera worker: one thread per started slot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <string>

#include "cameras/source.h"
#include "clips/clips.h"
#include "config/config.h"
#include "detector/detector.h"
#include "display/display.h"
#include "labels/labels.h"
#include "recording/diskguard.h"
#include "tracks/tracks.h"

namespace events {
class Bus;
}
namespace web {
class FrameHub;
}

// Takes a small picture of an open event's most telling frame (its largest region so far,
// boxed). Called on the camera's worker thread; must not block.
class ThumbnailSink {
  public:
    virtual ~ThumbnailSink() = default;
    virtual void Offer(int camera, int64_t eventStartMs, cv::Mat picture) = 0;
};

// A frame for the motion count: in colour (8-bit BGR), or from a camera that defers the
// colour, by its size and gray rows; its colour is then there only while the overlay is drawn.
struct MotionFrame {
    cv::Mat& colour;
    cv::Size size;
    const detector::GrayRows* gray = nullptr;  // null: the count reads colour
};

// What a worker calls outside itself; the program's (ProgramServices) are the display thread,
// the worker's own motion detector and the slot's interruptible pause.
struct WorkerServices {
    display::WindowSystem& windows;
    // Counts the moving regions of the frame; may draw them onto its colour when overlayShown.
    std::function<int32_t(detector::MotionDetector& detector, const MotionFrame& frame,
                          int32_t diffThreshold, bool overlayShown)>
        countMotion;
    // Waits up to ms milliseconds, less when the slot is asked to stop.
    std::function<void(int slotIndex, int32_t ms)> pause;
    // Optional outlets: motion events, live frames for the browser. nullptr = off.
    events::Bus* events = nullptr;
    web::FrameHub* web = nullptr;
    // What all cameras wrote, for the disk guards (MINFREEMB); nullptr: each worker its own.
    recording::DiskLedger* disk = nullptr;
    ThumbnailSink* thumbnails = nullptr;  // event thumbnails; nullptr = off
};

// The program's services with its outlets (each nullptr when off; thumbnails want events on).
WorkerServices ProgramServices(events::Bus* events, web::FrameHub* web, recording::DiskLedger* disk,
                               ThumbnailSink* thumbnails);

// What a worker is configured with: the settings of config.cfg's eleven keys and the keys of
// the optional outputs, all off by default.
struct WorkerConfig : config::SettingsRecord {
    int64_t minFreeBytes = 0;  // MINFREEMB: the disk guard's floor; 0 = off
    int32_t threshold = 30;    // THRESHOLD: a pixel's change that counts as motion
    // MINSIZE, LIGHTSWITCH, WARMUP; the mask comes from the camera's file below.
    detector::DetectorControls detection;
    std::array<std::string, base::kSlotCount> maskFiles;  // MASK0..MASK9; "" = none
    clips::Options clips;                                 // OUTCLIP and the keys of event clips
    int eventGapSeconds = 10;  // EVENTGAP: stillness that ends an episode (event and clip)
    // IDLEDECODE=keyframes: after IDLEAFTER s without motion a stream decodes only key frames
    // (an intra-only one IDLEFPS a second) until motion is seen again.
    cameras::IdleDecoding idle;
    int64_t idleAfterMs = 10000;
    tracks::Gate gate;       // MINTRAVEL, MINDURATION; off unless set
    bool trackGate = false;  // TRACKGATE=ON: the core outputs follow the gate
    labels::Options labels;  // LABELS, LABELRATE, ALERTLABELS
    // MAXPIXELS: larger frames are skipped (the default takes 8K, 7680 x 4320, and more).
    int64_t maxPixels = kDefaultMaxPixels;
    static constexpr int64_t kDefaultMaxPixels = 40'000'000;
};

// With MINTRAVEL set and LIGHTSWITCH 0 or absent, a frame where more than this percent of
// the picture changed is a scene switch (lights, a day/night switch): history and tracks
// restart.
constexpr int kSceneSwitchPercent = 40;

// Thread body for a started slot: serves the slot's camera until stopped or until the camera
// ends, and reports Finished in the slot's run state as its very last action. Never throws.
void ServeCamera(int slotIndex, const WorkerConfig& config,
                 const WorkerServices& services) noexcept;
