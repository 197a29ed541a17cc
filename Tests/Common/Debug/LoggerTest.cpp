#include "Common/Debug/Logger.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Support/Wire/FakeClock.h"

namespace {

class LoggerTest : public testing::Test {
protected:
    LoggerTest() : clock(1000000), log(Logger::getInstance()) { log->resetForTesting(); }
    ~LoggerTest() override { log->resetForTesting(); }

    // Counts 31 frames and 45 client TCP packets over 1100 ms.
    void countBusySecond() {
        log->add_packages(45, CS_TCP_SENT);
        log->add_bandwidth(4500, CS_TCP_SENT);
        for (int i = 0; i < 30; ++i)
            log->frameDone(0.016f);
        FakeClock::advance(1100);
        log->frameDone(0.016f);
    }

    static std::string field(const std::string& line, int column) {
        std::stringstream in(line);
        std::string f;
        for (int i = 0; i < column; ++i)
            std::getline(in, f, ',');
        return f;
    }

    FakeClock clock;
    Logger* log;
};

const MeasurementFigures figures = {123456, 2, 3, 4, 17, 1048576, 5};

TEST_F(LoggerTest, SecondBoundary) {
    struct Case {
        int64_t after;
        bool computes;
    } const cases[] = {{600, false}, {1000, false}, {1001, true}};
    for (const Case& c : cases) {
        log->resetForTesting();
        log->frameDone(0);
        FakeClock::advance(c.after);
        log->frameDone(0);
        EXPECT_EQ(log->fps != -1.0f, c.computes) << c.after << " ms";
    }
    // A computation restarts the period: 600 ms later nothing is computed again.
    const float fps = log->fps;
    FakeClock::advance(600);
    log->frameDone(0);
    EXPECT_EQ(log->fps, fps);
    EXPECT_EQ(log->numberOfFramesSinceLast, 1u);
}

TEST_F(LoggerTest, RatesOverTheElapsedTime) {
    countBusySecond();
    EXPECT_NEAR(log->fps, 31 * 1000.0 / 1100, 1e-4);
    EXPECT_NEAR(log->packagesPrS[CS_TCP_SENT], 45 * 1000.0 / 1100, 1e-4);
    EXPECT_NEAR(log->bandwidthPrS[CS_TCP_SENT], 4500 * 1000.0 / 1100, 1e-2);
    EXPECT_EQ(log->numberOfFramesSinceLast, 0u);
    // The next period counts only what came since.
    log->add_packages(10, CS_TCP_SENT);
    FakeClock::advance(2000);
    log->frameDone(0);
    EXPECT_FLOAT_EQ(log->packagesPrS[CS_TCP_SENT], 5.0f);
    EXPECT_FLOAT_EQ(log->bandwidthPrS[CS_TCP_SENT], 0.0f);
    EXPECT_FLOAT_EQ(log->fps, 0.5f);
}

TEST_F(LoggerTest, HeaderAndLineByteForByte) {
    EXPECT_EQ(Logger::formatHeader(),
              "Timestamp      ,TCP pkg sent CS,TCP pkg rcvd CS,UDP pkg sent CS,UDP pkg rcvd CS,TCP bw sent CS ,"
              "TCP bw rcvd CS ,UDP bw sent CS ,UDP bw rcvd CS ,TCP pkg sent SS,TCP pkg rcvd SS,UDP pkg sent SS,"
              "UDP pkg rcvd SS,TCP bw sent SS ,TCP bw rcvd SS ,UDP bw sent SS ,UDP bw rcvd SS ,TCP pkg sent   ,"
              "TCP pkg rcvd   ,UDP pkg sent   ,UDP pkg rcvd   ,TCP bw sent    ,TCP bw rcvd    ,UDP bw sent    ,"
              "UDP bw rcvd    ,Players        ,Watchers       ,Projectiles    ,CPU            ,MEMORY         ,"
              "FPS            ,Latency        ,Position X     ,Position Y     ,Position Z     ,Srv change     ,"
              "Srv connect    ,Respawn rate   ,Num Replicas   ,Dropped UDP Pgk,Projectile ctrl,Players ctrl   ,\n");

    // Before the first computation.
    EXPECT_EQ(field(log->formatLine(figures), 31), "-1.0000000000");

    // One distinct figure per traffic column, so a swapped column shows.
    for (int i = 0; i < NUMBER_OF_MSG; ++i) {
        log->add_packages(i + 1, static_cast<NetworkIndexes>(i));
        log->add_bandwidth(100 * (i + 1), static_cast<NetworkIndexes>(i));
    }
    FakeClock::advance(2000);
    log->frameDone(0);
    log->packageDropped();
    log->gotControlOverProjectile();
    log->gotControlOverPlayer();
    log->gotControlOverPlayer();
    const std::string b15 = "               ";
    EXPECT_EQ(log->formatLine(figures),
              "         123456,              0,              1,              2,              2,             50,"
              "            100,            150,            200,              2,              3,              4,"
              "              4,            250,            300,            350,            400,              3,"
              "              4,              5,              6,            300,            400,            500,"
              "            600,              2,              3,              4,             17,        1048576,"
              "0.5000000000," +
                  b15 + ",    0.0000,    0.0000,    0.0000,    0.0000,    0.0000," + b15 +
                  ",              5,              1,              1,              2\n");
}

TEST_F(LoggerTest, RatePrintedRoundedInFifteenColumns) {
    countBusySecond();
    EXPECT_EQ(field(log->formatLine(figures), 2), "             41");
}

TEST_F(LoggerTest, DroppedAndHandOverCountsResetAfterALine) {
    for (int i = 0; i < 3; ++i)
        log->packageDropped();
    log->gotControlOverProjectile();
    const std::string first = log->formatLine(figures);
    EXPECT_EQ(field(first, 40), "              3");
    EXPECT_EQ(field(first, 41), "              1");
    const std::string second = log->formatLine(figures);
    EXPECT_EQ(field(second, 40), "              0");
    EXPECT_EQ(field(second, 41), "              0");
}

TEST_F(LoggerTest, PingRing) {
    log->sending_latency_serial(7);
    FakeClock::advance(42);
    log->received_latency_serial(7);
    EXPECT_EQ(log->lastLatency, 42u);

    log->received_latency_serial(8); // never sent
    EXPECT_EQ(log->lastLatency, 42u);

    // A serial answered after 300 newer pings has lost its slot.
    for (unsigned int s = 100; s < 400; ++s)
        log->sending_latency_serial(s);
    FakeClock::advance(10);
    log->received_latency_serial(7);
    EXPECT_EQ(log->lastLatency, 42u);
    // The oldest entry left is still found.
    log->received_latency_serial(100);
    EXPECT_EQ(log->lastLatency, 10u);
}

TEST_F(LoggerTest, EachRunAppendsAHeaderThenItsLines) {
    char name[] = "/tmp/loggertestXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream earlier(name);
        earlier << "earlier run\n";
    }
    log->setFileToWriteTo(name);
    log->writeMeasurementToFile();
    log->writeMeasurementToFile();
    log->cleanup();
    log->cleanup();
    log->writeMeasurementToFile(); // closed: nothing

    std::ifstream in(name);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "earlier run");
    std::getline(in, line);
    EXPECT_EQ(line + "\n", Logger::formatHeader());
    int lines = 0;
    while (std::getline(in, line)) {
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 41);
        ++lines;
    }
    EXPECT_EQ(lines, 2);
    std::remove(name);
}

TEST_F(LoggerTest, FileThatCannotBeOpened) {
    testing::internal::CaptureStdout();
    log->setFileToWriteTo("/nonexistent-dir/stats.csv");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error could not open log file\n"), std::string::npos);
    EXPECT_EQ(log->pFile, nullptr);
    log->writeMeasurementToFile();
    EXPECT_EQ(log->linesWritten, 0u);
}

void raceFirstCalls() {
    Logger* fromOther = nullptr;
    std::thread other([&fromOther] { fromOther = Logger::getInstance(); });
    Logger* fromHere = Logger::getInstance();
    other.join();
    std::exit(fromHere == fromOther ? 0 : 1);
}

TEST(LoggerCreationTest, FirstCallsFromTwoThreadsShareOneInstance) {
    // A fresh process, so the two calls really are the first ones.
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(raceFirstCalls(), testing::ExitedWithCode(0), "");
}

} // namespace
