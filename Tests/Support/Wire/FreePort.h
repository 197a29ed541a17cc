#pragma once

#include <cstdint>
#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

// The one free-port finder of the tests (and the benchmarks, which include it from the source
// root). Where a single socket the test opens itself will do, bind it to port 0 instead: the
// kernel's pick cannot be taken by another process in between. Where the port is bound later,
// a failed bind tries the next free port (FakeRegionServer does).

// A port number above 32767 (where a signed 16-bit port turns negative) that is free for UDP
// and for TCP on all IPv4 addresses, as the game port needs both on one number. The kernel's
// choice keeps concurrent test processes apart.
inline uint16_t freeGamePort() {
    using namespace boost::asio::ip;
    boost::asio::io_context io;
    for (int attempt = 0; attempt < 200; ++attempt) {
        udp::socket probe(io, udp::endpoint(address_v4::any(), 0));
        const uint16_t port = probe.local_endpoint().port();
        if (port <= 32767)
            continue;
        tcp::acceptor acceptor(io);
        boost::system::error_code ec;
        acceptor.open(tcp::v4(), ec);
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        acceptor.bind(tcp::endpoint(address_v4::any(), port), ec);
        if (!ec)
            return port;
    }
    throw std::runtime_error("no free game port");
}
