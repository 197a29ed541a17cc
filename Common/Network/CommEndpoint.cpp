#include "Common/Network/CommEndpoint.h"

#include "Common/Debug/Debug.h"

CommEndpoint::CommEndpoint(CommEndpointTypes::CommEndpoint type)
    : endpointType(type), qport(0), tcpSocket(nullptr), udpEndpointIsSet(false),
      udpEndpoint(boost::asio::ip::address_v4::any(), 0) {}

void CommEndpoint::copyFromOther(CommEndpoint* ep) {
    tcpSocket = ep->tcpSocket;
    udpEndpoint = ep->udpEndpoint;
    endpointType = ep->endpointType;
    qport = ep->qport;
    udpEndpointIsSet = ep->udpEndpointIsSet;
}

void CommEndpoint::resetEndpoint(CommEndpointTypes::CommEndpoint type) {
    tcpSocket = nullptr;
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
    tcpSocket = socket;
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
    tcpSocket = nullptr;
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
