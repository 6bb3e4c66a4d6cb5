#include <gtest/gtest.h>

#include <sstream>

#include "config/config.h"
#include "supervisor/supervisor.h"

namespace {

using namespace supervisor;

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; ReadWord(in, w);) words.push_back(w);
    return words;
}

TEST(ConsoleWords, BlanksSeparateAndLongWordsComeInPiecesOf20) {
    EXPECT_EQ((std::vector<std::string>{"winon", "exit"}), Words("  \n\n\twinon \r\n exit"));
    EXPECT_EQ((std::vector<std::string>{"winonwinonwinonwinon", "winon"}),
              Words("winonwinonwinonwinonwinon\n"));
    EXPECT_EQ((std::vector<std::string>{std::string(20, 'a'), std::string(20, 'a')}),
              Words(std::string(40, 'a')));
    EXPECT_TRUE(Words("").empty());
    EXPECT_TRUE(Words(" \n\t\n").empty());
    EXPECT_EQ(1u, Words(std::string("\x01\xff\x7f", 3)).size()) << "junk is a word, not a crash";
}

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override { slots::ResetCameraTable(); }
    void TearDown() override { slots::ResetCameraTable(); }

    std::string Run(const std::string& input, int cameraCount) {
        std::istringstream in(input);
        std::ostringstream out;
        RunConsole(in, out, cameraCount);
        return out.str();
    }
};

TEST_F(ConsoleTest, CommandsAndUnknownWords) {
    EXPECT_EQ("QORV#QORV#Unknown command\nQORV#QORV#",
              Run("winon WINON\n\n\nwinoff\nexit\nwinon", 3));
    EXPECT_EQ(0, slots::CameraTable[0].showWindow.load()) << "nothing after exit is read";
}

TEST_F(ConsoleTest, LongWordGivesOneUnknownThenActs) {
    EXPECT_EQ("QORV#Unknown command\nQORV#QORV#", Run("winonwinonwinonwinonwinon exit", 2));
    EXPECT_EQ(1, slots::CameraTable[0].showWindow.load());
    EXPECT_EQ(1, slots::CameraTable[1].showWindow.load());
    EXPECT_EQ(0, slots::CameraTable[2].showWindow.load()) << "only slots below the camera count";
}

TEST_F(ConsoleTest, EndOfInputActsAsExit) {
    EXPECT_EQ("QORV#QORV#", Run("winon", 1));
    EXPECT_EQ(1, slots::CameraTable[0].showWindow.load());
}

TEST_F(ConsoleTest, WindowFlagsStayInsideTheTable) {
    Run("winon exit", 50);
    for (const slots::CameraSlot& slot : slots::CameraTable) EXPECT_EQ(1, slot.showWindow.load());
    Run("winoff exit", -3);
    for (const slots::CameraSlot& slot : slots::CameraTable) EXPECT_EQ(1, slot.showWindow.load());
}

}  // namespace
