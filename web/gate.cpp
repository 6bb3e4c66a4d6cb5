#include "web/gate.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <string_view>

#include "diag/diag.h"

namespace web {

namespace {

constexpr uint64_t kListenerId = 0, kWakeId = 1;
// A head this long without its blank line goes to a handler as it is (the HTTP layer refuses
// what is too long); the rest of it is then read within the handler's own time bound.
constexpr size_t kMaxHead = 16 * 1024;
constexpr int64_t kAcceptPauseMs = 200;  // after running out of descriptors
constexpr std::string_view kRefusal =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 21\r\nConnection: close\r\n\r\ntoo many connections\n";

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Name(const sockaddr_storage& addr, socklen_t len, std::string& ip, int& port) {
    char host[NI_MAXHOST] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) == 0)
        ip = host;
    if (addr.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    else if (addr.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
}

// A best-effort answer to a connection turned away before anything was read from it.
void Refuse(int fd) {
    (void)!send(fd, kRefusal.data(), kRefusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
}

void Decrement(std::unordered_map<std::string, int>& counts, const std::string& peer) {
    auto it = counts.find(peer);
    if (it != counts.end() && --it->second <= 0) counts.erase(it);
}

}  // namespace

Gate::~Gate() {
    Stop();
}

bool Gate::Start(int listener, const GateLimits& limits, Handler handler) {
    Stop();
    limits_ = limits;
    handler_ = std::move(handler);
    listener_ = listener;
    stopping_ = false;
    acceptPausedUntil_ = 0;
    reportedFull_ = false;
    peek_.resize(kMaxHead);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event listen{EPOLLIN, {.u64 = kListenerId}}, wake{EPOLLIN, {.u64 = kWakeId}};
    const int flags = fcntl(listener_, F_GETFL);
    if (epoll_ < 0 || wake_ < 0 || flags < 0 ||
        fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &listen) != 0 ||
        epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &wake) != 0) {
        Stop();
        return false;
    }
    try {
        for (int i = 0; i < std::max(1, limits_.handlers); ++i)
            workers_.emplace_back([this] { Work(); });
        loop_ = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
        Stop();
        return false;
    }
    return true;
}

void Gate::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& [id, c] : connections_)
            if (c.inHandler) shutdown(c.fd, SHUT_RDWR);
    }
    ready_.notify_all();
    if (wake_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
    if (loop_.joinable()) loop_.join();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, c] : connections_) close(c.fd);
    connections_.clear();
    open_.clear();
    busy_.clear();
    queue_.clear();
    for (int* fd : {&listener_, &epoll_, &wake_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Gate::Loop() {
    std::vector<epoll_event> events(64);
    for (;;) {
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            const int64_t now = NowMs();
            int64_t next = std::numeric_limits<int64_t>::max();
            std::vector<uint64_t> late;
            for (const auto& [id, c] : connections_) {
                if (c.busy) continue;
                if (c.deadlineMs <= now)
                    late.push_back(id);
                else
                    next = std::min(next, c.deadlineMs);
            }
            for (uint64_t id : late) Drop(id);  // too slow with its headers: cut off
            if (acceptPausedUntil_ > 0) {
                epoll_event listen{EPOLLIN, {.u64 = kListenerId}};
                if (now >= acceptPausedUntil_ &&
                    epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &listen) == 0)
                    acceptPausedUntil_ = 0;
                else
                    next = std::min(next, std::max(acceptPausedUntil_, now + 1));
            }
            if (next != std::numeric_limits<int64_t>::max())
                timeoutMs = static_cast<int>(std::min<int64_t>(next - now, 60000));
        }
        const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
        if (n < 0 && errno != EINTR) {
            diag::Line(std::string("web: connection watch failed: ") + std::strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kListenerId) {
                Accept(NowMs());
            } else if (id == kWakeId) {
                uint64_t count;
                (void)!read(wake_, &count, sizeof count);
            } else {
                Look(id, events[i].events);
            }
        }
    }
}

void Gate::Accept(int64_t nowMs) {
    for (;;) {
        sockaddr_storage peer{}, local{};
        socklen_t peerLen = sizeof peer, localLen = sizeof local;
        const int fd =
            accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting for a moment rather than spin on the
                // listener, which stays readable.
                if (!reportedFull_)
                    diag::Line(std::string("web: cannot accept connections: ") +
                               std::strerror(errno));
                reportedFull_ = true;
                std::lock_guard<std::mutex> lock(mutex_);
                epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
                acceptPausedUntil_ = nowMs + kAcceptPauseMs;
            }
            return;
        }
        Arrival arrival;
        arrival.fd = fd;
        Name(peer, peerLen, arrival.peerIp, arrival.peerPort);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) == 0)
            Name(local, localLen, arrival.localIp, arrival.localPort);
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);

        std::lock_guard<std::mutex> lock(mutex_);
        auto open = open_.find(arrival.peerIp);
        // The HTTP layer waits with select(): a descriptor beyond its set is refused too.
        if ((open != open_.end() && open->second >= limits_.perPeer) ||
            connections_.size() >= static_cast<size_t>(limits_.total) || fd >= FD_SETSIZE) {
            Refuse(fd);
            continue;
        }
        ++open_[arrival.peerIp];
        const uint64_t id = nextId_++;
        Connection& c = connections_[id];
        c.fd = fd;
        c.peer = arrival.peerIp;
        c.arrival = std::move(arrival);
        Watch(id, c, nowMs);
    }
}

void Gate::Watch(uint64_t id, Connection& c, int64_t nowMs) {
    c.deadlineMs = nowMs + limits_.headerMs;
    // Edge-triggered: the head is only peeked at, so the socket stays readable; each new
    // piece of it is one event.
    epoll_event watch{EPOLLIN | EPOLLRDHUP | EPOLLET, {.u64 = id}};
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &watch) != 0) Drop(id);
}

void Gate::Look(uint64_t id, uint32_t events) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(id);
    if (it == connections_.end() || it->second.busy) return;
    Connection& c = it->second;
    const ssize_t n = recv(c.fd, peek_.data(), peek_.size(), MSG_PEEK | MSG_DONTWAIT);
    const bool ended = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    if (n == 0 || (n < 0 && (ended || (errno != EAGAIN && errno != EINTR)))) return Drop(id);
    if (n < 0) return;
    const std::string_view seen(peek_.data(), static_cast<size_t>(n));
    size_t head = seen.find("\r\n\r\n");
    if (head != std::string_view::npos)
        head += 4;
    else if (seen.size() == peek_.size() || ended)  // too long, or all the peer will send
        head = seen.size();
    else
        return;  // wait for more of it
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    c.busy = true;
    c.arrival.head = head;
    queue_.push_back(id);
    ready_.notify_one();
}

bool Gate::Take(uint64_t& id, Arrival& arrival) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        Connection& c = connections_.at(*it);
        auto busy = busy_.find(c.peer);
        if (busy != busy_.end() && busy->second >= limits_.busyPerPeer) continue;
        ++busy_[c.peer];
        c.inHandler = true;
        id = *it;
        arrival = c.arrival;
        queue_.erase(it);
        return true;
    }
    return false;
}

void Gate::Work() {
    for (;;) {
        uint64_t id = 0;
        Arrival arrival;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            bool got = false;
            ready_.wait(lock, [&] { return stopping_ || (got = Take(id, arrival)); });
            if (!got) return;
        }
        bool keep = false;
        try {
            keep = handler_(arrival);
        } catch (...) {
            keep = false;
        }
        Finish(id, keep);
    }
}

void Gate::Finish(uint64_t id, bool keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& c = it->second;
    Decrement(busy_, c.peer);
    c.busy = c.inHandler = false;
    if (stopping_ || !keep) return Drop(id);
    ++c.arrival.served;
    Watch(id, c, NowMs());
    // The loop sleeps until the nearest deadline it knew of; this one may be nearer.
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
}

void Gate::Drop(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    close(it->second.fd);  // also leaves the epoll set
    Decrement(open_, it->second.peer);
    connections_.erase(it);
}

}  // namespace web
