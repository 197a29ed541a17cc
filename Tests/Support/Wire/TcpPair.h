#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "Support/Wire/Patience.h"

// Connected TCP pairs on 127.0.0.1 for endpoint tests: connect() returns a heap socket for
// the code under test to own (freed with CommEndpoint::deleteTcpSocket) and keeps the
// accepted side open until the TcpPair goes, so the test can watch the connection.
class TcpPair {
public:
    boost::asio::ip::tcp::socket* connect() {
        using boost::asio::ip::tcp;
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        auto* held = new tcp::socket(io);
        held->connect(acceptor.local_endpoint());
        accepted.push_back(std::make_unique<tcp::socket>(io));
        acceptor.accept(*accepted.back());
        return held;
    }

    // The accepted side of the last connect().
    boost::asio::ip::tcp::socket& peer() { return *accepted.back(); }

    boost::asio::io_context io;

private:
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> accepted;
};

// A listener on 127.0.0.1 that never answers a connect, as an unreachable host: its backlog is
// filled by connections it never accepts, after which the kernel drops further handshakes.
class SilentListener {
public:
    SilentListener() {
        using boost::asio::ip::tcp;
        listener.listen(0);
        const tcp::endpoint to = listener.local_endpoint();
        for (int i = 0; i < 8; ++i) {
            waiting.push_back(std::make_unique<tcp::socket>(io));
            waiting.back()->open(tcp::v4());
            const int fd = waiting.back()->native_handle();
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
            ::connect(fd, to.data(), static_cast<socklen_t>(to.size()));
        }
        // The first handshake fills the backlog; the others are dropped from then on.
        pollfd first{waiting.front()->native_handle(), POLLOUT, 0};
        ::poll(&first, 1, static_cast<int>(Patience.count()));
    }

    std::string port() const { return std::to_string(listener.local_endpoint().port()); }

private:
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor listener{io,
                                            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> waiting;
};
