// The stderr channel: a thread that quiets the libraries (a video that cannot be created, tried
// on every frame) never swallows another thread's lines, and drops only its own library chatter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "diag/diag.h"
#include "recording/recording.h"

namespace {

// fd 2 into a file for the object's life; Text() reads what was written.
class CapturedStderr {
  public:
    CapturedStderr() {
        std::fflush(stderr);
        saved_ = dup(2);
        FILE* f = std::tmpfile();
        file_ = f;
        dup2(fileno(f), 2);
    }
    ~CapturedStderr() {
        Restore();
        std::fclose(file_);
    }
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string Text() {
        Restore();
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
        return text;
    }

  private:
    int saved_ = -1;
    FILE* file_ = nullptr;
};

TEST(StderrChannel, QuietThreadKeepsOtherThreadsLinesAndDropsOnlyItsOwnChatter) {
    CapturedStderr captured;
    std::promise<void> quietHeld, released;
    std::shared_future<void> release = released.get_future().share();
    std::thread quiet([&] {
        const diag::QuietLibraries q;
        av_log(nullptr, AV_LOG_ERROR, "chatter from the quiet thread\n");
        quietHeld.set_value();
        release.wait();
    });
    quietHeld.get_future().wait();
    // While that thread is quiet, other threads' lines and chatter go through, without waiting.
    diag::Line("a line from another thread");
    av_log(nullptr, AV_LOG_ERROR, "chatter from a loud thread\n");
    released.set_value();
    quiet.join();

    // A video that cannot be created, tried again and again, beside a thread that keeps talking.
    std::thread talker([] {
        for (int i = 0; i < 200; ++i) diag::Line("line " + std::to_string(i));
    });
    recording::VideoRecorder video;
    for (int i = 0; i < 200; ++i) {
        video.Open("no-such-folder/cam0.avi", ('D' << 24) | ('I' << 16) | ('V' << 8) | 'X',
                   cv::Size(64, 48));
    }
    talker.join();

    const std::string text = captured.Text();
    EXPECT_NE(text.find("camwatch: a line from another thread\n"), std::string::npos);
    EXPECT_NE(text.find("chatter from a loud thread"), std::string::npos);
    EXPECT_EQ(text.find("chatter from the quiet thread"), std::string::npos);
    for (int i = 0; i < 200; ++i) {
        EXPECT_NE(text.find("camwatch: line " + std::to_string(i) + "\n"), std::string::npos) << i;
    }
    size_t reports = 0;
    for (size_t at = 0; (at = text.find("cannot be created", at)) != std::string::npos; ++at) {
        ++reports;
    }
    EXPECT_EQ(reports, 1u);
}

}  // namespace
