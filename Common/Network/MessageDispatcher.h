#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Network/ConnectionAdmission.h"
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

    // (myself's id << 16) | counter; the counter wraps at 16 bits. A qport that a player of
    // the scene, a watcher or this server itself holds is skipped, and so is 0 (no qport): a
    // new client never steers another's ship. 0 when every one is in use. Needs the registry's
    // myself to be set.
    uint32_t getNextQport();

    // Forgets the waiting player whose endpoint is ep.
    void wantToDeleteEndpoint(CommEndpoint* ep);

    // Which accepted connections may stay open; told of every accept, message, login and close
    // this dispatcher handles. Its once-a-frame close runs from Network.
    ConnectionAdmission& admission() { return admission_; }

    // Once a frame: a player waiting for its client's login is removed, as a player whose
    // connection closed is, when none binds it within CLIENT_GRACE_MS (Common/Network/Limits.h)
    // of its client's last connection here going: of the hand-over, when it came without one, or
    // of the close of the connection its client logged out on. While that connection stays
    // open, and nothing else logs in on it, the player waits without a time limit.
    void removePlayersWithoutClient();

    // Once a frame, after the frame's events are dispatched: forgets what held for that
    // dispatch only.
    virtual void frameDispatched() {}

    // Players this server took control of whose client has not logged in here yet, oldest
    // first; not owned.
    std::list<Player*> playersWhoLackAClient;

    // The counter part of the next qport: 1 at construction; the networking sets the start
    // start-up drew before it takes its own qport (Network::buildParts).
    uint16_t lastQPort;
    boost::asio::io_context* ios; // not owned

protected:
    // Puts p at the end of the waiting list, once. It waits without a time limit while
    // `heldOpen` (the connection its client logged out on, or null) stays open with nothing
    // logged in on it; its grace starts now when there is none, else when that ends.
    void waitForClient(Player* p, boost::asio::ip::tcp::socket* heldOpen = nullptr);
    // As waitForClient, for a player handed over here: its client's login then comes by the
    // game's rules, not at the client's will, and its line is never left out.
    void waitForClientAfterHandOver(Player* p);

private:
    // Takes p out of the waiting list, if it is there.
    void stopWaiting(std::list<Player*>::iterator it);
    // The player waiting on `socket` without a time limit, if any, starts its grace now: the
    // connection closed, or a login bound it to something else.
    void graceStarts(boost::asio::ip::tcp::socket* socket);
    ConnectionAdmission admission_;
    // How each player of playersWhoLackAClient waits: on the connection its client left open,
    // or since when its grace runs (Timer::getMonotonicTime).
    struct Wait {
        boost::asio::ip::tcp::socket* heldOpen; // not owned; null once the grace runs
        uint64_t graceSince;
        bool handedOver; // waits since its hand-over: its client's login is the game's, not input
    };
    std::unordered_map<Player*, Wait> waits_;
    // The one player that waits on each connection left open by its client's logout.
    std::unordered_map<boost::asio::ip::tcp::socket*, Player*> waitingOn_;
};
