#include "Common/Debug/Logger.h"

#include <cstdarg>
#include <list>

#include "Common/Debug/Debug.h"
#include "Common/Debug/ResourceMonitor.h"
#include "Common/Engine/Timer.h"
#include "Common/Network/Network.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Scene/SceneGraph.h"

namespace {

const char* const titles[] = {
    "Timestamp      ", "TCP pkg sent CS", "TCP pkg rcvd CS", "UDP pkg sent CS", "UDP pkg rcvd CS", "TCP bw sent CS ",
    "TCP bw rcvd CS ", "UDP bw sent CS ", "UDP bw rcvd CS ", "TCP pkg sent SS", "TCP pkg rcvd SS", "UDP pkg sent SS",
    "UDP pkg rcvd SS", "TCP bw sent SS ", "TCP bw rcvd SS ", "UDP bw sent SS ", "UDP bw rcvd SS ", "TCP pkg sent   ",
    "TCP pkg rcvd   ", "UDP pkg sent   ", "UDP pkg rcvd   ", "TCP bw sent    ", "TCP bw rcvd    ", "UDP bw sent    ",
    "UDP bw rcvd    ", "Players        ", "Watchers       ", "Projectiles    ", "CPU            ", "MEMORY         ",
    "FPS            ", "Latency        ", "Position X     ", "Position Y     ", "Position Z     ", "Srv change     ",
    "Srv connect    ", "Respawn rate   ", "Num Replicas   ", "Dropped UDP Pgk", "Projectile ctrl", "Players ctrl   "};

const char* const blanks = "               ";

// Appends one column, with the separator before every column but the first.
void column(std::string& line, const char* format, ...) __attribute__((format(printf, 2, 3)));
void column(std::string& line, const char* format, ...) {
    char buffer[128];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (!line.empty())
        line += ',';
    if (n > 0)
        line.append(buffer, static_cast<size_t>(n) < sizeof(buffer) ? n : sizeof(buffer) - 1);
}

} // namespace

Logger* Logger::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    // The initialisation is thread-safe: the I/O thread and the main thread may both make the
    // first call.
    static Logger* instance = new Logger();
    return instance;
}

Logger::Logger() : pFile(nullptr) {
    resetForTesting();
}

void Logger::resetForTesting() {
    if (pFile)
        std::fclose(pFile);
    pFile = nullptr;
    filename.clear();
    linesWritten = 0;
    for (int i = 0; i < NUMBER_OF_MSG; ++i) {
        packagesPrS[i] = messagesPrS[i] = bandwidthPrS[i] = 0.0f;
        packages[i] = 0;
        messages[i] = 0;
        bandwidth[i] = 0;
        oldPackages[i] = oldMessages[i] = oldBandwidth[i] = 0;
    }
    oldTime = Timer::getCurrentTime();
    lastShotTime = 0;
    lastLatency = 0;
    droppedPackages = 0;
    numberOfFramesSinceLast = 0;
    fps = -1.0f;
    numRespawns = 0;
    timeSinceServerConnect = 0.0f;
    timeSinceServerChange = 0.0f;
    for (unsigned int i = 0; i < RING_SIZE; ++i) {
        latencySerialNum[i] = 0;
        latencyTimeStamp[i] = 0;
    }
    latencyLastInsertId = 0;
    ping_serial_counter = 0;
    gotControlOverProjectiles = 0;
    gotControlOverPlayers = 0;
}

void Logger::add_packages(uint64_t n, NetworkIndexes i) {
    packages[i] += n;
}

void Logger::add_bandwidth(uint64_t bytes, NetworkIndexes i) {
    bandwidth[i] += bytes;
}

void Logger::packageDropped() {
    ++droppedPackages;
}

void Logger::gotControlOverProjectile() {
    ++gotControlOverProjectiles;
}

void Logger::gotControlOverPlayer() {
    ++gotControlOverPlayers;
}

void Logger::frameDone(float /*dt*/) {
    ++numberOfFramesSinceLast;
    calcPrS();
}

void Logger::calcPrS() {
    const uint64_t now = Timer::getCurrentTime();
    const uint64_t elapsed = now - oldTime;
    if (elapsed <= 1000)
        return;
    const float factor = 1000.0f / static_cast<float>(elapsed);
    fps = static_cast<float>(numberOfFramesSinceLast) * factor;
    numberOfFramesSinceLast = 0;
    for (int i = 0; i < NUMBER_OF_MSG; ++i) {
        const uint64_t p = packages[i];
        const uint64_t m = messages[i];
        const uint64_t b = bandwidth[i];
        packagesPrS[i] = static_cast<float>(p - oldPackages[i]) * factor;
        messagesPrS[i] = static_cast<float>(m - oldMessages[i]) * factor;
        bandwidthPrS[i] = static_cast<float>(b - oldBandwidth[i]) * factor;
        oldPackages[i] = p;
        oldMessages[i] = m;
        oldBandwidth[i] = b;
    }
    oldTime = now;
}

void Logger::setFileToWriteTo(std::string name) {
    filename = name;
    if (pFile)
        std::fclose(pFile);
    pFile = std::fopen(filename.c_str(), "a+");
    if (!pFile)
        DebugLog(LogType::Error, "Error could not open log file\n");
}

std::string Logger::formatHeader() {
    std::string header;
    for (const char* title : titles) {
        header += title;
        header += ',';
    }
    header += '\n';
    return header;
}

std::string Logger::formatLine(const MeasurementFigures& f) {
    std::string line;
    column(line, "%15d", static_cast<int>(f.timestamp));
    const float* const rates[] = {packagesPrS, bandwidthPrS};
    // Client queue, then server queue, then their totals; packets before bytes in each group.
    for (int base = 0; base < NUMBER_OF_MSG; base += 4)
        for (const float* rate : rates)
            for (int i = 0; i < 4; ++i)
                column(line, "%15.0f", static_cast<double>(rate[base + i]));
    for (const float* rate : rates)
        for (int i = 0; i < 4; ++i)
            column(line, "%15.0f", static_cast<double>(rate[i] + rate[i + 4]));
    column(line, "%15u", f.players);
    column(line, "%15u", f.watchers);
    column(line, "%15u", f.projectiles);
    column(line, "%15d", static_cast<int>(f.cpu));
    column(line, "%15lu", f.memory);
    column(line, "%4.10f", static_cast<double>(fps));
    column(line, "%s", blanks);
    for (int i = 0; i < 3; ++i)
        column(line, "%10.4f", 0.0);
    column(line, "%10.4f", static_cast<double>(timeSinceServerChange));
    column(line, "%10.4f", static_cast<double>(timeSinceServerConnect));
    column(line, "%s", blanks);
    column(line, "%15u", f.replicas);
    column(line, "%15llu", static_cast<unsigned long long>(droppedPackages));
    column(line, "%15llu", static_cast<unsigned long long>(gotControlOverProjectiles));
    column(line, "%15llu", static_cast<unsigned long long>(gotControlOverPlayers));
    line += '\n';
    droppedPackages = 0;
    gotControlOverProjectiles = 0;
    gotControlOverPlayers = 0;
    return line;
}

void Logger::writeMeasurementToFile() {
    if (!pFile)
        return;
    SceneGraph* scene = SceneGraph::getInstance();
    MeasurementFigures figures;
    figures.timestamp = Timer::getCurSyncedTime();
    figures.players = scene->numberOfPlayers();
    WatcherManager* watcherManager = Network::getInstance()->watcherManager;
    figures.watchers = watcherManager ? static_cast<unsigned int>(watcherManager->watchers.size()) : 0;
    TransformList* projectiles = scene->getListOfType(SceneGraphType::Projectile);
    figures.projectiles = projectiles ? static_cast<unsigned int>(projectiles->size()) : 0;
    figures.cpu = ResourceMonitor::getInstance()->GetCPUusage();
    figures.memory = ResourceMonitor::getInstance()->GetMemoryUsage();
    figures.replicas = scene->numberOfReplicas();

    // Write errors are ignored: the server runs on whatever the disk does.
    if (linesWritten == 0)
        std::fputs(formatHeader().c_str(), pFile);
    std::fputs(formatLine(figures).c_str(), pFile);
    std::fflush(pFile);
    ++linesWritten;
}

void Logger::cleanup() {
    if (!pFile)
        return;
    std::fclose(pFile);
    pFile = nullptr;
}

unsigned int Logger::getPingSerialNum() {
    return ping_serial_counter++;
}

void Logger::sending_latency_serial(unsigned int serial) {
    latencySerialNum[latencyLastInsertId] = serial;
    latencyTimeStamp[latencyLastInsertId] = Timer::getCurrentTime();
    latencyLastInsertId = (latencyLastInsertId + 1) % RING_SIZE;
}

void Logger::received_latency_serial(unsigned int serial) {
    // The oldest slot first, then from the newest backwards, ending on the oldest again.
    const uint32_t start = latencyLastInsertId;
    for (unsigned int k = 0; k <= RING_SIZE; ++k) {
        const uint32_t slot = (start + RING_SIZE - k % RING_SIZE) % RING_SIZE;
        if (latencySerialNum[slot] != serial)
            continue;
        if (latencyTimeStamp[slot] != 0)
            lastLatency = Timer::getCurrentTime() - latencyTimeStamp[slot];
        return;
    }
}
