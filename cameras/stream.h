// Network cameras: a SOURCEi value with "://" in it. A stream is read live by a thread of its
// own that keeps only the newest frame, opens and reads with bounded waits, and reopens the
// stream when it is lost.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cameras/source.h"
#include "cameras/url.h"

namespace cameras {
// Called once on the main thread before any thread exists and before any source is opened:
// when one of the sources is a stream, the network library's own messages are switched off,
// since they would repeat on every attempt to reopen a lost stream.
void PrepareStreams(const std::string* sources, int count);

// Opens url once through FFmpeg; the open and each Read give up after timeoutMs, and at once
// when *cancel (if given) turns true or Interrupt is called. Frames come in the order the
// stream delivers them. nullptr when it does not open. Never throws.
std::unique_ptr<FrameSource> OpenStreamCapture(const std::string& url, int32_t timeoutMs,
                                               const std::atomic<bool>* cancel = nullptr);

// How a StreamSource (re)opens its stream; nullptr when it does not open. cancel turns true
// when the source is going away.
using StreamOpener = std::function<std::unique_ptr<FrameSource>(const std::atomic<bool>& cancel)>;

// A live stream. `first` is the capture already opened at start-up, or nullptr for a stream
// that did not open then: its reader keeps retrying. Read() gives the newest frame not yet
// taken, waiting up to timeoutMs for one; when the stream is lost it gives End, Error or
// Timeout while the reader reopens it, 1 s after the loss and then after 2, 4 .. 30 s.
// With record, a second stream of the same camera is read beside it for its packets only
// (never decoded, reopened as the first is): taps get its packets instead of the first's.
std::unique_ptr<FrameSource> MakeStreamSource(StreamOpener open, int32_t timeoutMs,
                                              std::unique_ptr<FrameSource> first,
                                              StreamOpener record = nullptr);

// The usual stream of url: OpenStreamCapture with the settings' timeout. With opened false
// the first open is left to the reader (a camera that was down at start-up); otherwise nullptr
// when the first open fails. A record URL in the settings gives its clips and recording.
std::unique_ptr<FrameSource> OpenStream(const std::string& url, bool opened = true,
                                        const OpenSettings& settings = {});

// Stream threads (readers and opens run ahead) that are still running. A thread inside the
// network library cannot be cut short; when one is left at exit the process must end with
// _exit, never running static destructors under it.
int StreamThreadsRunning();

// An open run on a thread of its own, so that slow opens overlap. When its result is not
// taken the open is cancelled, its thread left to finish on its own and the result dropped.
class PendingOpen {
  public:
    explicit PendingOpen(StreamOpener open);
    ~PendingOpen();
    PendingOpen(const PendingOpen&) = delete;
    PendingOpen& operator=(const PendingOpen&) = delete;

    // Waits until the open has finished, the deadline has passed or stopFd (when >= 0) is
    // readable. The opened source, or nullptr; *stopped tells a stop from the other two.
    std::unique_ptr<FrameSource> Take(std::chrono::steady_clock::time_point deadline, int stopFd,
                                      bool* stopped);

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace cameras
