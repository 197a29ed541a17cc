#include "Common/Network/WatcherManager.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "Common/Debug/Debug.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Region/ControllingServer.h"
#include "Common/Region/Region.h"
#include "Common/Scene/SceneGraph.h"
#include "Server/ServerRegionHandler.h"

WatcherManager::WatcherManager() {}

WatcherManager::~WatcherManager() {
    for (CommEndpoint* ep : watchers)
        delete ep;
}

namespace {

// A peer that cannot be read is a connection about to be reported closed: it matches nothing,
// rather than failing the lookup of every datagram of the frame.
bool connectedFrom(CommEndpoint* ep, const boost::asio::ip::udp::endpoint& udpEndpoint) {
    boost::asio::ip::address peer;
    return ep->getTcpSocket() && peerAddressOf(ep->getTcpSocket(), &peer) && peer == udpEndpoint.address();
}

} // namespace

void WatcherManager::addNewWatcher(CommEndpoint* ep) {
    watchers.push_back(ep);
    byQport.added(ep);
}

void WatcherManager::removeWatcher(CommEndpoint* ep) {
    std::list<CommEndpoint*>::iterator it = std::find(watchers.begin(), watchers.end(), ep);
    if (it == watchers.end()) {
        DebugLog(LogType::Error, "Error could not find watcher to remove\n");
        return;
    }
    Network::getInstance()->wantToDeleteEndpoint(ep);
    watchers.erase(it);
    byQport.removed(ep);
    delete ep;
}

CommEndpoint* WatcherManager::findByTcpSocket(boost::asio::ip::tcp::socket* tcpSocket) {
    for (CommEndpoint* ep : watchers)
        if (ep->getTcpSocket() == tcpSocket)
            return ep;
    return nullptr;
}

CommEndpoint* WatcherManager::findByUdpEndpoint(boost::asio::ip::udp::endpoint* udpEndpoint, uint32_t qport) {
    if (!udpEndpoint)
        return nullptr;
    const std::vector<CommEndpoint*>* sameQport = byQport.withQport(qport);
    if (!sameQport) {
        for (CommEndpoint* ep : watchers)
            if (ep->qport == qport && connectedFrom(ep, *udpEndpoint))
                return ep;
        return nullptr;
    }
#ifndef NDEBUG
    std::vector<CommEndpoint*> walked;
    for (CommEndpoint* ep : watchers)
        if (ep->qport == qport)
            walked.push_back(ep);
    assert(walked == *sameQport && "a write of a watcher's qport was not reported to the registry");
#endif
    for (CommEndpoint* ep : *sameQport)
        if (ep->qport == qport && connectedFrom(ep, *udpEndpoint))
            return ep;
    return nullptr;
}

void WatcherManager::watcherQportChanged(CommEndpoint* ep) {
    byQport.qportChanged(ep);
}

bool WatcherManager::holdsQport(uint32_t qport) {
    if (const std::vector<CommEndpoint*>* sameQport = byQport.withQport(qport))
        return !sameQport->empty();
    return std::any_of(watchers.begin(), watchers.end(), [qport](CommEndpoint* ep) { return ep->qport == qport; });
}

void WatcherManager::playerToWatcher(Player* p, std::string host, std::string port, Vector3 min, Vector3 max,
                                     int regionId) {
    for (const convert_to_watcher& queued : convert_to_watchers)
        if (queued.p == p)
            return;
    convert_to_watchers.push_back(convert_to_watcher{regionId, host, port, min, max, p});
}

void WatcherManager::convertPlayersToWatchers() {
    // Each record leaves the queue before it is worked on, so a step that throws cannot make
    // the next frame convert the same players again.
    while (!convert_to_watchers.empty()) {
        convert_to_watcher record = convert_to_watchers.front();
        convert_to_watchers.pop_front();
        Player* p = record.p;
        CommEndpoint* playerEndpoint = p;
        p->setIsReplica(true);

        if (playerEndpoint->getUdpEndpoint()) {
            p->temphost = playerEndpoint->getUdpEndpoint()->address().to_string();
        } else if (playerEndpoint->getTcpSocket()) {
            boost::asio::ip::address peer;
            if (peerAddressOf(playerEndpoint->getTcpSocket(), &peer))
                p->temphost = peer.to_string();
            else
                // The connection broke and its closed event is still queued: the watcher
                // made below takes the socket, and that event then removes the watcher.
                DebugLogInput(LogType::Error, "Error could not read the client address of (id:%llx), keeping host %s\n",
                              idOf(p), DebugEscape(p->temphost).c_str());
        } else {
            SceneGraph::getInstance()->addToRemoveList(p);
            DebugLogInput(LogType::Error,
                          "Error Could not set host string for (id:%llx) when convert to watcher !!!!!!!!!!!!!!!!!! "
                          "ARGH FEHLER !!!!!!!!\n",
                          idOf(p));
            continue;
        }

        if (!playerEndpoint->getTcpSocket()) {
            // Its connection has closed in this frame: a watcher without one could never be
            // told anything nor ever be removed.
            DebugLogInput(LogType::Error, "Player (id:%llx) has no connection left, no watcher made\n", idOf(p));
            Network::getInstance()->wantToDeleteEndpoint(playerEndpoint);
            playerEndpoint->resetEndpoint(CommEndpointTypes::Unknown);
            continue;
        }

        CommEndpoint* watcher = playerEndpoint->getEndpointCopy();
        watcher->endpointType = CommEndpointTypes::WatcherEndpoint;
        watchers.push_back(watcher);
        byQport.added(watcher);

        if (record.regionId == -1) {
            DebugLog(LogType::Info, "Chaning active region for player (id:%llx) ( from coordinator )\n", idOf(p));
        } else {
            Region* region = ServerRegionHandler::getInstance()->getRegion(static_cast<unsigned int>(record.regionId));
            if (region)
                DebugLog(LogType::Info, "Chaning active region for player (id:%llx) to region %d and server %d\n",
                         idOf(p), record.regionId, region->parent ? static_cast<int>(region->parent->id) : -1);
            else
                DebugLog(LogType::Info,
                         "Chaning active region for player (id:%llx) (could not find region) BADDDDDD!!!!!!!!\n",
                         idOf(p));
        }

        Network::getInstance()->networkSender->sendChangeActiveRegionTo(record.host, record.port, record.min,
                                                                        record.max, watcher);
        Network::getInstance()->wantToDeleteEndpoint(playerEndpoint);
        playerEndpoint->resetEndpoint(CommEndpointTypes::Unknown);
    }
}
