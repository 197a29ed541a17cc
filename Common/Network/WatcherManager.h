#pragma once

#include <cstdint>
#include <list>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Math/Vector3.h"
#include "Common/Network/QportIndex.h"

class CommEndpoint;
class Player;

// One player queued to become a watcher at the end of the frame.
struct convert_to_watcher {
    int regionId; // -1: moved on the coordinator's order
    std::string host;
    std::string port;
    Vector3 min;
    Vector3 max;
    Player* p; // not owned
};

// The watcher endpoints: client connections that look into this server's space without
// controlling a player here. Owns the endpoints (never their sockets). Main thread only.
class WatcherManager {
public:
    WatcherManager();
    // Deletes the watcher endpoints that are left; their sockets stay with whoever frees them.
    ~WatcherManager();
    WatcherManager(const WatcherManager&) = delete;
    WatcherManager& operator=(const WatcherManager&) = delete;

    // Takes ownership of ep.
    void addNewWatcher(CommEndpoint* ep);
    // Forgets and deletes a watcher; its socket is left alone.
    void removeWatcher(CommEndpoint* ep);

    CommEndpoint* findByTcpSocket(boost::asio::ip::tcp::socket* tcpSocket);
    // Matches by qport and the IP address of the watcher's TCP peer, never by port: the first
    // in order of addition, found among the watchers of that qport.
    CommEndpoint* findByUdpEndpoint(boost::asio::ip::udp::endpoint* udpEndpoint, uint32_t qport);
    // To be called after a write of a registered watcher's qport, so that findByUdpEndpoint
    // follows it; nothing for an endpoint that is not a watcher.
    void watcherQportChanged(CommEndpoint* ep);
    // Whether a watcher holds `qport`.
    bool holdsQport(uint32_t qport);

    // Queues p once per frame; a second call for the same player is ignored.
    void playerToWatcher(Player* p, std::string host, std::string port, Vector3 min, Vector3 max, int regionId);
    // End of frame, after the send step: each queued player becomes a replica and its
    // client's connection a watcher that is told its new server.
    void convertPlayersToWatchers();

    std::list<convert_to_watcher> convert_to_watchers;
    // Owned, in order of addition. Changed only here, so that byQport stays in step.
    std::list<CommEndpoint*> watchers;

private:
    QportIndex byQport; // the watchers by qport, in the order of `watchers`
};
