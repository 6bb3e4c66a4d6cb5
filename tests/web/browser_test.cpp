// The page in a real browser: headless Chromium opens / (with a token) and takes a picture.
// CAMWATCH_WEB_SCREENSHOT=<file.png> keeps a copy of the picture.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "tests/testkit/process.h"
#include "tests/web/harness.h"

using namespace webtest;

TEST(WebBrowser, PageShowsTheGridWithLiveFrames) {
    signal(SIGPIPE, SIG_IGN);
    if (!std::filesystem::exists("/usr/bin/chromium")) GTEST_SKIP() << "no /usr/bin/chromium";
    TestProvider provider({0, 1, 2, 3});
    web::FrameHub hub;
    web::Server server;
    web::Options opts;
    opts.token = "page-token";
    ASSERT_TRUE(server.Start(opts, provider, hub, "1.0"));
    Feeder feeder(hub, 4);

    testkit::TempDir dir;
    const std::string shot = dir.File("page.png");
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.Port()) + "/?token=page-token";
    const std::string command =
        "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --hide-scrollbars --user-data-dir=" +
        dir.File("profile") + " --screenshot=" + shot +
        " --window-size=1280,800 --virtual-time-budget=5000 '" + url + "' > " +
        dir.File("chromium.log") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << testkit::ReadFile(dir.File("chromium.log"));
    const cv::Mat page = cv::imread(shot, cv::IMREAD_COLOR);
    ASSERT_FALSE(page.empty());
    if (const char* keep = std::getenv("CAMWATCH_WEB_SCREENSHOT"))
        std::filesystem::copy_file(shot, keep, std::filesystem::copy_options::overwrite_existing);

    // Two tiles side by side in the grid (left of the events column), each with the overlay.
    EXPECT_GT(RedPixels(page(cv::Rect(0, 0, 480, 800))), 300);
    EXPECT_GT(RedPixels(page(cv::Rect(480, 0, 480, 800))), 300);
    // The dark theme: the corner is the page background.
    const cv::Vec3b corner = page.at<cv::Vec3b>(790, 5);
    EXPECT_LT(corner[0] + corner[1] + corner[2], 120);
}
