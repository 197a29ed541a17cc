#pragma once

#include <cstdint>

#include "Common/Engine/Helpers.h"
#include "Common/Engine/Timer.h"

namespace boost {
namespace asio {
class io_context;
}
} // namespace boost

// A controllable clock for rules about time: Timer's wall clock and its monotonic clock. While
// one exists, Timer and the scheduler read and sleep on it; both clocks advance together only
// when told, or when the scheduler sleeps, and the wall clock alone may be set like an
// operator's or a time daemon's step. Reading and advancing are safe from any thread.
class FakeClock {
public:
    explicit FakeClock(uint64_t start = 1000000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    // Time passes: both clocks advance by `ms` (not negative).
    static void advance(int64_t ms);
    // The wall clock alone is set `ms` forward (or back, when negative); the monotonic clock
    // does not move.
    static void stepWallClock(int64_t ms);
    // The wall clock's reading.
    static uint64_t now();

    // When set, every `ticksPerMs` readings without a sleep in between advance the clock by
    // 1 ms, as real time passes while the scheduler spins on a due time it has reached.
    static void setSpin(unsigned ticksPerMs);

    // The thread that runs `io` reads the clock too, for as long as the process lives (its
    // diagnostic lines carry the time): from now on Timer's source is swapped on that thread,
    // never while it reads. Call before that thread starts; `io` must keep running.
    static void alsoReadOn(boost::asio::io_context* io);
};
