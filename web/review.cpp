// The routes of the review view: event pages, one event, a day's timeline, the files of an
// event (thumbnail, clip with byte ranges, snapshots), keep and delete.
#include "web/review.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>

namespace web {

namespace {

void Plain(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

bool AllDigits(const std::string& s, size_t maxLength) {
    if (s.empty() || s.size() > maxLength) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Local midnight of YYYY-MM-DD, ms since the epoch.
std::optional<int64_t> LocalDay(const std::string& text) {
    int y, m, d;
    char tail;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 ||
        text[4] != '-' || text[7] != '-' || y < 1970 || y > 9999 || m < 1 || m > 12 || d < 1 ||
        d > 31) {
        return std::nullopt;
    }
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_isdst = -1;
    const std::time_t at = std::mktime(&t);
    if (at == static_cast<std::time_t>(-1) || t.tm_mday != d) return std::nullopt;
    return int64_t{at} * 1000;
}

// The next local midnight after a day's (23 to 25 hours later).
int64_t NextDay(int64_t dayMs) {
    std::time_t at = static_cast<std::time_t>(dayMs / 1000);
    std::tm t{};
    localtime_r(&at, &t);
    t.tm_mday += 1;
    t.tm_hour = t.tm_min = t.tm_sec = 0;
    t.tm_isdst = -1;
    return int64_t{std::mktime(&t)} * 1000;
}

// A time bound: ms since the epoch, or a local day YYYY-MM-DD (its midnight).
std::optional<int64_t> Bound(const std::string& text) {
    if (AllDigits(text, 15)) return std::stoll(text);
    return LocalDay(text);
}

int64_t Id(const httplib::Request& req) {
    return std::stoll(req.matches[1]);  // the routes allow 1 to 18 digits
}

// Serves a file the history named, with byte ranges for seeking.
void SendFile(const std::string& path, const char* type, const httplib::Request& req,
              httplib::Response& res) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Plain(res, 404, "not found");
    }
    const size_t size = static_cast<size_t>(st.st_size);
    if (req.has_header("Range")) {
        // One range the file can answer (bytes=A-, bytes=A-B, bytes=-N), else 416.
        const std::string range = req.get_header_value("Range");
        size_t a = 0, b = 0;
        bool ok = false;
        if (range.rfind("bytes=", 0) == 0 && range.find(',') == std::string::npos) {
            const std::string bounds = range.substr(6);
            const size_t dash = bounds.find('-');
            if (dash != std::string::npos) {
                const std::string first = bounds.substr(0, dash), last = bounds.substr(dash + 1);
                if (AllDigits(first, 18) && (last.empty() || AllDigits(last, 18))) {
                    a = std::stoull(first);
                    b = last.empty() ? size - 1 : std::stoull(last);
                    ok = a < size && a <= b;
                } else if (first.empty() && AllDigits(last, 18)) {
                    ok = std::stoull(last) > 0 && size > 0;
                }
            }
        }
        if (!ok) {
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            return Plain(res, 416, "range not satisfiable");
        }
    }
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (!*file) return Plain(res, 404, "not found");
    res.set_header("Accept-Ranges", "bytes");
    res.set_content_provider(size, type,
                             [file](size_t offset, size_t length, httplib::DataSink& sink) {
                                 char buffer[64 * 1024];
                                 file->clear();
                                 file->seekg(static_cast<std::streamoff>(offset));
                                 while (length > 0) {
                                     const size_t n = std::min(length, sizeof buffer);
                                     file->read(buffer, static_cast<std::streamsize>(n));
                                     if (file->gcount() <= 0) return false;
                                     const size_t got = static_cast<size_t>(file->gcount());
                                     if (!sink.write(buffer, got)) return false;
                                     length -= got;
                                 }
                                 return true;
                             });
}

}  // namespace

bool ListEvents(History& history, const httplib::Request& req, httplib::Response& res) {
    static const char* const kListParams[] = {"camera", "from", "to", "before", "limit", "kept"};
    bool wanted = false;
    for (const char* p : kListParams) wanted = wanted || req.has_param(p);
    if (!wanted) return false;
    History::Page page;
    const std::string camera = req.get_param_value("camera");
    if (!camera.empty()) {
        if (!AllDigits(camera, 1)) return Plain(res, 400, "camera is 0..9"), true;
        page.camera = camera[0] - '0';
    }
    for (const char* key : {"from", "to"}) {
        const std::string value = req.get_param_value(key);
        if (value.empty()) continue;
        const auto at = Bound(value);
        if (!at) return Plain(res, 400, std::string(key) + " is ms or YYYY-MM-DD"), true;
        (key[0] == 'f' ? page.fromMs : page.toMs) = *at;
    }
    const std::string before = req.get_param_value("before");
    if (!before.empty()) {
        const size_t dot = before.find('.');
        if (dot == std::string::npos || !AllDigits(before.substr(0, dot), 15) ||
            !AllDigits(before.substr(dot + 1), 18)) {
            return Plain(res, 400, "before is <start>.<id> as given in next"), true;
        }
        page.beforeStart = std::stoll(before.substr(0, dot));
        page.beforeId = std::stoll(before.substr(dot + 1));
    }
    const std::string limit = req.get_param_value("limit");
    if (!limit.empty()) {
        if (!AllDigits(limit, 3) || std::stoi(limit) < 1 || std::stoi(limit) > 200) {
            return Plain(res, 400, "limit is 1..200"), true;
        }
        page.limit = std::stoi(limit);
    }
    page.keptOnly = req.get_param_value("kept") == "1";
    res.set_content(history.List(page), "application/json");
    return true;
}

void AddReviewRoutes(httplib::Server& http, std::function<History*()> history) {
    auto need = [history](httplib::Response& res) {
        History* h = history();
        if (!h) Plain(res, 404, "no event history");
        return h;
    };
    http.Get(R"(/api/events/(\d{1,18}))",
             [need](const httplib::Request& req, httplib::Response& res) {
                 History* h = need(res);
                 if (!h) return;
                 const auto json = h->Event(Id(req));
                 if (!json) return Plain(res, 404, "no such event");
                 res.set_content(*json, "application/json");
             });
    http.Get("/api/timeline", [need](const httplib::Request& req, httplib::Response& res) {
        History* h = need(res);
        if (!h) return;
        const auto day = LocalDay(req.get_param_value("day"));
        if (!day) return Plain(res, 400, "day is YYYY-MM-DD");
        const std::string camera = req.get_param_value("camera");
        if (!camera.empty() && !AllDigits(camera, 1)) return Plain(res, 400, "camera is 0..9");
        res.set_content(h->Timeline(camera.empty() ? -1 : camera[0] - '0', *day, NextDay(*day)),
                        "application/json");
    });
    auto media = [need](History::Media kind, const char* type) {
        return [need, kind, type](const httplib::Request& req, httplib::Response& res) {
            History* h = need(res);
            if (!h) return;
            const int index = kind == History::Media::kSnapshot ? std::stoi(req.matches[2]) : 0;
            SendFile(h->File(Id(req), kind, index), type, req, res);
        };
    };
    http.Get(R"(/events/(\d{1,18})/thumb\.jpg)", media(History::Media::kThumb, "image/jpeg"));
    http.Get(R"(/events/(\d{1,18})/clip\.mp4)", media(History::Media::kClip, "video/mp4"));
    http.Get(R"(/events/(\d{1,18})/snapshots/(\d{1,6})\.jpg)",
             media(History::Media::kSnapshot, "image/jpeg"));
    http.Post(R"(/api/events/(\d{1,18})/keep)", [need](const httplib::Request& req,
                                                       httplib::Response& res) {
        History* h = need(res);
        if (!h) return;
        std::string value = req.has_param("keep") ? req.get_param_value("keep") : req.body;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
        if (value != "0" && value != "1") return Plain(res, 400, "keep is 0 or 1");
        if (!h->Keep(Id(req), value == "1")) return Plain(res, 404, "no such event");
        res.set_content(std::string("{\"keep\":") + (value == "1" ? "true" : "false") + "}",
                        "application/json");
    });
    http.Delete(R"(/api/events/(\d{1,18}))",
                [need](const httplib::Request& req, httplib::Response& res) {
                    History* h = need(res);
                    if (!h) return;
                    if (!h->Delete(Id(req))) return Plain(res, 404, "no such event");
                    res.status = 204;
                });
}

}  // namespace web
