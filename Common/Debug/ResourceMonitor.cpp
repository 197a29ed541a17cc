#include "Common/Debug/ResourceMonitor.h"

#include <sys/resource.h>

#include <cstdio>

ResourceMonitor* ResourceMonitor::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static ResourceMonitor* instance = new ResourceMonitor();
    return instance;
}

ResourceMonitor::ResourceMonitor() : cpu(0), memory(0), last_uTime(), last_sTime(), lastTime(time(nullptr)) {
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        last_uTime = usage.ru_utime;
        last_sTime = usage.ru_stime;
    }
}

short ResourceMonitor::GetCPUusage() {
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return cpu;
    return measure(usage.ru_utime, usage.ru_stime, time(nullptr));
}

short ResourceMonitor::measure(const timeval& uTime, const timeval& sTime, time_t now) {
    const double wall = difftime(now, lastTime);
    const double user = (uTime.tv_sec - last_uTime.tv_sec) + (uTime.tv_usec - last_uTime.tv_usec) / 1000000.0;
    const double sys = (sTime.tv_sec - last_sTime.tv_sec) + (sTime.tv_usec - last_sTime.tv_usec) / 1000000.0;
    const short figure = wall == 0 ? 0 : static_cast<short>((user + sys) / wall * 100);
    last_uTime = uTime;
    last_sTime = sTime;
    lastTime = now;
    if (figure > 0) {
        cpu = figure;
        return figure;
    }
    return 0;
}

unsigned long ResourceMonitor::GetMemoryUsage() {
    return readMemoryUsage("/proc/self/stat");
}

unsigned long ResourceMonitor::readMemoryUsage(const char* statPath) {
    memory = 0;
    FILE* file = std::fopen(statPath, "r");
    if (!file)
        return memory;
    // Skip 22 words; the 23rd is the virtual memory size. The second word (the command in
    // parentheses) holds no blank for this process's name.
    bool ok = true;
    for (int i = 0; i < 22 && ok; ++i)
        ok = std::fscanf(file, "%*s") == 0 && !std::feof(file);
    unsigned long vsize = 0;
    if (ok && std::fscanf(file, "%lu", &vsize) == 1)
        memory = vsize;
    std::fclose(file);
    return memory;
}
