// Output folders that are missing, read-only or full, a file-size limit, named pipes in place
// of outputs, and a console that goes away.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <thread>

#include "tests/e2e/fault.h"

namespace {

using namespace fault;

bool SetImmutable(const std::string& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

// A folder that even root cannot write into (file permissions do not stop root): a read-only
// tmpfs where mounting is allowed, otherwise an immutable folder. ok() is false when neither
// works on this machine.
class ReadOnlyFolder {
  public:
    explicit ReadOnlyFolder(const std::string& path) : path_(path), fs_(path, 1024) {
        immutable_ = !fs_.ok() && SetImmutable(path, true);
        const bool readOnly = fs_.ok() ? fs_.SetReadOnly(true) : immutable_;
        // Trust only what a write attempt shows.
        const std::string probe = path + "/probe";
        int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
            unlink(probe.c_str());
        }
        ok_ = readOnly && fd < 0;
    }
    ~ReadOnlyFolder() {
        if (immutable_) SetImmutable(path_, false);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    bool ok() const { return ok_; }
    bool MakeWritable() { return fs_.ok() ? fs_.SetReadOnly(false) : SetImmutable(path_, false); }

  private:
    std::string path_;
    SmallFileSystem fs_;
    bool immutable_ = false;
    bool ok_ = false;
};

constexpr int kBlockedFrames = 100;

// Two cameras serve kBlockedFrames frames each. Snapshots go to the working folder; logs (and
// videos when videoBlocked) go to `blocked`/, which cannot take them until unblock() runs,
// once both cameras have served a few frames. From then on nothing may be lost.
void ServeWhileLogsBlocked(const testkit::TempDir& dir, const std::string& blocked,
                           const std::function<bool()>& unblock, bool videoBlocked = true) {
    ASSERT_TRUE(WriteBlinking(dir.File("src.avi"), kBlockedFrames));
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE0", "src.avi"},
                           {"SOURCE1", "src.avi"},
                           {"PATHLOG", blocked + "/"},
                           {"PATHAVI", videoBlocked ? blocked + "/" : ""}});
    testkit::Program program(dir.path());
    auto servedTen = [&] {
        return testkit::FileExists(dir.File("cam0n10.jpg")) &&
               testkit::FileExists(dir.File("cam1n10.jpg"));
    };
    WaitUntil([&] { return servedTen() || !Running(program); }, kWaitMs);
    ASSERT_TRUE(servedTen()) << program.Stderr();
    ASSERT_TRUE(unblock());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, blocked + "/", 2));
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(2, 2));

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("camera " + std::to_string(i));
        const std::string log = dir.File(blocked + "/" + Cam(i, ".log"));
        // Every frame was served: one snapshot each.
        EXPECT_EQ(e2e::Snapshots(dir, Cam(i, "n")).size(), static_cast<size_t>(kBlockedFrames));
        // The records of the blocked frames are gone; every one after them is there.
        const std::vector<int> numbers = RecordNumbers(log);
        ASSERT_FALSE(numbers.empty());
        EXPECT_GT(numbers.front(), 0) << "the folder did take records before it was unblocked";
        EXPECT_EQ(numbers, Range(numbers.front(), kBlockedFrames));
        EXPECT_TRUE(LogClosed(log));
        if (videoBlocked) {
            // The video starts at the first frame that finds the folder writable, which may
            // come between the video's turn and the log's turn of that frame.
            const e2e::VideoInfo video = e2e::Probe(dir.File(blocked + "/" + Cam(i, ".avi")));
            EXPECT_FALSE(video.codec.empty()) << "the video does not play";
            EXPECT_GE(video.frames, static_cast<int>(numbers.size()) - 1);
            EXPECT_LE(video.frames, static_cast<int>(numbers.size()));
        } else {
            EXPECT_EQ(e2e::Probe(dir.File(Cam(i, ".avi"))).frames, kBlockedFrames);
        }
    }
}

// Two cameras serve kBlockedFrames frames each with snapshots and videos going to `blocked`/
// (which cannot take them, or only a few) and logs to the working folder: both cameras
// serve their whole source and log every frame.
void ServeWithPicturesBlocked(const testkit::TempDir& dir, const std::string& blocked,
                              const std::vector<std::string>& env = {},
                              const std::function<void()>& inChild = {}) {
    ASSERT_TRUE(WriteBlinking(dir.File("src.avi"), kBlockedFrames, {320, 240}));
    e2e::WriteConfig(dir, {{"ALLCAM", "2"},
                           {"SOURCE0", "src.avi"},
                           {"SOURCE1", "src.avi"},
                           {"PATHJPG", blocked + "/"},
                           {"PATHAVI", blocked + "/"}});
    testkit::Program program(dir.path(), env, CAMWATCH_BINARY, inChild);
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 2)) << program.Stderr();
    Exit(program);
    EXPECT_EQ(program.Stdout(), Console(2, 2));
    for (int i = 0; i < 2; ++i) ExpectWholeLog(dir.File(Cam(i, ".log")), kBlockedFrames);
}

TEST(FaultOutputs, MissingFoldersLoseNoRecordOnceTheyExist) {
    testkit::TempDir dir;
    ServeWhileLogsBlocked(dir, "later",
                          [&] { return mkdir(dir.File("later").c_str(), 0755) == 0; });
}

TEST(FaultOutputs, ReadOnlyFoldersLoseNoRecordOnceWritable) {
    testkit::TempDir dir;
    ReadOnlyFolder folder(dir.File("ro"));
    if (!folder.ok()) GTEST_SKIP() << "no way to make a folder read-only for root here";
    ServeWhileLogsBlocked(dir, "ro", [&] { return folder.MakeWritable(); });
}

TEST(FaultOutputs, ReadOnlyFoldersForPicturesLeaveEveryCameraServed) {
    testkit::TempDir dir;
    ReadOnlyFolder folder(dir.File("ro"));
    if (!folder.ok()) GTEST_SKIP() << "no way to make a folder read-only for root here";
    ServeWithPicturesBlocked(dir, "ro");
    EXPECT_TRUE(testkit::ListFiles(dir.File("ro")).empty());
}

TEST(FaultOutputs, AFullFileSystemForPicturesLeavesEveryCameraServed) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("full"), 160);
    if (!fs.ok())
        GTEST_SKIP() << "cannot mount a small tmpfs here (AFileSizeLimitFailsOnlyTheWritesBeyondIt "
                        "stands in)";
    ServeWithPicturesBlocked(dir, "full");
    // Snapshots that did not fit are not left behind cut short.
    for (const std::string& name : testkit::ListFiles(dir.File("full"))) {
        if (name.find(".jpg") == std::string::npos) continue;
        const std::string jpeg = testkit::ReadFile(dir.File("full/" + name));
        EXPECT_TRUE(jpeg.size() > 2 && jpeg.substr(jpeg.size() - 2) == "\xFF\xD9") << name;
    }
}

TEST(FaultOutputs, AFullFileSystemLosesNoRecordOnceRoomIsMade) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("full"), 256);
    if (!fs.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    ASSERT_TRUE(fs.Fill());
    // The videos go to the working folder: a video begun on a full disk has lost its header.
    ServeWhileLogsBlocked(
        dir, "full", [&] { return fs.Free(); }, false);
}

// The disk under the video fills while the camera records, and later has room again: the
// video takes frames again from then on, and plays with every frame it took.
TEST(FaultOutputs, AVideoOnADiskThatFillsResumesOnceRoomIsMade) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("full"), 32768);
    if (!fs.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    constexpr int kFrames = 400;
    // Video frames of several kilobytes: the writer's buffer overflows while the disk is full.
    ASSERT_TRUE(WriteBlinking(dir.File("src0.avi"), kFrames, cv::Size(640, 480)));
    e2e::WriteConfig(dir, {{"PATHAVI", "full/"}, {"OUTJPG", "OFF"}});
    testkit::Program program(dir.path());
    const std::string log = dir.File("cam0.log");
    ASSERT_TRUE(e2e::WaitForText(log, "Log:cadr #", kWaitMs, 40));
    ASSERT_TRUE(fs.Fill());
    const int filledAt = e2e::LogRecords(log);
    ASSERT_TRUE(e2e::WaitForText(log, "Log:cadr #", kWaitMs, filledAt + 60));
    ASSERT_TRUE(fs.Free());
    const int freedAt = e2e::LogRecords(log);
    ASSERT_LT(freedAt, kFrames - 100) << "the source ended before the disk had room again";
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 1));
    Exit(program);
    ExpectWholeLog(log, kFrames);
    const e2e::VideoInfo video = e2e::Probe(dir.File("full/cam0.avi"));
    EXPECT_FALSE(video.codec.empty()) << "the video does not play";
    // Every frame before the disk filled and after it had room again (give or take the frame
    // in flight at each moment); none of those it turned away while full.
    EXPECT_GE(video.frames, filledAt - 2 + (kFrames - freedAt) - 2);
    EXPECT_LT(video.frames, kFrames - 40);
    std::printf("[ measure  ] full from record %d to %d; video frames %d of %d\n", filledAt,
                freedAt, video.frames, kFrames);
}

// Clips on a disk that is full without a disk guard: the first event's clip cannot be written
// whole, so it keeps its unfinished name, one line says so and its end record names no clip;
// once there is room the next event's clip is finished and named as always.
TEST(FaultOutputs, AClipThatCannotBeWrittenWholeIsNotPassedOffAsFinished) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("full"), 3072);
    if (!fs.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    // Motion, 150 still frames (3 s at 20 ms a frame, beyond EVENTGAP=1), motion again.
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), 260, e2e::kSmall, [](int i) {
        return i < 40 || i >= 190 ? Blink(i) : Dim(e2e::kSmall);
    }));
    e2e::WriteConfig(dir, {{"OUTJPG", "OFF"},
                           {"OUTAVI", "OFF"},
                           {"OUTEVENTS", "ON"},
                           {"EVENTGAP", "1"},
                           {"OUTCLIP", "ON"},
                           {"PATHCLIP", "full/"},
                           {"PRECAPTURE", "0.2"},
                           {"POSTCAPTURE", "0.2"}});
    // Full but for a few kilobytes: room for the start of a clip, not for all of it.
    ASSERT_TRUE(fs.Fill());
    const std::string filler = dir.File("full/filler");
    ASSERT_EQ(truncate(filler.c_str(), static_cast<off_t>(std::ifstream(filler, std::ios::ate).tellg()) - 4096), 0);
    testkit::Program program(dir.path());
    ASSERT_TRUE(e2e::WaitForText(dir.File("events.jsonl"), "\"type\":\"end\"", kWaitMs));
    ASSERT_TRUE(fs.Free());
    EXPECT_TRUE(WaitForLogsClosed(program, dir, "", 1));
    Exit(program);
    const std::string events = testkit::ReadFile(dir.File("events.jsonl"));
    ASSERT_EQ(e2e::Occurrences(events, "\"type\":\"end\""), 2) << events;
    const size_t firstEnd = events.find("\"type\":\"end\"");
    const size_t secondEnd = events.find("\"type\":\"end\"", firstEnd + 1);
    const std::string first = events.substr(firstEnd, events.find('\n', firstEnd) - firstEnd);
    const std::string second = events.substr(secondEnd, events.find('\n', secondEnd) - secondEnd);
    EXPECT_NE(first.find("\"clip\":null"), std::string::npos) << first;
    const size_t named = second.find("\"clip\":\"full/");
    ASSERT_NE(named, std::string::npos) << second;
    const std::string clip = second.substr(named + 8, second.find('"', named + 8) - named - 8);
    EXPECT_TRUE(testkit::FileExists(dir.File(clip))) << clip;
    int finished = 0, parts = 0;
    for (const std::string& name : testkit::ListFiles(dir.File("full"))) {
        if (name.find(".part.mp4") != std::string::npos)
            ++parts;
        else if (name.find(".mp4") != std::string::npos)
            ++finished;
    }
    EXPECT_EQ(finished, 1) << testkit::CommandOutput("ls -la " + dir.File("full"));
    // Where not even the clip's start fits, the writer cannot be created at all.
    EXPECT_EQ(parts + e2e::Occurrences(program.Stderr(), "cannot be created"), 1);
    EXPECT_EQ(e2e::Occurrences(program.Stderr(), "camwatch: clip full/"), 1) << program.Stderr();
}

TEST(FaultOutputs, AFileSizeLimitFailsOnlyTheWritesBeyondIt) {
    testkit::TempDir dir;
    // Each video outgrows the limit within a few frames; snapshots and logs stay below it.
    ServeWithPicturesBlocked(dir, ".", {}, [] {
        signal(SIGXFSZ, SIG_DFL);  // as a shell would start the program
        rlimit limit{48 * 1024, 48 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(e2e::Snapshots(dir, Cam(i, "n")).size(), static_cast<size_t>(kBlockedFrames));
    }
}

TEST(FaultOutputs, NamedPipesInPlaceOfOutputsDoNotStallTheCamera) {
    // A log or video made a named pipe, say to feed another program: with nothing reading
    // it, opening it for writing waits for ever, and `exit` and SIGTERM with it.
    testkit::TempDir dir;
    constexpr int kFrames = 30;
    ASSERT_TRUE(WriteBlinking(dir.File("src0.avi"), kFrames));
    for (const char* name : {"cam0.log", "cam0.avi", "cam0n1.jpg"}) {
        ASSERT_EQ(mkfifo(dir.File(name).c_str(), 0644), 0) << name;
    }
    e2e::WriteConfig(dir);
    testkit::Program program(dir.path());
    // Every frame is served; the snapshots take the numbers after the pipe's.
    auto served = [&] { return e2e::Snapshots(dir, "cam0n").size() >= size_t{kFrames}; };
    EXPECT_TRUE(WaitUntil([&] { return served() || !Running(program); }, 20000));
    program.Send("exit\n");
    EXPECT_EQ(program.Wait(20000), 0) << "stalled";
    EXPECT_EQ(program.Stdout(), Console(1, 1));
    EXPECT_EQ(e2e::Snapshots(dir, "cam0n").size(), size_t{kFrames});
    for (const char* name : {"cam0.log", "cam0.avi", "cam0n1.jpg"}) {
        struct stat st {};
        EXPECT_TRUE(stat(dir.File(name).c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) << name;
    }
}

TEST(FaultOutputs, AConsoleThatGoesAwayLeavesTheCamerasRecording) {
    // Standard output is a pipe whose reader goes away mid-run (a closed terminal tab, a
    // killed `tee`): the next prompt goes nowhere, and the cameras must not end with it.
    testkit::TempDir dir;
    ASSERT_TRUE(WriteBlinking(dir.File("src0.avi"), 400));
    e2e::WriteConfig(dir, {{"OUTJPG", "OFF"}});
    int console[2];
    ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
    testkit::Program program(dir.path(), {}, CAMWATCH_BINARY, [&] {
        dup2(console[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);  // as a shell would start the program
    });
    close(console[1]);
    std::string seen;  // up to the first prompt: the console is running
    for (char c; seen.find("QORV#") == std::string::npos && read(console[0], &c, 1) == 1;) {
        seen += c;
    }
    ASSERT_EQ(seen, Console(1, 1));
    close(console[0]);
    program.Send("winoff\n");  // answered by a prompt that has nowhere to go
    const std::string log = dir.File("cam0.log");
    const int records = e2e::LogRecords(log);
    WaitUntil([&] { return e2e::LogRecords(log) >= records + 20 || !Running(program); }, kWaitMs);
    EXPECT_TRUE(Running(program)) << "the program ended with its console";
    Exit(program);
    EXPECT_TRUE(LogClosed(log));
    ExpectVideoMatchesLog(dir.File("cam0.avi"), log);
}

}  // namespace

namespace {

// MINFREEMB: below the floor the pictures are skipped (one line), the log goes on, and the
// pictures resume once room is made (one line); the video stays playable throughout.
TEST(FaultOutputs, TheDiskGuardSkipsPicturesBelowTheFloorAndResumes) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("pics"), 10 * 1024);
    if (!fs.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    {
        std::ofstream filler(dir.File("pics/filler"), std::ios::binary);
        filler << std::string(7 * 1024 * 1024, 'x');  // leaves about 3 MB of 10
    }
    constexpr int kFrames = 300;
    ASSERT_TRUE(WriteBlinking(dir.File("src0.avi"), kFrames));
    e2e::WriteConfig(dir, {{"PATHJPG", "pics/"}, {"PATHAVI", "pics/"}, {"MINFREEMB", "4"}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(e2e::WaitForText(dir.File("cam0.log"), "Log:cadr #", kWaitMs, 30));
    EXPECT_TRUE(e2e::Snapshots(dir, "pics/").empty());
    ASSERT_EQ(unlink(dir.File("pics/filler").c_str()), 0);
    ASSERT_TRUE(WaitForLogsClosed(program, dir, "", 1)) << program.Stderr();
    Exit(program);
    EXPECT_EQ(program.Stderr(),
              "camwatch: camera 0: less than 4 MB free; snapshots and video frames are skipped\n"
              "camwatch: camera 0: snapshots and video frames resume, the disk has room again\n");
    ExpectWholeLog(dir.File("cam0.log"), kFrames);
    int shots = 0;
    for (const std::string& name : testkit::ListFiles(dir.File("pics"))) {
        shots += name.size() > 4 && name.substr(name.size() - 4) == ".jpg";
    }
    EXPECT_GT(shots, 0);
    EXPECT_LT(shots, kFrames - 30);
    EXPECT_TRUE(testkit::FileExists(dir.File("pics/cam0n" + std::to_string(shots) + ".jpg")));
    EXPECT_EQ(e2e::Probe(dir.File("pics/cam0.avi")).frames, shots);
}

}  // namespace

namespace {

// At full speed, with a new noisy picture every frame, free space on the pictures' file system
// never falls more than one frame's files below MINFREEMB (it only falls here, so the end is
// its lowest).
TEST(FaultOutputs, TheDiskFloorHoldsAtFullSpeed) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("pics"), 16 * 1024);
    if (!fs.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    constexpr int kFrames = 240;
    const cv::Size size(320, 240);
    ASSERT_TRUE(testkit::WriteVideo(dir.File("src0.avi"), kFrames, size, [size](int i) {
        cv::Mat noise(size, CV_8UC3);
        cv::theRNG().state = static_cast<uint64_t>(i) + 1;
        cv::randu(noise, 0, 256);
        return noise;
    }));
    e2e::WriteConfig(dir, {{"PATHJPG", "pics/"},
                           {"PATHAVI", "pics/"},
                           {"MINFREEMB", "8"},
                           {"MINMSEC", "0"},
                           {"MAXMSEC", "0"}});
    testkit::Program program(dir.path());
    ASSERT_TRUE(WaitForLogsClosed(program, dir, "", 1)) << program.Stderr();
    struct statvfs st {};
    ASSERT_EQ(statvfs(dir.File("pics").c_str(), &st), 0);
    const int64_t freeBytes = static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
    int64_t largest = 0;
    int shots = 0;
    for (const std::string& name : testkit::ListFiles(dir.File("pics"))) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".jpg") continue;
        ++shots;
        struct stat file {};
        if (stat(dir.File("pics/" + name).c_str(), &file) == 0) largest = std::max<int64_t>(largest, file.st_size);
    }
    Exit(program);
    EXPECT_EQ(program.Stderr(),
              "camwatch: camera 0: less than 8 MB free; snapshots and video frames are skipped\n");
    EXPECT_GT(shots, 10);
    EXPECT_LT(shots, kFrames / 2);
    // One snapshot and one video frame (a quarter of the picture) may go past the floor.
    const int64_t frameFiles = largest + largest / 4 + 64 * 1024;
    EXPECT_GE(freeBytes, int64_t{8} * 1024 * 1024 - frameFiles)
        << freeBytes << " free, largest snapshot " << largest;
    ExpectWholeLog(dir.File("cam0.log"), kFrames);
}

}  // namespace

namespace {

int64_t FreeBytes(const std::string& folder) {
    struct statvfs st {};
    if (statvfs(folder.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

// Continuous recording of a noisy H.264 camera (about 0.8 MB a second) into 1 s segments on a
// small file system with MINFREEMB=8: near the floor the old segments go, the eventless one
// first; once only segments KEEPEVENTDAYS keeps are left, the open one is finished and the
// recording pauses with one line, free space not below the floor (but for a block); it
// resumes with one line when room comes back, and every segment left plays.
TEST(FaultOutputs, TheDiskFloorHoldsUnderContinuousRecording) {
    testkit::TempDir dir;
    SmallFileSystem fs(dir.File("rec"), 26 * 1024);
    if (!fs.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    testkit::CommandOutput("cd '" + dir.path() +
                           "' && ffmpeg -nostdin -v error -f lavfi -i "
                           "'nullsrc=s=320x240:r=25:d=20,geq=random(1)*255:128:128' -c:v libx264 "
                           "-g 25 -pix_fmt yuv420p noise.mp4 2>&1");
    const std::string old = dir.File("rec/cam0-rec-20000101-000000.mp4");
    const std::string oldEvent = dir.File("rec/cam0-rec-20000101-000100.mp4");
    testkit::WriteTextFile(old, std::string(1 << 20, 'x'));
    testkit::WriteTextFile(oldEvent, std::string(1 << 20, 'x'));
    testkit::WriteTextFile(oldEvent + ".event", "");
    testkit::WriteTextFile(dir.File("rec/filler"), std::string(10 << 20, 'x'));
    e2e::WriteConfig(dir, {{"SOURCE0", "noise.mp4"},
                           {"OUTJPG", "OFF"},
                           {"OUTAVI", "OFF"},
                           {"RECORD", "continuous"},
                           {"SEGMENT", "1"},
                           {"PATHCLIP", "rec/"},
                           {"KEEPEVENTDAYS", "1"},
                           {"MINFREEMB", "8"},
                           {"MINMSEC", "20"},
                           {"MAXMSEC", "20"}});
    testkit::Program program(dir.path());
    const std::string paused = "camwatch: camera 0: less than 8 MB free; segments are skipped\n";
    const std::string resumed = "camwatch: camera 0: segments resume, the disk has room again\n";
    bool eventFirst = false;  // the segment with an event went while the eventless one stayed
    WaitUntil(
        [&] {
            eventFirst = eventFirst || (!testkit::FileExists(oldEvent) && testkit::FileExists(old));
            return program.Stderr() == paused || !Running(program);
        },
        kWaitMs);
    ASSERT_EQ(program.Stderr(), paused);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the writer has stopped
    const int64_t atPause = FreeBytes(dir.File("rec"));
    EXPECT_GE(atPause, int64_t{8 << 20} - (64 << 10));
    EXPECT_FALSE(testkit::FileExists(old));
    EXPECT_FALSE(testkit::FileExists(oldEvent));
    EXPECT_FALSE(testkit::FileExists(oldEvent + ".event"));
    EXPECT_FALSE(eventFirst);
    int segments = 0;
    std::string last;
    for (const std::string& name : testkit::ListFiles(dir.File("rec"))) {
        EXPECT_EQ(name.find(".part."), std::string::npos) << name;  // the open one was finished
        if (name.size() > 4 && name.substr(name.size() - 4) == ".mp4") ++segments, last = name;
    }
    EXPECT_GT(segments, 3);
    EXPECT_EQ(testkit::CommandOutput("ffmpeg -nostdin -v error -i '" + dir.File("rec/" + last) +
                                     "' -f null - 2>&1"),
              "");
    EXPECT_EQ(FreeBytes(dir.File("rec")), atPause);  // nothing is written while paused

    ASSERT_EQ(unlink(dir.File("rec/filler").c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return program.Stderr() == paused + resumed; }, kWaitMs))
        << program.Stderr();
    ASSERT_TRUE(WaitForLogsClosed(program, dir, "", 1)) << program.Stderr();
    Exit(program);
    EXPECT_EQ(program.Stderr(), paused + resumed);
    int after = 0;
    for (const std::string& name : testkit::ListFiles(dir.File("rec"))) {
        if (name.size() > 4 && name.substr(name.size() - 4) == ".mp4" && name > last) ++after;
    }
    EXPECT_GT(after, 0);
}

}  // namespace
