#pragma once

#include <exception>
#include <string>
#include <unordered_map>

#include <boost/asio/ip/address.hpp>

#include "Common/Network/MessageDispatcher.h"

class ControllingServer;

// The region server's dispatcher: finds senders among watchers, players, pool servers and the
// coordinator, and handles what only a region server acts on (closed connections by peer kind,
// steering input, the coordinator's welcome, region map and move orders, hand-overs, logouts
// and neighbours' welcomes). Orders, hand-overs and object descriptions are taken only from
// the peers entitled to send them. Adds no fields. Main thread only.
class ServerMessageDispatcher : public MessageDispatcher {
public:
    explicit ServerMessageDispatcher(boost::asio::io_context* ios);

    // Whether `sender` may send a message of this type: the coordinator's orders only from the
    // coordinator's connection, hand-overs also from logged-in pool servers, object
    // descriptions, updates and removals only from logged-in pool servers; anything else from
    // anyone. The base drops what this refuses before it learns anything from it.
    bool acceptsFrom(int messageType, CommEndpoint* sender) override;

    CommEndpoint* lookUpCommEndpointUdp(boost::asio::ip::udp::endpoint* udpEndpoint, unsigned int qport) override;
    CommEndpoint* lookUpCommEndpointTcp(boost::asio::ip::tcp::socket* tcpSocket) override;

    bool dispatchClosedConnection(CommEndpoint* sender) override;
    bool dispatchClientUpdate(CommEndpoint* sender, Velmor::ClientUpdate* message, unsigned int qport) override;
    bool dispatchServerWelcome(CommEndpoint* sender, Velmor::ServerWelcome* message) override;
    bool dispatchConnectToNearBy(CommEndpoint* sender, Velmor::ConnectToNearBy* message) override;
    bool dispatchCoordinatorWelcome(CommEndpoint* sender, Velmor::CoordinatorWelcome* message) override;
    bool dispatchTransferPlayerTo(CommEndpoint* sender, Velmor::TransferPlayerTo* message) override;
    bool dispatchTransferControl(CommEndpoint* sender, Velmor::TransferControl* message) override;
    bool nearServerUserLogin(CommEndpoint* sender, Velmor::Login* message) override;
    bool dispatchLogout(CommEndpoint* sender, Velmor::Logout* message) override;
    bool dispatchRegionUpdate(CommEndpoint* sender, Velmor::RegionUpdate* message) override;

    // A pool entry other than myself that holds its connection and whose qport is known (from
    // its login or its welcome).
    static bool isLoggedInServer(CommEndpoint* sender);

    // Forgets this frame's answers of the resolver.
    void frameDispatched() override;

private:
    // The resolver's answer for a hand-over's client host: the first address of a stream
    // query with the address-configuration flag, or its exception thrown. A numeric address
    // depends only on the addresses the machine has configured: its answer is kept for the
    // rest of the frame, so a battle's many respawns read that configuration once a frame
    // instead of once each. Names are asked every time.
    boost::asio::ip::address resolveClientHost(const std::string& host);

    struct Resolved {
        boost::asio::ip::address address;
        std::exception_ptr failure; // null when it resolved
    };
    std::unordered_map<std::string, Resolved> resolvedThisFrame_;

    // A server's datagrams come from its game port, which is also its TCP listening port: its
    // UDP address is the TCP peer's IP address with that port, so replica updates reach it
    // before it has sent this server a datagram. Nothing is set when either part is unknown.
    void learnServerUdpAddress(ControllingServer* entry, const std::string& portText);
};
