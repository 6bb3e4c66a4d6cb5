// Every optional key of config.cfg, read once at start into the typed options each part of
// the program is handed. Nothing below the composition root reads a key.
#include "options/options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config/config.h"

namespace options {

namespace {

// A number of seconds, fractions allowed; the fallback when unset or not a number.
double SecondsKey(const char* name, double fallback) {
    const std::string text = config::ConfigText(name, "");
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        return fallback;
    }
    return std::clamp(value, 0.0, 3600.0);
}

}  // namespace

web::Options Web() {
    web::Options opts;
    opts.port = config::ConfigInt("WEBPORT", 0);
    if (opts.port < 0 || opts.port > 65535) opts.port = 0;
    opts.bind = config::ConfigText("WEBBIND", opts.bind);
    opts.token = config::ConfigText("WEBTOKEN");
    opts.fps = std::clamp(config::ConfigInt("WEBFPS", opts.fps), 1, 30);
    opts.width = std::clamp(config::ConfigInt("WEBWIDTH", opts.width), 64, 4096);
    opts.clients = std::clamp(config::ConfigInt("WEBCLIENTS", opts.clients), 1, 64);
    opts.peerConnections = std::clamp(config::ConfigInt("WEBPEERCONNS", opts.clients + 16), 1, 256);
    opts.headerSeconds = std::clamp(config::ConfigInt("WEBHEADERSECS", opts.headerSeconds), 1, 60);
    return opts;
}

events::Options Events(int cameraCount) {
    events::Options o;
    o.cameraCount = cameraCount;
    if (config::ConfigSwitch("OUTEVENTS"))
        o.eventFile = config::GetConfigValue("PATHLOG") + "events.jsonl";
    o.onStart = config::ConfigText("ONEVENTSTART");
    o.onEnd = config::ConfigText("ONEVENTEND");
    o.onLost = config::ConfigText("ONCAMERALOST");
    o.onBack = config::ConfigText("ONCAMERABACK");
    o.hookTimeoutSeconds = std::max(1, static_cast<int>(config::ConfigInt("HOOKTIMEOUT", 30)));
    o.mqttHost = config::ConfigText("MQTTHOST");
    o.mqttPort = config::ConfigInt("MQTTPORT", 1883);
    o.mqttTopic = config::ConfigText("MQTTTOPIC", "camwatch");
    o.mqttUser = config::ConfigText("MQTTUSER");
    o.mqttPassword = config::ConfigText("MQTTPASSWORD");
    o.mqttDiscovery = config::ConfigSwitch("MQTTDISCOVERY");
    std::istringstream labels(config::ConfigText("LABELS"));
    for (std::string label; std::getline(labels, label, ',');) o.personLabel |= label == "person";
    return o;
}

store::Options Store(bool webOn) {
    store::Options o;
    const std::string log = config::GetConfigValue("PATHLOG");
    o.path = config::ConfigText("EVENTDB");
    if (o.path.empty() && webOn) o.path = log + "events.db";
    o.days = std::max(0, static_cast<int>(config::ConfigInt("EVENTDAYS", 0)));
    o.importFile = log + "events.jsonl";
    return o;
}

clips::Options Clips() {
    clips::Options o;
    o.on = config::ConfigSwitch("OUTCLIP");
    o.prefix = config::ConfigText("PATHCLIP", "");
    o.preSeconds = SecondsKey("PRECAPTURE", 2);
    o.postSeconds = SecondsKey("POSTCAPTURE", 2);
    o.ringBytes = int64_t{std::max(1, static_cast<int>(config::ConfigInt("PRECAPTUREMB", 64)))}
                  << 20;
    o.queueBytes = o.ringBytes;
    o.days = std::max(0, static_cast<int>(config::ConfigInt("CLIPDAYS", 0)));
    o.copy = config::ConfigText("CLIPCOPY", "ON") != "OFF";
    o.continuous = config::ConfigText("RECORD", "") == "continuous";
    o.segmentSeconds = std::clamp(static_cast<int>(config::ConfigInt("SEGMENT", 600)), 1, 86400);
    o.maxBytes = static_cast<int64_t>(SecondsKey("CLIPMAXGB", 0) * (1 << 30));
    o.keepEventDays = std::max(0, static_cast<int>(config::ConfigInt("KEEPEVENTDAYS", 0)));
    return o;
}

labels::Options Labels() {
    labels::Options o;
    std::istringstream names(config::ConfigText("LABELS"));
    for (std::string name; std::getline(names, name, ',');) {
        if (name == "person") o.person = true;
    }
    o.ratePerSecond = std::clamp(config::ConfigInt("LABELRATE", 2), 1, 50);
    o.model = config::ConfigText("MODEL");
    o.modelLabels = config::ConfigText("MODELLABELS");
    o.modelSize = std::clamp(config::ConfigInt("MODELSIZE", 640), 32, 4096);
    o.modelScore = std::clamp(config::ConfigInt("MODELSCORE", 50), 1, 100) / 100.0;
    std::istringstream alert(config::ConfigText("ALERTLABELS"));
    for (std::string name; std::getline(alert, name, ',');) {
        if (!name.empty()) o.alert.push_back(name);
    }
    return o;
}

WorkerConfig Worker(const config::SettingsRecord& settings) {
    WorkerConfig config;
    static_cast<config::SettingsRecord&>(config) = settings;
    config.minFreeBytes = int64_t{std::max(0, config::ConfigInt("MINFREEMB", 0))} * 1024 * 1024;
    config.threshold = std::clamp(config::ConfigInt("THRESHOLD", 30), 0, 255);
    config.detection.minSize = std::max(0, config::ConfigInt("MINSIZE", 50));
    config.detection.lightSwitchPercent = std::clamp(config::ConfigInt("LIGHTSWITCH", 0), 0, 100);
    config.detection.warmupFrames = std::max(0, config::ConfigInt("WARMUP", 0));
    for (size_t i = 0; i < config.maskFiles.size(); ++i) {
        config.maskFiles[i] = config::ConfigText(("MASK" + std::to_string(i)).c_str());
    }
    config.clips = Clips();
    config.eventGapSeconds = std::max(0, config::ConfigInt("EVENTGAP", 10));
    config.idle.on = config::ConfigText("IDLEDECODE") == "keyframes";
    config.idleAfterMs = int64_t{std::max(0, config::ConfigInt("IDLEAFTER", 10))} * 1000;
    const std::string fps = config::ConfigText("IDLEFPS", "1");
    char* end = nullptr;
    const double keyFps = std::strtod(fps.c_str(), &end);
    config.idle.keyFps =
        end != fps.c_str() && *end == '\0' && keyFps > 0 && keyFps <= 1000 ? keyFps : 1.0;
    config.gate.minTravelPercent = std::clamp(config::ConfigInt("MINTRAVEL", 0), 0, 100);
    config.gate.minDurationMs = std::max(0, config::ConfigInt("MINDURATION", 0));
    config.trackGate = config.gate.On() && config::ConfigSwitch("TRACKGATE");
    config.labels = Labels();
    // Scene switches restart history and tracks whenever tracks judge travel: at the
    // user's LIGHTSWITCH percent when one is set, otherwise at ours.
    if (config.gate.minTravelPercent > 0 && config.detection.lightSwitchPercent == 0) {
        config.detection.lightSwitchPercent = kSceneSwitchPercent;
    }
    const int32_t maxPixels = config::ConfigInt("MAXPIXELS", 0);
    if (maxPixels > 0) config.maxPixels = maxPixels;
    return config;
}

}  // namespace options
