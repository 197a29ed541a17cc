#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "Common/Network/AbstractPacketReceiver.h"

// The server's receiver: the base's datagram reception plus the TCP acceptor of the game port.
class ServerPacketReceiver : public AbstractPacketReceiver {
public:
    // Limits of its own (Common/Network/Limits.h): after a failed accept it accepts again after
    // ACCEPT_RETRY_MS, so a lasting failure (no file descriptors left, say) does not spin the I/O
    // thread. Accepted connections get TCP keep-alive, the first probe after KEEPALIVE_IDLE_S of
    // silence, then one every KEEPALIVE_INTERVAL_S, failed after KEEPALIVE_PROBES unanswered
    // ones; and a kernel send buffer of SEND_BUFFER_BYTES: what a client that does not read can
    // make the kernel hold for it is bounded, as the server's own queue is.

    // `udp_port` is not read: the UDP socket is the networking singleton's. Opens the acceptor
    // on all IPv4 addresses and `tcp_port` (read as 0..65535) and arms the first accept; a port
    // that cannot be bound throws the socket library's error.
    ServerPacketReceiver(boost::asio::io_context* io_service, short udp_port, short tcp_port);

    // One accept into a new socket on the I/O service. Any thread.
    void asyncAccept();
    // I/O thread; always true.
    bool handleTCPConnection(const boost::system::error_code& error, boost::asio::ip::tcp::socket* socket);

    // Turns keep-alive on for an accepted connection and bounds its kernel send buffer. I/O
    // thread (the accept's completion), before any other use of the socket.
    static void keepAlive(boost::asio::ip::tcp::socket& socket);

    boost::asio::ip::tcp::acceptor acceptor_;

private:
    boost::asio::steady_timer acceptRetryTimer_;
};
