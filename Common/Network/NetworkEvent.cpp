#include "Common/Network/NetworkEvent.h"

#include <google/protobuf/message.h>

#include "Common/Debug/Debug.h"

NetworkEvent::NetworkEvent()
    : qport(0), eventType(-1), messageType(-1), message(nullptr), udpEndpointIsSet(false),
      udpEndpoint(boost::asio::ip::address_v4::any(), 0), tcpSocket(nullptr) {}

NetworkEvent::~NetworkEvent() {
    delete message;
}

void NetworkEvent::setUdpEndpoint(boost::asio::ip::udp::endpoint& endpoint) {
    udpEndpoint = endpoint;
    udpEndpointIsSet = true;
}

boost::asio::ip::udp::endpoint* NetworkEvent::getUdpEndpoint() {
    return udpEndpointIsSet ? &udpEndpoint : nullptr;
}

void NetworkEvent::setTcpSocket(boost::asio::ip::tcp::socket* socket) {
    if (tcpSocket)
        DebugLog(LogType::Error, "Error socket is reset\n");
    tcpSocket = socket;
}

boost::asio::ip::tcp::socket* NetworkEvent::getTcpSocket() {
    return tcpSocket;
}

std::string getEventTypeString(EventTypes::EventTypes type) {
    switch (type) {
    case EventTypes::Message:
        return "Message";
    case EventTypes::NewConnection:
        return "NewConnection";
    case EventTypes::ClosedConnection:
        return "ClosedConnection";
    }
    return "Unknown Event Type";
}

std::string getMessageTypeString(MessageTypes::MessageType type) {
    switch (type) {
    case MessageTypes::Logout:
        return "Logout";
    case MessageTypes::ObjectInfo:
        return "ObjectInfo";
    case MessageTypes::ObjectUpdate:
        return "ObjectUpdate";
    case MessageTypes::ObjectDestroy:
        return "ObjectDestroy";
    case MessageTypes::ClientUpdate:
        return "ClientUpdate";
    case MessageTypes::Welcome:
        return "Welcome";
    case MessageTypes::Login:
        return "Login";
    case MessageTypes::ServerWelcome:
        return "ServerWelcome";
    case MessageTypes::ConnectToNearBy:
        return "ConnectToNearBy";
    case MessageTypes::TransferControl:
        return "TransferControl";
    case MessageTypes::RegionUpdate:
        return "RegionUpdate";
    case MessageTypes::ServerStatus:
        return "ServerStatus";
    default:
        // CoordinatorWelcome, TransferPlayerTo, Ping and Pong have no name of their own.
        return "Unknown Message Type";
    }
}
