#include "Common/Region/RegionHandler.h"

#include "Common/Debug/Debug.h"

RegionHandler::~RegionHandler() {
    removeAllServers();
}

ControllingServer* RegionHandler::AddServerToPool(unsigned int id) {
    if (ControllingServer* existing = getControllingServer(id))
        return existing;
    serverList.emplace_front(id);
    // Also for a login that names a server the map does not: counted as network input.
    DebugLogInput(LogType::Info, "Server %i added.\n", id);
    return &serverList.front();
}

void RegionHandler::RemoveServerFromPool(ControllingServer* s) {
    if (!s)
        return;
    const unsigned int id = s->id; // s may be the entry itself
    for (auto it = serverList.begin(); it != serverList.end(); ++it) {
        if (it->id != id)
            continue;
        // Out of the pool before it is destroyed, so its regions' unlinking cannot reach it.
        std::list<ControllingServer> removed;
        removed.splice(removed.begin(), serverList, it);
        return;
    }
}

void RegionHandler::removeAllServers() {
    while (!serverList.empty())
        RemoveServerFromPool(&serverList.front());
}

ControllingServer* RegionHandler::getControllingServer(unsigned int id) {
    for (ControllingServer& server : serverList) {
        if (server.id == id)
            return &server;
    }
    return nullptr;
}

Region* RegionHandler::getRegion(unsigned int id) {
    for (ControllingServer& server : serverList) {
        for (Region& region : server.regionList) {
            if (region.id == id)
                return &region;
        }
    }
    return nullptr;
}

std::list<Region*> RegionHandler::getRegionsPointIsIn(Vector3 point, float padding) {
    std::list<Region*> result;
    for (ControllingServer& server : serverList) {
        for (Region& region : server.regionList) {
            if (region.PointIn(point, padding))
                result.push_back(&region);
        }
    }
    return result;
}

bool RegionHandler::pointIsInRegion(Region* region, Vector3 point, float padding) {
    return region && region->PointIn(point, padding);
}

ControllingServer* RegionHandler::getServer(boost::asio::ip::tcp::socket* tcpSocket) {
    if (!tcpSocket)
        return nullptr;
    for (ControllingServer& server : serverList) {
        if (server.getTcpSocket() == tcpSocket)
            return &server;
    }
    return nullptr;
}

ControllingServer* RegionHandler::getServer(boost::asio::ip::udp::endpoint* udpEndpoint, unsigned int qport) {
    if (!udpEndpoint)
        return nullptr;
    for (ControllingServer& server : serverList) {
        if (server.qport != qport || !server.getTcpSocket())
            continue;
        if (server.getTcpSocket()->remote_endpoint().address() == udpEndpoint->address())
            return &server;
    }
    return nullptr;
}

ControllingServer* RegionHandler::getPoolEntry(CommEndpoint* endpoint) {
    for (ControllingServer& server : serverList) {
        if (static_cast<CommEndpoint*>(&server) == endpoint)
            return &server;
    }
    return nullptr;
}

std::list<ControllingServer*> RegionHandler::getNotUpdatedServers() {
    std::list<ControllingServer*> result;
    for (ControllingServer& server : serverList) {
        if (!server.isUpdated)
            result.push_back(&server);
    }
    return result;
}

void RegionHandler::resetIsUpdated() {
    for (ControllingServer& server : serverList) {
        server.isUpdated = false;
        server.resetAllRegionsForUpdate();
    }
}
