#include "Common/Debug/Debug.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "Common/Network/Limits.h"
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

// Each kind of line caused by one peer's input is printed INPUT_LINES_PER_SECOND times a
// second; the rest are counted, and once their second has passed one line says how many were
// left out, from the frame's report or ahead of the kind's next line. Kinds count apart.
TEST_F(DebugTest, LinesCausedByNetworkInputArePrintedAFewTimesASecondThenTheGapIsReported) {
    int connection = 0;
    const DebugInputSource peer(&connection, nullptr);
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

// The lines one peer can repeat at will are counted per peer (a connection, or the source
// address of datagrams, whatever its port): many peers each doing something once all print, 2000
// clients joining within two seconds every line of theirs. All peers together print at most
// INPUT_KIND_BURST lines of a kind at once and INPUT_KIND_LINES_PER_SECOND a second after, and
// all kinds together INPUT_LINES_BURST at once, so a flood from any number of peers stays a few
// megabytes a minute.
TEST_F(DebugTest, LinesOfManyPeersArePrintedUpToACeilingPerKind) {
    const auto allowed = [](const void* connection, const sockaddr* address, const char* kind, int times) {
        const DebugInputSource peer(connection, address);
        int n = 0;
        for (int i = 0; i < times; ++i)
            n += DebugInputAllowed(kind);
        return n;
    };
    const auto connection = [](int i) { return reinterpret_cast<const void*>(static_cast<uintptr_t>(16 * (i + 1))); };

    // Datagrams: their source address, not its port.
    const auto address = [](const char* host, unsigned short port) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, host, &a.sin_addr);
        return a;
    };
    const sockaddr_in first = address("127.1.0.1", 4000), samePeer = address("127.1.0.1", 4001),
                      other = address("127.1.0.2", 4000);
    EXPECT_EQ(allowed(nullptr, reinterpret_cast<const sockaddr*>(&first), "datagram", 6), 6);
    EXPECT_EQ(allowed(nullptr, reinterpret_cast<const sockaddr*>(&samePeer), "datagram", 6), 4);
    EXPECT_EQ(allowed(nullptr, reinterpret_cast<const sockaddr*>(&other), "datagram", 20), INPUT_LINES_PER_SECOND);
    // A connection counts apart from datagrams, and the connection wins over an address.
    EXPECT_EQ(allowed(connection(0), reinterpret_cast<const sockaddr*>(&first), "datagram", 20),
              INPUT_LINES_PER_SECOND);

    // 2000 clients joining within two seconds, two lines each.
    DebugResetInputLimitsForTesting();
    int printed = 0;
    for (int i = 0; i < 2000; ++i) {
        printed += allowed(connection(i), nullptr, "New connection from %s\n", 1);
        printed += allowed(connection(i), nullptr, "Player connected qport:%x (id:%llx)\n", 1);
        if (i % 2)
            FakeClock::advance(2);
    }
    EXPECT_EQ(printed, 4000);

    // A flood from ever new peers for a minute: the burst, then the kind's rate.
    DebugResetInputLimitsForTesting();
    testing::internal::CaptureStdout();
    printed = 0;
    for (int ms = 0; ms < 60000; ms += 10) {
        for (int i = 0; i < 20; ++i)
            printed += allowed(connection(ms * 20 + i), nullptr, "flood\n", 1);
        FakeClock::advance(10);
        DebugReportLeftOutInput();
    }
    const std::string gaps = testing::internal::GetCapturedStdout();
    EXPECT_GE(printed, INPUT_KIND_BURST + 59 * INPUT_KIND_LINES_PER_SECOND);
    EXPECT_LE(printed, INPUT_KIND_BURST + 60 * INPUT_KIND_LINES_PER_SECOND);
    EXPECT_NE(gaps.find("more lines \"flood\" in one second\n"), std::string::npos);
    EXPECT_LE(std::count(gaps.begin(), gaps.end(), '\n'), 60);
    // Lines of no peer count against the ceiling alone.
    EXPECT_EQ(allowed(nullptr, nullptr, "flood\n", 5), 0);
    EXPECT_EQ(allowed(nullptr, nullptr, "of no peer\n", 50), 50);

    // A flood of many kinds at once: all kinds together print at most INPUT_LINES_BURST.
    DebugResetInputLimitsForTesting();
    printed = 0;
    for (int k = 0; k < 30; ++k) {
        const std::string kind = "kind " + std::to_string(k);
        for (int i = 0; i < 1000; ++i)
            printed += allowed(connection(i), nullptr, kind.c_str(), 1);
    }
    EXPECT_EQ(printed, INPUT_LINES_BURST);
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
