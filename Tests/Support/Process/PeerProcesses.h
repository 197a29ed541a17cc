#pragma once

#include <poll.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>

#include "Common/Network/MessageSerializer.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Process/ChildProcess.h"
#include "Support/Wire/FreePort.h"
#include "Support/Wire/Patience.h"

// Talking to started processes as their peer: the test plays a region server or a client with
// real sockets on 127.0.0.1 and waits for what the processes send with a deadline, never a
// fixed sleep.

namespace peertest {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using std::chrono::milliseconds;

// True when `fd` has something to read within `timeout`.
inline bool readable(int fd, milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// One TCP connection read frame by frame.
class FrameSocket {
public:
    explicit FrameSocket(tcp::socket s) : socket(std::move(s)) {}

    // The next message, or null when none comes within `timeout` or the peer closed.
    networkEventPtr next(milliseconds timeout = Patience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (events.empty()) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(socket.native_handle(), left))
                return networkEventPtr();
            char buffer[4096];
            boost::system::error_code error;
            const size_t n = socket.read_some(boost::asio::buffer(buffer), error);
            if (error) {
                peerClosed = true;
                return networkEventPtr();
            }
            for (const networkEventPtr& e : MessageSerializer::deserializeMessageArray(buffer, n, &leftovers))
                events.push_back(e);
        }
        networkEventPtr e = events.front();
        events.pop_front();
        return e;
    }

    // The next message that is a `Message`; null (and the test fails) when the next one is
    // another kind or none comes.
    template <class Message> std::unique_ptr<Message> expect(MessageTypes::MessageType type) {
        networkEventPtr e = next();
        if (!e) {
            ADD_FAILURE() << "no message where a " << type << " was expected";
            return nullptr;
        }
        if (e->messageType != type) {
            ADD_FAILURE() << "message type " << e->messageType << " where " << type << " was expected";
            return nullptr;
        }
        std::unique_ptr<Message> m(new Message());
        m->CopyFrom(*e->message);
        return m;
    }

    template <class Message> void send(Message& message) {
        boost::asio::write(socket, boost::asio::buffer(MessageSerializer::serializeMessage(message)));
    }

    tcp::socket socket;
    // Set once a read found the connection closed or broken.
    bool peerClosed = false;

private:
    std::string leftovers;
    std::deque<networkEventPtr> events;
};

// A TCP acceptor and a UDP socket on one port of 127.0.0.1, as a region server has them.
class FakeRegionServer {
public:
    explicit FakeRegionServer(boost::asio::io_context& io) : acceptor(io), udpSocket(io) {
        // Should another process take the port before it is bound, try another one.
        for (int attempt = 0; attempt < 20; ++attempt) {
            port = freeGamePort();
            const auto loopback = boost::asio::ip::address_v4::loopback();
            boost::system::error_code error;
            acceptor.open(tcp::v4());
            acceptor.set_option(tcp::acceptor::reuse_address(true));
            acceptor.bind(tcp::endpoint(loopback, port), error);
            if (!error)
                acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
            if (!error) {
                udpSocket.open(udp::v4());
                udpSocket.bind(udp::endpoint(loopback, port), error);
            }
            if (!error)
                return;
            acceptor.close();
            udpSocket.close();
        }
        throw std::runtime_error("no port free for TCP and UDP");
    }

    // The next connection within `timeout`, or null.
    std::unique_ptr<FrameSocket> accept(milliseconds timeout = Patience) {
        if (!readable(acceptor.native_handle(), timeout))
            return nullptr;
        return std::unique_ptr<FrameSocket>(new FrameSocket(acceptor.accept()));
    }

    // The next datagram within `timeout` into `bytes` and `from`; false when none comes.
    bool receive(std::string& bytes, udp::endpoint& from, milliseconds timeout = Patience) {
        if (!readable(udpSocket.native_handle(), timeout))
            return false;
        char buffer[2048];
        const size_t n = udpSocket.receive_from(boost::asio::buffer(buffer), from);
        bytes.assign(buffer, n);
        return true;
    }

    std::string portText() const { return std::to_string(port); }

    tcp::acceptor acceptor;
    udp::socket udpSocket;
    unsigned short port = 0;
};

// Waits for a line of the child's output that contains `text` and returns it whole, without
// its line end; "" when none comes within `timeout`.
inline std::string waitForLine(ChildProcess& child, const std::string& text, milliseconds timeout = Patience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!child.waitForOutput(text, timeout))
        return "";
    const size_t at = child.output().find(text);
    // Lines come whole in one write, but a read may still have cut one: read on to its end.
    while (child.output().find('\n', at) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        child.waitForOutput(text + "\n", milliseconds(20));
    const std::string& out = child.output();
    const size_t begin = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
    return out.substr(begin, out.find('\n', at) - begin);
}

} // namespace peertest
