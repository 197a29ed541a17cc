#include "Common/Engine/Helpers.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Wire/FakeClock.h"

namespace {

// What the scheduled functions did, as "name@ms".
std::vector<std::string> calls;
int stopAfter = 0;

void record(const char* name) {
    calls.push_back(std::string(name) + "@" + std::to_string(FakeClock::now()));
    if (static_cast<int>(calls.size()) >= stopAfter)
        Helpers::stop();
}

void fnA() {
    record("a");
}
void fnB() {
    record("b");
}
void fnC() {
    record("c");
}
void slow() {
    record("slow");
    FakeClock::advance(50);
}
void thrower() {
    record("t");
    throw std::runtime_error("boom");
}
void jumper() {
    record("j");
    if (FakeClock::now() >= 1000100 && FakeClock::now() < 1000200)
        FakeClock::advance(5000);
}

class HelpersTest : public ::testing::Test {
protected:
    void SetUp() override {
        Helpers::clearForTesting();
        calls.clear();
    }
    void TearDown() override { Helpers::clearForTesting(); }

    // Runs the schedule until `n` calls were made, on a fake clock starting at 1000000 ms.
    void runFor(int n) {
        stopAfter = n;
        testing::internal::CaptureStdout();
        Helpers::run();
        output = testing::internal::GetCapturedStdout();
    }

    FakeClock clock{1000000};
    std::string output;
};

TEST_F(HelpersTest, FirstPassCallsEveryEntryInRegistrationOrder) {
    Helpers::registerMainLoopFunction(fnB, 30);
    Helpers::registerMainLoopFunction(fnA, 1);
    Helpers::registerMainLoopFunction(fnC, 30);
    runFor(3);
    EXPECT_EQ(calls, (std::vector<std::string>{"b@1000000", "a@1000000", "c@1000000"}));
    EXPECT_NE(output.find("Stopping main loop\n"), std::string::npos);
}

TEST_F(HelpersTest, DueOnlyWhenStrictlyPastNextUpdate) {
    // 30 per second is a period of 33 ms, but the strictly-greater test on whole milliseconds
    // makes it 34 once the clock reaches the due time exactly and spins into the next ms.
    FakeClock::setSpin(5);
    Helpers::registerMainLoopFunction(fnA, 30);
    runFor(4);
    EXPECT_EQ(calls, (std::vector<std::string>{"a@1000000", "a@1000034", "a@1000068", "a@1000102"}));
}

TEST_F(HelpersTest, OneSecondPeriodIsAtLeast1001Ms) {
    FakeClock::setSpin(3);
    Helpers::registerMainLoopFunction(fnA, 1);
    runFor(3);
    EXPECT_EQ(calls, (std::vector<std::string>{"a@1000000", "a@1001001", "a@1002002"}));
}

TEST_F(HelpersTest, PeriodCountsFromTheReadingBeforeTheCall) {
    // `slow` takes 50 ms, longer than its period: it runs once in each pass, never twice, and
    // delays `b`, which comes after it in the same pass.
    Helpers::registerMainLoopFunction(slow, 30);
    Helpers::registerMainLoopFunction(fnB, 30);
    runFor(6);
    EXPECT_EQ(calls, (std::vector<std::string>{"slow@1000000", "b@1000050", "slow@1000050", "b@1000100", "slow@1000100",
                                               "b@1000150"}));
}

TEST_F(HelpersTest, LateEntryIsNotCaughtUp) {
    // `j` moves the clock 5 s ahead once; the 1-per-second entry then runs once, not five
    // times, and is rescheduled from that pass's reading.
    FakeClock::setSpin(4);
    Helpers::registerMainLoopFunction(jumper, 10);
    Helpers::registerMainLoopFunction(fnA, 1);
    runFor(200);
    std::vector<long> a;
    for (const std::string& c : calls)
        if (c[0] == 'a')
            a.push_back(std::stol(c.substr(2)));
    ASSERT_GE(a.size(), 3u);
    EXPECT_EQ(a[0], 1000000);
    // The jump ends at about 1005100: one call right after it, the next a full period later.
    EXPECT_GE(a[1], 1005100);
    EXPECT_LT(a[1], 1005110);
    EXPECT_GE(a[2] - a[1], 1001);
    EXPECT_LT(a[2] - a[1], 1010);
}

TEST_F(HelpersTest, ThrowingFunctionIsReportedAndKeepsItsRate) {
    FakeClock::setSpin(5);
    Helpers::registerMainLoopFunction(thrower, 30);
    Helpers::registerMainLoopFunction(fnB, 30);
    runFor(6);
    // Both keep the rate; the entry after the thrower runs in the same first pass.
    std::vector<std::string> t, b;
    for (const std::string& c : calls)
        (c[0] == 't' ? t : b).push_back(c.substr(2));
    EXPECT_EQ(calls[1], "b@1000000");
    EXPECT_EQ(t, (std::vector<std::string>{"1000000", "1000034", "1000068"}));
    EXPECT_EQ(b, (std::vector<std::string>{"1000000", "1000034", "1000068"}));
    size_t lines = 0;
    for (size_t at = output.find("helper got an execption\n"); at != std::string::npos;
         at = output.find("helper got an execption\n", at + 1))
        ++lines;
    EXPECT_EQ(lines, 3u);
}

int sleeps = 0;
void countSleep(int64_t) {
    ++sleeps;
}

TEST_F(HelpersTest, EmptyScheduleNeitherCallsNorSleeps) {
    sleeps = 0;
    Helpers::setSleepFunction(countSleep);
    std::atomic<bool> finished(false);
    testing::internal::CaptureStdout();
    std::thread loop([&] {
        Helpers::run();
        finished = true;
    });
    while (!finished) {
        Helpers::stop();
        std::this_thread::yield();
    }
    loop.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sleeps, 0);
    EXPECT_TRUE(calls.empty());
}

} // namespace
