// Cameras: devices, video files and network streams behind one interface.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>

namespace cameras {
class PacketTap;

// Why Read gave no frame.
enum class ReadStatus {
    Frame,    // a frame came
    End,      // the source has ended (end of file, device gone, stream closed)
    Error,    // the source failed
    Timeout,  // nothing came in time (a stalled stream)
    Idle,     // no frame yet, and the stream is alive: frames are skipped while it is idle
};

// While the scene is still a stream may save its decoding (IDLEDECODE=keyframes): only key
// frames are decoded, and where every frame is one (MJPEG) at most keyFps a second. After it,
// decoding goes on from the next key frame.
struct IdleDecoding {
    bool on = false;
    double keyFps = 1.0;
};

// What a source has counted of the frames behind Read, since it was made.
struct FrameCounts {
    uint64_t received = 0;  // video packets (or frames) that came from the camera
    uint64_t decoded = 0;   // pictures decoded from them
    uint64_t dropped = 0;   // decoded pictures replaced by newer ones before Read took them
    // CPU time of the source's own reading thread (a stream's), nanoseconds, brought up to date
    // about once a second; 0 where Read decodes on the caller's thread.
    uint64_t readerCpuNs = 0;
    // With a recording stream (RECORDi): it did not open or was lost, and is being reopened.
    bool recordLost = false;
};

// A camera. Read() gives the next frame, converted to 8-bit BGR by the caller.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual ReadStatus Read(cv::Mat& frame) = 0;
    // True for a network stream, which is reopened when it is lost instead of ending its camera.
    virtual bool Reconnects() const { return false; }
    // The source's own frame rate, 0 when it reports none.
    virtual double Fps() const { return 0.0; }
    // How long a read waits for the next frame before it gives Timeout; 0 where it never does.
    virtual int32_t TimeoutMs() const { return 0; }
    // Cuts a Read blocked on the source short, now and from then on (the camera is being
    // stopped). May be called from another thread while Read runs.
    virtual void Interrupt() {}
    // Sources that count for themselves (streams) say so here; for the others every frame
    // read was received and decoded, and nothing is counted (all zero).
    virtual FrameCounts Counts() const { return {}; }
    // IDLEDECODE: sources that decode packets themselves follow it; others ignore it. May be
    // called from another thread than Read.
    virtual void SetIdle(const IdleDecoding& /*idle*/) {}
    // A source that reads H.264 or H.265 hands every video packet to tap as well (taps add
    // up), from now on and after each reopening (cameras/packets.h). False where it has no
    // such packets now.
    virtual bool TapPackets(std::shared_ptr<PacketTap> /*tap*/) { return false; }

    // Sources that decode into another format may keep a frame in it until its colour is
    // needed. Where Defers() is true, ReadDeferred() reads the next frame as Read would;
    // then Size() gives its size, Gray() bands of its gray picture (the bytes
    // cv::cvtColor(COLOR_BGR2GRAY) gives of those rows of the colour frame) and Colour() the
    // frame Read would have given. All three refer to the last ReadDeferred.
    virtual bool Defers() const { return false; }
    virtual ReadStatus ReadDeferred() { return ReadStatus::Error; }
    virtual cv::Size Size() const { return {}; }
    // Rows [begin, end) into band (8-bit, one channel, end - begin rows of the frame's width).
    virtual void Gray(int /*begin*/, int /*end*/, cv::Mat& /*band*/) {}
    // False when the conversion fails.
    virtual bool Colour(cv::Mat& /*frame*/) { return false; }

    // For a thread that hands frames on to another (a stream's reader): the next frame as
    // Read gives it, or, from a source that decodes into another format, left in it as
    // *picture: a one-frame source of its own (Defers() true; Size, Gray and Colour as above)
    // that can be moved to another thread and converted there, only as far as needed.
    virtual ReadStatus ReadPicture(cv::Mat& frame, std::unique_ptr<FrameSource>& /*picture*/) {
        return Read(frame);
    }

    // For a stream read only for its packets (a camera's RECORDi): the next video packet,
    // handed to the taps and never decoded. Frame when one came.
    virtual ReadStatus ReadPacket() { return ReadStatus::Error; }
};

// How a camera's streams open, besides its name: from its keys, read by whoever opens it.
struct OpenSettings {
    // SOURCETIMEOUT: how long, in milliseconds, opening a stream or waiting for its next frame
    // may take before the stream counts as lost. Values below kLeastStreamTimeoutMs count as it.
    int32_t streamTimeoutMs = 5000;
    // RECORDi: the stream its clips and continuous recording copy packets from (a camera's
    // bigger stream), while everything else reads the camera itself. "" when unset.
    std::string record;
};
constexpr int32_t kLeastStreamTimeoutMs = 100;

// Opens camera index i, or the named file, device or URL when name is non-empty. nullptr when
// it does not open. Never throws; prints nothing.
std::unique_ptr<FrameSource> OpenCamera(int index, const std::string& name,
                                        const OpenSettings& settings = {});

}  // namespace cameras
