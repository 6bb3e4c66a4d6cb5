// MQTT: availability, a retained motion state per camera, the records themselves, and
// optional discovery configs. libmosquitto's own thread does the network; nothing here
// waits for the broker except Stop.
#include <algorithm>
#include <mosquitto.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <thread>

#include "base/base.h"
#include "events/outlets.h"

namespace events {

namespace {

constexpr size_t kMaxPending = 1000;  // records kept while the broker is away
constexpr int kKeepAliveSeconds = 10;
constexpr int kQos = 1;

std::once_flag libraryInit;

// Which of cameras 0 .. count-1 have a worker (all of them when the options name none).
std::vector<bool> Served(const Options& o, size_t count) {
    std::vector<bool> served(count, o.served.empty());
    for (int cam : o.served) {
        if (cam >= 0 && static_cast<size_t>(cam) < count) served[cam] = true;
    }
    return served;
}

class Mqtt final : public Outlet {
  public:
    explicit Mqtt(const Options& o)
        : prefix_(o.mqttTopic.empty() ? "camwatch" : o.mqttTopic),
          broker_(o.mqttHost + ":" + std::to_string(o.mqttPort)),
          discovery_(o.mqttDiscovery),
          motion_(static_cast<size_t>(std::clamp(o.cameraCount, 0, base::kSlotCount)), false),
          personLabel_(o.personLabel),
          person_(motion_.size(), false),
          served_(Served(o, motion_.size())) {
        std::call_once(libraryInit, [] { mosquitto_lib_init(); });
        mosq_ = mosquitto_new(nullptr, true, this);
        if (!mosq_) throw std::runtime_error("cannot create the MQTT client");
        if (!o.mqttUser.empty()) {
            mosquitto_username_pw_set(mosq_, o.mqttUser.c_str(),
                                      o.mqttPassword.empty() ? nullptr : o.mqttPassword.c_str());
        }
        std::string available = prefix_ + "/available";
        mosquitto_will_set(mosq_, available.c_str(), 7, "offline", kQos, true);
        mosquitto_connect_callback_set(mosq_, &Mqtt::OnConnect);
        mosquitto_disconnect_callback_set(mosq_, &Mqtt::OnDisconnect);
        mosquitto_publish_callback_set(mosq_, &Mqtt::OnPublish);
        // Our own network thread: libmosquitto's stops retrying after a refused first
        // connection, and its reconnect pause cannot be cut short at shutdown.
        mosquitto_threaded_set(mosq_, true);
        host_ = o.mqttHost;
        port_ = o.mqttPort;
        thread_ = std::thread([this] { Run(); });
    }

    ~Mqtt() override {
        Stop(std::chrono::steady_clock::now());
        mosquitto_destroy(mosq_);
    }

    void Deliver(const Event& event, const std::string& json) override {
        std::lock_guard lock(mutex_);
        bool motion = event.type == Type::kStart || event.type == Type::kEnd;
        if (motion && event.camera >= 0 && static_cast<size_t>(event.camera) < motion_.size()) {
            motion_[event.camera] = event.type == Type::kStart;
            if (connected_) PublishState(event.camera);
        }
        if (personLabel_ && event.labels && event.camera >= 0 &&
            static_cast<size_t>(event.camera) < person_.size()) {
            // ON once the event has a person, OFF when it ends.
            const bool person =
                event.type != Type::kEnd &&
                std::any_of(event.labels->begin(), event.labels->end(),
                            [](const LabelFacts& l) { return l.label == "person"; });
            if (person != person_[event.camera]) {
                person_[event.camera] = person;
                if (connected_) PublishPerson(event.camera);
            }
        }
        // The state topics follow every event; the events topic only those that may alert.
        if (event.audience == Audience::kRecord) return;
        if (connected_ && Send(prefix_ + "/events", json, false)) return;
        pending_.push_back(json);
        if (pending_.size() > kMaxPending) {
            pending_.pop_front();
            ++dropped_;
        }
    }

    // Every record: the state topics follow them all, the events topic all but those only
    // for recording.
    bool Takes(Audience) const override { return true; }

    void Stop(Deadline deadline) override {
        {
            std::unique_lock lock(mutex_);
            if (stopped_) return;
            stopping_ = true;
            if (connected_) SendOffline();
            // Wait for the broker to take the last records and `offline`; a broker that is
            // away gets until the deadline to come back when records are still waiting.
            acked_.wait_until(lock, deadline, [&] {
                return inflight_.empty() && (offlineSent_ || (!connected_ && pending_.empty()));
            });
            stopped_ = true;
        }
        mosquitto_disconnect(mosq_);  // the network thread sends it on its way out
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        retry_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    // Drives the connection: connects, runs the client, and after a loss waits 1, 2, 4, 8,
    // 8 ... seconds between attempts (cut short by Stop).
    void Run() noexcept {
        bool linked = false, first = true;
        auto pause = std::chrono::seconds(1);
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (quit_) break;
            }
            if (!linked) {
                int rc =
                    first ? mosquitto_connect_async(mosq_, host_.c_str(), port_, kKeepAliveSeconds)
                          : mosquitto_reconnect_async(mosq_);
                first = false;
                linked = rc == MOSQ_ERR_SUCCESS;
                if (!linked) {
                    std::unique_lock lock(mutex_);
                    Down();
                    retry_.wait_for(lock, pause, [&] { return quit_; });
                    pause = std::min(pause * 2, std::chrono::seconds(8));
                    continue;
                }
            }
            int rc = mosquitto_loop(mosq_, 200, 1);
            std::unique_lock lock(mutex_);
            if (connected_) pause = std::chrono::seconds(1);
            if (rc != MOSQ_ERR_SUCCESS) {
                linked = false;
                connected_ = false;
                if (!stopping_) Down();
                acked_.notify_all();
                if (quit_) break;
                retry_.wait_for(lock, pause, [&] { return quit_; });
                pause = std::min(pause * 2, std::chrono::seconds(8));
            }
        }
        // A DISCONNECT asked for by Stop still goes out.
        if (linked) mosquitto_loop(mosq_, 100, 1);
    }

    static void OnConnect(mosquitto*, void* self, int rc) {
        static_cast<Mqtt*>(self)->Connected(rc);
    }
    static void OnDisconnect(mosquitto*, void* self, int) {
        static_cast<Mqtt*>(self)->Disconnected();
    }
    static void OnPublish(mosquitto*, void* self, int mid) {
        auto* m = static_cast<Mqtt*>(self);
        std::lock_guard lock(m->mutex_);
        m->inflight_.erase(mid);
        m->acked_.notify_all();
    }

    void Connected(int rc) {
        std::lock_guard lock(mutex_);
        if (rc != 0) {
            if (!refusedReported_) {
                Report("MQTT broker " + broker_ + " refused the connection (" +
                       mosquitto_connack_string(rc) + "); retrying");
            }
            refusedReported_ = true;
            reported_ = State::kDown;
            return;
        }
        connected_ = true;
        if (reported_ == State::kDown) Report("MQTT broker " + broker_ + " connected");
        reported_ = State::kUp;
        Send(prefix_ + "/available", "online", true);
        for (size_t cam = 0; cam < motion_.size(); ++cam) {
            if (!served_[cam]) continue;  // no retained topics for cameras nobody serves
            if (discovery_) PublishDiscovery(cam);
            if (discovery_ && personLabel_) PublishPersonDiscovery(cam);
            PublishState(cam);
            if (personLabel_) PublishPerson(cam);
        }
        while (!pending_.empty() && Send(prefix_ + "/events", pending_.front(), false)) {
            pending_.pop_front();
        }
        if (stopping_) SendOffline();
        acked_.notify_all();
    }

    void Disconnected() {
        std::lock_guard lock(mutex_);
        connected_ = false;
        if (!stopping_) Down();
        acked_.notify_all();
    }

    void Down() {  // with mutex_ held, or from the constructor
        if (reported_ != State::kDown) Report("MQTT broker " + broker_ + " unreachable; retrying");
        reported_ = State::kDown;
    }

    bool Send(const std::string& topic, const std::string& payload, bool retain) {
        int mid = 0;
        int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), kQos, retain);
        if (rc != MOSQ_ERR_SUCCESS) return false;
        inflight_.insert(mid);
        return true;
    }

    void SendOffline() { offlineSent_ = Send(prefix_ + "/available", "offline", true); }

    void PublishState(size_t cam) {
        Send(prefix_ + "/cam" + std::to_string(cam) + "/motion", motion_[cam] ? "ON" : "OFF", true);
    }

    void PublishPerson(size_t cam) {
        Send(prefix_ + "/cam" + std::to_string(cam) + "/person", person_[cam] ? "ON" : "OFF", true);
    }

    // LABELS=person: Home Assistant sees a person on the camera as occupancy.
    void PublishPersonDiscovery(size_t cam) {
        const std::string n = std::to_string(cam);
        nlohmann::ordered_json config = {
            {"name", "Camera " + n + " person"},
            {"unique_id", "camwatch_cam" + n + "_person"},
            {"device_class", "occupancy"},
            {"state_topic", prefix_ + "/cam" + n + "/person"},
            {"payload_on", "ON"},
            {"payload_off", "OFF"},
            {"availability_topic", prefix_ + "/available"},
            {"payload_available", "online"},
            {"payload_not_available", "offline"},
            {"device", {{"identifiers", {"camwatch_" + prefix_}}, {"name", "camwatch"}}},
        };
        Send("homeassistant/binary_sensor/camwatch_cam" + n + "_person/config",
             config.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace), true);
    }

    void PublishDiscovery(size_t cam) {
        std::string n = std::to_string(cam);
        nlohmann::ordered_json config = {
            {"name", "Camera " + n + " motion"},
            {"unique_id", "camwatch_cam" + n},
            {"device_class", "motion"},
            {"state_topic", prefix_ + "/cam" + n + "/motion"},
            {"payload_on", "ON"},
            {"payload_off", "OFF"},
            {"availability_topic", prefix_ + "/available"},
            {"payload_available", "online"},
            {"payload_not_available", "offline"},
            {"device",
             {{"identifiers", {"camwatch_" + prefix_}},
              {"name", "camwatch"},
              {"manufacturer", "camwatch"},
              {"model", "camwatch"}}},
        };
        Send("homeassistant/binary_sensor/camwatch_cam" + n + "/config",
             config.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace), true);
    }

    enum class State { kUnknown, kUp, kDown };

    const std::string prefix_;
    const std::string broker_;  // host:port for messages; never the credentials
    const bool discovery_;
    mosquitto* mosq_ = nullptr;
    std::string host_;
    int port_ = 0;
    std::thread thread_;

    std::mutex mutex_;  // everything below; taken in libmosquitto's callbacks too
    std::condition_variable acked_;
    std::condition_variable retry_;  // wakes the network thread's pause
    bool quit_ = false;
    std::vector<bool> motion_;
    const bool personLabel_;
    std::vector<bool> person_;
    const std::vector<bool> served_;
    std::deque<std::string> pending_;
    uint64_t dropped_ = 0;
    std::set<int> inflight_;
    bool connected_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    bool offlineSent_ = false;
    bool refusedReported_ = false;
    State reported_ = State::kUnknown;
};

}  // namespace

// A prefix every published topic can start with: no wildcard, no empty level, not one of the
// broker's own ($SYS ...), valid UTF-8.
bool UsableTopicPrefix(const std::string& prefix) {
    if (prefix.empty()) return true;  // the default stands in
    if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
        prefix.back() == '/' || prefix.find("//") != std::string::npos || prefix.front() == '$') {
        return false;
    }
    return mosquitto_validate_utf8(prefix.c_str(), static_cast<int>(prefix.size())) ==
               MOSQ_ERR_SUCCESS &&
           prefix.size() < 60000;
}

std::unique_ptr<Outlet> MakeMqtt(const Options& o) {
    if (o.mqttHost.empty()) return nullptr;
    if (!UsableTopicPrefix(o.mqttTopic)) {
        Report("MQTTTOPIC " + o.mqttTopic +
               " is not a usable topic prefix (no +, #, leading $ or empty level); MQTT is off");
        return nullptr;
    }
    return std::make_unique<Mqtt>(o);
}

}  // namespace events
