#pragma once

#include <list>

#include "Common/Region/RegionHandler.h"

// The server's own region registry, with `myself`, this server's entry in the pool.
// Created empty on first use (start-up, main thread), never destroyed. Main thread only.
class ServerRegionHandler : public RegionHandler {
public:
    static ServerRegionHandler* getInstance();

    ControllingServer* AddServerToPool(unsigned int id) override;

    // Opens the missing TCP connections to the other servers of the pool. Of two servers
    // the one with the lower id opens the connection, so only entries with a higher id
    // than myself and no socket are tried.
    void testConnectionToNeighbours();

    // The entries testConnectionToNeighbours tries, in pool order; empty while myself is
    // not set.
    std::list<ControllingServer*> serversToConnectTo();

    // The number of regions this server controls; 0 while myself is not set.
    unsigned int regionsControlled();

    // Empties the pool and forgets myself, as if the process had just started; for tests,
    // which share the one registry. Sockets still held by entries are the caller's to free.
    void clearForTesting();

    ControllingServer* myself; // points into serverList; null until start-up sets it

private:
    ServerRegionHandler();
};
