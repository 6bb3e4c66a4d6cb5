// The real program with a real MQTT broker: motion states, events, discovery, and the will
// that the broker publishes when camwatch is killed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/testkit/e2e.h"

namespace {

constexpr int kTimeoutMs = 60000;

TEST(MqttEndToEnd, MotionEventsDiscoveryAndTheWillOnAKill) {
    testkit::TempDir dir;
    const std::string port = std::to_string(testkit::FreePort());
    testkit::WriteTextFile(dir.File("broker.conf"),
                           "listener " + port + " 127.0.0.1\nallow_anonymous true\n");
    testkit::Program broker(dir.path(), {}, "/usr/sbin/mosquitto", {},
                            {"-c", dir.File("broker.conf")});
    // A camera that moves all the time and outlasts the test.
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 2000, e2e::kSmall, e2e::Flicker));
    e2e::WriteConfig(dir, {{"MQTTHOST", "127.0.0.1"},
                           {"MQTTPORT", port},
                           {"MQTTTOPIC", "home/cams"},
                           {"MQTTDISCOVERY", "ON"},
                           {"OUTJPG", "OFF"},
                           {"OUTAVI", "OFF"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the broker listens
    testkit::Program sub(dir.path(), {}, "/usr/bin/mosquitto_sub", {},
                         {"-h", "127.0.0.1", "-p", port, "-v", "-t", "#"});
    testkit::Program program(dir.path());
    ASSERT_TRUE(sub.WaitForOutput("home/cams/cam0/motion ON", kTimeoutMs)) << sub.Stdout();
    ASSERT_TRUE(sub.WaitForOutput("home/cams/events {\"type\":\"start\"", kTimeoutMs));
    const std::string seen = sub.Stdout();
    EXPECT_NE(seen.find("home/cams/available online"), std::string::npos);
    EXPECT_NE(seen.find("homeassistant/binary_sensor/camwatch_cam0/config {"), std::string::npos);
    EXPECT_NE(seen.find("\"device_class\":\"motion\""), std::string::npos);
    EXPECT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
    EXPECT_EQ(program.Stdout(), "Searching.\nAll camera=1\nQORV#");

    program.Signal(SIGKILL);
    EXPECT_TRUE(sub.WaitForOutput("home/cams/available offline", kTimeoutMs)) << sub.Stdout();
}

}  // namespace
