#include "Common/Debug/ResourceMonitor.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

timeval tv(long sec, long usec) {
    timeval t;
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

struct CpuCase {
    timeval user;
    timeval sys;
    time_t wall;
    short figure;
    short cached;
};

TEST(ResourceMonitorTest, CpuFigureArithmetic) {
    // Each case measures from the readings of the case before it.
    const CpuCase cases[] = {
        {tv(10, 0), tv(5, 0), 100, 0, 0},               // baseline: usage since creation is not ours
        {tv(10, 500000), tv(5, 250000), 101, 75, 75},   // 0.75 s over one wall second
        {tv(11, 0), tv(5, 500000), 103, 37, 37},        // 0.75 s over two: 37.5 truncated
        {tv(11, 900000), tv(5, 500000), 103, 0, 37},    // same wall second: 0, cache kept, usage dropped
        {tv(11, 900000), tv(5, 500000), 104, 0, 37},    // an idle second keeps the last positive figure
        {tv(13, 900000), tv(6, 500000), 105, 300, 300}, // several cores: above 100
    };
    ResourceMonitor monitor;
    for (const CpuCase& c : cases) {
        EXPECT_EQ(monitor.measure(c.user, c.sys, c.wall), c.figure) << c.wall;
        EXPECT_EQ(monitor.GetCPUusageCached(), c.cached) << c.wall;
    }
}

TEST(ResourceMonitorTest, ConsoleValueHoldsUntilAPositiveMeasurement) {
    ResourceMonitor monitor;
    monitor.measure(tv(0, 0), tv(0, 0), 10);
    monitor.SetCPUusageCache(99);
    EXPECT_EQ(monitor.measure(tv(0, 0), tv(0, 0), 11), 0);
    EXPECT_EQ(monitor.GetCPUusageCached(), 99);
    EXPECT_EQ(monitor.measure(tv(0, 200000), tv(0, 0), 12), 20);
    EXPECT_EQ(monitor.GetCPUusageCached(), 20);
}

class MemoryFile {
public:
    explicit MemoryFile(const std::string& content) : path("/tmp/statXXXXXX") {
        const int fd = mkstemp(&path[0]);
        std::ofstream(path) << content;
        close(fd);
    }
    ~MemoryFile() { std::remove(path.c_str()); }
    std::string path;
};

TEST(ResourceMonitorTest, MemoryFigureIsThe23rdWord) {
    std::string words = "4242 (regionserver) S";
    for (int i = 4; i <= 22; ++i)
        words += " " + std::to_string(i);
    ResourceMonitor monitor;
    MemoryFile good(words + " 123456789 -5 7 8\n");
    EXPECT_EQ(monitor.readMemoryUsage(good.path.c_str()), 123456789ul);
    // Unreadable or short: a defined 0, not the previous figure.
    MemoryFile shortFile(words + "\n");
    EXPECT_EQ(monitor.readMemoryUsage(shortFile.path.c_str()), 0ul);
    MemoryFile notANumber(words + " lots -5\n");
    EXPECT_EQ(monitor.readMemoryUsage(notANumber.path.c_str()), 0ul);
    EXPECT_EQ(monitor.readMemoryUsage("/nonexistent/stat"), 0ul);
    EXPECT_GT(monitor.GetMemoryUsage(), 1000000ul);
}

} // namespace
