#pragma once

#include <cstdint>
#include <list>
#include <stack>
#include <string>

#include "Common/Math/Vector3.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Region/Region.h"

// One region server of the pool, and the endpoint that messages for it are queued on.
// Owns its regions; the Region pointers it hands out stay valid until that region is
// removed. Held by value in the pool, never copied. Main thread only.
class ControllingServer : public CommEndpoint {
public:
    explicit ControllingServer(unsigned int id);
    ~ControllingServer();
    ControllingServer(const ControllingServer&) = delete;
    ControllingServer& operator=(const ControllingServer&) = delete;

    // Inserts a new region at the front, without checking for a duplicate id.
    Region* AddRegion(Vector3 min, Vector3 max, unsigned int id);

    // Removes the first region with this id, which unlinks it from its neighbours.
    void RemoveRegion(unsigned int id);

    void resetAllRegionsForUpdate();

    // The regions not marked by the latest region update, in list order.
    std::list<Region*> regionsNotUpdated();

    uint32_t id;
    std::list<Region> regionList; // newest first
    bool used;                    // the coordinator's; never read here
    uint32_t cpuLoad;             // the coordinator's; never read here
    std::string host;
    std::string port;
    uint32_t timestampWhenRegionsAltered; // the coordinator's; never read here
    bool isUpdated;                       // listed by the latest region update
    std::stack<int32_t> splitStack;       // the coordinator's; never read here
    int32_t splitFactor;                  // the coordinator's; never read here
};
