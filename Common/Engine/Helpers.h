#pragma once

#include <cstdint>
#include <vector>

typedef void (*mainLoopFunction)();

// One schedule entry.
struct mainLoopFunctionStruct {
    mainLoopFunction func;
    float updateFps;    // calls per second
    int64_t nextUpdate; // wall-clock ms; due once the clock reads more than this
};

// The cooperative fixed-rate scheduler that owns the main thread after start-up.
// Main thread only; functions are registered before run() starts.
class Helpers {
public:
    typedef void (*SleepFunction)(int64_t milliseconds);

    // Appends an entry, first due at once; fps is positive.
    static void registerMainLoopFunction(mainLoopFunction func, float fps);

    // Calls each entry when due, in registration order, until stop() is seen at the end of
    // a pass. An entry is rescheduled from the clock reading taken before its call.
    static void run();

    static void stop();

    // Replaces the sleep between passes (null restores the real one), so tests can pair it
    // with a controllable clock (Timer::setTimeSource).
    static void setSleepFunction(SleepFunction sleep);

    // Forgets every entry; for tests, which run several schedules in one process.
    static void clearForTesting();
};
