#include "worker/outputs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/testkit/process.h"

namespace {

TEST(SnapshotNumbers, LowestFreeNumberAmongLookalikeNames) {
    testkit::TempDir dir;
    const std::string base = dir.path() + "/cam0n";
    for (const char* name : {"cam0n1.jpg", "cam0n3.jpg", "cam0n02.jpg", "cam0n2.jpg.bak",
                             "cam0n2.png", "xcam0n2.jpg", "cam1n2.jpg", "cam0n4x.jpg"}) {
        testkit::WriteTextFile(dir.File(name), "x");
    }
    EXPECT_EQ(base + "2.jpg", NextSnapshotName(base)) << "only exact cam0n<N>.jpg names count";
    testkit::WriteTextFile(base + "2.jpg", "x");
    EXPECT_EQ(base + "4.jpg", NextSnapshotName(base));

    mkdir((base + "4.jpg").c_str(), 0700);  // anything under that name is taken
    EXPECT_EQ(base + "5.jpg", NextSnapshotName(base));
    remove((base + "1.jpg").c_str());
    EXPECT_EQ(base + "1.jpg", NextSnapshotName(base)) << "freed numbers are reused";
}

TEST(SnapshotNumbers, PrefixWithoutSeparatorAndUnreadableFolders) {
    testkit::TempDir dir;
    const std::string glued = dir.path() + "/shots";  // no trailing separator: glued on
    testkit::WriteTextFile(glued + "cam2n1.jpg", "x");
    EXPECT_EQ(glued + "cam2n2.jpg", NextSnapshotName(glued + "cam2n"));

    const std::string missing = dir.path() + "/missing/cam0n";
    EXPECT_EQ(missing + "1.jpg", NextSnapshotName(missing));
}

TEST(SnapshotNumbers, EveryNumberTakenOverwritesTheLast) {
    testkit::TempDir dir;
    const std::string base = dir.path() + "/cam0n";
    for (int n = 1; n <= kLastSnapshotNumber; ++n) {
        FILE* f = fopen((base + std::to_string(n) + ".jpg").c_str(), "w");
        ASSERT_TRUE(f);
        fclose(f);
    }
    EXPECT_EQ(base + "99999.jpg", NextSnapshotName(base));
    remove((base + "77777.jpg").c_str());
    EXPECT_EQ(base + "77777.jpg", NextSnapshotName(base));
}

TEST(SnapshotNumbers, NamesOverTheLimitAreRefused) {
    const std::string base = "/tmp/" + std::string(kMaxText - 5 - 5, 'a');  // "1.jpg" fits
    EXPECT_EQ(base + "1.jpg", NextSnapshotName(base));
    EXPECT_EQ("", NextSnapshotName(base + "b"));
    EXPECT_EQ("", ComposeFileName(std::string(200, 'p'), std::string(56, 'n')));
    EXPECT_EQ(std::string(255, 'p'), ComposeFileName(std::string(200, 'p'), std::string(55, 'p')));
}

}  // namespace
