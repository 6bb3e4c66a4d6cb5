// A real web::Server on a free loopback port, a small Provider, a feeder thread that offers
// synthetic frames (a moving box, a red rectangle around it as the overlay) and plain
// socket clients.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <vector>

#include "web/web.h"

namespace webtest {

class TestProvider : public web::Provider {
  public:
    explicit TestProvider(std::vector<int> cameras);
    std::vector<web::CameraStatus> Cameras() override;  // counters grow on every call
    std::string EventsSince(const std::string& id) override;
    bool Healthy() override { return healthy.load(); }

    std::atomic<bool> healthy{true};
    std::string LastSince();

  private:
    std::mutex mutex_;
    std::vector<web::CameraStatus> cameras_;
    std::string since_;
};

// Offers frames for cameras 0..count-1 at 30 frames a second each, as a camera worker does:
// Due, then Offer. The frames are drawn beforehand (a few positions of the box, played in a
// loop) so that the feeder's own pace depends on Due and Offer alone.
class Feeder {
  public:
    Feeder(web::FrameHub& hub, int count, cv::Size size = {960, 540});
    ~Feeder();
    uint64_t Offers() const { return offers_.load(); }
    uint64_t Ticks() const { return ticks_.load(); }
    int64_t SlowestOfferMicros() const { return slowest_.load(); }

  private:
    void Run();
    web::FrameHub& hub_;
    int count_;
    std::vector<std::vector<cv::Mat>> clean_, annotated_;  // [camera][position]
    std::atomic<uint64_t> offers_{0}, ticks_{0};
    std::atomic<int64_t> slowest_{0};
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::thread thread_;
};

// Plain TCP client on 127.0.0.1 (RAII).
class Socket {
  public:
    explicit Socket(int port, int receiveBuffer = 0);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    bool Send(const std::string& bytes);
    // Appends what arrives within timeoutMs to buffer; false once the peer has closed.
    bool Receive(std::string& buffer, int timeoutMs);
    // Reads until the peer closes or timeoutMs passes; true when it closed.
    bool ReadToClose(std::string& buffer, int timeoutMs);

  private:
    int fd_ = -1;
};

struct Reply {
    int status = 0;  // 0: no answer
    std::string type, body;
};
Reply Get(int port, const std::string& target, const std::string& bearer = {});
// One request on its own connection, exactly as given; the status line's code or 0.
int RawStatus(int port, const std::string& request);

// Reads parts of an MJPEG stream (target: /cam/<N>/stream.mjpg...); the JPEGs in order.
std::vector<std::string> StreamParts(int port, const std::string& target, int parts,
                                     std::string* head = nullptr);

cv::Mat Decode(const std::string& jpeg);
int RedPixels(const cv::Mat& bgr);  // strong overlay red (JPEG-tolerant)
long RssKiB();

}  // namespace webtest
