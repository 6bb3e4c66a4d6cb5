// The optional keys of config.cfg, read once at start, in one place, into the typed options
// each part of the program is handed. Out-of-range numbers are clamped; unset keys give the
// defaults named here.
#pragma once

#include "clips/clips.h"
#include "config/config.h"
#include "events/events.h"
#include "labels/labels.h"
#include "store/store.h"
#include "web/web.h"
#include "worker/worker.h"

namespace options {

// WEBPORT (0), WEBBIND (127.0.0.1), WEBTOKEN (none), WEBFPS (5, 1..30), WEBWIDTH (800,
// 64..4096), WEBCLIENTS (16, 1..64), WEBPEERCONNS (WEBCLIENTS + 16, 1..256), WEBHEADERSECS
// (5, 1..60).
web::Options Web();

// OUTEVENTS, the hooks (ONEVENTSTART, ONEVENTEND, ONCAMERALOST, ONCAMERABACK, HOOKTIMEOUT),
// MQTT (MQTTHOST, MQTTPORT, MQTTTOPIC, MQTTUSER, MQTTPASSWORD, MQTTDISCOVERY) and LABELS.
events::Options Events(int cameraCount);

// EVENTDB (default <PATHLOG>events.db when the web view is on, else off), EVENTDAYS, and
// <PATHLOG>events.jsonl for the first import.
store::Options Store(bool webOn);

// OUTCLIP, PATHCLIP, PRECAPTURE, POSTCAPTURE, PRECAPTUREMB, CLIPDAYS, CLIPCOPY, RECORD,
// SEGMENT, CLIPMAXGB, KEEPEVENTDAYS.
clips::Options Clips();

// LABELS, LABELRATE, ALERTLABELS, MODEL, MODELLABELS, MODELSIZE, MODELSCORE (percent).
labels::Options Labels();

// The process's settings, and what the workers read: MINFREEMB, THRESHOLD, MINSIZE,
// LIGHTSWITCH, WARMUP, MASKi, EVENTGAP, IDLEDECODE, IDLEAFTER, IDLEFPS, MINTRAVEL,
// MINDURATION, TRACKGATE, MAXPIXELS, and the clip and label options above.
WorkerConfig Worker(const config::SettingsRecord& settings);

}  // namespace options
