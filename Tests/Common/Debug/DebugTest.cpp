#include "Common/Debug/Debug.h"

#include <string>

#include <gtest/gtest.h>

#include "Common/Network/Network.h"
#include "Support/FakeClock.h"

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

} // namespace
