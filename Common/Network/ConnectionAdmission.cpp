#include "Common/Network/ConnectionAdmission.h"

#include <algorithm>
#include <iterator>
#include <tuple>
#include <vector>

#include "Common/Debug/Debug.h"
#include "Common/Engine/Timer.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Network.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Region/ControllingServer.h"
#include "Common/Scene/SceneGraph.h"
#include "Server/ServerRegionHandler.h"

boost::system::error_code ConnectionAdmission::awaitLogin(boost::asio::ip::tcp::socket* socket) {
    forgetConnectionWithoutLogin(socket);
    boost::system::error_code ec;
    const boost::asio::ip::tcp::endpoint peer = socket->remote_endpoint(ec);
    const std::string host = ec ? std::string("?") : peer.address().to_string();
    const uint64_t now = Timer::getMonotonicTime();
    connectionsWithoutLogin_.push_back(ConnectionWithoutLogin{socket, now, host});
    connectionsWithoutLoginIndex_[socket] = std::prev(connectionsWithoutLogin_.end());
    acceptedConnections_[socket] = AcceptedConnection{now, host};
    return ec;
}

void ConnectionAdmission::heardFrom(boost::asio::ip::tcp::socket* socket) {
    if (!socket)
        return;
    auto it = acceptedConnections_.find(socket);
    if (it != acceptedConnections_.end())
        it->second.lastHeard = Timer::getMonotonicTime();
}

void ConnectionAdmission::loggedIn(boost::asio::ip::tcp::socket* socket) {
    forgetConnectionWithoutLogin(socket);
}

void ConnectionAdmission::closed(boost::asio::ip::tcp::socket* socket) {
    forgetConnectionWithoutLogin(socket);
    acceptedConnections_.erase(socket);
}

void ConnectionAdmission::forgetConnectionWithoutLogin(boost::asio::ip::tcp::socket* socket) {
    auto it = connectionsWithoutLoginIndex_.find(socket);
    if (it == connectionsWithoutLoginIndex_.end())
        return;
    connectionsWithoutLogin_.erase(it->second);
    connectionsWithoutLoginIndex_.erase(it);
}

void ConnectionAdmission::closeConnectionsWithoutLogin(size_t giveWay) {
    const uint64_t now = Timer::getMonotonicTime();
    // Short of file descriptors, one connection per failed accept makes room at once, so that
    // the login that failed gets through when it is tried again, and no more: first those that
    // have had the time to log in (one accepted a moment ago may be the login that is to get
    // through), then the silent logged-in ones.
    size_t makingRoom = 0;
    if (giveWay > 0) {
        for (const ConnectionWithoutLogin& waiting : connectionsWithoutLogin_) {
            if (makingRoom == giveWay || now - waiting.waitingSince < LOGIN_ROOM_MS)
                break;
            ++makingRoom;
        }
        if (makingRoom < giveWay)
            giveWayToLogins(giveWay - makingRoom);
    }
    while (!connectionsWithoutLogin_.empty()) {
        const ConnectionWithoutLogin oldest = connectionsWithoutLogin_.front();
        if (makingRoom > 0) {
            --makingRoom;
            DebugLogInput(LogType::Info, "Connection from %s without login closed to make room for logins\n",
                          oldest.host.c_str());
        } else if (now - oldest.waitingSince >= LOGIN_TIMEOUT_MS) {
            DebugLogInput(LogType::Info, "Connection from %s closed: no login within %d seconds\n", oldest.host.c_str(),
                          LOGIN_TIMEOUT_MS / 1000);
        } else {
            break;
        }
        forgetConnectionWithoutLogin(oldest.socket);
        acceptedConnections_.erase(oldest.socket);
        Network::getInstance()->closeConnection(oldest.socket);
    }
}

void ConnectionAdmission::giveWayToLogins(size_t count) {
    // Who holds each connection decides whether and when it gives way: first the connections a
    // client may open at will (watchers, servers the map does not name), then players.
    enum { Readily = 0, Reluctantly = 1, Never = 2 };
    std::unordered_map<boost::asio::ip::tcp::socket*, int> holders;
    Network* network = Network::getInstance();
    if (network->watcherManager)
        for (CommEndpoint* watcher : network->watcherManager->watchers)
            holders[watcher->getTcpSocket()] = Readily;
    if (TransformList* players = SceneGraph::getInstance()->getListOfType(SceneGraphType::Player))
        for (Transform* t : *players)
            if (boost::asio::ip::tcp::socket* socket = static_cast<Player*>(t)->getTcpSocket())
                holders.emplace(socket, Reluctantly);
    for (ControllingServer& server : ServerRegionHandler::getInstance()->serverList)
        if (boost::asio::ip::tcp::socket* socket = server.getTcpSocket())
            holders[socket] = server.host.empty() ? Readily : Never;
    holders[network->coordinator.getTcpSocket()] = Never;

    const uint64_t now = Timer::getMonotonicTime();
    // (rank, last heard, socket): the least eager and most recently heard last.
    std::vector<std::tuple<int, uint64_t, boost::asio::ip::tcp::socket*>> candidates;
    for (const auto& entry : acceptedConnections_) {
        // Those without login wait for it (one accepted a moment ago may be the login that is to
        // get through) or make room by their own rule.
        if (connectionsWithoutLoginIndex_.count(entry.first))
            continue;
        auto holder = holders.find(entry.first);
        // Held by nothing: left by a logout as a watcher.
        const int rank = holder == holders.end() ? Readily : holder->second;
        if (rank != Never)
            candidates.emplace_back(rank, entry.second.lastHeard, entry.first);
    }
    if (candidates.empty())
        return;
    // The `count` least eager and silent longest, in that order.
    if (candidates.size() > count) {
        std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(count),
                          candidates.end());
        candidates.resize(count);
    } else {
        std::sort(candidates.begin(), candidates.end());
    }
    for (const auto& candidate : candidates) {
        boost::asio::ip::tcp::socket* socket = std::get<2>(candidate);
        auto it = acceptedConnections_.find(socket);
        DebugLogInput(LogType::Info, "Connection from %s silent for %llu s closed to make room for logins\n",
                      it->second.host.c_str(), static_cast<unsigned long long>((now - std::get<1>(candidate)) / 1000));
        acceptedConnections_.erase(it);
        network->closeConnection(socket);
    }
}
