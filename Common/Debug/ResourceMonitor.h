#pragma once

#include <sys/time.h>

#include <ctime>

// CPU time of the process as a percentage of wall-clock time, and its virtual memory.
// Main thread only.
class ResourceMonitor {
public:
    static ResourceMonitor* getInstance();

    // Reads the process's resource usage now.
    ResourceMonitor();

    // CPU figure since the previous measurement; a positive figure refreshes the cache.
    short GetCPUusage();
    short GetCPUusageCached() const { return cpu; }
    void SetCPUusageCache(short val) { cpu = val; }

    // Virtual memory size in bytes from "/proc/self/stat"; 0 when it cannot be read.
    unsigned long GetMemoryUsage();

    // The arithmetic of GetCPUusage from given readings (user and system CPU time, wall
    // seconds), so it can be checked with exact figures.
    short measure(const timeval& uTime, const timeval& sTime, time_t now);

    // The memory figure from a stat file of the same layout; 0 when it cannot be read.
    unsigned long readMemoryUsage(const char* statPath);

private:
    ResourceMonitor(const ResourceMonitor&) = delete;
    ResourceMonitor& operator=(const ResourceMonitor&) = delete;

    short cpu;
    unsigned long memory;
    timeval last_uTime;
    timeval last_sTime;
    time_t lastTime;
};
