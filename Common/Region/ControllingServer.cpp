#include "Common/Region/ControllingServer.h"

ControllingServer::ControllingServer(unsigned int id_)
    : CommEndpoint(CommEndpointTypes::ServerEndpoint), id(id_), used(false), cpuLoad(0), timestampWhenRegionsAltered(0),
      isUpdated(false), splitFactor(0) {}

ControllingServer::~ControllingServer() {
    // One at a time: a dying region looks its neighbours up in the registry, which must
    // never walk a list that is half destroyed.
    while (!regionList.empty())
        RemoveRegion(regionList.front().id);
}

Region* ControllingServer::AddRegion(Vector3 min, Vector3 max, unsigned int regionId) {
    regionList.emplace_front(min, max, regionId, this);
    return &regionList.front();
}

void ControllingServer::RemoveRegion(unsigned int regionId) {
    for (auto it = regionList.begin(); it != regionList.end(); ++it) {
        if (it->id != regionId)
            continue;
        // Taken out of the list before it is destroyed, so its unlinking cannot find it.
        std::list<Region> removed;
        removed.splice(removed.begin(), regionList, it);
        return;
    }
}

void ControllingServer::resetAllRegionsForUpdate() {
    for (Region& region : regionList)
        region.isUpdated = false;
}

std::list<Region*> ControllingServer::regionsNotUpdated() {
    std::list<Region*> result;
    for (Region& region : regionList) {
        if (!region.isUpdated)
            result.push_back(&region);
    }
    return result;
}
