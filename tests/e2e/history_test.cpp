// The event history with the real program: a scene with three bursts of motion, clips and
// the web view on; rows with thumbnails and clip offsets, the review API (ranges, keep,
// delete, bad input), a restart, the one-time import of events.jsonl, a SIGKILL and a
// corrupt store file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <set>

#include "tests/testkit/e2e.h"

namespace {

constexpr int kTimeoutMs = 60000;
const cv::Size kSize(320, 240);

// Bursts over frames 10..29, 100..119 and 190..209; with EVENTGAP=1 and 20 ms waits, three
// events.
cv::Mat ThreeBursts(int i) {
    return testkit::MovingBoxScene(kSize, i % 90, 10, 30);
}

struct Answer {
    std::string code, body, headers;
};

Answer Curl(int port, const std::string& target, const std::string& extra = "") {
    testkit::TempDir tmp;
    Answer a;
    a.code = testkit::CommandOutput("curl -s -m 10 -D '" + tmp.File("h") + "' -o '" +
                                    tmp.File("b") + "' -w '%{http_code}' " + extra +
                                    " 'http://127.0.0.1:" + std::to_string(port) + target + "'");
    a.body = testkit::ReadFile(tmp.File("b"));
    a.headers = testkit::ReadFile(tmp.File("h"));
    return a;
}

nlohmann::json Page(int port, const std::string& query) {
    const Answer a = Curl(port, "/api/events?" + query);
    EXPECT_EQ(a.code, "200") << query << ": " << a.body;
    return a.code == "200" ? nlohmann::json::parse(a.body) : nlohmann::json::object();
}

std::string Sql(const std::string& db, const std::string& sql) {
    return testkit::CommandOutput("sqlite3 '" + db + "' '" + sql + "' 2>&1");
}

// Ends with every event of the scene in the store (their end records written).
bool WaitForEnded(int port, int count) {
    Answer a;
    for (int i = 0; i < kTimeoutMs / 200; ++i) {
        a = Curl(port, "/api/events?limit=200");
        if (a.code == "200") {
            int ended = 0;
            const nlohmann::json page = nlohmann::json::parse(a.body);
            for (const auto& e : page["events"])
                ended += !e["end_ms"].is_null() && e["start"].get<std::string>() > "2026";
            if (ended >= count) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << a.code << " " << a.body;
    return false;
}

TEST(History, StoreKeepsEventsWithThumbnailsClipsAndServesThem) {
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 270, kSize, ThreeBursts));
    ASSERT_EQ(mkdir(dir.File("clips").c_str(), 0755), 0);
    // Two events from before the store, with clips of their time: imported once.
    const std::string oldClip0 = "clips/cam0-20250101-100000.mp4";
    const std::string oldClip1 = "clips/cam1-20250101-110000.mp4";
    testkit::WriteTextFile(dir.File(oldClip0), "old clip 0");
    testkit::WriteTextFile(dir.File(oldClip1), "old clip 1");
    testkit::WriteTextFile(
        dir.File("events.jsonl"),
        "{\"type\":\"start\",\"id\":\"0-1735725600000\",\"camera\":0,\"start\":\"2025-01-01T10:00:"
        "00.000+00:00\"}\n"
        "{\"type\":\"end\",\"id\":\"0-1735725600000\",\"camera\":0,\"start\":\"2025-01-01T10:00:00."
        "000+00:00\",\"end\":\"2025-01-01T10:00:07.500+00:00\",\"frames\":12,\"first_snapshot\":"
        "null,\"last_snapshot\":null,\"max_regions\":2,\"largest\":{\"x\":1,\"y\":2,\"w\":3,\"h\":"
        "4},\"direction\":90.0,\"clip\":\"" +
            oldClip0 +
            "\"}\n"
            "torn line {\n"
            "{\"type\":\"end\",\"id\":\"1-1735729200000\",\"camera\":1,\"start\":\"2025-01-01T11:"
            "00:00.000+00:00\",\"end\":\"2025-01-01T11:00:02.000+00:00\",\"frames\":3,\"first_"
            "snapshot\":null,\"last_snapshot\":null,\"max_regions\":1,\"largest\":null,"
            "\"direction\":null,\"clip\":\"" +
            oldClip1 + "\"}\n");
    const int port = testkit::FreePort();
    e2e::WriteConfig(dir, {{"OUTEVENTS", "ON"},
                           {"EVENTGAP", "1"},
                           {"OUTCLIP", "ON"},
                           {"PATHCLIP", "clips/"},
                           {"WEBPORT", std::to_string(port)}});
    const std::string db = dir.File("events.db");

    int64_t firstRunRows = 0;
    {
        testkit::Program program(dir.path());
        ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
        ASSERT_TRUE(e2e::WaitForWorkerEnd(dir, 0, kTimeoutMs));
        ASSERT_TRUE(WaitForEnded(port, 3));

        const nlohmann::json all = Page(port, "limit=200");
        firstRunRows = static_cast<int64_t>(all["events"].size());
        EXPECT_EQ(firstRunRows, 5);
        int imported = 0, offsets = 0;
        int64_t previous = INT64_MAX;
        for (const auto& e : all["events"]) {
            EXPECT_LE(e["start_ms"].get<int64_t>(), previous);  // newest first
            previous = e["start_ms"];
            const std::string id = std::to_string(e["id"].get<int64_t>());
            if (e["start"].get<std::string>() < "2026") {
                ++imported;
                EXPECT_TRUE(e["clip"].get<bool>());
                continue;
            }
            // A live event: its thumbnail (320 wide, the box drawn), clip and snapshots.
            const Answer thumb = Curl(port, "/events/" + id + "/thumb.jpg");
            EXPECT_EQ(thumb.code, "200") << id;
            const cv::Mat picture = cv::imdecode(
                std::vector<uchar>(thumb.body.begin(), thumb.body.end()), cv::IMREAD_COLOR);
            EXPECT_EQ(picture.cols, 320);
            EXPECT_TRUE(e["clip"].get<bool>()) << id;
            // The pre-capture: none before the very first frames, two seconds' worth later.
            offsets += e["clip_offset_ms"].get<int64_t>() > 0;
            EXPECT_GT(e["snapshots"].get<int>(), 0);
            EXPECT_EQ(Curl(port, "/events/" + id + "/snapshots/0.jpg").code, "200");
            const Answer clip = Curl(port, "/events/" + id + "/clip.mp4", "-r 4-7");
            EXPECT_EQ(clip.code, "206");
            EXPECT_EQ(clip.body, "ftyp") << "an MP4's first box";
            EXPECT_NE(clip.headers.find("Content-Range: bytes 4-7/"), std::string::npos);
            EXPECT_EQ(Curl(port, "/events/" + id + "/clip.mp4", "-r 999999999-").code, "416");
            EXPECT_EQ(Curl(port, "/events/" + id + "/clip.mp4", "-H 'Range: bytes=x-1'").code,
                      "416");
        }
        EXPECT_EQ(imported, 2);
        EXPECT_GE(offsets, 2);

        // Paging: one at a time, by the cursor, reaches every row once.
        std::set<int64_t> seen;
        std::string next;
        for (int i = 0; i < 10; ++i) {
            const nlohmann::json page =
                Page(port, "limit=2" + (next.empty() ? "" : "&before=" + next));
            for (const auto& e : page["events"]) seen.insert(e["id"].get<int64_t>());
            if (page["next"].is_null()) break;
            next = page["next"];
        }
        EXPECT_EQ(static_cast<int64_t>(seen.size()), firstRunRows);
        EXPECT_EQ(Page(port, "camera=1")["events"].size(), 1u);
        EXPECT_EQ(Page(port, "from=2025-01-01&to=2025-01-02")["events"].size(), 2u);

        // Keep, delete, and the day's timeline.
        const std::string kept = std::to_string(all["events"][0]["id"].get<int64_t>());
        const std::string gone = std::to_string(all["events"][1]["id"].get<int64_t>());
        EXPECT_EQ(Curl(port, "/api/events/" + kept + "/keep", "-X POST -d 1").code, "200");
        const std::string keptOld = std::to_string(all["events"].back()["id"].get<int64_t>());
        EXPECT_EQ(Curl(port, "/api/events/" + keptOld + "/keep?keep=1", "-X POST -d ''").code,
                  "200");
        EXPECT_EQ(Page(port, "kept=1")["events"].size(), 2u);
        const std::string goneClip = dir.File(testkit::CommandOutput(
            "sqlite3 '" + db + "' 'SELECT clip FROM events WHERE id=" + gone + "' | tr -d '\\n'"));
        EXPECT_TRUE(testkit::FileExists(goneClip));
        EXPECT_EQ(Curl(port, "/api/events/" + gone, "-X DELETE").code, "204");
        EXPECT_EQ(Curl(port, "/api/events/" + gone).code, "404");
        EXPECT_FALSE(testkit::FileExists(goneClip));
        char day[16];
        const std::time_t now = std::time(nullptr);
        std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&now));
        const Answer timeline = Curl(port, std::string("/api/timeline?camera=0&day=") + day);
        EXPECT_EQ(timeline.code, "200");
        EXPECT_EQ(nlohmann::json::parse(timeline.body)["events"].size(), 2u);

        // Hostile input: 4xx, and the server still answers.
        for (const std::string& target : std::vector<std::string>{
                 "/api/events?limit=100000", "/api/events?limit=-1", "/api/events?camera=12",
                 "/api/events?before=1;DROP", "/api/events?from=2026-13-45",
                 "/api/timeline?day=2026-02-30", "/api/timeline?day=", "/api/events/999999999999",
                 "/api/events/99999999999999999999999", "/events/" + kept + "/snapshots/99999.jpg",
                 "/events/" + kept + "/../../config.cfg", "/events/-1/thumb.jpg"}) {
            const std::string code = Curl(port, target, "--path-as-is").code;
            EXPECT_EQ(code[0], '4') << target << " gave " << code;
        }
        EXPECT_EQ(Curl(port, "/api/events/" + kept + "/keep", "-X POST -d maybe").code, "400");
        EXPECT_EQ(Curl(port, "/api/events?since=").code, "200");  // the live list as before
        program.Send("exit\n");
        EXPECT_EQ(program.Wait(kTimeoutMs), 0);
        EXPECT_EQ(program.Stdout(), "Searching.\nAll camera=1\nQORV#");
        EXPECT_EQ(e2e::Occurrences(program.Stderr(), "imported 2 events"), 1) << program.Stderr();
    }

    // A restart keeps the rows and their thumbnails, deletes thumbnails no row names, and
    // imports nothing again; a SIGKILL after new rows leaves a store that reads back whole.
    const std::string thumbs = dir.File("thumbs/");
    const std::vector<std::string> keptThumbs = testkit::ListFiles(thumbs);
    ASSERT_FALSE(keptThumbs.empty());
    testkit::WriteTextFile(thumbs + "0-1234.jpg", "no row");
    testkit::WriteTextFile(thumbs + "0-1234.part.jpg", "cut short");
    {
        testkit::Program program(dir.path());
        ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
        EXPECT_EQ(Page(port, "from=2025-01-01&to=2025-01-02")["events"].size(), 2u);
        ASSERT_TRUE(WaitForEnded(port, 2 + 3));  // the start-up check ran before these rows
        EXPECT_FALSE(testkit::FileExists(thumbs + "0-1234.jpg"));
        EXPECT_FALSE(testkit::FileExists(thumbs + "0-1234.part.jpg"));
        for (const std::string& name : keptThumbs) EXPECT_TRUE(testkit::FileExists(thumbs + name));
        program.Signal(SIGKILL);
        program.Wait(kTimeoutMs);
        EXPECT_EQ(program.Stderr().find("imported"), std::string::npos);
    }
    EXPECT_EQ(Sql(db, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(std::stoll(Sql(db, "SELECT count(*) FROM events")), firstRunRows - 1 + 3);

    // A corrupt store is moved aside and a fresh one started; the rest goes on.
    testkit::WriteTextFile(db, std::string(8192, 'x'));
    std::remove((db + "-wal").c_str());
    std::remove((db + "-shm").c_str());
    {
        testkit::Program program(dir.path());
        ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
        ASSERT_TRUE(e2e::WaitForWorkerEnd(dir, 0, kTimeoutMs));
        ASSERT_TRUE(WaitForEnded(port, 3));
        program.Send("exit\n");
        EXPECT_EQ(program.Wait(kTimeoutMs), 0);
        EXPECT_EQ(e2e::Occurrences(program.Stderr(), "was corrupt"), 1) << program.Stderr();
    }
    int aside = 0;
    for (const std::string& name : testkit::ListFiles(dir.path()))
        aside += name.rfind("events.db.corrupt-", 0) == 0 && name.size() == 33;
    EXPECT_EQ(aside, 1);
}

// The page after its scripts ran in headless Chromium (DOM dump, or a screenshot to shot).
std::string Browse(const testkit::TempDir& dir, int port, const std::string& hash,
                   const std::string& shot = "") {
    const std::string command =
        "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --hide-scrollbars --autoplay-policy=no-user-gesture-required "
        "--user-data-dir=" +
        dir.File("profile") +
        " --window-size=1280,800 "
        "--virtual-time-budget=6000 " +
        (shot.empty() ? "--dump-dom" : "--screenshot=" + shot) +
        " 'http://127.0.0.1:" + std::to_string(port) + "/" + hash + "' > " + dir.File("dom.html") +
        " 2> " + dir.File("chromium.log");
    if (std::system(command.c_str()) != 0)
        ADD_FAILURE() << testkit::ReadFile(dir.File("chromium.log"));
    return testkit::ReadFile(dir.File("dom.html"));
}

// The review view in a browser, two cameras: cards with their thumbnails loaded, the camera
// filter, and a deep link that plays the event's clip from its start.
TEST(History, ReviewViewInBrowser) {
    if (!std::filesystem::exists("/usr/bin/chromium")) GTEST_SKIP() << "no /usr/bin/chromium";
    testkit::TempDir dir;
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 270, kSize, ThreeBursts));
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src1.avi"), 180, kSize, ThreeBursts));
    ASSERT_EQ(mkdir(dir.File("clips").c_str(), 0755), 0);
    const int port = testkit::FreePort();
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE1", "src1.avi"},
                           {"EVENTGAP", "1"},
                           {"OUTCLIP", "ON"},
                           {"PATHCLIP", "clips/"},
                           {"EVENTDB", "history/events.db"},
                           {"WEBPORT", std::to_string(port)}});
    ASSERT_EQ(mkdir(dir.File("history").c_str(), 0755), 0);
    testkit::Program program(dir.path());
    ASSERT_TRUE(program.WaitForOutput("QORV#", kTimeoutMs));
    ASSERT_TRUE(e2e::WaitForWorkerEnd(dir, 0, kTimeoutMs));
    ASSERT_TRUE(e2e::WaitForWorkerEnd(dir, 1, kTimeoutMs));
    ASSERT_TRUE(WaitForEnded(port, 5));
    const nlohmann::json all = Page(port, "limit=200");
    const size_t total = all["events"].size();
    size_t onCamera1 = 0;
    int64_t clipped = -1, offset = 0, flipped = -1;
    for (const auto& e : all["events"]) {
        onCamera1 += e["camera"] == 1;
        if (e["camera"] == 1 && e["snapshots"].get<int>() > 3) flipped = e["id"];
        if (e["clip"].get<bool>() && e["clip_offset_ms"].is_number() && e["clip_offset_ms"] > 0) {
            clipped = e["id"];
            offset = e["clip_offset_ms"];
        }
    }
    ASSERT_GT(onCamera1, 0u);
    ASSERT_LT(onCamera1, total);
    ASSERT_GE(clipped, 0);

    const std::string review = Browse(dir, port, "#review");
    EXPECT_EQ(e2e::Occurrences(review, "class=\"card"), static_cast<int>(total)) << review;
    EXPECT_EQ(e2e::Occurrences(review, "class=\"pic loaded\""), static_cast<int>(total));
    const std::string filtered = Browse(dir, port, "#camera=1");
    EXPECT_EQ(e2e::Occurrences(filtered, "class=\"card"), static_cast<int>(onCamera1));

    const std::string player = Browse(dir, port, "#event=" + std::to_string(clipped));
    const size_t at = player.find("data-time=\"");
    ASSERT_NE(at, std::string::npos) << player;
    EXPECT_GT(std::stod(player.substr(at + 11)), offset / 1000.0 + 0.2);
    // Without its clip an event plays its snapshots as a flip-book.
    ASSERT_GE(flipped, 0);
    EXPECT_EQ(Sql(dir.File("history/events.db"),
                  "UPDATE events SET clip = NULL WHERE id = " + std::to_string(flipped)),
              "");
    const std::string flip = Browse(dir, port, "#event=" + std::to_string(flipped));
    const std::string prefix = "/events/" + std::to_string(flipped) + "/snapshots/";
    const size_t shown = flip.find(prefix);
    ASSERT_NE(shown, std::string::npos) << flip;
    EXPECT_GT(std::stoi(flip.substr(shown + prefix.size())), 0) << "the flip-book turned";
    EXPECT_EQ(flip.find("<video"), std::string::npos);
    if (const char* keep = std::getenv("CAMWATCH_REVIEW_SCREENSHOT"))
        Browse(dir, port, "#review", keep);
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(kTimeoutMs), 0);
    EXPECT_TRUE(testkit::FileExists(dir.File("history/thumbs/")));
}

}  // namespace
