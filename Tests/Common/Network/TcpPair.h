#pragma once

#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

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
