#pragma once

#include <cstdint>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Network/NetworkEvent.h"

// Received events as the receiver would fill them, for dispatcher tests. The event owns the
// message.
inline networkEventPtr messageEvent(int messageType, google::protobuf::Message* message) {
    networkEventPtr event(new NetworkEvent());
    event->eventType = EventTypes::Message;
    event->messageType = messageType;
    event->message = message;
    return event;
}

inline networkEventPtr overTcp(networkEventPtr event, boost::asio::ip::tcp::socket* socket) {
    event->setTcpSocket(socket);
    return event;
}

inline networkEventPtr overUdp(networkEventPtr event, unsigned short sourcePort, uint32_t qport,
                               const char* address = "127.0.0.1") {
    boost::asio::ip::udp::endpoint source(boost::asio::ip::make_address(address), sourcePort);
    event->setUdpEndpoint(source);
    event->qport = qport;
    return event;
}

// A connection the receiver reports opened (NewConnection) or ended (ClosedConnection).
inline networkEventPtr connectionEvent(EventTypes::EventTypes type, boost::asio::ip::tcp::socket* socket) {
    networkEventPtr event(new NetworkEvent());
    event->eventType = type;
    event->setTcpSocket(socket);
    return event;
}

inline networkEventPtr openedEvent(boost::asio::ip::tcp::socket* socket) {
    return connectionEvent(EventTypes::NewConnection, socket);
}

inline networkEventPtr closedEvent(boost::asio::ip::tcp::socket* socket) {
    return connectionEvent(EventTypes::ClosedConnection, socket);
}
