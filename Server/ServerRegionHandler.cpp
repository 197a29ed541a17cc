#include "Server/ServerRegionHandler.h"

#include "Common/Debug/Debug.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"

ServerRegionHandler* ServerRegionHandler::getInstance() {
    static ServerRegionHandler* instance = nullptr;
    if (!instance)
        instance = new ServerRegionHandler();
    return instance;
}

ServerRegionHandler::ServerRegionHandler() : myself(nullptr) {}

ControllingServer* ServerRegionHandler::AddServerToPool(unsigned int id) { return RegionHandler::AddServerToPool(id); }

void ServerRegionHandler::testConnectionToNeighbours() {
    for (ControllingServer* server : serversToConnectTo()) {
        // Blocks until the connection is made or refused.
        if (!Network::getInstance()->connectTo(server, server->host, server->port)) {
            DebugLog(LogType::Info, "Connection to server %s:%s failed\n", server->host.c_str(), server->port.c_str());
            continue;
        }
        DebugLog(LogType::Info, "Connected to server %d %s:%s\n", static_cast<int>(server->id), server->host.c_str(),
                 server->port.c_str());
        Network* network = Network::getInstance();
        network->networkSender->sendServerLogin(static_cast<uint32_t>(network->ownId), server);
    }
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
