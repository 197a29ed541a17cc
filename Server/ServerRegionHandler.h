#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "Common/Region/RegionHandler.h"

// Target of the collide-all option: whether projectiles collide with projectiles. Set at
// start-up; read by the main frame and by the load report's cell counts. A process global of
// the server, defined here because the registry's library is the lowest that reads it.
extern bool shouldCollideAllObjects;

// The server's own region registry, with `myself`, this server's entry in the pool.
// Created empty on first use (start-up, main thread), never destroyed. Main thread only.
class ServerRegionHandler : public RegionHandler {
public:
    static ServerRegionHandler* getInstance();

    ControllingServer* AddServerToPool(unsigned int id) override;

    // Limits of its own (Common/Network/Limits.h): one connect of the neighbour check may take
    // NEIGHBOUR_CONNECT_TIMEOUT_MS, the connects of the check NEIGHBOUR_CONNECT_BUDGET_MS in all
    // in one frame, however often the check runs in it (the region-map handler runs it once per
    // server the map lists). A server whose connect took the whole time-out (a host that never
    // answers) rests before its next try: the first time NEIGHBOUR_REST_FIRST_MS, then twice as
    // long each time, up to NEIGHBOUR_REST_MOST_MS.

    // Gives the check a whole NEIGHBOUR_CONNECT_BUDGET_MS again. Main frame, at its start; the
    // periodic check between two frames spends what the earlier frame left.
    void resetConnectBudget();

    // Opens the missing TCP connections to the other servers of the pool. Of two servers
    // the one with the lower id opens the connection, so only entries with a higher id
    // than myself and no socket are tried. Each connect gives up after
    // NEIGHBOUR_CONNECT_TIMEOUT_MS or when the frame's budget is spent, whichever comes
    // first; with nothing left the check tries no more servers, and those it did not try are
    // tried at the next check. A server that did not answer within the whole time-out rests,
    // so a host that never answers holds a frame only now and then; one cut short by the
    // budget does not.
    void testConnectionToNeighbours();

    // The entries testConnectionToNeighbours tries, in pool order: those with the map's host
    // and port; empty while myself is not set.
    std::list<ControllingServer*> serversToConnectTo();

    // The number of regions this server controls; 0 while myself is not set.
    unsigned int regionsControlled();

    // For the load report: every region id of myself mapped to the number of scene players
    // inside it (padding 0). A player in overlapping regions counts in each. The map is
    // cleared first; it stays empty while myself is not set.
    void getPopulationForExistingRegions(std::map<unsigned int, unsigned int>& regionPopulationMap);

    // For the load report of a single region: the players (and with collide-all the
    // projectiles) per 2x2x2 and 3x3x3 cell of myself's first region, cell 0 at its min
    // corner, x fastest, then y, then z. Resized to exactly 8 and 27 counts, all 0 while
    // myself has no region.
    void getPopulationForSingleRegion(std::vector<unsigned int>& TwoByTwoSubdiv,
                                      std::vector<unsigned int>& ThreeByThreeSubdiv);

    // Empties the pool and forgets myself, as if the process had just started; for tests,
    // which share the one registry. Sockets still held by entries are the caller's to free.
    void clearForTesting();
    // Leaves the check `left` of this frame's budget, as if earlier connects had spent the rest.
    void setConnectBudgetForTesting(std::chrono::milliseconds left) { connectBudgetLeft_ = left; }

    ControllingServer* myself; // points into serverList; null until start-up sets it

private:
    ServerRegionHandler();

    // The servers that rest after a connect that was not answered, by id.
    struct Rest {
        uint64_t until; // Timer::getMonotonicTime
        unsigned int ms;
    };
    std::map<unsigned int, Rest> resting_;
    // What the connects may still take until the next resetConnectBudget.
    std::chrono::steady_clock::duration connectBudgetLeft_;
};
