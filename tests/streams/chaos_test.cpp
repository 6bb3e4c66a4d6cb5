// The chaos soak: ten cameras of every kind (files, HTTP MJPEG, MPEG-TS, RTSP, one that sends
// garbage, one that changes size) while their servers die, stall and come back, the broker
// restarts, the disk fills to the floor and frees, viewers and slow clients come and go and
// every event's hook hangs. Afterwards nothing may have crashed, exit takes less than 2 s,
// every file plays, the outputs agree, events and losses are paired, and descriptors, threads
// and memory are flat. CAMWATCH_CHAOS_SECONDS (60) and CAMWATCH_CHAOS_SEED choose the run (scripts/soak).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/statvfs.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/streams/servers.h"

namespace {

using fault::Clock;
using streams::StreamServer;

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// An HTTP camera that answers every connection with an MJPEG header and then random bytes,
// for a random while.
class GarbageServer {
  public:
    explicit GarbageServer(int port) : port_(port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~GarbageServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cam"; }

  private:
    void Serve() {
        std::mt19937 random(7);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const std::string head =
                "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=f\r\n\r\n";
            bool ok = send(client, head.data(), head.size(), MSG_NOSIGNAL) > 0;
            const auto until = Clock::now() + std::chrono::milliseconds(200 + random() % 3000);
            std::vector<char> junk(4096);
            while (ok && !stop_ && Clock::now() < until) {
                for (char& c : junk) c = static_cast<char>(random());
                ok = send(client, junk.data(), junk.size(), MSG_NOSIGNAL) > 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            close(client);
        }
    }
    int port_, fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A web client that sends its request line and then one header byte a second.
void SlowClient(int port, int seconds, const std::atomic<bool>& stop) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        send(fd, "GET /api/status HTTP/1.1\r\n", 26, MSG_NOSIGNAL);
        for (int i = 0; i < seconds && !stop; ++i) {
            send(fd, "X", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    close(fd);
}

// Writes folder/filler until about `left` bytes are free on its file system.
bool FillTo(const std::string& folder, int64_t left) {
    struct statvfs fs {};
    if (statvfs(folder.c_str(), &fs) != 0) return false;
    int64_t bytes = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize) - left;
    std::ofstream filler(folder + "/filler", std::ios::binary);
    const std::string block(1 << 16, 'x');
    for (; bytes > 0 && filler; bytes -= static_cast<int64_t>(block.size())) filler << block;
    return static_cast<bool>(filler);
}

struct Sample {
    long fds = 0, threads = 0, rssKiB = 0;
};

Sample Measure(pid_t pid) {
    Sample s;
    const std::string proc = "/proc/" + std::to_string(pid);
    s.fds = static_cast<long>(testkit::ListFiles(proc + "/fd").size());
    std::istringstream status(testkit::ReadFile(proc + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
    }
    return s;
}

long Median(std::vector<long> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

bool Plays(const std::string& file) {
    return testkit::CommandOutput("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1") == "";
}

TEST(Chaos, EveryKindOfCameraThroughFailuresOfEveryKind) {
    const int seconds = EnvInt("CAMWATCH_CHAOS_SECONDS", 60);
    const unsigned seed = static_cast<unsigned>(EnvInt("CAMWATCH_CHAOS_SEED", 1));
    std::printf("[ chaos    ] %d s, seed %u\n", seconds, seed);
    std::mt19937 random(seed);
    const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };

    testkit::TempDir dir;
    fault::SmallFileSystem disk(dir.File("out"), 48 * 1024);
    if (!disk.ok()) mkdir(dir.File("out").c_str(), 0755);
    ASSERT_TRUE(fault::WriteBlinking(dir.File("blink.avi"), 50));
    ASSERT_TRUE(testkit::WriteVideo(dir.File("segment.avi"), 100, e2e::kSmall, [](int i) {
        return testkit::MovingBoxScene(e2e::kSmall, i, 0, 30);
    }));
    std::string list = "ffconcat version 1.0\n";
    for (int i = 0; i < seconds / 2 + 30; ++i) list += "file segment.avi\n";
    testkit::WriteTextFile(dir.File("loop.ffconcat"), list);
    // Pictures of three sizes in turn, served as they are.
    std::string segments;
    for (int i = 0; i < 60; ++i) {
        std::vector<uchar> jpeg;
        const cv::Size size = i / 10 % 3 == 0 ? cv::Size(160, 120)
                              : i / 10 % 3 == 1 ? cv::Size(320, 240)
                                                : cv::Size(96, 64);
        ASSERT_TRUE(cv::imencode(".jpg", fault::Blink(i, size), jpeg));
        segments.append(jpeg.begin(), jpeg.end());
    }
    testkit::WriteTextFile(dir.File("sizes.mjpeg"), segments);

    std::vector<std::unique_ptr<StreamServer>> servers;
    servers.push_back(std::make_unique<StreamServer>(dir, "blink.avi", "mpjpeg", testkit::FreePort()));
    servers.push_back(std::make_unique<StreamServer>(dir, "blink.avi", "mpegts", testkit::FreePort()));
    servers.push_back(std::make_unique<StreamServer>(dir, "sizes.mjpeg", "mpjpeg+copy", testkit::FreePort()));
    servers.push_back(std::make_unique<StreamServer>(dir, "blink.avi", "mpjpeg", testkit::FreePort()));
    GarbageServer garbage(testkit::FreePort());
    const std::string brokerPort = std::to_string(testkit::FreePort());
    testkit::WriteTextFile(dir.File("broker.conf"),
                           "listener " + brokerPort + " 127.0.0.1\nallow_anonymous true\n");
    auto startBroker = [&] {
        return std::make_unique<testkit::Program>(dir.path(), std::vector<std::string>{},
                                                  "/usr/sbin/mosquitto", std::function<void()>{},
                                                  std::vector<std::string>{"-c", dir.File("broker.conf")});
    };
    auto broker = startBroker();
    std::string rtspUrl = "loop.ffconcat";
    std::unique_ptr<testkit::Program> rtsp;
#ifdef RTSP_SERVER
    const int rtspPort = testkit::FreePort();
    auto startRtsp = [&] {
        auto server = std::make_unique<testkit::Program>(
            dir.path(), std::vector<std::string>{}, RTSP_SERVER, std::function<void()>{},
            std::vector<std::string>{std::to_string(rtspPort)});
        EXPECT_TRUE(fault::WaitUntil([&] { return fault::Listening(rtspPort); }, fault::kWaitMs));
        return server;
    };
    rtsp = startRtsp();
    rtspUrl = "rtsp://127.0.0.1:" + std::to_string(rtspPort) + "/cam";
#endif

    const int web = testkit::FreePort();
    e2e::WriteConfig(dir, {{"ALLCAM", "10"},
                           {"PATHJPG", "out/"},
                           {"PATHAVI", "out/"},
                           {"PATHLOG", "logs/"},
                           {"MINFREEMB", "16"},
                           {"SOURCETIMEOUT", "1500"},
                           {"OUTEVENTS", "ON"},
                           {"EVENTGAP", "1"},
                           {"ONEVENTSTART", "sleep 30"},
                           {"OUTCLIP", "ON"},
                           {"PATHCLIP", "clips/"},
                           {"MQTTHOST", "127.0.0.1"},
                           {"MQTTPORT", brokerPort},
                           {"MQTTDISCOVERY", "ON"},
                           {"WEBPORT", std::to_string(web)},
                           {"SOURCE0", "loop.ffconcat"},
                           {"SOURCE1", servers[0]->Url()},
                           {"SOURCE2", servers[1]->Url()},
                           {"SOURCE3", rtspUrl},
                           {"SOURCE4", garbage.Url()},
                           {"SOURCE5", servers[2]->Url()},
                           {"SOURCE6", servers[3]->Url()},
                           {"SOURCE7", "loop.ffconcat"},
                           {"SOURCE8", "loop.ffconcat"},
                           {"SOURCE9", "loop.ffconcat"}});
    mkdir(dir.File("logs").c_str(), 0755);
    mkdir(dir.File("clips").c_str(), 0755);

    testkit::Program program(dir.path());
    ASSERT_TRUE(program.WaitForOutput("QORV#", fault::kWaitMs)) << program.Stderr();
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    std::vector<std::pair<double, std::function<void()>>> later;  // undo actions, by when
    std::vector<Sample> samples;
    bool filled = false;
    double nextSample = 1;
    while (elapsed() < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 800));
        const double now = elapsed();
        for (auto it = later.begin(); it != later.end();) {
            if (it->first <= now) {
                it->second();
                it = later.erase(it);
            } else {
                ++it;
            }
        }
        // A server whose client went away ends: it is a camera that comes back.
        for (auto& s : servers) {
            if (!s->Running()) s->Start();
        }
        StreamServer& victim = *servers[random() % servers.size()];
        if (chance(10)) {
            victim.Kill();
            later.emplace_back(now + 0.5 + random() % 3, [&victim] {
                if (!victim.Running()) victim.Start();
            });
        } else if (chance(10)) {
            victim.Signal(SIGSTOP);  // stalled longer than SOURCETIMEOUT
            later.emplace_back(now + 2 + random() % 3, [&victim] { victim.Signal(SIGCONT); });
        } else if (chance(5)) {
            broker.reset();
            broker = startBroker();
        } else if (chance(5) && rtsp) {
#ifdef RTSP_SERVER
            rtsp.reset();
            later.emplace_back(now + 1 + random() % 3, [&] { rtsp = startRtsp(); });
#endif
        } else if (chance(8) && disk.ok() && !filled) {
            filled = FillTo(dir.File("out"), 8 << 20);  // half the floor left
            later.emplace_back(now + 2 + random() % 4, [&] {
                filled = unlink(dir.File("out/filler").c_str()) != 0;
            });
        } else if (chance(20)) {
            const int cam = static_cast<int>(random() % 10);
            clients.emplace_back([web, cam] {
                testkit::CommandOutput("curl -s -m 2 -o /dev/null http://127.0.0.1:" +
                                       std::to_string(web) + "/cam/" + std::to_string(cam) +
                                       "/stream.mjpg");
            });
        } else if (chance(20)) {
            const int hold = 1 + static_cast<int>(random() % 5);
            clients.emplace_back([web, hold, &stop] { SlowClient(web, hold, stop); });
        }
        if (now >= nextSample) {
            nextSample += 1;
            ASSERT_TRUE(fault::Running(program)) << program.Stderr();
            samples.push_back(Measure(program.pid()));
        }
    }
    for (auto& [when, undo] : later) undo();
    stop = true;
    for (std::thread& t : clients) t.join();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // viewers and slow clients are gone
    samples.push_back(Measure(program.pid()));

    const Clock::time_point exitAt = Clock::now();
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(fault::kWaitMs), 0) << program.Stderr();
    const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - exitAt).count();
    std::printf("[ measure  ] exit took %lld ms\n", static_cast<long long>(exitMs));
    EXPECT_LT(exitMs, 2000);

    // Descriptors, threads and memory: the last quarter no higher than the first (after the
    // first quarter's start-up), but for what a moment's connections hold.
    ASSERT_GE(samples.size(), 8u);
    const size_t q = samples.size() / 4;
    auto quarter = [&](size_t from, long Sample::*field) {
        std::vector<long> v;
        for (size_t i = from; i < from + q; ++i) v.push_back(samples[i].*field);
        return Median(v);
    };
    const size_t first = q, last = samples.size() - q;
    EXPECT_LE(quarter(last, &Sample::fds), quarter(first, &Sample::fds) + 8);
    EXPECT_LE(quarter(last, &Sample::threads), quarter(first, &Sample::threads) + 8);
    EXPECT_LE(quarter(last, &Sample::rssKiB), quarter(first, &Sample::rssKiB) * 5 / 4 + 16 * 1024);

    // Every event start has its end; per camera every loss its return, but for a last loss.
    std::map<std::string, int> open;
    std::map<int, int> lost, back;
    std::istringstream events(testkit::ReadFile(dir.File("logs/events.jsonl")));
    for (std::string line; std::getline(events, line);) {
        const auto record = nlohmann::json::parse(line);
        const std::string type = record["type"];
        const int camera = record["camera"];
        if (type == "start") ++open[record["id"]];
        if (type == "end") --open[record["id"]];
        if (type == "lost") ++lost[camera];
        if (type == "back") ++back[camera];
    }
    for (const auto& [id, n] : open) EXPECT_EQ(n, 0) << "event " << id;
    for (int cam = 0; cam < 10; ++cam) {
        EXPECT_GE(lost[cam], back[cam]) << "camera " << cam;
        EXPECT_LE(lost[cam], back[cam] + 1) << "camera " << cam;
    }
    // Every video and clip plays; a camera's snapshots are its video's frames, and the log
    // holds at least as many records (it goes on while the disk guard skips pictures).
    for (int cam = 0; cam < 10; ++cam) {
        SCOPED_TRACE("camera " + std::to_string(cam));
        const std::string avi = dir.File("out/cam" + std::to_string(cam) + ".avi");
        if (!testkit::FileExists(avi)) continue;
        EXPECT_TRUE(Plays(avi));
        const std::string base = "cam" + std::to_string(cam) + "n";
        size_t shots = 0;
        for (const std::string& name : testkit::ListFiles(dir.File("out"))) {
            shots += name.rfind(base, 0) == 0 && name.ends_with(".jpg");
        }
        EXPECT_EQ(e2e::Probe(avi).frames, static_cast<int>(shots));
        EXPECT_GE(e2e::LogRecords(dir.File("logs/cam" + std::to_string(cam) + ".log")),
                  static_cast<int>(shots));
    }
    for (const std::string& clip : testkit::ListFiles(dir.File("clips"))) {
        EXPECT_TRUE(Plays(dir.File("clips/" + clip))) << clip;
    }
}

}  // namespace
