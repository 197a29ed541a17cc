#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

namespace CommEndpointTypes {
enum CommEndpoint {
    Unknown = -1,
    ServerEndpoint = 0,
    ClientEndpoint = 1,
    WatcherEndpoint = 2,
    CoordinatorEndpoint = 3
};
}

// The server's record of one peer: its kind, its qport, how to reach it (TCP socket, UDP
// address) and, for a client that must be recognised again, its host text. A plain class
// with no virtual operations; Player and ControllingServer embed it as a base.
//
// The socket belongs to the endpoint that holds it, and only deleteTcpSocket closes and
// frees it: destroying, resetting or copying an endpoint never does, so a copy moves the
// socket to its new holder and the caller then discards or resets the old one. Copies are
// made only through copyFromOther and getEndpointCopy; the implicit copy is deleted.
//
// Main thread only. The I/O thread uses the sockets of the transfers the main thread started.
class CommEndpoint {
public:
    explicit CommEndpoint(CommEndpointTypes::CommEndpoint type);
    CommEndpoint(const CommEndpoint&) = delete;
    CommEndpoint& operator=(const CommEndpoint&) = delete;

    // Takes socket pointer, UDP address, type and qport from `ep`; temphost stays as it was.
    void copyFromOther(CommEndpoint* ep);

    // Forgets the connection (socket pointer and UDP address) without closing the socket;
    // qport and temphost stay.
    void resetEndpoint(CommEndpointTypes::CommEndpoint type);

    // A heap copy owned by the caller, sharing the socket pointer, with an empty temphost.
    CommEndpoint* getEndpointCopy();

    // Takes ownership of `tcpSocket`. An endpoint that already holds one reports it and
    // stores the new one all the same; the old one is left to whoever else holds it.
    void setTcpSocket(boost::asio::ip::tcp::socket* tcpSocket);
    boost::asio::ip::tcp::socket* getTcpSocket();

    // Closes and frees the held socket, if any.
    void deleteTcpSocket();

    void setUdpEndpoint(boost::asio::ip::udp::endpoint& udpEndpoint);

    // Null until the peer's UDP address is known.
    boost::asio::ip::udp::endpoint* getUdpEndpoint();

    // Counts the writes that changed some endpoint's socket pointer, process-wide: an index by
    // socket built at one count holds while the count stays. Any thread.
    static uint64_t socketWrites();

    CommEndpointTypes::CommEndpoint endpointType;
    uint32_t qport;       // 0 until known
    std::string temphost; // IP address text of a player's client; never cleared

private:
    // Every write of tcpSocket after construction goes through here.
    void holdSocket(boost::asio::ip::tcp::socket* socket);

    boost::asio::ip::tcp::socket* tcpSocket;
    bool udpEndpointIsSet;
    boost::asio::ip::udp::endpoint udpEndpoint;
};

// The IP address of a connection's peer, without throwing: false for a null socket and for a
// connection that broke (its closed-connection event may still be queued).
bool peerAddressOf(boost::asio::ip::tcp::socket* socket, boost::asio::ip::address* address);
