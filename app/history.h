// Inside the app: the event store and what it is wired to (the bus, the workers' thumbnails,
// clip retention, the web view's review routes).
#pragma once

#include <memory>
#include <string>

#include "clips/clips.h"
#include "store/store.h"
#include "web/web.h"
#include "worker/worker.h"

namespace app {

class EventHistory final : public web::History, public ThumbnailSink, public clips::RetentionGuard {
  public:
    explicit EventHistory(std::unique_ptr<store::Store> store) : store_(std::move(store)) {}
    // Null when the store is off or cannot be used (one line said why).
    static std::unique_ptr<EventHistory> Start(bool webOn);
    store::Store& Store() { return *store_; }

    std::string List(const Page& page) override;
    std::optional<std::string> Event(int64_t id) override;
    std::string Timeline(int camera, int64_t fromMs, int64_t toMs) override;
    std::string File(int64_t id, Media media, int index) override;
    bool Keep(int64_t id, bool keep) override;
    bool Delete(int64_t id) override;

    void Offer(int camera, int64_t eventStartMs, cv::Mat picture) override;

    bool Kept(const std::string& path) override;
    void Deleted(const std::string& path) override;

  private:
    std::unique_ptr<store::Store> store_;
};

}  // namespace app
