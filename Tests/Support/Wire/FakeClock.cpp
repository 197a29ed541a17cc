#include "Support/Wire/FakeClock.h"

#include <atomic>

#include "Support/Wire/RunOn.h"

namespace {

// Atomic: a thread running completions reads the clock while the test advances it.
std::atomic<uint64_t> current(0);
std::atomic<unsigned> spin(0);
std::atomic<unsigned> readsSinceSleep(0);
boost::asio::io_context* readerService = nullptr;

uint64_t read() {
    const unsigned ticks = spin.load();
    if (ticks && (readsSinceSleep.fetch_add(1) + 1) % ticks == 0)
        return current.fetch_add(1) + 1;
    return current.load();
}

void sleepFor(int64_t ms) {
    readsSinceSleep = 0;
    current += ms;
}

// Timer's source is a plain pointer that may only change while no other thread reads it, so it
// changes on the thread that reads it besides the test's.
void setTimeSource(Timer::TimeSource source) {
    if (readerService)
        runOn(*readerService, [source] { Timer::setTimeSource(source); });
    else
        Timer::setTimeSource(source);
}

} // namespace

FakeClock::FakeClock(uint64_t start) {
    current = start;
    spin = 0;
    readsSinceSleep = 0;
    setTimeSource(read);
    Helpers::setSleepFunction(sleepFor);
}

FakeClock::~FakeClock() {
    setTimeSource(nullptr);
    Helpers::setSleepFunction(nullptr);
}

void FakeClock::advance(int64_t ms) {
    current += ms;
}

uint64_t FakeClock::now() {
    return current;
}

void FakeClock::setSpin(unsigned ticksPerMs) {
    spin = ticksPerMs;
    readsSinceSleep = 0;
}

void FakeClock::alsoReadOn(boost::asio::io_context* io) {
    readerService = io;
}
