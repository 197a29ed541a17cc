#pragma once

#include <cstdint>

// Process-wide owner of the networking parts. Created on first use on the main thread
// during start-up; never destroyed. The I/O thread only reads it.
class Network {
public:
    static Network* getInstance();

    // This server's id; 0 until start-up sets it. Every diagnostic line carries it.
    uint64_t ownId;

    // This server's own qport, put in front of its UDP packets for endpoints that are not
    // clients; 0 until start-up sets it, before the I/O thread runs.
    uint32_t myQport;

private:
    Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;
};
