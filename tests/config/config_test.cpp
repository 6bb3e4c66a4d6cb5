#include "config/config.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/testkit/process.h"

namespace {

// Loads text as config.cfg and derives the settings from it.
class ConfigTest : public ::testing::Test {
  protected:
    int Load(const std::string& text) {
        testkit::WriteTextFile(dir.File("config.cfg"), text);
        int result = config::LoadConfig(dir.File("config.cfg").c_str());
        config::DeriveSettings();
        return result;
    }
    testkit::TempDir dir;
};

TEST_F(ConfigTest, LineFormatFollowsTheFileExactly) {
    ASSERT_EQ(0, Load("ALLCAM = 2\n"
                      "CODEC=a=b\n"
                      "PATHJPG=shots/\n"
                      "PATHJPG=ignored/\n"
                      "PATHAVI=\n"
                      "OUTJPG=on\n"
                      "WINDOWS=ON \n"
                      "OUTAVI=ON\n"));
    EXPECT_EQ(0, config::Settings.cameraCount) << "a key with a trailing blank is another key";
    EXPECT_EQ(" 2", config::GetConfigValue("ALLCAM "));
    EXPECT_EQ("a=b", config::Settings.codec);
    EXPECT_EQ("shots/", config::Settings.jpgPrefix) << "the first of two equal keys wins";
    EXPECT_EQ("", config::Settings.aviPrefix);
    EXPECT_FALSE(config::Settings.outJpg);
    EXPECT_FALSE(config::Settings.windows);
    EXPECT_TRUE(config::Settings.outAvi);
    EXPECT_EQ("", config::GetConfigValue("MISSING"));
    EXPECT_EQ("", config::GetConfigValue(""));
}

TEST_F(ConfigTest, LastLineWithoutLineEndLosesItsLastCharacter) {
    Load("OUTLOG=ON");
    EXPECT_EQ("O", config::GetConfigValue("OUTLOG"));
    EXPECT_FALSE(config::Settings.outLog);
    Load("OUTLOG=ON\n");
    EXPECT_TRUE(config::Settings.outLog);
}

TEST_F(ConfigTest, CarriageReturnLineEndsAreAccepted) {
    Load("ALLCAM=3\r\nOUTJPG=ON\r\nPATHLOG=logs/\r\n");
    EXPECT_EQ(3, config::Settings.cameraCount);
    EXPECT_TRUE(config::Settings.outJpg);
    EXPECT_EQ("logs/", config::Settings.logPrefix);
}

TEST_F(ConfigTest, MissingFileLeavesTableAndGivesEmptySettings) {
    Load("ALLCAM=4\n");
    ASSERT_EQ(4, config::Settings.cameraCount);
    EXPECT_EQ(1, config::LoadConfig(dir.File("nothing-here.cfg").c_str()));
    EXPECT_EQ("4", config::GetConfigValue("ALLCAM")) << "a failed load keeps the table";

    ASSERT_EQ(0, Load(""));  // an empty file empties the table
    EXPECT_EQ(0, config::Settings.cameraCount);
    EXPECT_EQ(0, config::Settings.busyWaitMs);
    EXPECT_EQ(0, config::Settings.idleWaitMs);
    EXPECT_EQ("", config::Settings.jpgPrefix);
    EXPECT_EQ("", config::Settings.codec);
    EXPECT_FALSE(config::Settings.windows || config::Settings.outJpg || config::Settings.outAvi ||
                 config::Settings.outLog);
}

TEST_F(ConfigTest, LongLinesAreReadInPiecesOf255) {
    // 300 characters: the first piece is 255 bytes (254 kept), the rest is a line of its own.
    std::string value(300 - 8, 'v');
    Load("PATHJPG=" + value + "\nMINMSEC=7\n");
    EXPECT_EQ(std::string(254 - 8, 'v'), config::Settings.jpgPrefix);
    EXPECT_EQ(7, config::Settings.busyWaitMs);

    // A second piece that holds '=' is an entry of its own.
    Load("PATHAVI=" + std::string(247, 'a') + "MAXMSEC=55\n");
    EXPECT_EQ(std::string(246, 'a'), config::Settings.aviPrefix);
    EXPECT_EQ(55, config::Settings.idleWaitMs) << "the split fell on the 255th byte";
}

TEST_F(ConfigTest, OnlyTheFirstHundredLinesCount) {
    std::string text;
    for (int i = 0; i < 99; ++i) text += "KEY" + std::to_string(i) + "=x\n";
    Load(text + "ALLCAM=5\nMINMSEC=9\n");
    EXPECT_EQ(5, config::Settings.cameraCount);
    EXPECT_EQ(0, config::Settings.busyWaitMs) << "the 101st line is ignored";

    // Lines without '=' (blank lines too) take their line but make no entry.
    Load("\n# comment\nnoequals\n\nALLCAM=6\n");
    EXPECT_EQ(6, config::Settings.cameraCount);
}

TEST_F(ConfigTest, BinaryJunkIsHarmless) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 37 + 11) & 0xff));
    junk += std::string("\0ALLCAM=1\n", 10);
    Load(junk + "MAXMSEC=12\n");
    EXPECT_EQ(12, config::Settings.idleWaitMs);
}

TEST(ConfigIntegers, ConvertLikeDecimalReading) {
    EXPECT_EQ(2, config::ParseInt32("2x"));
    EXPECT_EQ(0, config::ParseInt32("x"));
    EXPECT_EQ(0, config::ParseInt32(""));
    EXPECT_EQ(0, config::ParseInt32("-"));
    EXPECT_EQ(-15, config::ParseInt32(" \t-15ms"));
    EXPECT_EQ(8, config::ParseInt32("+8"));
    EXPECT_EQ(0, config::ParseInt32("- 8"));
    EXPECT_EQ(2147483647, config::ParseInt32("2147483647"));
    EXPECT_EQ(2147483647, config::ParseInt32("2147483648"));
    EXPECT_EQ(2147483647, config::ParseInt32("99999999999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, config::ParseInt32("-2147483648"));
    EXPECT_EQ(-2147483647 - 1, config::ParseInt32("-99999999999999999999"));
}

TEST(ConfigCodec, FourBytesLittleEndian) {
    EXPECT_EQ('X' + 'V' * 256 + 'I' * 65536 + 'D' * 16777216, config::CodecFourcc("XVID"));
    EXPECT_EQ('M' + 'J' * 256 + 'P' * 65536 + 'G' * 16777216, config::CodecFourcc("MJPGextra"));
    EXPECT_EQ('D' + 'X' * 256, config::CodecFourcc("DX"));
    EXPECT_EQ(0, config::CodecFourcc(""));
    EXPECT_EQ(static_cast<int32_t>(0xff000000u), config::CodecFourcc(std::string("\0\0\0\xff", 4)));
}

}  // namespace
