#include "Common/Network/Network.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Network/AbstractPacketReceiver.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageDispatcher.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Server/Network/ServerMessageDispatcher.h"
#include "Server/Network/ServerPacketReceiver.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;

void Network::init(short port_, boost::asio::io_context* ios_, uint16_t firstQport) {
    ios = ios_;
    const uint16_t portNumber = static_cast<uint16_t>(port_);
    port = std::to_string(portNumber);

    // First, since the receiver arms its first receive on it.
    std::unique_ptr<udp::socket> socket(new udp::socket(*ios));
    socket->open(udp::v4());
    socket->bind(udp::endpoint(boost::asio::ip::address_v4::any(), portNumber));
    udpReceiveBufferGranted = setReceiveBuffer(*socket, UDP_RECEIVE_BUFFER, false);
    udp_socket = socket.release();

    buildParts(firstQport);
    packetReceiver = new ServerPacketReceiver(ios, port_, port_);
}

void Network::buildParts(uint16_t firstQport) {
    serverMessageSender = new MessageSender(ios);
    watcherManager = new WatcherManager();
    messageDispatcher = new ServerMessageDispatcher(ios);
    messageDispatcher->lastQPort = firstQport;
    myQport = messageDispatcher->getNextQport();
    clientMessageSender = new MessageSender(ios);
    networkSender = new Sender(clientMessageSender, serverMessageSender);
}

namespace {

// What the kernel set aside for the socket's data: it reports twice that, the rest being its
// bookkeeping. 0 when it cannot be read.
int receiveBufferOf(int fd) {
    int reported = 0;
    socklen_t length = sizeof(reported);
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &reported, &length) != 0)
        return 0;
    return reported / 2;
}

} // namespace

namespace {

void reportGrant(int asked, int granted) {
    DebugPrint("UDP receive buffer: asked for %d bytes, the kernel granted %d\n", asked, granted);
}

} // namespace

int Network::setReceiveBuffer(udp::socket& socket, int bytes, bool report) {
    const int fd = socket.native_handle();
    // Never smaller than what the system gives every socket already.
    if (receiveBufferOf(fd) >= bytes)
        return receiveBufferOf(fd);
    // Beyond the system's limit for everyone, which only a privileged process may pass.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    const int granted = receiveBufferOf(fd);
    if (report && granted < bytes)
        reportGrant(bytes, granted);
    return granted;
}

void Network::reportReceiveBuffer() {
    if (udp_socket && udpReceiveBufferGranted < UDP_RECEIVE_BUFFER)
        reportGrant(UDP_RECEIVE_BUFFER, udpReceiveBufferGranted);
}

namespace {

// Connects `socket` to `to`, giving up after `timeoutMs` (throws the socket library's error on
// failure, timed_out when the time is up). The socket is left in blocking mode, as a blocking
// connect leaves it.
void connectWithin(tcp::socket& socket, const tcp::endpoint& to, int timeoutMs) {
    socket.open(to.protocol());
    const int fd = socket.native_handle();
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int failure = 0;
    if (::connect(fd, to.data(), static_cast<socklen_t>(to.size())) != 0) {
        failure = errno;
        if (failure == EINPROGRESS) {
            pollfd waiting{fd, POLLOUT, 0};
            int ready;
            do
                ready = ::poll(&waiting, 1, timeoutMs);
            while (ready < 0 && errno == EINTR);
            socklen_t length = sizeof(failure);
            if (ready == 0)
                failure = ETIMEDOUT;
            else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
                failure = errno;
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    if (failure != 0)
        throw boost::system::system_error(
            boost::system::error_code(failure, boost::asio::error::get_system_category()));
}

} // namespace

bool Network::connectTo(CommEndpoint* ep, std::string host, std::string port_, boost::asio::io_context* ios_,
                        int timeoutMs) {
    boost::asio::io_context* service = ios_ ? ios_ : ios;
    if (!service) {
        DebugLog(LogType::Error, "Missing io service in connect to\n");
        return false;
    }
    try {
        ep->setTcpSocket(new tcp::socket(*service));
        tcp::resolver resolver(*service);
        tcp::resolver::results_type addresses = resolver.resolve(host, port_, tcp::resolver::address_configured);
        if (addresses.empty())
            throw boost::system::system_error(boost::asio::error::host_not_found);
        // Blocks the main thread until the connection is made or refused, or for at most
        // `timeoutMs`; only the first address.
        if (timeoutMs > 0)
            connectWithin(*ep->getTcpSocket(), *addresses.begin(), timeoutMs);
        else
            ep->getTcpSocket()->connect(*addresses.begin());
        if (!packetReceiver)
            throw boost::system::system_error(boost::asio::error::not_connected, "no receiver to read the connection");
        packetReceiver->asyncReceive(ep->getTcpSocket());
        return true;
    } catch (...) {
        // Nothing was written to it yet; the endpoint is left without a socket for a fresh attempt.
        MessageSender::closeTcpSocket(ep->getTcpSocket());
        ep->deleteTcpSocket();
        return false;
    }
}

bool Network::connectToCoordinator(std::string host, std::string port_, boost::asio::io_context* ios_) {
    DebugPrint("Attempting to connect the coordinator at %s:%s\n", host.c_str(), port_.c_str());
    const bool connected = connectTo(&coordinator, host, port_, ios_);
    if (connected)
        DebugPrint("Connected!\n");
    else
        DebugLog(LogType::Error, "Error in connecting to coordinator\n");
    return connected;
}

void Network::closeConnection(tcp::socket* socket) {
    if (packetReceiver)
        packetReceiver->closeConnection(socket);
    else
        MessageSender::closeTcpSocket(socket);
}

void Network::dispatchReceivedMessages(SceneGraph* /*scene*/) {
    if (packetReceiver && messageDispatcher) {
        packetReceiver->dispatch(messageDispatcher);
        messageDispatcher->frameDispatched();
        messageDispatcher->removePlayersWithoutClient();
        messageDispatcher->admission().closeConnectionsWithoutLogin(
            packetReceiver->acceptsFailedForDescriptors.exchange(0));
        packetReceiver->closeConnectionsWithStaleFrames();
        MessageSender::closeStalledConnections();
    }
    DebugReportLeftOutInput();
}

void Network::wantToDeleteEndpoint(CommEndpoint* ep) {
    if (messageDispatcher)
        messageDispatcher->wantToDeleteEndpoint(ep);
    if (networkSender)
        networkSender->wantToDeleteEndpoint(ep);
}
