#include "Common/Network/CommEndpoint.h"

#include <atomic>

#include "Common/Debug/Debug.h"

namespace {

// Relaxed: it only tells the main thread's indexes that they are stale.
std::atomic<uint64_t> socketWriteCount{0};

} // namespace

CommEndpoint::CommEndpoint(CommEndpointTypes::CommEndpoint type)
    : endpointType(type), qport(0), tcpSocket(nullptr), udpEndpointIsSet(false),
      udpEndpoint(boost::asio::ip::address_v4::any(), 0) {}

void CommEndpoint::copyFromOther(CommEndpoint* ep) {
    holdSocket(ep->tcpSocket);
    udpEndpoint = ep->udpEndpoint;
    endpointType = ep->endpointType;
    qport = ep->qport;
    udpEndpointIsSet = ep->udpEndpointIsSet;
}

void CommEndpoint::resetEndpoint(CommEndpointTypes::CommEndpoint type) {
    holdSocket(nullptr);
    udpEndpointIsSet = false;
    endpointType = type;
}

CommEndpoint* CommEndpoint::getEndpointCopy() {
    CommEndpoint* copy = new CommEndpoint(endpointType);
    copy->copyFromOther(this);
    return copy;
}

void CommEndpoint::setTcpSocket(boost::asio::ip::tcp::socket* socket) {
    if (tcpSocket)
        DebugLog(LogType::Error, "Error tcp socket is getting set twice\n");
    holdSocket(socket);
}

boost::asio::ip::tcp::socket* CommEndpoint::getTcpSocket() {
    return tcpSocket;
}

void CommEndpoint::deleteTcpSocket() {
    if (!tcpSocket)
        return;
    // A socket the peer already reset may refuse the close; it is freed all the same.
    boost::system::error_code ignored;
    tcpSocket->close(ignored);
    delete tcpSocket;
    holdSocket(nullptr);
}

uint64_t CommEndpoint::socketWrites() {
    return socketWriteCount.load(std::memory_order_relaxed);
}

void CommEndpoint::holdSocket(boost::asio::ip::tcp::socket* socket) {
    if (socket != tcpSocket)
        socketWriteCount.fetch_add(1, std::memory_order_relaxed);
    tcpSocket = socket;
}

void CommEndpoint::setUdpEndpoint(boost::asio::ip::udp::endpoint& endpoint) {
    udpEndpoint = endpoint;
    udpEndpointIsSet = true;
}

boost::asio::ip::udp::endpoint* CommEndpoint::getUdpEndpoint() {
    return udpEndpointIsSet ? &udpEndpoint : nullptr;
}

bool peerAddressOf(boost::asio::ip::tcp::socket* socket, boost::asio::ip::address* address) {
    if (!socket)
        return false;
    boost::system::error_code error;
    const boost::asio::ip::tcp::endpoint peer = socket->remote_endpoint(error);
    if (error)
        return false;
    *address = peer.address();
    return true;
}
