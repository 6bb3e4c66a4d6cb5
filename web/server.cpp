#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include "diag/diag.h"
#include "web/gate.h"
#include "web/hub.h"
#include "web/render.h"
#include "web/review.h"

namespace web {

namespace {

constexpr char kBoundary[] = "camwatchframe";
constexpr int kIoTimeoutSeconds = 5;
constexpr uint64_t kKeepAliveRequests = 100;  // on one connection
// Handler threads beyond the stream limit: one client address may hold the stream limit and
// kPeerSpare more at once, and kOthersSpare are left for every other client.
constexpr int kPeerSpare = 8, kOthersSpare = 8;
constexpr int kMaxConnections = 512;
constexpr int64_t kStillWatchMs = 2000;
constexpr auto kStillWait = std::chrono::milliseconds(1000);
constexpr auto kStreamHeartbeat = std::chrono::milliseconds(2000);

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Binds and listens as the HTTP library would (every address the name resolves to is tried;
// IPv6 sockets take IPv4 too), with SO_REUSEADDR only: with SO_REUSEPORT a second program
// could bind the same port and take some of the connections. -1 when nothing could be bound.
int Listen(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* at = found; at && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) continue;
        const int yes = 1, no = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (at->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        if (bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

int LocalPort(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return -1;
}

// Waits up to ms for the socket to be ready for events; false on timeout or error.
bool Ready(int fd, short events, int64_t ms) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(std::clamp<int64_t>(ms, 0, 60000)));
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

// One request's connection as the HTTP library sees it. The head the gate saw complete is
// read in blocks no longer than what is left of it, and anything after it only as asked
// for: nothing of a next request is ever taken from the socket, so the connection can go
// back to the gate. Reading the whole request has one time bound; each write has its own.
class RequestStream : public httplib::Stream {
  public:
    RequestStream(const Arrival& a, int64_t readMs, int64_t writeMs)
        : a_(a), headLeft_(a.head), readUntil_(base::SteadyMs() + readMs), writeMs_(writeMs) {}

    // True when every byte taken from the socket was used: the connection may serve more.
    bool Clean() const { return at_ == buffer_.size() && headLeft_ == 0; }

    bool is_readable() const override {
        return at_ < buffer_.size() || Ready(a_.fd, POLLIN, readUntil_ - base::SteadyMs());
    }
    bool is_writable() const override { return Ready(a_.fd, POLLOUT, writeMs_); }
    ssize_t read(char* ptr, size_t size) override {
        if (at_ == buffer_.size() && headLeft_ > 0) {
            buffer_.resize(std::min<size_t>(headLeft_, 4096));
            const ssize_t n = Receive(buffer_.data(), buffer_.size());
            buffer_.resize(n > 0 ? static_cast<size_t>(n) : 0);
            at_ = 0;
            if (n <= 0) return n;
            headLeft_ -= static_cast<size_t>(n);
        }
        if (at_ < buffer_.size()) {
            const size_t n = std::min(size, buffer_.size() - at_);
            std::memcpy(ptr, buffer_.data() + at_, n);
            at_ += n;
            return static_cast<ssize_t>(n);
        }
        return Receive(ptr, size);
    }
    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            if (!Ready(a_.fd, POLLOUT, writeMs_)) return -1;
            const ssize_t n = send(a_.fd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = a_.peerIp;
        port = a_.peerPort;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = a_.localIp;
        port = a_.localPort;
    }
    socket_t socket() const override { return a_.fd; }

  private:
    ssize_t Receive(char* ptr, size_t size) {
        for (;;) {
            if (!Ready(a_.fd, POLLIN, readUntil_ - base::SteadyMs())) return -1;
            const ssize_t n = recv(a_.fd, ptr, size, MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        }
    }

    const Arrival& a_;
    size_t headLeft_;
    const int64_t readUntil_, writeMs_;
    std::string buffer_;
    size_t at_ = 0;
};

// The library's routing and answers, on connections the gate hands over one request at a time.
class Http : public httplib::Server {
  public:
    // Streams run while this is on (the library ends them once its socket is gone).
    void SetServing(bool on) { svr_sock_ = on ? 0 : INVALID_SOCKET; }
    // Answers one request; true when the connection may carry another.
    bool Serve(const Arrival& arrival) {
        RequestStream stream(arrival, kIoTimeoutSeconds * 1000, kIoTimeoutSeconds * 1000);
        const bool last = arrival.served + 1 >= kKeepAliveRequests;
        bool closed = false;
        const bool ok = process_request(stream, last, closed, nullptr);
        return ok && !closed && !last && stream.Clean();
    }
};

void Plain(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

struct Server::Impl {
    Options opts;
    Provider* provider = nullptr;
    FrameHub::Impl* hub = nullptr;
    std::string version;
    std::chrono::steady_clock::time_point started;
    std::unique_ptr<Http> http;
    Gate gate;
    int port = 0;
    std::atomic<int> streams{0};

    // The camera of /cam/<N>/... when the app has it in use; -1 otherwise.
    int Camera(const httplib::Request& req) {
        const std::string& digits = req.matches[1];
        const int cam = std::stoi(digits);  // the route allows one or two digits
        if (cam >= base::kSlotCount) return -1;
        for (const CameraStatus& c : provider->Cameras())
            if (c.index == cam) return cam;
        return -1;
    }

    bool Authorized(const httplib::Request& req) {
        if (opts.token.empty()) return true;
        const std::string header = req.get_header_value("Authorization");
        constexpr char kBearer[] = "Bearer ";
        if (header.rfind(kBearer, 0) == 0 && SameSecret(header.substr(7), opts.token)) return true;
        return req.has_param("token") && SameSecret(req.get_param_value("token"), opts.token);
    }

    void Routes();
    void Stream(const httplib::Request& req, httplib::Response& res);
    void Still(const httplib::Request& req, httplib::Response& res);
};

void Server::Impl::Routes() {
    http->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        if (Authorized(req)) return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        Plain(res, 401, "unauthorized");
        return httplib::Server::HandlerResponse::Handled;
    });
    http->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty() && !res.content_provider_)
            Plain(res, res.status, res.status == 404 ? "not found" : "error");
    });
    http->set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                   std::exception_ptr) { Plain(res, 500, "internal error"); });

    http->Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; img-src 'self'; media-src 'self'; connect-src 'self'; "
                       "style-src 'unsafe-inline'; script-src 'unsafe-inline'");
        res.set_content(kPage, "text/html; charset=utf-8");
    });
    http->Get(R"(/cam/(\d{1,2})/stream\.mjpg)",
              [this](const httplib::Request& req, httplib::Response& res) { Stream(req, res); });
    http->Get(R"(/cam/(\d{1,2})/latest\.jpg)",
              [this](const httplib::Request& req, httplib::Response& res) { Still(req, res); });
    http->Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - started);
        res.set_content(StatusJson(provider->Cameras(), version, uptime.count()),
                        "application/json");
    });
    http->Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        History* history = provider->EventHistory();
        if (history && !req.has_param("since") && ListEvents(*history, req, res)) return;
        const std::string since = req.get_param_value("since");
        if (since.size() > 128) return Plain(res, 400, "since is too long");
        res.set_content(provider->EventsSince(since), "application/json");
    });
    AddReviewRoutes(*http, [this] { return provider->EventHistory(); });
    http->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(MetricsText(provider->Cameras()),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    http->Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        if (provider->Healthy()) return Plain(res, 200, "ok");
        Plain(res, 503, "unhealthy");
    });
}

void Server::Impl::Stream(const httplib::Request& req, httplib::Response& res) {
    const int cam = Camera(req);
    if (cam < 0) return Plain(res, 404, "no such camera");
    if (streams.fetch_add(1) >= opts.clients) {
        streams.fetch_sub(1);
        return Plain(res, 503, "too many streams");
    }
    hub->AddStream(cam);
    auto sent = std::make_shared<uint64_t>(0);
    res.set_header("Cache-Control", "no-cache, no-store");
    res.set_header("Pragma", "no-cache");
    res.set_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
        [this, cam, sent](size_t, httplib::DataSink& sink) {
            try {
                // Without a new frame, the last one is sent again now and then: a client
                // that went away is noticed even while the camera is lost.
                const EncodedFrame frame =
                    hub->WaitFrame(cam, *sent, std::chrono::steady_clock::now() + kStreamHeartbeat);
                if (hub->closing.load()) return false;
                if (!frame.jpeg) return true;
                const std::string head = std::string("--") + kBoundary +
                                         "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                         std::to_string(frame.jpeg->size()) + "\r\n\r\n";
                if (!sink.write(head.data(), head.size()) ||
                    !sink.write(frame.jpeg->data(), frame.jpeg->size()) || !sink.write("\r\n", 2))
                    return false;
                *sent = frame.seq;
                return true;
            } catch (...) {
                return false;
            }
        },
        [this, cam](bool) {
            hub->RemoveStream(cam);
            streams.fetch_sub(1);
        });
}

void Server::Impl::Still(const httplib::Request& req, httplib::Response& res) {
    const int cam = Camera(req);
    if (cam < 0) return Plain(res, 404, "no such camera");
    const bool clean = req.get_param_value("clean") == "1";
    // Asking for a still makes the camera watched for a while; wait a little for a fresh
    // frame, else answer with the newest there is.
    hub->Touch(cam, base::SteadyMs() + kStillWatchMs);
    const uint64_t before = hub->Latest(cam).seq;
    EncodedFrame frame = hub->WaitFrame(cam, before, std::chrono::steady_clock::now() + kStillWait);
    Jpeg jpeg = frame.jpeg;
    if (jpeg && clean) jpeg = hub->Clean(cam, frame.seq);
    if (!jpeg) return Plain(res, 503, "no frame yet");
    res.set_content(*jpeg, "image/jpeg");
}

Server::Server() : impl_(std::make_unique<Impl>()) {}
Server::~Server() {
    Stop();
}

int Server::Port() const {
    return impl_->http ? impl_->port : 0;
}

bool Server::Start(const Options& opts, Provider& provider, FrameHub& hub,
                   const std::string& version) {
    Stop();
    Impl& s = *impl_;
    s.opts = opts;
    s.provider = &provider;
    s.hub = hub.impl_.get();
    s.version = version;
    s.started = std::chrono::steady_clock::now();
    s.http = std::make_unique<Http>();
    s.http->set_payload_max_length(64 * 1024);
    s.Routes();

    const std::string shown = opts.bind.find(':') != std::string::npos
                                  ? "[" + opts.bind + "]:" + std::to_string(opts.port)
                                  : opts.bind + ":" + std::to_string(opts.port);
    const int listener = Listen(opts.bind, opts.port);
    s.port = listener >= 0 ? LocalPort(listener) : 0;
    if (s.port <= 0) {
        diag::Line("web: cannot listen on " + shown);
        if (listener >= 0) close(listener);
        s.http.reset();
        s.port = 0;
        return false;
    }
    if (opts.token.empty() && !IsLoopback(opts.bind))
        diag::Line("web: listening on " + shown +
                   " without WEBTOKEN: anyone who can reach it sees the cameras");

    s.hub->Start(opts.fps, opts.width);
    s.http->SetServing(true);
    GateLimits limits;
    const int clients = std::max(1, opts.clients);
    limits.perPeer = opts.peerConnections > 0 ? opts.peerConnections : clients + 16;
    limits.busyPerPeer = std::min(limits.perPeer, clients + kPeerSpare);
    limits.handlers = limits.busyPerPeer + kOthersSpare;
    limits.total = kMaxConnections;
    limits.headerMs = std::max(1, opts.headerSeconds) * 1000;
    if (!s.gate.Start(listener, limits,
                      [&http = *s.http](const Arrival& a) { return http.Serve(a); })) {
        diag::Line("web: cannot serve on " + shown);
        s.http->SetServing(false);
        s.hub->BeginClose();
        s.hub->Stop();
        s.http.reset();
        s.port = 0;
        return false;
    }
    return true;
}

void Server::Stop() {
    Impl& s = *impl_;
    if (!s.http) return;
    s.hub->BeginClose();
    s.http->SetServing(false);
    s.gate.Stop();
    s.hub->Stop();
    s.http.reset();
    s.port = 0;
}

}  // namespace web
