#include "Common/Engine/Timer.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "Support/Wire/FakeClock.h"

namespace {

TEST(TimerTest, SyncedClockRunsOnFromSyncAndWraps) {
    FakeClock clock(5000000);
    Timer::sync_clock(4294967290u);
    EXPECT_EQ(Timer::getCurSyncedTime(), 4294967290u);
    FakeClock::advance(3);
    EXPECT_EQ(Timer::getCurSyncedTime(), 4294967293u);
    FakeClock::advance(7);
    EXPECT_EQ(Timer::getCurSyncedTime(), 4u);
    Timer::sync_clock(0);
    EXPECT_EQ(Timer::getCurSyncedTime(), 0u);
}

TEST(TimerTest, TimeDiffCountsFromConstructionThenFromEachCall) {
    FakeClock clock(2000000);
    Timer timer;
    FakeClock::advance(250);
    EXPECT_DOUBLE_EQ(timer.getTimeDiff(), 0.25);
    FakeClock::advance(1000);
    EXPECT_DOUBLE_EQ(timer.getTimeDiff(), 1.0);
    EXPECT_DOUBLE_EQ(timer.getTimeDiff(), 0.0);
}

// Each thread sees a wall clock of its own. The writer syncs to (its time + K), so a reader
// that combines a clock and a syncTime of the same sync always computes (its time + K); a
// torn pair (new clock with old syncTime, or the reverse) gives anything else.
thread_local uint64_t threadTime = 0;
uint64_t threadClock() {
    return threadTime;
}

TEST(TimerTest, ReaderNeverSeesATornClockPair) {
    const uint32_t K = 777;
    Timer::setTimeSource(threadClock);
    threadTime = 100;
    Timer::sync_clock(100 + K);
    std::atomic<bool> stop(false);
    std::atomic<int> torn(0);
    std::thread reader([&] {
        threadTime = 50000;
        while (!stop)
            if (Timer::getCurSyncedTime() != 50000 + K)
                ++torn;
    });
    for (uint64_t i = 0; i < 200000; ++i) {
        threadTime = 100 + i * 65537;
        Timer::sync_clock(static_cast<uint32_t>(threadTime + K));
    }
    stop = true;
    reader.join();
    Timer::setTimeSource(nullptr);
    Timer::sync_clock(0);
    EXPECT_EQ(torn, 0);
}

} // namespace
