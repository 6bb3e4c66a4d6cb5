// MQTT against a real mosquitto broker on loopback that is down at start and goes away
// mid-run; mosquitto_sub checks what arrives.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "events/events.h"
#include "tests/events/tracked.h"
#include "tests/testkit/process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (auto until = Clock::now() + limit; Clock::now() < until;) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
    return n;
}

// A child process whose stdout is collected into a shared sink; stderr is discarded.
class Child {
  public:
    Child(std::vector<std::string> args, std::string* sink, std::mutex* mutex) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) std::abort();
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        reader_ = std::thread([fd = fds[0], sink, mutex] {
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                std::lock_guard lock(*mutex);
                sink->append(buf, static_cast<size_t>(n));
            }
            close(fd);
        });
    }
    ~Child() { Stop(SIGKILL); }
    void Stop(int sig) {
        if (pid_ > 0) {
            kill(pid_, sig);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }

  private:
    pid_t pid_ = -1;
    std::thread reader_;
};

bool Accepting(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// fd 2 into a file that the test can read while the library writes to it.
class StderrFile {
  public:
    explicit StderrFile(std::string path) : path_(std::move(path)) {
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrFile() {
        dup2(saved_, 2);
        close(saved_);
    }
    std::string Text() const { return testkit::ReadFile(path_); }

  private:
    std::string path_;
    int saved_;
};

TEST(Mqtt, DownAtStartGoneMidRunQueuesAndRepublishesAndStopsInTime) {
    testkit::TempDir dir;
    const int port = testkit::FreePort();
    const std::string p = std::to_string(port);
    // Persistence keeps the subscriber's session across broker restarts, so records sent
    // before a new mosquitto_sub is up still reach it. Started as root, the broker saves as
    // the mosquitto user, hence the open folder.
    const std::string store = dir.File("store");
    mkdir(store.c_str(), 0777);
    chmod(store.c_str(), 0777);
    chmod(dir.path().c_str(), 0755);
    testkit::WriteTextFile(dir.File("broker.conf"), "listener " + p +
                                                        " 127.0.0.1\nallow_anonymous true\n"
                                                        "persistence true\npersistence_location " +
                                                        store + "/\n");
    std::mutex mutex;
    std::string seen;
    auto saw = [&](const std::string& needle) {
        return WaitFor(
            [&] {
                std::lock_guard lock(mutex);
                return seen.find(needle) != std::string::npos;
            },
            15s);
    };
    auto broker = [&] {
        auto b = std::make_unique<Child>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir.File("broker.conf")}, &seen,
            &mutex);
        EXPECT_TRUE(WaitFor([&] { return Accepting(port); }, 10s));
        return b;
    };
    auto subscriber = [&] {
        return std::make_unique<Child>(
            std::vector<std::string>{"mosquitto_sub", "-h", "127.0.0.1", "-p", p, "-v", "-t", "#",
                                     "-q", "1", "-c", "-i", "events-test"},
            &seen, &mutex);
    };
    // Create the subscriber's session, then take the broker away.
    {
        auto b = broker();
        auto sub = subscriber();
        Child pub({"mosquitto_pub", "-h", "127.0.0.1", "-p", p, "-q", "1", "-t", "test/ready", "-m",
                   "ready", "-r"},
                  &seen, &mutex);
        ASSERT_TRUE(saw("test/ready ready"));
        sub->Stop(SIGKILL);
        b->Stop(SIGTERM);
    }

    StderrFile err(dir.File("stderr"));
    auto stderrHas = [&](const std::string& needle, int times) {
        return WaitFor([&] { return Count(err.Text(), needle) >= times; }, 20s);
    };
    events::Options o;
    o.mqttHost = "127.0.0.1";
    o.mqttPort = port;
    o.mqttUser = "camwatch";
    o.mqttPassword = "s3cret-pw";
    o.mqttDiscovery = true;
    o.cameraCount = 2;
    auto bus = events::StartEvents(o);
    ASSERT_TRUE(bus);
    const std::string down = "camwatch: MQTT broker 127.0.0.1:" + p + " unreachable; retrying";
    const std::string up = "camwatch: MQTT broker 127.0.0.1:" + p + " connected";
    EXPECT_TRUE(stderrHas(down, 1));
    TrackedEvents cam(0, *bus, 0, false);
    events::FrameFacts f;
    f.count = 1;
    f.held = true;
    auto before = Clock::now();
    cam.OnFrame(f);  // start, while the broker is down
    EXPECT_LT(Clock::now() - before, 1s);

    auto b = broker();
    EXPECT_TRUE(stderrHas(up, 1));
    auto sub = subscriber();
    EXPECT_TRUE(saw("camwatch/events {\"type\":\"start\",\"id\":\"0-0\""));
    EXPECT_TRUE(saw("camwatch/available online"));
    EXPECT_TRUE(saw("camwatch/cam0/motion ON"));
    EXPECT_TRUE(saw("camwatch/cam1/motion OFF"));
    EXPECT_TRUE(
        saw("homeassistant/binary_sensor/camwatch_cam1/config {\"name\":\"Camera 1 motion\","
            "\"unique_id\":\"camwatch_cam1\",\"device_class\":\"motion\",\"state_topic\":"
            "\"camwatch/cam1/motion\""));

    // Gone mid-run: records queue up and arrive after the reconnection.
    sub->Stop(SIGKILL);
    b->Stop(SIGTERM);
    EXPECT_TRUE(stderrHas(down, 2));
    before = Clock::now();
    f.count = 0;
    f.held = false;
    f.wallMs = 40;
    cam.OnFrame(f);  // end
    cam.OnLost("read failed", 80);
    EXPECT_LT(Clock::now() - before, 1s);
    b = broker();
    EXPECT_TRUE(stderrHas(up, 2));
    {
        std::lock_guard lock(mutex);
        seen.clear();
    }
    sub = subscriber();
    EXPECT_TRUE(saw("camwatch/events {\"type\":\"end\",\"id\":\"0-0\""));
    EXPECT_TRUE(saw("camwatch/events {\"type\":\"lost\",\"id\":\"0-80\""));
    EXPECT_TRUE(saw("camwatch/cam0/motion OFF"));

    before = Clock::now();
    bus->Stop(Clock::now() + 10s);
    EXPECT_LT(Clock::now() - before, 3s);
    EXPECT_TRUE(saw("camwatch/available offline"));
    std::string text = err.Text();
    EXPECT_EQ(Count(text, down), 2) << text;
    EXPECT_EQ(Count(text, up), 2) << text;
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
}

}  // namespace

namespace {

// LABELS=person with ALERTLABELS=person: the events topic hears only of the labelled event,
// from its label on; camN/person follows it (retained), and discovery announces occupancy.
TEST(Mqtt, PersonLabelAlertsAndTheOccupancyState) {
    testkit::TempDir dir;
    const int port = testkit::FreePort();
    const std::string p = std::to_string(port);
    testkit::WriteTextFile(dir.File("broker.conf"),
                           "listener " + p + " 127.0.0.1\nallow_anonymous true\n");
    std::mutex mutex;
    std::string seen;
    auto text = [&] {
        std::lock_guard lock(mutex);
        return seen;
    };
    auto saw = [&](const std::string& needle) {
        return WaitFor([&] { return text().find(needle) != std::string::npos; }, 15s);
    };
    Child broker({"/usr/sbin/mosquitto", "-c", dir.File("broker.conf")}, &seen, &mutex);
    ASSERT_TRUE(WaitFor([&] { return Accepting(port); }, 10s));
    Child sub({"mosquitto_sub", "-h", "127.0.0.1", "-p", p, "-v", "-t", "#"}, &seen, &mutex);
    std::this_thread::sleep_for(300ms);  // the subscription is in place

    events::Options o;
    o.mqttHost = "127.0.0.1";
    o.mqttPort = port;
    o.mqttDiscovery = true;
    o.personLabel = true;
    o.cameraCount = 2;
    auto bus = events::StartEvents(o);
    ASSERT_TRUE(bus);
    ASSERT_TRUE(saw("camwatch_cam1_person/config {\"name\":\"Camera 1 person\""));
    EXPECT_TRUE(saw("\"device_class\":\"occupancy\",\"state_topic\":\"camwatch/cam1/person\""));
    TrackedEvents person(0, *bus, 0, false), branch(1, *bus, 0, false);
    person.UseLabels({"person"});
    branch.UseLabels({"person"});
    events::FrameFacts f;
    f.count = 1;
    f.held = true;
    f.wallMs = 1000;
    person.OnFrame(f);
    branch.OnFrame(f);
    ASSERT_TRUE(saw("camwatch/cam1/motion ON"));
    f.labels = {{"person", 1.5, {10, 20, 30, 60}, "cam0n3.jpg"}};
    f.wallMs = 1500;
    person.OnFrame(f);
    EXPECT_TRUE(saw("camwatch/cam0/person ON"));
    EXPECT_TRUE(saw("camwatch/events {\"type\":\"start\",\"id\":\"0-1000\""));
    EXPECT_TRUE(
        saw("\"labels\":[{\"label\":\"person\",\"score\":1.5,\"box\":{\"x\":10,\"y\":20,"
            "\"w\":30,\"h\":60},\"snapshot\":\"cam0n3.jpg\"}]}"));
    f = {};
    f.wallMs = 3000;
    person.OnFrame(f);
    branch.OnFrame(f);
    EXPECT_TRUE(saw("camwatch/events {\"type\":\"end\",\"id\":\"0-1000\""));
    EXPECT_TRUE(saw("camwatch/cam0/person OFF"));
    EXPECT_TRUE(saw("camwatch/cam1/motion OFF"));
    bus->Stop(Clock::now() + 2s);
    const std::string all = text();
    EXPECT_EQ(all.find("\"id\":\"1-1000\""), std::string::npos) << all;  // the branch: silent
    EXPECT_EQ(Count(all, "{\"type\":\"start\""), 1) << all;
    EXPECT_EQ(Count(all, "{\"type\":\"label\""), 1) << all;
    const size_t at = all.find("\"at\":\"");  // the label record's: when it was told
    ASSERT_NE(at, std::string::npos) << all;
    EXPECT_EQ(all.substr(at + 6 + 17, 6), "01.500") << all;
}

}  // namespace
