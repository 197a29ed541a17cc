#pragma once

#include <cstdint>

#include "Common/Engine/Helpers.h"
#include "Common/Engine/Timer.h"

// A controllable wall clock for rules about time. While one exists, Timer and the
// scheduler read and sleep on it; it advances only when told, or when the scheduler sleeps.
class FakeClock {
public:
    explicit FakeClock(uint64_t start = 1000000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    static void advance(int64_t ms);
    static uint64_t now();

    // When set, every `ticksPerMs` readings without a sleep in between advance the clock by
    // 1 ms, as real time passes while the scheduler spins on a due time it has reached.
    static void setSpin(unsigned ticksPerMs);
};
