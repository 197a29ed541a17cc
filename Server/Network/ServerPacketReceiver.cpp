#include "Server/Network/ServerPacketReceiver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>

#include <boost/asio/error.hpp>
#include <boost/bind/bind.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Network/Limits.h"

using boost::asio::ip::tcp;
using boost::system::error_code;
namespace ph = boost::placeholders;

ServerPacketReceiver::ServerPacketReceiver(boost::asio::io_context* io_service, short /*udp_port*/, short tcp_port)
    : AbstractPacketReceiver(io_service), acceptor_(*io_service), acceptRetryTimer_(*io_service) {
    const tcp::endpoint endpoint(boost::asio::ip::address_v4::any(), static_cast<uint16_t>(tcp_port));
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(128);
    asyncAccept();
}

void ServerPacketReceiver::keepAlive(tcp::socket& socket) {
    // A client that vanished without closing shows as a failed read after about 25 s of silence.
    boost::system::error_code ec;
    socket.set_option(tcp::socket::keep_alive(true), ec);
    const int fd = socket.native_handle();
    const int idle = KEEPALIVE_IDLE_S, interval = KEEPALIVE_INTERVAL_S, probes = KEEPALIVE_PROBES;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
    const int sendBuffer = SEND_BUFFER_BYTES;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
}

void ServerPacketReceiver::asyncAccept() {
    std::unique_ptr<tcp::socket> socket(new tcp::socket(*io_service_));
    acceptor_.async_accept(*socket,
                           boost::bind(&ServerPacketReceiver::handleTCPConnection, this, ph::_1, socket.get()));
    socket.release();
}

bool ServerPacketReceiver::handleTCPConnection(const error_code& error, tcp::socket* socket) {
    try {
        if (error) {
            DebugPrintInput("Error in ServerPacketReceiver::handleTCPConnection: %s\n", error.message().c_str());
            if (error == boost::asio::error::no_descriptors || error.value() == ENFILE)
                ++acceptsFailedForDescriptors;
            // One ClosedConnection event for the unconnected socket; the main thread frees it.
            handleTCPError(error, socket);
            if (error == boost::asio::error::operation_aborted)
                return true; // the acceptor was closed
        } else {
            keepAlive(*socket);
            networkEventPtr event = std::make_shared<NetworkEvent>();
            event->eventType = EventTypes::NewConnection;
            event->setTcpSocket(socket);
            addTCPNetworkEvent(event);
            try {
                asyncReceive(socket);
            } catch (...) {
                DebugPrintInput("Argh execption in starting to read a new connection\n");
                handleTCPError(boost::system::errc::make_error_code(boost::system::errc::io_error), socket);
            }
            asyncAccept();
            return true;
        }
    } catch (...) {
        DebugPrintInput("Argh execption in handle tcp connection\n");
    }
    // Clients and neighbouring servers must be able to connect for the whole run: accept again
    // after a short pause, so a lasting failure does not spin the I/O thread.
    try {
        acceptRetryTimer_.expires_after(std::chrono::milliseconds(ACCEPT_RETRY_MS));
        acceptRetryTimer_.async_wait([this](const error_code& timerError) {
            if (timerError)
                return;
            try {
                asyncAccept();
            } catch (...) {
                DebugPrintInput("Argh execption in accepting again\n");
            }
        });
    } catch (...) {
        DebugPrintInput("Argh execption in accepting again\n");
    }
    return true;
}
