#include "Support/Wire/FakeClock.h"

#include <atomic>
#include <cassert>

#include "Support/Wire/RunOn.h"

namespace {

// Atomic: a thread running completions reads the clock while the test advances it. `current` is
// the monotonic reading; the wall clock reads `wallOffset` more.
std::atomic<uint64_t> current(0);
std::atomic<int64_t> wallOffset(0);
std::atomic<unsigned> spin(0);
std::atomic<unsigned> readsSinceSleep(0);
boost::asio::io_context* readerService = nullptr;

uint64_t read() {
    const unsigned ticks = spin.load();
    if (ticks && (readsSinceSleep.fetch_add(1) + 1) % ticks == 0)
        return current.fetch_add(1) + 1 + static_cast<uint64_t>(wallOffset.load());
    return current.load() + static_cast<uint64_t>(wallOffset.load());
}

// Only the scheduler's readings of the wall clock stand for its spinning.
uint64_t readMonotonic() {
    return current.load();
}

void sleepFor(int64_t ms) {
    readsSinceSleep = 0;
    current += ms;
}

// Timer's sources are plain pointers that may only change while no other thread reads them, so
// they change on the thread that reads them besides the test's.
void setTimeSources(Timer::TimeSource wall, Timer::TimeSource monotonic) {
    const auto set = [wall, monotonic] {
        Timer::setTimeSource(wall);
        Timer::setMonotonicSource(monotonic);
    };
    if (readerService)
        runOn(*readerService, set);
    else
        set();
}

} // namespace

FakeClock::FakeClock(uint64_t start) {
    current = start;
    wallOffset = 0;
    spin = 0;
    readsSinceSleep = 0;
    setTimeSources(read, readMonotonic);
    Helpers::setSleepFunction(sleepFor);
}

FakeClock::~FakeClock() {
    setTimeSources(nullptr, nullptr);
    Helpers::setSleepFunction(nullptr);
}

void FakeClock::advance(int64_t ms) {
    assert(ms >= 0 && "time does not pass backwards; stepWallClock sets the wall clock back");
    current += static_cast<uint64_t>(ms);
}

void FakeClock::stepWallClock(int64_t ms) {
    wallOffset += ms;
}

uint64_t FakeClock::now() {
    return current + static_cast<uint64_t>(wallOffset.load());
}

void FakeClock::setSpin(unsigned ticksPerMs) {
    spin = ticksPerMs;
    readsSinceSleep = 0;
}

void FakeClock::alsoReadOn(boost::asio::io_context* io) {
    readerService = io;
}
