// Cameras on the loopback for the stream tests: ffmpeg serving a file as a live HTTP camera.
#pragma once

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/fault.h"

namespace streams {

// ffmpeg serving file as a live camera (-re) to one client at http://127.0.0.1:port/cam: as
// MJPEG ("mpjpeg") or MPEG-TS ("mpegts", MPEG-2 video), re-encoded, or with the file's own
// packets ("mpjpeg+copy", "mpegts+copy").
class StreamServer {
  public:
    StreamServer(const testkit::TempDir& dir, const std::string& file, const std::string& format,
                 int port, bool loop = true)
        : dir_(dir), file_(file), format_(format), port_(port), loop_(loop) {
        Start();
    }
    void Start() {
        std::vector<std::string> args = {"-nostdin", "-v", "error", "-re"};
        if (loop_) args.insert(args.end(), {"-stream_loop", "-1"});
        args.insert(args.end(), {"-i", file_});
        if (format_.ends_with("+copy")) {
            args.insert(args.end(), {"-c", "copy", "-f", format_.substr(0, format_.size() - 5)});
        } else {
            args.insert(args.end(), {"-c:v", format_ == "mpjpeg" ? "mjpeg" : "mpeg2video", "-q:v",
                                     "2", "-f", format_});
        }
        args.insert(args.end(), {"-listen", "1", Url()});
        process_ =
            std::make_unique<testkit::Program>(dir_.path(), std::vector<std::string>{},
                                               "/usr/bin/ffmpeg", std::function<void()>{}, args);
        EXPECT_TRUE(fault::WaitUntil([&] { return fault::Listening(port_); }, 20000))
            << Url() << process_->Stderr();
    }
    void Kill() {
        process_.reset();  // SIGKILL and reaped
    }
    // Whether the server still runs (it ends when its one client goes).
    bool Running() const { return process_ && fault::Running(*process_); }
    void Signal(int sig) {
        if (process_) process_->Signal(sig);  // a killed server has none to signal
    }
    std::string Url(const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/cam";
    }

  private:
    const testkit::TempDir& dir_;
    std::string file_, format_;
    int port_;
    bool loop_;
    std::unique_ptr<testkit::Program> process_;
};

}  // namespace streams
