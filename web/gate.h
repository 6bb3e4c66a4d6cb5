// What stands between the network and the HTTP handlers. One thread accepts connections and
// watches them, holding no handler thread, until a request's headers have all arrived; only
// then does a handler thread serve that one request, and the connection comes back to be
// watched for the next. A client address may hold only so many connections, and a client
// that takes too long to send its headers is cut off: slow or idle connections cost a
// descriptor and a few bytes, never a thread. Internal to cw_web; knows nothing of HTTP
// beyond where a request's headers end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace web {

struct GateLimits {
    int perPeer = 32;      // open connections from one address; further ones get 503
    int busyPerPeer = 24;  // of them, served by handler threads at once
    int handlers = 32;     // handler threads
    int total = 512;       // open connections in all
    int headerMs = 5000;   // from connecting, or from the end of the last answer, to the
                           // blank line that ends the next request's headers
};

// One connection with a whole request head waiting in its socket, as a handler gets it.
struct Arrival {
    int fd = -1;          // the gate's; the handler neither closes it nor keeps it
    size_t head = 0;      // bytes up to and including the blank line (all of them in the socket)
    uint64_t served = 0;  // requests answered on this connection before
    std::string peerIp, localIp;
    int peerPort = 0, localPort = 0;
};

class Gate {
  public:
    // Serves the request; true keeps the connection open for another one (the handler has
    // read exactly that request from the socket, nothing after it).
    using Handler = std::function<bool(const Arrival&)>;

    Gate() = default;
    ~Gate();  // Stop()
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // Takes the listening socket (bound and listening). false, with it closed, when the
    // gate's own descriptors cannot be had.
    bool Start(int listener, const GateLimits& limits, Handler handler);
    // Shuts down every connection (handlers blocked on one return), joins every thread and
    // closes every descriptor.
    void Stop();

  private:
    struct Connection {
        int fd = -1;
        std::string peer;
        Arrival arrival;
        int64_t deadlineMs = 0;  // while watched
        bool busy = false;       // queued for, or in, a handler
        bool inHandler = false;
    };

    void Loop();
    void Work();
    void Accept(int64_t nowMs);
    void Look(uint64_t id, uint32_t events);
    void Watch(uint64_t id, Connection& c, int64_t nowMs);
    void Drop(uint64_t id);  // mutex_ held
    void Finish(uint64_t id, bool keep);
    bool Take(uint64_t& id, Arrival& arrival);  // lock held by the caller's unique_lock

    GateLimits limits_;
    Handler handler_;
    int listener_ = -1, epoll_ = -1, wake_ = -1;
    std::vector<char> peek_;  // the loop thread's
    int64_t acceptPausedUntil_ = 0;
    bool reportedFull_ = false;

    std::mutex mutex_;
    std::condition_variable ready_;
    bool stopping_ = false;
    uint64_t nextId_ = 2;  // 0: the listener, 1: the wake-up event
    std::unordered_map<uint64_t, Connection> connections_;
    std::unordered_map<std::string, int> open_, busy_;  // per peer address
    std::deque<uint64_t> queue_;                        // heads complete, waiting for a handler
    std::thread loop_;
    std::vector<std::thread> workers_;
};

}  // namespace web
