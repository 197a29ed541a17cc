#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "Common/Debug/Logger.h"

// What the measurement log's traffic and drop counters gained since this object was made,
// slot by slot, so a test sees both the slot a code path counts under and that no other moved.
// Taken as differences: the I/O thread of the live network may have counted before.
class TrafficCounts {
public:
    TrafficCounts() : packagesBefore(read(log()->packages)), bandwidthBefore(read(log()->bandwidth)) {
        droppedBefore = log()->droppedPackages;
    }

    std::vector<uint64_t> packages() const { return since(read(log()->packages), packagesBefore); }
    std::vector<uint64_t> bandwidth() const { return since(read(log()->bandwidth), bandwidthBefore); }
    uint64_t dropped() const { return log()->droppedPackages - droppedBefore; }

    // The eight slots with `value` in slot i and 0 elsewhere; all 0 without a slot.
    static std::vector<uint64_t> inSlot(NetworkIndexes i, uint64_t value) {
        std::vector<uint64_t> slots(NUMBER_OF_MSG, 0);
        if (i != NUMBER_OF_MSG)
            slots[i] = value;
        return slots;
    }

private:
    static Logger* log() { return Logger::getInstance(); }

    static std::vector<uint64_t> read(const std::atomic<uint64_t> (&counters)[NUMBER_OF_MSG]) {
        std::vector<uint64_t> values;
        for (const std::atomic<uint64_t>& c : counters)
            values.push_back(c.load());
        return values;
    }

    static std::vector<uint64_t> since(std::vector<uint64_t> now, const std::vector<uint64_t>& before) {
        for (size_t i = 0; i < now.size(); ++i)
            now[i] -= before[i];
        return now;
    }

    std::vector<uint64_t> packagesBefore;
    std::vector<uint64_t> bandwidthBefore;
    uint64_t droppedBefore;
};
