#include "Common/Debug/Debug.h"

#include <string>

#include <gtest/gtest.h>

#include "Common/Network/Network.h"
#include "Support/Wire/FakeClock.h"

namespace {

class DebugTest : public ::testing::Test {
protected:
    void SetUp() override {
        Network::getInstance()->ownId = 26;
        Timer::sync_clock(500);
    }
    void TearDown() override {
        Network::getInstance()->ownId = 0;
        Timer::sync_clock(0);
    }
    FakeClock clock;
};

std::string captured(void (*print)()) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

TEST_F(DebugTest, PrefixCarriesHexIdAndSynchronisedTime) {
    EXPECT_EQ(captured([] { DebugPrint("Server %i added.\n", 3); }), "id:1a:[500] Server 3 added.\n");
    Network::getInstance()->ownId = 0;
    EXPECT_EQ(captured([] { DebugPrint("x\n"); }), "id:0:[500] x\n");
    Network::getInstance()->ownId = static_cast<uint64_t>(int64_t(-1));
    EXPECT_EQ(captured([] { DebugPrint("x\n"); }), "id:ffffffffffffffff:[500] x\n");
}

TEST_F(DebugTest, EveryPieceGetsItsOwnPrefix) {
    EXPECT_EQ(captured([] {
                  DebugPrint("UDP: ");
                  DebugPrint("%s,", "a");
                  DebugPrint("\n");
              }),
              "id:1a:[500] UDP: id:1a:[500] a,id:1a:[500] \n");
}

TEST_F(DebugTest, LevelsZeroToSixPrintAlikeOthersNothing) {
    for (int level = 0; level <= 6; ++level) {
        testing::internal::CaptureStdout();
        DebugLog(static_cast<LogType::LogType>(level), "value %d\n", 7);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "id:1a:[500] value 7\n") << level;
    }
    for (int level : {7, -1, 100}) {
        testing::internal::CaptureStdout();
        DebugLog(static_cast<LogType::LogType>(level), "value %d\n", 7);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << level;
    }
}

TEST_F(DebugTest, PercentInFinishedTextIsPrintedLiterally) {
    EXPECT_EQ(captured([] { DebugLog(LogType::Info, "host %s\n", "10%d%s%n"); }), "id:1a:[500] host 10%d%s%n\n");
}

TEST_F(DebugTest, LongTextIsPrintedWhole) {
    static const std::string longText = std::string(3000, 'x') + "END\n";
    EXPECT_EQ(captured([] { DebugPrint("%s", longText.c_str()); }), "id:1a:[500] " + longText);
    EXPECT_EQ(captured([] { DebugLog(LogType::Error, "%s", longText.c_str()); }), "id:1a:[500] " + longText);
}

// Each kind of line caused by network input is printed INPUT_LINES_PER_SECOND times a second;
// the rest are counted, and once their second has passed one line says how many were left out,
// from the frame's report or ahead of the kind's next line. Kinds count apart.
TEST_F(DebugTest, LinesCausedByNetworkInputArePrintedAFewTimesASecondThenTheGapIsReported) {
    const auto prefix = [] { return "id:1a:[" + std::to_string(Timer::getCurSyncedTime()) + "] "; };
    testing::internal::CaptureStdout();
    int printed = 0;
    for (int i = 0; i < 25; ++i)
        printed += DebugPrintInput("bad frame %d\n", i);
    for (int i = 0; i < 3; ++i)
        printed += DebugLogInput(LogType::Error, "other %d\n", i);
    DebugReportLeftOutInput(); // within the second: nothing yet
    std::string expected;
    for (int i = 0; i < INPUT_LINES_PER_SECOND; ++i)
        expected += prefix() + "bad frame " + std::to_string(i) + "\n";
    for (int i = 0; i < 3; ++i)
        expected += prefix() + "other " + std::to_string(i) + "\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(printed, INPUT_LINES_PER_SECOND + 3);

    FakeClock::advance(1000);
    EXPECT_EQ(captured([] { DebugReportLeftOutInput(); }),
              prefix() + "Left out 15 more lines \"bad frame %d\" in one second\n");
    EXPECT_EQ(captured([] { DebugReportLeftOutInput(); }), "");

    // A kind that comes again after its second reports its own gap first.
    captured([] {
        for (int i = 0; i < INPUT_LINES_PER_SECOND + 2; ++i)
            DebugPrintInput("bad frame %d\n", i);
    });
    FakeClock::advance(1500);
    EXPECT_EQ(captured([] { DebugPrintInput("bad frame %d\n", 99); }),
              prefix() + "Left out 2 more lines \"bad frame %d\" in one second\n" + prefix() + "bad frame 99\n");
}

TEST(DebugEscapeTest, BytesFromTheNetworkCannotForgeALineOrSteerATerminal) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"Server 7", "Server 7"},
        {"a\nid:1:[4242] Server 7 has connected to us", "a\\x0aid:1:[4242] Server 7 has connected to us"},
        {"\x1b[31mred\r", "\\x1b[31mred\\x0d"},
        {std::string("\0\x7f\xff", 3), "\\x00\\x7f\\xff"},
        {"back\\slash", "back\\\\slash"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DebugEscape(c.bytes), c.text) << c.text;
}

} // namespace
