#include "textlog/logfile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/testkit/process.h"

namespace {

namespace fs = std::filesystem;
using namespace textlog;
using testkit::ReadFile;

uint32_t fakeTick;
LocalTime fakeTime;
const LogClocks kFake{[] { return fakeTick; }, [] { return fakeTime; }};

void At(uint32_t tick, int y, int mo, int d, int h, int mi, int s, int ms) {
    fakeTick = tick;
    fakeTime = LocalTime{uint16_t(y), uint16_t(mo), 0,           uint16_t(d),
                         uint16_t(h), uint16_t(mi), uint16_t(s), uint16_t(ms)};
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override { At(1000, 2024, 3, 5, 9, 7, 2, 45); }
    testkit::TempDir dir;
    std::string path = dir.File("cam3.log");
};

TEST_F(LogFileTest, WritesExactFormatAndKeepsFileCompleteAfterEachRecord) {
    LogFile log(kFake);
    log.Open(path.c_str());
    std::string want = "2024.3.5 9:7:2:45  Start!";
    EXPECT_EQ(ReadFile(path), want);

    At(1250, 2024, 3, 5, 9, 7, 2, 295);
    log.Write("cadr #0");
    want += "\nTime: 250 ms. Log:cadr #0 ### 2024.3.5 9:7:2:295 ";
    EXPECT_EQ(ReadFile(path), want);
    log.Write("cadr #1");  // same millisecond
    want += "\nTime: 0 ms. Log:cadr #1 ### 2024.3.5 9:7:2:295 ";
    EXPECT_EQ(ReadFile(path), want);

    At(61000, 2024, 12, 31, 23, 59, 59, 999);
    log.Close();
    EXPECT_EQ(ReadFile(path), want + "\n2024.12.31 23:59:59:999 \nTotal time: 60000 ms");
}

TEST_F(LogFileTest, LogWithoutRecordsAndNewRunReplacesOldFile) {
    testkit::WriteTextFile(path, "an earlier run\nwith several lines that must go\n");
    {
        LogFile log(kFake);
        log.Open(path.c_str());
        At(1007, 2024, 3, 5, 9, 7, 2, 52);
    }  // the destructor closes
    EXPECT_EQ(ReadFile(path), "2024.3.5 9:7:2:45  Start!\n2024.3.5 9:7:2:52 \nTotal time: 7 ms");
}

TEST_F(LogFileTest, IntervalsAreTakenModulo32BitsAndPrintedSigned) {
    LogFile log(kFake);
    fakeTick = 0xFFFFFFF0u;
    log.Open(path.c_str());
    fakeTick = 0x10;
    log.Write("a");
    fakeTick = 0x0B;
    log.Write("b");
    fakeTick = 0x20;
    log.Close();
    const std::string s = ReadFile(path);
    EXPECT_NE(s.find("Time: 32 ms. Log:a "), std::string::npos) << s;
    EXPECT_NE(s.find("Time: -5 ms. Log:b "), std::string::npos) << s;
    EXPECT_NE(s.find("Total time: 48 ms"), std::string::npos) << s;
}

TEST_F(LogFileTest, FailedWriteLeavesLastTickAndLaterRecordsOnTheirOwnLines) {
    LogFile log(kFake);
    log.Open(path.c_str());
    const std::string start = ReadFile(path);
    fs::remove(path);
    fs::create_directory(path);  // cannot be opened for appending
    fakeTick = 1400;
    log.Write("lost");
    fs::remove(path);
    testkit::WriteTextFile(path, start);
    fakeTick = 1700;
    log.Write("kept");  // counted from Open

    const std::string kept = ReadFile(path);
    fs::remove(path);
    fs::create_symlink("/dev/full", path);  // opens, but the data never lands
    fakeTick = 1900;
    log.Write("lost");
    fs::remove(path);
    testkit::WriteTextFile(path, kept);
    fakeTick = 2000;
    log.Write("again");  // counted from the last record that landed
    EXPECT_EQ(ReadFile(path), start + "\nTime: 700 ms. Log:kept ### 2024.3.5 9:7:2:45 " +
                                  "\nTime: 300 ms. Log:again ### 2024.3.5 9:7:2:45 ");
}

// A disk that fills in the middle of a record (here the file-size limit, which cuts a write
// short the same way): the record is taken back whole, and the next one lands whole.
TEST_F(LogFileTest, ARecordCutShortByAFullDiskLeavesNoTornLine) {
    LogFile log(kFake);
    log.Open(path.c_str());
    log.Write("cadr #0");
    const std::string before = ReadFile(path);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = before.size() + 15;  // room for "\nTime: 0 ms. L" only
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    fakeTick = 1100;
    log.Write("cadr #1");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadFile(path), before);
    fakeTick = 1300;
    log.Write("cadr #2");
    EXPECT_EQ(ReadFile(path), before + "\nTime: 300 ms. Log:cadr #2 ### 2024.3.5 9:7:2:45 ");
}

TEST_F(LogFileTest, CloseWritesClosingLinesOnceAndEndsTheLog) {
    {
        LogFile log(kFake);
        log.Open(path.c_str());
        log.Close();
        log.Write("after close");
        log.Close();
    }
    EXPECT_EQ(ReadFile(path), "2024.3.5 9:7:2:45  Start!\n2024.3.5 9:7:2:45 \nTotal time: 0 ms");
}

TEST_F(LogFileTest, LogsNeverStartedTouchNoFile) {
    const std::string missing = dir.File("missing");
    const std::string longName = dir.path() + "/" + std::string(255 - dir.path().size(), 'a');
    ASSERT_EQ(longName.size(), 256u);
    for (const std::string& name : {std::string(), longName}) {
        SCOPED_TRACE(name);
        {
            LogFile log(kFake);
            log.Write("before open");
            log.Close();
            log.Open(name.c_str());
            log.Write("cadr #0");
            log.Close();
        }
        EXPECT_TRUE(testkit::ListFiles(dir.path()).empty());
    }
    {
        // A folder that appears after Open: the records that follow still reach the log.
        LogFile log(kFake);
        log.Open((missing + "/cam0.log").c_str());
        fs::create_directory(missing);
        log.Write("cadr #0");
        log.Close();
    }
    EXPECT_EQ(ReadFile(missing + "/cam0.log"),
              "\nTime: 0 ms. Log:cadr #0 ### 2024.3.5 9:7:2:45 \n2024.3.5 9:7:2:45 \n"
              "Total time: 0 ms");
    LogFile log(kFake);
    log.Open(nullptr);
    log.Write(nullptr);
    log.Open(longName.substr(0, 255).c_str());  // the longest name that fits
    EXPECT_TRUE(testkit::FileExists(longName.substr(0, 255)));
}

TEST_F(LogFileTest, FullDiskAndOverlongMessagesAreSurvived) {
    LogFile full(kFake);
    full.Open("/dev/full");
    full.Write("cadr #0");
    full.Close();

    LogFile log(kFake);
    log.Open(path.c_str());
    log.Write(std::string(20000, 'x').c_str());
    const std::string s = ReadFile(path);
    const size_t record = s.find('\n') + 1, stamp = s.find(" ### ");
    EXPECT_EQ(stamp - record, 9998u);  // with its leading line end: 9999 characters
}

TEST(LogFileSystemClocks, StampsTodayAndCountsMilliseconds) {
    testkit::TempDir dir;
    const std::string path = dir.File("cam0.log");
    auto today = [] {
        const time_t t = time(nullptr);
        tm p{};
        localtime_r(&t, &p);
        return std::to_string(p.tm_year + 1900) + "." + std::to_string(p.tm_mon + 1) + "." +
               std::to_string(p.tm_mday) + " ";
    };
    const std::string before = today();
    LogFile log;
    log.Open(path.c_str());
    usleep(30000);
    log.Write("cadr #0");
    log.Close();
    const std::string after = today(), s = ReadFile(path);

    std::smatch m;
    const std::regex shape(
        R"((\d+\.\d+\.\d+ )\d+:\d+:\d+:\d+  Start!\nTime: (\d+) ms\. Log:cadr #0 ### )"
        R"(\d+\.\d+\.\d+ \d+:\d+:\d+:\d+ \n\d+\.\d+\.\d+ \d+:\d+:\d+:\d+ \nTotal time: (\d+) ms)");
    ASSERT_TRUE(std::regex_match(s, m, shape)) << s;
    EXPECT_TRUE(m[1] == before || m[1] == after) << s;
    EXPECT_GE(std::stoi(m[2]), 30);
    EXPECT_LT(std::stoi(m[2]), 5000);
    EXPECT_GE(std::stoi(m[3]), std::stoi(m[2]));
}

}  // namespace
