#include "Common/Engine/Timer.h"

#include <sys/time.h>

#include <chrono>

std::atomic<uint64_t> Timer::syncPair(0);
Timer::TimeSource Timer::timeSource = nullptr;
Timer::TimeSource Timer::monotonicSource = nullptr;

uint64_t Timer::getCurrentTime() {
    if (timeSource)
        return timeSource();
    timeval tv;
    gettimeofday(&tv, nullptr);
    return (static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec)) / 1000u;
}

void Timer::sync_clock(uint32_t time) {
    const uint32_t syncTime = static_cast<uint32_t>(getCurrentTime());
    syncPair.store((static_cast<uint64_t>(time) << 32) | syncTime);
}

uint32_t Timer::getCurSyncedTime() {
    const uint64_t pair = syncPair.load();
    const uint32_t clock = static_cast<uint32_t>(pair >> 32);
    const uint32_t syncTime = static_cast<uint32_t>(pair);
    return static_cast<uint32_t>(getCurrentTime()) + clock - syncTime;
}

void Timer::setTimeSource(TimeSource source) {
    timeSource = source;
}

uint64_t Timer::getMonotonicTime() {
    if (monotonicSource)
        return monotonicSource();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void Timer::setMonotonicSource(TimeSource source) {
    monotonicSource = source;
}

Timer::Timer() : prevTime(getCurrentTime() / 1000.0) {}

double Timer::getTimeDiff() {
    const double now = getCurrentTime() / 1000.0;
    const double diff = now - prevTime;
    prevTime = now;
    return diff;
}
