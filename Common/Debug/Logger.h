#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

// Indexes of the traffic counters: CS_ is the client send queue, SS_ the server send queue.
// Received data is counted under CS_ only, so the SS_ receive slots stay 0.
enum NetworkIndexes {
    CS_TCP_SENT = 0,
    CS_TCP_RCVD = 1,
    CS_UDP_SENT = 2,
    CS_UDP_RCVD = 3,
    SS_TCP_SENT = 4,
    SS_TCP_RCVD = 5,
    SS_UDP_SENT = 6,
    SS_UDP_RCVD = 7,
    NUMBER_OF_MSG = 8
};

// How a sent packet travelled; the send queues pick its counter by it.
enum TransportType { TCP = 0, UDP = 1 };

// The figures of one measurement line that do not come from the Logger itself.
struct MeasurementFigures {
    uint32_t timestamp;
    unsigned int players;
    unsigned int watchers;
    unsigned int projectiles;
    short cpu;
    unsigned long memory;
    unsigned int replicas;
};

// Traffic and frame figures, written once a second as one line of 42 fixed-width columns.
// Process-wide; the I/O thread adds to the atomic traffic counters and reads the ping ring,
// everything else is the main thread's.
class Logger {
public:
    // Created on the first call, from whichever thread comes first; never deleted.
    static Logger* getInstance();

    // Any thread.
    void add_packages(uint64_t n, NetworkIndexes i);
    void add_bandwidth(uint64_t bytes, NetworkIndexes i);

    // Main thread.
    void packageDropped();
    void gotControlOverProjectile();
    void gotControlOverPlayer();
    void frameDone(float dt);
    void calcPrS();
    void setFileToWriteTo(std::string name);
    void writeMeasurementToFile();
    void cleanup();

    unsigned int getPingSerialNum();
    void sending_latency_serial(unsigned int serial);
    // Any thread.
    void received_latency_serial(unsigned int serial);

    // The header line and a measurement line as written to the file. formatLine resets the
    // dropped and hand-over counts it prints.
    static std::string formatHeader();
    std::string formatLine(const MeasurementFigures& figures);

    // Back to the state of a new Logger (file closed, clock read afresh), for tests.
    void resetForTesting();

    float packagesPrS[NUMBER_OF_MSG];
    float messagesPrS[NUMBER_OF_MSG];
    float bandwidthPrS[NUMBER_OF_MSG];
    std::string filename;
    uint32_t linesWritten;
    std::atomic<uint64_t> packages[NUMBER_OF_MSG];
    std::atomic<uint64_t> messages[NUMBER_OF_MSG]; // nothing counts messages: stays 0
    std::atomic<uint64_t> bandwidth[NUMBER_OF_MSG];
    uint64_t oldTime;
    uint64_t oldPackages[NUMBER_OF_MSG];
    uint64_t oldMessages[NUMBER_OF_MSG];
    uint64_t oldBandwidth[NUMBER_OF_MSG];
    uint64_t lastShotTime;
    std::atomic<uint64_t> lastLatency;
    uint64_t droppedPackages;
    uint32_t numberOfFramesSinceLast;
    float fps;
    uint32_t numRespawns;
    float timeSinceServerConnect;
    float timeSinceServerChange;
    FILE* pFile; // owned; closed by cleanup

    static const unsigned int RING_SIZE = 300;
    uint32_t latencySerialNum[RING_SIZE];
    uint64_t latencyTimeStamp[RING_SIZE];
    uint32_t latencyLastInsertId;
    uint32_t ping_serial_counter;
    uint64_t gotControlOverProjectiles;
    uint64_t gotControlOverPlayers;

private:
    Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
};
