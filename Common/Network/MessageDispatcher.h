#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Network/MessageTypes.h"
#include "Common/Network/NetworkEvent.h"
#include "Common/Protobuf/Object.pb.h"

class CommEndpoint;
class Player;

// Turns each received network event into work: finds the sending endpoint, learns its UDP
// address and calls the handler of the event's kind or message type. This base holds the
// logins, qports and the object handlers; ServerMessageDispatcher replaces the endpoint
// lookups and the connection, coordinator and hand-over handlers. Main thread only.
class MessageDispatcher {
public:
    explicit MessageDispatcher(boost::asio::io_context* ios);
    // Frees the waiting list, not the players. Virtual so that a derived dispatcher can be
    // deleted through this class.
    virtual ~MessageDispatcher();
    MessageDispatcher(const MessageDispatcher&) = delete;
    MessageDispatcher& operator=(const MessageDispatcher&) = delete;

    // The handler's result, or true when no handler applies.
    virtual bool dispatchEvent(networkEventPtr netEvent);
    // Whether a message of this type is taken from `sender` (the temporary endpoint for an
    // unknown sender); a refused one is dropped with one line before anything is learned from
    // it. The base takes everything.
    virtual bool acceptsFrom(int messageType, CommEndpoint* sender);
    // The known endpoint that sent the event, or null.
    virtual CommEndpoint* lookUpCommEndpoint(networkEventPtr netEvent);
    virtual CommEndpoint* lookUpCommEndpointUdp(boost::asio::ip::udp::endpoint* udpEndpoint, unsigned int qport);
    virtual CommEndpoint* lookUpCommEndpointTcp(boost::asio::ip::tcp::socket* tcpSocket);

    virtual bool dispatchLogout();
    virtual bool dispatchNewConnection(CommEndpoint* sender);
    virtual bool dispatchClosedConnection(CommEndpoint* sender);
    virtual bool dispatchWelcome(CommEndpoint* sender, Velmor::Welcome* message);
    virtual bool dispatchObjectInfo(CommEndpoint* sender, Velmor::ObjectInfo* message);
    virtual bool dispatchObjectUpdate(CommEndpoint* sender, Velmor::ObjectUpdate* message);
    virtual bool dispatchObjectDestroy(CommEndpoint* sender, Velmor::ObjectDestroy* message);
    virtual bool dispatchClientUpdate(CommEndpoint* sender, Velmor::ClientUpdate* message, unsigned int qport);
    virtual bool dispatchClientLogin(CommEndpoint* sender, Velmor::Login* message);
    virtual bool dispatchServerWelcome(CommEndpoint* sender, Velmor::ServerWelcome* message);
    virtual bool dispatchConnectToNearBy(CommEndpoint* sender, Velmor::ConnectToNearBy* message);
    virtual bool dispatchCoordinatorWelcome(CommEndpoint* sender, Velmor::CoordinatorWelcome* message);
    virtual bool dispatchTransferPlayerTo(CommEndpoint* sender, Velmor::TransferPlayerTo* message);
    virtual bool dispatchTransferControl(CommEndpoint* sender, Velmor::TransferControl* message);
    virtual bool newUserLogin(CommEndpoint* sender, Velmor::Login* message);
    virtual bool additionalUserLogin(CommEndpoint* sender, Velmor::Login* message);
    virtual bool nearServerUserLogin(CommEndpoint* sender, Velmor::Login* message);
    virtual bool dispatchLogout(CommEndpoint* sender, Velmor::Logout* message);
    virtual bool dispatchRegionUpdate(CommEndpoint* sender, Velmor::RegionUpdate* message);
    virtual bool dispatchServerStatus(CommEndpoint* sender, Velmor::ServerStatus* message);

    // Takes the datagram's source as the sender's UDP address; nothing for a TCP event.
    void updateUdpEndpoint(CommEndpoint* commEndpoint, networkEventPtr netEvent);

    // (myself's id << 16) | counter; the counter wraps at 16 bits. Needs the registry's
    // myself to be set.
    uint32_t getNextQport();

    // Forgets the waiting player whose endpoint is ep.
    void wantToDeleteEndpoint(CommEndpoint* ep);

    // A connection accepted on the game port must log in (as a player, a watcher or a server)
    // within this many ms, as must one left by a logout as a watcher, or it is closed:
    // connections that never log in would otherwise hold descriptors and memory for as long as
    // a peer likes.
    enum { LOGIN_TIMEOUT_MS = 10000 };

    // Once a frame: closes the accepted connections that have not logged in in time, and with
    // `giveWay` (an accept failed for want of file descriptors) at once the oldest quarter of
    // them (at least one). Each ends with its ClosedConnection event.
    void closeConnectionsWithoutLogin(bool giveWay);

    // Players this server took control of whose client has not logged in here yet, oldest
    // first; not owned.
    std::list<Player*> playersWhoLackAClient;

    // Connections that nothing holds yet (accepted, or left by a logout as a watcher), oldest
    // first: since when each waits and from which address. A connection leaves with its login
    // or its close.
    struct ConnectionWithoutLogin {
        boost::asio::ip::tcp::socket* socket; // not owned
        uint64_t waitingSince;
        std::string host;
    };
    std::list<ConnectionWithoutLogin> connectionsWithoutLogin;
    uint16_t lastQPort;
    boost::asio::io_context* ios; // not owned

protected:
    // Puts a connection that nothing holds (accepted, or left by a logout) among those that must
    // log in in time, from now. Gives the error of reading its peer's address ("?" is kept as
    // its host then).
    boost::system::error_code awaitLogin(boost::asio::ip::tcp::socket* socket);

private:
    void forgetConnectionWithoutLogin(boost::asio::ip::tcp::socket* socket);

    std::unordered_map<boost::asio::ip::tcp::socket*, std::list<ConnectionWithoutLogin>::iterator>
        connectionsWithoutLoginIndex;
};
