// Inside the web library: the review view's routes.
#pragma once

#include <httplib.h>

#include <functional>

#include "web/web.h"

namespace web {

// /api/events with any of camera, from, to, before, limit, kept: a page of the history
// (true, answered); false leaves the request to the recent-events answer.
bool ListEvents(History& history, const httplib::Request& req, httplib::Response& res);
// /api/events/ID, /api/timeline, /events/ID/{thumb.jpg,clip.mp4,snapshots/K.jpg}, keep, delete.
void AddReviewRoutes(httplib::Server& http, std::function<History*()> history);

}  // namespace web
