#include "Support/FakeClock.h"

namespace {

uint64_t current = 0;
unsigned spin = 0;
unsigned readsSinceSleep = 0;

uint64_t read() {
    if (spin && ++readsSinceSleep % spin == 0)
        ++current;
    return current;
}

void sleepFor(int64_t ms) {
    readsSinceSleep = 0;
    current += ms;
}

} // namespace

FakeClock::FakeClock(uint64_t start) {
    current = start;
    spin = 0;
    readsSinceSleep = 0;
    Timer::setTimeSource(read);
    Helpers::setSleepFunction(sleepFor);
}

FakeClock::~FakeClock() {
    Timer::setTimeSource(nullptr);
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
