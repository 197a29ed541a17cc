#pragma once

#include <atomic>
#include <cstdint>

// The millisecond wall clock, the synchronised network clock, the frame clock, and a monotonic
// clock for the server's own waits.
class Timer {
public:
    typedef uint64_t (*TimeSource)();

    // Wall-clock ms since the epoch. Any thread.
    static uint64_t getCurrentTime();

    // The synchronised clock reads `time` now and runs on from there. Main thread only.
    static void sync_clock(uint32_t time);

    // Synchronised ms; wraps modulo 2^32. Any thread.
    static uint32_t getCurSyncedTime();

    // Monotonic ms from an arbitrary start. For the waits the server sets itself (a login, a
    // stalled send, a client's return): a wall clock set forward or back must not end them
    // early or make them longer. Any thread.
    static uint64_t getMonotonicTime();

    // Replaces the wall clock (null restores it), so rules about time are tested without
    // sleeping. Set it only while no other thread reads the clock.
    static void setTimeSource(TimeSource source);
    // The same for the monotonic clock.
    static void setMonotonicSource(TimeSource source);

    Timer();

    // Seconds since the previous call, or since construction.
    double getTimeDiff();

private:
    double prevTime;

    // `clock` (the time given to the last sync_clock) in the high 32 bits and `syncTime`
    // (the low 32 bits of the wall clock then) in the low 32 bits, published as one value
    // so the I/O thread never combines a new clock with an old syncTime.
    static std::atomic<uint64_t> syncPair;
    static TimeSource timeSource;
    static TimeSource monotonicSource;
};
