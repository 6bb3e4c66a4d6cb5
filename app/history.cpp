// The event store behind the web view's review routes, the workers' thumbnails and clip
// retention. Store errors become plain answers: the routes say "error", nothing escapes.
#include "app/history.h"

#include "diag/report.h"
#include "options/options.h"

namespace app {

std::unique_ptr<EventHistory> EventHistory::Start(bool webOn) {
    store::Options chosen = options::Store(webOn);
    if (chosen.path.empty()) return nullptr;
    chosen.report = [](const std::string& text) { ReportError(text); };
    auto store = store::Store::Open(chosen);
    if (!store) return nullptr;
    return std::make_unique<EventHistory>(std::move(store));
}

std::string EventHistory::List(const Page& page) {
    store::Query q;
    q.camera = page.camera;
    q.fromMs = page.fromMs;
    q.toMs = page.toMs;
    q.keptOnly = page.keptOnly;
    q.beforeStart = page.beforeStart;
    q.beforeId = page.beforeId;
    q.limit = page.limit;
    const std::vector<store::Record> rows = store_->List(q);
    std::string out = "{\"events\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i) out += ",";
        out += store::ToJson(rows[i], store_->Snapshots(rows[i]));
    }
    out += "],\"next\":";
    if (static_cast<int>(rows.size()) == q.limit && !rows.empty()) {
        out.append("\"").append(std::to_string(rows.back().startMs));
        out.append(".").append(std::to_string(rows.back().id)).append("\"");
    } else {
        out += "null";
    }
    return out + "}";
}

std::optional<std::string> EventHistory::Event(int64_t id) {
    const auto r = store_->Get(id);
    if (!r) return std::nullopt;
    return store::ToJson(*r, store_->Snapshots(*r));
}

std::string EventHistory::Timeline(int camera, int64_t fromMs, int64_t toMs) {
    std::string out = "{\"from_ms\":";
    out.append(std::to_string(fromMs)).append(",\"to_ms\":").append(std::to_string(toMs));
    out.append(",\"events\":[");
    bool first = true;
    for (const store::Record& r : store_->Span(camera, fromMs, toMs)) {
        if (!first) out += ",";
        first = false;
        out.append("[").append(std::to_string(r.id)).append(",");
        out.append(std::to_string(r.camera)).append(",").append(std::to_string(r.startMs));
        out.append(",").append(r.endMs ? std::to_string(r.endMs) : "null").append("]");
    }
    return out + "]}";
}

std::string EventHistory::File(int64_t id, Media media, int index) {
    const store::Media kind = media == Media::kThumb  ? store::Media::kThumb
                              : media == Media::kClip ? store::Media::kClip
                                                      : store::Media::kSnapshot;
    return store_->File(id, kind, index);
}

bool EventHistory::Keep(int64_t id, bool keep) {
    return store_->SetKeep(id, keep);
}

bool EventHistory::Delete(int64_t id) {
    return store_->Delete(id);
}

void EventHistory::Offer(int camera, int64_t eventStartMs, cv::Mat picture) {
    store_->Thumbnail(camera, eventStartMs, std::move(picture));
}

bool EventHistory::Kept(const std::string& path) {
    try {
        return store_->ClipKept(path);
    } catch (...) {
        return true;  // unsure: the clip stays
    }
}

void EventHistory::Deleted(const std::string& path) {
    Guarded([&] { store_->ClipDeleted(path); });
}

}  // namespace app
