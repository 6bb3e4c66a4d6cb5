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
    const std::string text = ConfigText(name, "");
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
    opts.port = ConfigInt("WEBPORT", 0);
    if (opts.port < 0 || opts.port > 65535) opts.port = 0;
    opts.bind = ConfigText("WEBBIND", opts.bind);
    opts.token = ConfigText("WEBTOKEN");
    opts.fps = std::clamp(ConfigInt("WEBFPS", opts.fps), 1, 30);
    opts.width = std::clamp(ConfigInt("WEBWIDTH", opts.width), 64, 4096);
    opts.clients = std::clamp(ConfigInt("WEBCLIENTS", opts.clients), 1, 64);
    opts.peerConnections = std::clamp(ConfigInt("WEBPEERCONNS", opts.clients + 16), 1, 256);
    opts.headerSeconds = std::clamp(ConfigInt("WEBHEADERSECS", opts.headerSeconds), 1, 60);
    return opts;
}

events::Options Events(int cameraCount) {
    events::Options o;
    o.cameraCount = cameraCount;
    if (ConfigSwitch("OUTEVENTS")) o.eventFile = GetConfigValue("PATHLOG") + "events.jsonl";
    o.onStart = ConfigText("ONEVENTSTART");
    o.onEnd = ConfigText("ONEVENTEND");
    o.onLost = ConfigText("ONCAMERALOST");
    o.onBack = ConfigText("ONCAMERABACK");
    o.hookTimeoutSeconds = std::max(1, static_cast<int>(ConfigInt("HOOKTIMEOUT", 30)));
    o.mqttHost = ConfigText("MQTTHOST");
    o.mqttPort = ConfigInt("MQTTPORT", 1883);
    o.mqttTopic = ConfigText("MQTTTOPIC", "camwatch");
    o.mqttUser = ConfigText("MQTTUSER");
    o.mqttPassword = ConfigText("MQTTPASSWORD");
    o.mqttDiscovery = ConfigSwitch("MQTTDISCOVERY");
    std::istringstream labels(ConfigText("LABELS"));
    for (std::string label; std::getline(labels, label, ',');) o.personLabel |= label == "person";
    return o;
}

store::Options Store(bool webOn) {
    store::Options o;
    const std::string log = GetConfigValue("PATHLOG");
    o.path = ConfigText("EVENTDB");
    if (o.path.empty() && webOn) o.path = log + "events.db";
    o.days = std::max(0, static_cast<int>(ConfigInt("EVENTDAYS", 0)));
    o.importFile = log + "events.jsonl";
    return o;
}

clips::Options Clips() {
    clips::Options o;
    o.on = ConfigSwitch("OUTCLIP");
    o.prefix = ConfigText("PATHCLIP", "");
    o.preSeconds = SecondsKey("PRECAPTURE", 2);
    o.postSeconds = SecondsKey("POSTCAPTURE", 2);
    o.ringBytes = int64_t{std::max(1, static_cast<int>(ConfigInt("PRECAPTUREMB", 64)))} << 20;
    o.queueBytes = o.ringBytes;
    o.days = std::max(0, static_cast<int>(ConfigInt("CLIPDAYS", 0)));
    o.copy = ConfigText("CLIPCOPY", "ON") != "OFF";
    o.continuous = ConfigText("RECORD", "") == "continuous";
    o.segmentSeconds = std::clamp(static_cast<int>(ConfigInt("SEGMENT", 600)), 1, 86400);
    o.maxBytes = static_cast<int64_t>(SecondsKey("CLIPMAXGB", 0) * (1 << 30));
    o.keepEventDays = std::max(0, static_cast<int>(ConfigInt("KEEPEVENTDAYS", 0)));
    return o;
}

labels::Options Labels() {
    labels::Options o;
    std::istringstream names(ConfigText("LABELS"));
    for (std::string name; std::getline(names, name, ',');) {
        if (name == "person") o.person = true;
    }
    o.ratePerSecond = std::clamp(ConfigInt("LABELRATE", 2), 1, 50);
    o.model = ConfigText("MODEL");
    o.modelLabels = ConfigText("MODELLABELS");
    o.modelSize = std::clamp(ConfigInt("MODELSIZE", 640), 32, 4096);
    o.modelScore = std::clamp(ConfigInt("MODELSCORE", 50), 1, 100) / 100.0;
    std::istringstream alert(ConfigText("ALERTLABELS"));
    for (std::string name; std::getline(alert, name, ',');) {
        if (!name.empty()) o.alert.push_back(name);
    }
    return o;
}

WorkerConfig Worker(const SettingsRecord& settings) {
    WorkerConfig config;
    static_cast<SettingsRecord&>(config) = settings;
    config.minFreeBytes = int64_t{std::max(0, ConfigInt("MINFREEMB", 0))} * 1024 * 1024;
    config.threshold = std::clamp(ConfigInt("THRESHOLD", 30), 0, 255);
    config.detection.minSize = std::max(0, ConfigInt("MINSIZE", 50));
    config.detection.lightSwitchPercent = std::clamp(ConfigInt("LIGHTSWITCH", 0), 0, 100);
    config.detection.warmupFrames = std::max(0, ConfigInt("WARMUP", 0));
    for (size_t i = 0; i < config.maskFiles.size(); ++i) {
        config.maskFiles[i] = ConfigText(("MASK" + std::to_string(i)).c_str());
    }
    config.clips = Clips();
    config.eventGapSeconds = std::max(0, ConfigInt("EVENTGAP", 10));
    config.idle.on = ConfigText("IDLEDECODE") == "keyframes";
    config.idleAfterMs = int64_t{std::max(0, ConfigInt("IDLEAFTER", 10))} * 1000;
    const std::string fps = ConfigText("IDLEFPS", "1");
    char* end = nullptr;
    const double keyFps = std::strtod(fps.c_str(), &end);
    config.idle.keyFps =
        end != fps.c_str() && *end == '\0' && keyFps > 0 && keyFps <= 1000 ? keyFps : 1.0;
    config.gate.minTravelPercent = std::clamp(ConfigInt("MINTRAVEL", 0), 0, 100);
    config.gate.minDurationMs = std::max(0, ConfigInt("MINDURATION", 0));
    config.trackGate = config.gate.On() && ConfigSwitch("TRACKGATE");
    config.labels = Labels();
    // Scene switches restart history and tracks whenever tracks judge travel: at the
    // user's LIGHTSWITCH percent when one is set, otherwise at ours.
    if (config.gate.minTravelPercent > 0 && config.detection.lightSwitchPercent == 0) {
        config.detection.lightSwitchPercent = kSceneSwitchPercent;
    }
    const int32_t maxPixels = ConfigInt("MAXPIXELS", 0);
    if (maxPixels > 0) config.maxPixels = maxPixels;
    return config;
}

}  // namespace options
