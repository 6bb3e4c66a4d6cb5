// The display thread: the one thread of the program that calls HighGUI.
//
// Workers post requests (create, show, destroy) into a queue and go on at once. The thread
// applies them in order and, while any window is open, pumps the window system's events in
// short slices so that windows repaint and answer the user. With no window open a key wait
// returns at once, so the thread then sleeps on its queue instead.
//
// A window closed with its close button is destroyed here and reported to its worker, which
// treats it like `winoff` for that camera; `winon` brings it back.
#include "display/display.h"

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <opencv2/highgui.hpp>
#include <thread>

#include "diag/report.h"

namespace display {

namespace {

constexpr int kPumpMs = 10;                           // one slice of event pumping
constexpr auto kStopGrace = std::chrono::seconds(2);  // how long exit waits for the thread

bool XDisplayOpens() {
    // Loaded by hand so that the program runs (without windows) where libX11 is missing.
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!x11) return false;
    using OpenDisplay = void* (*)(const char*);
    using CloseDisplay = int (*)(void*);
    auto open = reinterpret_cast<OpenDisplay>(dlsym(x11, "XOpenDisplay"));
    auto close = reinterpret_cast<CloseDisplay>(dlsym(x11, "XCloseDisplay"));
    bool opens = false;
    if (open && close) {
        if (void* display = open(nullptr)) {
            opens = true;
            close(display);
        }
    }
    // libX11 stays loaded: Qt's xcb platform uses it again at once.
    return opens;
}

class DisplayThread final : public WindowSystem {
  public:
    void Create(const std::string& title) override {
        Request request{Op::Create, title, {}, 0};
        std::lock_guard<std::mutex> lock(mutex_);
        request.generation = ++lastGeneration_;
        latest_[title] = request.generation;
        PostLocked(std::move(request));
    }

    void Show(const std::string& title, const cv::Mat& image) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != State::Running) return;  // no window can exist
        }
        cv::Mat copy;
        Guarded([&] { copy = image.clone(); });
        if (copy.empty()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        // Only the newest picture of a window matters: replace a show still waiting.
        for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
            if (it->title != title) continue;
            if (it->op == Op::Show) {
                it->image = std::move(copy);
                return;
            }
            break;
        }
        PostLocked({Op::Show, title, std::move(copy), 0});
    }

    void Destroy(const std::string& title) override {
        std::lock_guard<std::mutex> lock(mutex_);
        latest_[title] = ++lastGeneration_;  // a close seen before this is no news any more
        PostLocked({Op::Destroy, title, {}, 0});
    }

    bool TakeClosedByUser(const std::string& title) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto closed = closedByUser_.find(title);
        if (closed == closedByUser_.end()) return false;
        bool current = latest_[title] == closed->second;
        closedByUser_.erase(closed);
        return current;
    }

    // At process exit: close the windows and let the thread end before the libraries go.
    void Stop() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (state_ != State::Running) {
            state_ = State::Stopped;
            return;
        }
        state_ = State::Stopping;
        wake_.notify_all();
        bool ended = stopped_.wait_for(lock, kStopGrace, [&] { return state_ != State::Stopping; });
        lock.unlock();
        // The thread still runs Qt's per-thread clean-up after it has said so; the process
        // must not unload Qt under it. A thread stuck inside the window system is left be.
        if (ended && thread_.joinable()) thread_.join();
    }

  private:
    enum class Op { Create, Show, Destroy };
    struct Request {
        Op op;
        std::string title;
        cv::Mat image;
        uint64_t generation;  // of a Create
    };
    enum class State { Idle, Running, Unavailable, Stopping, Stopped };

    // Dropped when there is no display, or the program is ending.
    void PostLocked(Request request) {
        if (state_ == State::Idle) StartLocked();
        if (state_ != State::Running) return;
        queue_.push_back(std::move(request));
        wake_.notify_one();
    }

    // The display is looked for on the new thread: reaching a remote one can take long,
    // and the workers must not wait for that.
    void StartLocked() {
        try {
            thread_ = std::thread(&DisplayThread::Run, this);
            state_ = State::Running;
        } catch (...) {
            state_ = State::Unavailable;
            ReportError("camera windows are unavailable: no display thread");
        }
    }

    void Run() {
        if (!DisplayReachable()) {
            ReportError("camera windows are unavailable: no display can be opened");
            std::lock_guard<std::mutex> lock(mutex_);
            state_ = State::Unavailable;
            queue_.clear();
            stopped_.notify_all();
            // Never touched the window system: nothing at exit needs to wait for this thread.
            // (Its handle was stored before the starter let go of the mutex.)
            if (thread_.joinable()) thread_.detach();
            return;
        }
        std::map<std::string, uint64_t> open;  // title -> generation of its Create
        for (;;) {
            std::deque<Request> batch;
            bool stopping;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (open.empty()) {
                    wake_.wait(lock, [&] { return !queue_.empty() || state_ == State::Stopping; });
                }
                batch.swap(queue_);
                stopping = state_ == State::Stopping;
            }
            for (Request& request : batch) Apply(request, open);
            if (stopping) break;
            if (!open.empty()) {
                Guarded([] { cv::waitKey(kPumpMs); });
                FindWindowsClosedByUser(open);
            }
        }
        for (const auto& [title, generation] : open) {
            Guarded([&] { cv::destroyWindow(title); });
        }
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = State::Stopped;
        queue_.clear();
        stopped_.notify_all();
    }

    // Qt registers its own teardown for process exit when its application object is made
    // (at the first window). Registered after that, this handler runs before it, so the
    // thread has closed its windows and stopped before Qt takes itself down.
    static void StopAtExitBeforeQt() {
        static std::once_flag registered;
        std::call_once(registered, [] {
            std::atexit([] { static_cast<DisplayThread&>(DisplayWindows()).Stop(); });
        });
    }

    static void Apply(Request& request, std::map<std::string, uint64_t>& open) {
        switch (request.op) {
            case Op::Create:
                Guarded([&] {
                    cv::namedWindow(request.title, cv::WINDOW_AUTOSIZE);
                    open[request.title] = request.generation;
                });
                StopAtExitBeforeQt();
                break;
            case Op::Show:
                if (open.count(request.title)) {
                    Guarded([&] { cv::imshow(request.title, request.image); });
                }
                break;
            case Op::Destroy:
                if (open.erase(request.title)) {
                    Guarded([&] { cv::destroyWindow(request.title); });
                }
                break;
        }
    }

    // The Qt backend only hides a window whose close button was pressed and shows it again
    // at the next imshow; here such a window is destroyed and its worker told.
    void FindWindowsClosedByUser(std::map<std::string, uint64_t>& open) {
        for (auto it = open.begin(); it != open.end();) {
            double visible = 0;
            Guarded([&] { visible = cv::getWindowProperty(it->first, cv::WND_PROP_VISIBLE); });
            if (visible >= 1) {
                ++it;
                continue;
            }
            Guarded([&] { cv::destroyWindow(it->first); });
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closedByUser_[it->first] = it->second;
            }
            it = open.erase(it);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable stopped_;
    std::thread thread_;  // joined by Stop() at exit; the object itself is never destroyed
    State state_ = State::Idle;
    std::deque<Request> queue_;
    uint64_t lastGeneration_ = 0;
    std::map<std::string, uint64_t> latest_;        // title -> generation of its last request
    std::map<std::string, uint64_t> closedByUser_;  // title -> generation of the closed window
};

}  // namespace

bool DisplayReachable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && (std::strncmp(platform, "offscreen", 9) == 0 ||
                     std::strncmp(platform, "minimal", 7) == 0)) {
        return true;
    }
    return XDisplayOpens();
}

WindowSystem& DisplayWindows() {
    // Never destroyed: workers may still post while the process ends.
    static DisplayThread* display = new DisplayThread;
    return *display;
}

}  // namespace display
