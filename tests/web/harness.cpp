#include "tests/web/harness.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace webtest {

TestProvider::TestProvider(std::vector<int> cameras) {
    const char* states[] = {"running", "running", "lost", "ended"};
    for (size_t i = 0; i < cameras.size(); ++i) {
        web::CameraStatus c;
        c.index = cameras[i];
        c.source = i == 0 ? "rtsp://***@10.0.0.5/stream" : "/videos/cam" + std::to_string(c.index);
        c.state = states[i % 4];
        c.fps = 12.5;
        if (i == 0) {  // a second ago, at .123 of its second
            const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
            c.last_motion_ms = now / 1000 * 1000 - 1000 + 123;
        }
        cameras_.push_back(c);
    }
}

std::vector<web::CameraStatus> TestProvider::Cameras() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (web::CameraStatus& c : cameras_) {
        c.frames += 10;
        c.motion_frames += 3;
        c.snapshots += 1;
        c.video_frames += 2;
        c.events += 1;
        c.frame_seconds_buckets[2] += 9;
        c.frame_seconds_buckets[5] += 1;
        c.frame_seconds_count += 11;  // one above the last bound
        c.frame_seconds_sum += 2.5;
    }
    return cameras_;
}

std::string TestProvider::EventsSince(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    since_ = id;
    return R"([{"id":"41","camera":0,"time":"2026-12-08T23:20:00.000+00:00","text":"motion started"},)"
           R"({"id":"42","camera":1,"time":"2026-12-08T23:21:30.500+00:00","text":"motion ended"}])";
}

std::string TestProvider::LastSince() {
    std::lock_guard<std::mutex> lock(mutex_);
    return since_;
}

Feeder::Feeder(web::FrameHub& hub, int count, cv::Size size) : hub_(hub), count_(count) {
    constexpr int kPositions = 6;
    clean_.resize(count);
    annotated_.resize(count);
    for (int cam = 0; cam < count; ++cam) {
        for (int i = 0; i < kPositions; ++i) {
            cv::Mat clean(size, CV_8UC3, cv::Scalar(60 + 30 * cam, 70, 80));
            const cv::Rect box((size.width - 200) * i / kPositions + 10, size.height / 3, 120, 120);
            cv::rectangle(clean, box, cv::Scalar(230, 200, 40), cv::FILLED);
            cv::Mat annotated = clean.clone();
            cv::rectangle(annotated, box + cv::Point(-10, -10) + cv::Size(20, 20),
                          cv::Scalar(0, 0, 255), 8);
            clean_[cam].push_back(clean);
            annotated_[cam].push_back(annotated);
        }
    }
    thread_ = std::thread([this] { Run(); });
}

Feeder::~Feeder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
}

void Feeder::Run() {
    using namespace std::chrono;
    auto next = steady_clock::now();
    for (int64_t i = 0;; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stop_.wait_until(lock, next, [&] { return stopping_; })) return;
        }
        next += milliseconds(33);
        ticks_.fetch_add(1);
        for (int cam = 0; cam < count_; ++cam) {
            const int64_t now =
                duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
            if (!hub_.Due(cam, now)) continue;
            const size_t at = static_cast<size_t>(i / 5) % clean_[cam].size();
            const cv::Mat annotated = annotated_[cam][at], clean = clean_[cam][at];
            const auto start = steady_clock::now();
            hub_.Offer(cam, annotated, clean, now);
            const int64_t took = duration_cast<microseconds>(steady_clock::now() - start).count();
            if (took > slowest_.load()) slowest_.store(took);
            offers_.fetch_add(1);
        }
    }
}

Socket::Socket(int port, int receiveBuffer) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

Socket::~Socket() {
    if (fd_ >= 0) close(fd_);
}

bool Socket::Send(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

bool Socket::Receive(std::string& buffer, int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
}

bool Socket::ReadToClose(std::string& buffer, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              end - std::chrono::steady_clock::now())
                                              .count());
        if (!Receive(buffer, std::max(1, left))) return true;
    }
    return false;
}

Reply Get(int port, const std::string& target, const std::string& bearer) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10);
    httplib::Headers headers;
    if (!bearer.empty()) headers.emplace("Authorization", "Bearer " + bearer);
    Reply reply;
    if (auto res = client.Get(target, headers)) {
        reply.status = res->status;
        reply.type = res->get_header_value("Content-Type");
        reply.body = res->body;
    }
    return reply;
}

int RawStatus(int port, const std::string& request) {
    Socket socket(port);
    socket.Send(request);
    std::string reply;
    socket.ReadToClose(reply, 8000);
    if (reply.rfind("HTTP/1.1 ", 0) != 0 || reply.size() < 12) return 0;
    return std::stoi(reply.substr(9, 3));
}

std::vector<std::string> StreamParts(int port, const std::string& target, int parts,
                                     std::string* head) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10);
    std::string bytes;
    std::vector<std::string> jpegs;
    const std::string boundary = "--camwatchframe\r\n";
    client.Get(
        target,
        [&](const httplib::Response& res) {
            if (head) *head = res.get_header_value("Content-Type");
            return res.status == 200;
        },
        [&](const char* data, size_t size) {
            bytes.append(data, size);
            // Each part: boundary line, headers, blank line, Content-Length bytes, CRLF.
            for (;;) {
                if (bytes.rfind(boundary, 0) != 0) return bytes.size() < boundary.size();
                const size_t end = bytes.find("\r\n\r\n");
                if (end == std::string::npos) return true;
                const std::string headers = bytes.substr(boundary.size(), end - boundary.size());
                const size_t at = headers.find("Content-Length: ");
                if (headers.find("Content-Type: image/jpeg\r\n") == std::string::npos ||
                    at == std::string::npos)
                    return false;
                const size_t length = std::stoul(headers.substr(at + 16));
                if (bytes.size() < end + 4 + length + 2) return true;
                jpegs.push_back(bytes.substr(end + 4, length));
                if (bytes.compare(end + 4 + length, 2, "\r\n") != 0) return false;
                bytes.erase(0, end + 4 + length + 2);
                if (static_cast<int>(jpegs.size()) >= parts) return false;
            }
        });
    return jpegs;
}

cv::Mat Decode(const std::string& jpeg) {
    return cv::imdecode(std::vector<uchar>(jpeg.begin(), jpeg.end()), cv::IMREAD_COLOR);
}

int RedPixels(const cv::Mat& bgr) {
    if (bgr.empty()) return 0;
    cv::Mat mask;
    cv::inRange(bgr, cv::Scalar(0, 0, 170), cv::Scalar(60, 60, 255), mask);
    return cv::countNonZero(mask);
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace webtest
