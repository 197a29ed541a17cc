#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Network/MessageTypes.h"

namespace google {
namespace protobuf {
class Message;
}
} // namespace google

namespace EventTypes {
enum EventTypes : int { Message = 0, NewConnection = 1, ClosedConnection = 2 };
}

// One received event on its way from the I/O thread to the main thread: a parsed message
// with where it came from, or a TCP connection opened or closed. Filled completely on the
// I/O thread before it is queued, then only read by the main thread, which takes it from the
// queue under the queue's lock.
class NetworkEvent {
public:
    // Everything empty; eventType and messageType -1 until the creator sets them.
    NetworkEvent();
    // Deletes the message; never closes or deletes the socket.
    ~NetworkEvent();
    NetworkEvent(const NetworkEvent&) = delete;
    NetworkEvent& operator=(const NetworkEvent&) = delete;

    void setUdpEndpoint(boost::asio::ip::udp::endpoint& udpEndpoint);
    // Null unless a datagram's source was set.
    boost::asio::ip::udp::endpoint* getUdpEndpoint();

    // A second socket is an error of the caller: reported, and the new one kept all the same.
    void setTcpSocket(boost::asio::ip::tcp::socket* tcpSocket);
    boost::asio::ip::tcp::socket* getTcpSocket();

    // The datagram's qport; 0 in every other event.
    uint32_t qport;
    // An EventTypes value.
    int32_t eventType;
    // A MessageTypes::MessageType value in Message events. Connection events never get one
    // and keep -1, which names no message, so the dispatch failure line prints a fixed value.
    int32_t messageType;
    // Owned; null in connection events.
    google::protobuf::Message* message;

private:
    bool udpEndpointIsSet;
    // The IPv4 any-address with port 0 until set.
    boost::asio::ip::udp::endpoint udpEndpoint;
    // Not owned: it belongs to the endpoint that uses the connection.
    boost::asio::ip::tcp::socket* tcpSocket;
};

// Events are created into one of these and handed on only through it; the count is atomic,
// so the last reference (and with it the message) may be dropped on either thread. The reader
// makes them with std::make_shared, the event and its count in one allocation; with the
// standard library used here, dropping an event that was never shared takes no atomic
// read-modify-write.
typedef std::shared_ptr<NetworkEvent> networkEventPtr;

// Names for the diagnostics, both; any thread (the frame reader's lines use them on the I/O
// thread). "Unknown Event Type" for any other value.
std::string getEventTypeString(EventTypes::EventTypes type);
// Twelve names only: CoordinatorWelcome, TransferPlayerTo, Ping, Pong and any invalid value
// give "Unknown Message Type".
std::string getMessageTypeString(MessageTypes::MessageType type);
