#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "diag/diag.h"
#include "web/hub.h"
#include "web/render.h"
#include "web/review.h"

namespace web {

namespace {

constexpr char kBoundary[] = "camwatchframe";
constexpr int kIoTimeoutSeconds = 5;
constexpr int kSpareThreads = 8;  // beyond the stream limit, for the page, API and stills
constexpr int64_t kStillWatchMs = 2000;
constexpr auto kStillWait = std::chrono::milliseconds(1000);
constexpr auto kStreamHeartbeat = std::chrono::milliseconds(2000);

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int LocalPort(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return -1;
}

// Shuts down every connected TCP socket of this process whose local port is port, so that a
// handler blocked on a client that neither reads nor writes returns at once. Called after the
// listener is closed; only connections it accepted have that local port then. Each
// descriptor is duplicated before it is examined, so the socket checked is the one shut.
void ShutDownConnections(int port) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd == own) continue;
        const int copy = fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
        if (copy < 0) continue;
        int type = 0;
        socklen_t len = sizeof type;
        sockaddr_storage peer{};
        socklen_t peerLen = sizeof peer;
        if (getsockopt(copy, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM &&
            LocalPort(copy) == port &&
            getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0)
            shutdown(copy, SHUT_RDWR);
        close(copy);
    }
    closedir(dir);
}

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
    std::unique_ptr<httplib::Server> http;
    std::thread listener;
    int port = 0;
    std::atomic<int> streams{0};

    std::mutex mutex;  // guards listening
    std::condition_variable listeningChanged;
    bool listening = false;

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
    hub->Touch(cam, SteadyMs() + kStillWatchMs);
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
    s.http = std::make_unique<httplib::Server>();
    httplib::Server& http = *s.http;
    // SO_REUSEADDR only: with the library's default SO_REUSEPORT a second program could bind
    // the same port and take some of the connections.
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    http.set_tcp_nodelay(true);
    http.set_read_timeout(kIoTimeoutSeconds);
    http.set_write_timeout(kIoTimeoutSeconds);
    http.set_keep_alive_timeout(kIoTimeoutSeconds);
    http.set_keep_alive_max_count(100);
    http.set_payload_max_length(64 * 1024);
    const int threads = std::max(1, opts.clients) + kSpareThreads;
    http.new_task_queue = [this, threads] {
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            impl_->listening = true;
        }
        impl_->listeningChanged.notify_all();
        return new httplib::ThreadPool(threads);
    };
    s.Routes();

    const std::string shown = opts.bind.find(':') != std::string::npos
                                  ? "[" + opts.bind + "]:" + std::to_string(opts.port)
                                  : opts.bind + ":" + std::to_string(opts.port);
    bool bound;
    if (opts.port == 0) {
        s.port = http.bind_to_any_port(opts.bind);
        bound = s.port > 0;
    } else {
        bound = http.bind_to_port(opts.bind, opts.port);
        s.port = opts.port;
    }
    if (!bound) {
        diag::Line("web: cannot listen on " + shown);
        s.http.reset();
        s.port = 0;
        return false;
    }
    if (opts.token.empty() && !IsLoopback(opts.bind))
        diag::Line("web: listening on " + shown +
                   " without WEBTOKEN: anyone who can reach it sees the cameras");

    s.hub->Start(opts.fps, opts.width);
    s.listening = false;
    s.listener = std::thread([&s, &http] {
        try {
            http.listen_after_bind();
        } catch (const std::exception& e) {
            diag::Line(std::string("web: server stopped: ") + e.what());
        }
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.listening = true;  // also when the loop never started
        }
        s.listeningChanged.notify_all();
    });
    // Stop() may only call stop() once the library runs its accept loop.
    std::unique_lock<std::mutex> lock(s.mutex);
    s.listeningChanged.wait(lock, [&] { return s.listening; });
    return true;
}

void Server::Stop() {
    Impl& s = *impl_;
    if (!s.http) return;
    s.hub->BeginClose();
    s.http->stop();
    ShutDownConnections(s.port);
    if (s.listener.joinable()) s.listener.join();
    s.hub->Stop();
    s.http.reset();
    s.port = 0;
}

}  // namespace web
