#include "Common/Network/AbstractPacketReceiver.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/thread/lock_guard.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageDispatcher.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Protobuf/Object.pb.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using boost::system::error_code;
namespace ph = boost::placeholders;

namespace {

// Errors after which the socket cannot deliver anything any more: receiving again would only
// repeat the error.
bool socketIsGone(const error_code& error) {
    return error == boost::asio::error::operation_aborted || error == boost::asio::error::bad_descriptor;
}

} // namespace

struct AbstractPacketReceiver::DatagramReads {
    DatagramReads() : data(DATAGRAMS_PER_READ * max_length) {}
    std::vector<char> data;
    sockaddr_storage sources[DATAGRAMS_PER_READ];
    iovec pieces[DATAGRAMS_PER_READ];
    mmsghdr headers[DATAGRAMS_PER_READ];
};

AbstractPacketReceiver::AbstractPacketReceiver(boost::asio::io_context* io_service)
    : io_service_(io_service), udp_buffer1_(UDP_QUEUE_CAPACITY), udp_buffer2_(UDP_QUEUE_CAPACITY),
      udp_write_buffer_(&udp_buffer1_), tcp_write_buffer_(&tcp_buffer1_), acceptsFailedForDescriptors(0),
      udpReceiveRetry_(*io_service), datagramReads_(new DatagramReads()) {
    asyncReceive(Network::getInstance()->udp_socket);
}

AbstractPacketReceiver::~AbstractPacketReceiver() {
    for (boost::unordered_map<tcp::socket*, std::string*>::value_type& entry : restTcpBuffer)
        delete entry.second;
}

void AbstractPacketReceiver::asyncReceive(tcp::socket* tcp_socket) {
    // Never at the same time as the main thread closes a connection (closeConnection).
    boost::lock_guard<boost::mutex> lock(readStarts_);
    startRead(tcp_socket, max_length);
}

void AbstractPacketReceiver::startRead(tcp::socket* tcp_socket, std::size_t size) {
    std::unique_ptr<char[]> data(new char[max_length]);
    tcp_socket->async_read_some(
        boost::asio::buffer(data.get(), std::min<std::size_t>(size, max_length)),
        boost::bind(&AbstractPacketReceiver::handleTCPReceive, this, ph::_1, data.get(), ph::_2, tcp_socket));
    data.release();
}

void AbstractPacketReceiver::asyncReceive(udp::socket* udp_socket) {
    if (!udp_socket)
        throw boost::system::system_error(boost::asio::error::bad_descriptor, "no udp socket to receive on");
    std::unique_ptr<char[]> data(new char[max_length]);
    udp_socket->async_receive_from(
        boost::asio::buffer(data.get(), max_length), sender_endpoint_,
        boost::bind(&AbstractPacketReceiver::handleUDPReceive, this, ph::_1, data.get(), ph::_2, udp_socket));
    data.release();
}

void AbstractPacketReceiver::handleUDPReceive(const error_code& error, char* data, std::size_t bytes_recvd,
                                              udp::socket* udp_socket) {
    // Each datagram read below fills sender_endpoint_ before it is handled.
    const DebugInputSource peer(nullptr, sender_endpoint_.data());
    Logger::getInstance()->add_bandwidth(bytes_recvd, CS_UDP_RCVD);
    Logger::getInstance()->add_packages(1, CS_UDP_RCVD);
    if (error) {
        DebugPrintInput("Error in handleUDPReceive: %s (%d)\n", error.message().c_str(), error.value());
        delete[] data;
        if (socketIsGone(error))
            return;
    } else {
        try {
            handleDatagram(data, bytes_recvd, udp_socket);
        } catch (...) {
            DebugPrintInput("Argh execption in handle udp recive error\n");
        }
        delete[] data;
        try {
            readWaitingDatagrams(udp_socket);
        } catch (...) {
            DebugPrintInput("Argh execption in handle udp recive error\n");
        }
    }
    // Reception goes on after an exception too: player input, replica updates and pings keep
    // coming for the whole run. Armed last, since the next receive may fill sender_endpoint_ at
    // once.
    try {
        asyncReceive(udp_socket);
    } catch (...) {
        receiveAgainLater(udp_socket);
    }
}

void AbstractPacketReceiver::receiveAgainLater(udp::socket* udp_socket) {
    try {
        udpReceiveRetry_.expires_after(std::chrono::milliseconds(UDP_RECEIVE_RETRY_MS));
        udpReceiveRetry_.async_wait([this, udp_socket](const error_code& error) {
            if (error)
                return;
            try {
                asyncReceive(udp_socket);
            } catch (...) {
                receiveAgainLater(udp_socket);
            }
        });
    } catch (...) {
        DebugPrint("Argh execption in restarting udp recive\n");
        return;
    }
    DebugPrintInput("Argh execption in restarting udp recive, trying again in %d ms\n", UDP_RECEIVE_RETRY_MS);
}

void AbstractPacketReceiver::handleDatagram(const char* data, std::size_t bytes_recvd, udp::socket* udp_socket) {
    // Nothing but a qport can start a datagram, and a shorter one holds no frame either.
    if (bytes_recvd < 4) {
        DebugPrintInput("Error datagram of %zu bytes is too short for a qport\n", bytes_recvd);
        return;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    const uint32_t qport = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    const std::size_t frameBytes = bytes_recvd - 4;

    // Only this datagram's events wait outside the ring, so the events held never exceed the
    // ring's capacity by more than one datagram's; pings and pongs are taken out again as
    // they are answered and measured.
    datagramEvents_.clear();
    std::size_t kept = 0;
    // The events before the first Ping, and whether its answer is being sent: the Pongs leave
    // together after the loop, so a failed send fails from the first Ping on.
    std::size_t beforeFirstPing = 0;
    bool answering = false;
    try {
        std::string leftovers;
        MessageSerializer::deserializeMessageArray(data + 4, frameBytes, &leftovers, datagramEvents_);
        if (!leftovers.empty()) {
            // Shown as text up to its first zero byte, escaped: a peer's bytes forge no line.
            const std::string text = DebugEscape(leftovers.c_str(), std::strlen(leftovers.c_str()));
            DebugPrintInput("Error has leftovers after UDP %d of %d - %s\n", static_cast<int>(leftovers.size()),
                            static_cast<int>(frameBytes), text.c_str());
        }
        // The answers to a datagram's pings leave together, in one datagram no longer than the
        // one they answer (a Pong frame is as long as its Ping), so the server amplifies nothing
        // for a sender that fakes its source address.
        std::string pongs;
        for (std::size_t i = 0; i < datagramEvents_.size(); ++i) {
            networkEventPtr& event = datagramEvents_[i];
            event->qport = qport;
            event->setUdpEndpoint(sender_endpoint_);
            if (event->messageType == MessageTypes::Ping) {
                if (pongs.empty())
                    beforeFirstPing = kept;
                Velmor::Pong pong;
                pong.set_ping_serial_num(static_cast<Velmor::Ping*>(event->message)->ping_serial_num());
                pongs += MessageSerializer::serializeMessage(pong);
            } else if (event->messageType == MessageTypes::Pong) {
                const Velmor::Pong* pong = static_cast<Velmor::Pong*>(event->message);
                if (pong->has_ping_serial_num())
                    Logger::getInstance()->received_latency_serial(pong->ping_serial_num());
            } else {
                if (kept != i)
                    datagramEvents_[kept] = std::move(event);
                ++kept;
            }
        }
        datagramEvents_.resize(kept);
        // Answered at once, without a qport, to where the Pings came from.
        if (!pongs.empty()) {
            answering = true;
            udp_socket->send_to(boost::asio::buffer(pongs), sender_endpoint_);
        }
    } catch (...) {
        // The events before the failure stay; the rest of this datagram is not queued.
        datagramEvents_.resize(answering ? beforeFirstPing : kept);
        queueDatagramEvents();
        throw;
    }
    queueDatagramEvents();
}

void AbstractPacketReceiver::readWaitingDatagrams(udp::socket* udp_socket) {
    DatagramReads& reads = *datagramReads_;
    for (std::size_t handled = 0; handled < MAX_DATAGRAMS_PER_WAKE;) {
        for (int i = 0; i < DATAGRAMS_PER_READ; ++i) {
            reads.pieces[i].iov_base = &reads.data[i * max_length];
            reads.pieces[i].iov_len = max_length;
            msghdr& header = reads.headers[i].msg_hdr;
            header = msghdr();
            header.msg_name = &reads.sources[i];
            header.msg_namelen = sizeof(reads.sources[i]);
            header.msg_iov = &reads.pieces[i];
            header.msg_iovlen = 1;
        }
        const int got =
            ::recvmmsg(udp_socket->native_handle(), reads.headers, DATAGRAMS_PER_READ, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            const int failure = errno;
            if (failure == EINTR)
                continue;
            const error_code error(failure, boost::asio::error::get_system_category());
            // Nothing waiting, or a socket that is going away: the next receive tells.
            if (failure != EAGAIN && failure != EWOULDBLOCK && !socketIsGone(error)) {
                // As a receive that failed: counted, reported, and the next receive armed.
                Logger::getInstance()->add_bandwidth(0, CS_UDP_RCVD);
                Logger::getInstance()->add_packages(1, CS_UDP_RCVD);
                DebugPrintInput("Error in handleUDPReceive: %s (%d)\n", error.message().c_str(), error.value());
            }
            return;
        }
        std::size_t bytes = 0;
        for (int i = 0; i < got; ++i)
            bytes += reads.headers[i].msg_len;
        Logger::getInstance()->add_bandwidth(bytes, CS_UDP_RCVD);
        Logger::getInstance()->add_packages(static_cast<uint64_t>(got), CS_UDP_RCVD);
        for (int i = 0; i < got; ++i) {
            try {
                // An IPv4 socket's sources always fit; anything else is not taken as one.
                const socklen_t length = reads.headers[i].msg_hdr.msg_namelen;
                if (length > sender_endpoint_.capacity())
                    throw std::length_error("datagram source address too long");
                std::memcpy(sender_endpoint_.data(), &reads.sources[i], length);
                sender_endpoint_.resize(length);
                handleDatagram(&reads.data[i * max_length], reads.headers[i].msg_len, udp_socket);
            } catch (...) {
                DebugPrintInput("Argh execption in handle udp recive error\n");
            }
        }
        handled += static_cast<std::size_t>(got);
        if (got < DATAGRAMS_PER_READ)
            return;
    }
}

void AbstractPacketReceiver::queueDatagramEvents() {
    if (datagramEvents_.empty())
        return;
    {
        boost::lock_guard<boost::mutex> lock(udp_mutex_);
        udpEventsHeldPeak_ = std::max(udpEventsHeldPeak_, udp_write_buffer_->size() + datagramEvents_.size());
        for (networkEventPtr& event : datagramEvents_)
            udp_write_buffer_->push_back(std::move(event));
    }
    datagramEvents_.clear();
}

void AbstractPacketReceiver::handleTCPReceive(const error_code& error, char* data, std::size_t bytes_recvd,
                                              tcp::socket* tcp_socket) {
    const DebugInputSource peer(tcp_socket, nullptr);
    Logger::getInstance()->add_bandwidth(bytes_recvd, CS_TCP_RCVD);
    Logger::getInstance()->add_packages(1, CS_TCP_RCVD);
    std::unique_ptr<char[]> buffer(data);
    try {
        if (error)
            handleTCPError(error, tcp_socket);
        else
            handleTcpData(data, bytes_recvd, tcp_socket);
    } catch (...) {
        // Nothing may escape into the I/O thread's run loop. A connection whose read failed this
        // way has no read pending any more: it counts as closed, so the main thread learns of it.
        DebugPrintInput("Argh execption in handle tcp receive\n");
        if (error)
            return;
        try {
            handleTCPError(boost::system::errc::make_error_code(boost::system::errc::io_error), tcp_socket);
        } catch (...) {
            DebugPrintInput("Argh execption in handle tcp error\n");
        }
    }
}

void AbstractPacketReceiver::handleTcpData(const char* data, std::size_t bytes_recvd, tcp::socket* tcp_socket) {
    std::unique_ptr<std::string> leftovers;
    boost::unordered_map<tcp::socket*, std::string*>::iterator it = restTcpBuffer.find(tcp_socket);
    const bool hadLeftovers = it != restTcpBuffer.end();
    if (hadLeftovers) {
        leftovers.reset(it->second);
        restTcpBuffer.erase(it);
    } else {
        leftovers.reset(new std::string());
    }

    const std::size_t before = leftovers->size();
    std::list<networkEventPtr> events = MessageSerializer::deserializeMessageArray(data, bytes_recvd, leftovers.get());
    for (networkEventPtr& event : events)
        event->setTcpSocket(tcp_socket);
    // No writer sends a frame of length 0, and the stream cannot be read past one: the
    // connection has failed, rather than keeping its bytes and reporting every later read.
    if (leftovers->size() >= 2 && (*leftovers)[0] == 0 && (*leftovers)[1] == 0) {
        for (networkEventPtr& event : events)
            addTCPNetworkEvent(event);
        handleTCPError(boost::system::errc::make_error_code(boost::system::errc::bad_message), tcp_socket);
        return;
    }
    const std::size_t frameBytes = before + bytes_recvd - leftovers->size();
    const std::size_t rest = leftovers->size();
    if (!leftovers->empty())
        restTcpBuffer[tcp_socket] = leftovers.release();
    if (rest > 0 || hadLeftovers) {
        boost::lock_guard<boost::mutex> lock(leftoverTimesMutex_);
        if (rest > 0)
            leftoverTimes_[tcp_socket] = Timer::getMonotonicTime();
        else
            leftoverTimes_.erase(tcp_socket);
    }

    boost::lock_guard<boost::mutex> starts(readStarts_);
    std::size_t readSize = 0;
    bool heldBack = false;
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        Held& held = tcpHeld_[tcp_socket];
        held.events += events.size();
        held.bytes += frameBytes;
        tcpEventsHeldPeak_ = std::max(tcpEventsHeldPeak_, held.events);
        tcpBytesHeldPeak_ = std::max(tcpBytesHeldPeak_, held.bytes);
        tcp_write_buffer_->splice(tcp_write_buffer_->end(), events);
        // A read of n bytes adds at most the frame the leftovers begin and frames of at least 3
        // bytes in the rest: 1 + n / 3 events, and the leftovers and n bytes of frames. It reads
        // no more than fits the share.
        const std::size_t roomForEvents =
            held.events + 1 < TCP_SHARE_EVENTS ? 3 * (TCP_SHARE_EVENTS - held.events - 1) : 0;
        const std::size_t roomForBytes = held.bytes + rest < TCP_SHARE_BYTES ? TCP_SHARE_BYTES - held.bytes - rest : 0;
        readSize = std::min<std::size_t>(max_length, std::min(roomForEvents, roomForBytes));
        // A socket the main thread has closed gets its read all the same: it fails at once and
        // so reports the connection closed.
        heldBack = readSize == 0 && tcp_socket->is_open();
        if (heldBack)
            tcpPaused_.push_back(tcp_socket);
    }
    if (!heldBack)
        startRead(tcp_socket, std::max<std::size_t>(readSize, 1));
}

void AbstractPacketReceiver::closeConnection(tcp::socket* tcp_socket) {
    bool heldBack = false;
    {
        boost::lock_guard<boost::mutex> starts(readStarts_);
        {
            boost::lock_guard<boost::mutex> lock(tcp_mutex_);
            std::vector<tcp::socket*>::iterator paused = std::find(tcpPaused_.begin(), tcpPaused_.end(), tcp_socket);
            if (paused != tcpPaused_.end()) {
                tcpPaused_.erase(paused);
                heldBack = true;
            }
        }
        MessageSender::closeTcpSocket(tcp_socket);
    }
    // A connection held back has no read to end with the close: one that ends at once stands in
    // for it, on the I/O thread, which alone handles a connection's leftovers.
    if (heldBack)
        boost::asio::post(*io_service_, [this, tcp_socket] {
            handleTCPReceive(boost::asio::error::operation_aborted, nullptr, 0, tcp_socket);
        });
}

void AbstractPacketReceiver::handleTCPError(const error_code& error, tcp::socket* socket) {
    DebugPrintInput("TCP Error: %s for socket:%lx\n", error.message().c_str(),
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(socket)));
    // No close here: the main thread may be using the socket right now. It closes it when it
    // takes the ClosedConnection event, before the dispatcher sees it.
    boost::unordered_map<tcp::socket*, std::string*>::iterator it = restTcpBuffer.find(socket);
    if (it != restTcpBuffer.end()) {
        DebugPrintInput("Cleaning Leftovers\n");
        delete it->second;
        restTcpBuffer.erase(it);
    }
    {
        // Also when the leftovers were taken out already, as a stream that cannot be read on.
        boost::lock_guard<boost::mutex> lock(leftoverTimesMutex_);
        leftoverTimes_.erase(socket);
    }
    networkEventPtr event = std::make_shared<NetworkEvent>();
    event->eventType = EventTypes::ClosedConnection;
    event->setTcpSocket(socket);
    addTCPNetworkEvent(event);
}

void AbstractPacketReceiver::addUDPNetworkEvent(networkEventPtr event) {
    boost::lock_guard<boost::mutex> lock(udp_mutex_);
    udp_write_buffer_->push_back(event);
}

void AbstractPacketReceiver::addTCPNetworkEvent(networkEventPtr event) {
    boost::lock_guard<boost::mutex> lock(tcp_mutex_);
    tcp_write_buffer_->push_back(event);
}

void AbstractPacketReceiver::dispatch(MessageDispatcher* dispatcher) {
    getUDPPackets(dispatcher);
    getTCPPackets(dispatcher);
}

void AbstractPacketReceiver::getUDPPackets(MessageDispatcher* dispatcher) {
    getPackets(udp_write_buffer_, &udp_buffer2_, udp_mutex_, dispatcher);
}

void AbstractPacketReceiver::getTCPPackets(MessageDispatcher* dispatcher) {
    std::vector<tcp::socket*> resumed;
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        tcp_write_buffer_->swap(tcp_buffer2_);
        // Every connection's events are taken: none holds anything in the queue any more.
        tcpHeld_.clear();
        resumed.swap(tcpPaused_);
    }
    if (!resumed.empty()) {
        // Held back, they waited for the main thread, not for their peers: their wait for the
        // rest of a frame starts again.
        {
            const uint64_t now = Timer::getMonotonicTime();
            boost::lock_guard<boost::mutex> lock(leftoverTimesMutex_);
            for (tcp::socket* socket : resumed) {
                boost::unordered_map<tcp::socket*, uint64_t>::iterator since = leftoverTimes_.find(socket);
                if (since != leftoverTimes_.end())
                    since->second = now;
            }
        }
        boost::lock_guard<boost::mutex> starts(readStarts_);
        for (tcp::socket* socket : resumed) {
            try {
                startRead(socket, max_length);
            } catch (...) {
                // As a read that failed, so that the connection ends in its ClosedConnection.
                DebugPrintInput("Argh execption in restarting tcp receive\n");
                boost::asio::post(*io_service_, [this, socket] {
                    handleTCPReceive(boost::system::errc::make_error_code(boost::system::errc::io_error), nullptr, 0,
                                     socket);
                });
            }
        }
    }
    dispatchTaken(tcp_buffer2_, dispatcher);
}

template <class Queue>
void AbstractPacketReceiver::getPackets(Queue* queue, Queue* taken, boost::mutex& mutex,
                                        MessageDispatcher* dispatcher) {
    {
        // The I/O thread appends to the other queue meanwhile, instead of waiting for the whole
        // dispatch; both rings have the same capacity.
        boost::lock_guard<boost::mutex> lock(mutex);
        queue->swap(*taken);
    }
    dispatchTaken(*taken, dispatcher);
}

template <class Queue> void AbstractPacketReceiver::dispatchTaken(Queue& taken, MessageDispatcher* dispatcher) {
    while (!taken.empty()) {
        // Released once it is dispatched, so that what the I/O thread queues meanwhile does not
        // add to a whole taken queue.
        const networkEventPtr event = std::move(taken.front());
        taken.pop_front();
        boost::asio::ip::udp::endpoint* source = event->getUdpEndpoint();
        const DebugInputSource peer(event->getTcpSocket(), source ? source->data() : nullptr);
        try {
            if (event->eventType == EventTypes::ClosedConnection)
                MessageSender::closeTcpSocket(event->getTcpSocket());
            dispatcher->dispatchEvent(event);
        } catch (const boost::system::error_code& ec) {
            if (DebugInputAllowed("Error in dispatch messages")) {
                DebugPrint("Error in dispatch messages et:%d mt:%d \n", event->eventType, event->messageType);
                DebugPrint("Message: %s\n", ec.message().c_str());
            }
        } catch (...) {
            if (DebugInputAllowed("Error in dispatch messages"))
                DebugPrint("Error in dispatch messages et:%d mt:%d \n", event->eventType, event->messageType);
        }
    }
}

void AbstractPacketReceiver::closeConnectionsWithStaleFrames() {
    const uint64_t now = Timer::getMonotonicTime();
    std::vector<tcp::socket*> stale;
    {
        boost::lock_guard<boost::mutex> lock(leftoverTimesMutex_);
        for (boost::unordered_map<tcp::socket*, uint64_t>::value_type& entry : leftoverTimes_) {
            // The I/O thread may have noted a byte since `now` was read.
            if (entry.second <= now && now - entry.second >= INCOMPLETE_FRAME_TIMEOUT_MS)
                stale.push_back(entry.first);
        }
    }
    if (stale.empty())
        return;
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        stale.erase(std::remove_if(stale.begin(), stale.end(),
                                   [this](tcp::socket* socket) {
                                       return std::find(tcpPaused_.begin(), tcpPaused_.end(), socket) !=
                                              tcpPaused_.end();
                                   }),
                    stale.end());
    }
    for (tcp::socket* socket : stale) {
        {
            boost::lock_guard<boost::mutex> lock(leftoverTimesMutex_);
            leftoverTimes_.erase(socket);
        }
        boost::asio::ip::address peer;
        const std::string host = peerAddressOf(socket, &peer) ? peer.to_string() : std::string("?");
        DebugPrintInput("Connection from %s closed: its incomplete frame had no new byte for %d seconds\n",
                        host.c_str(), INCOMPLETE_FRAME_TIMEOUT_MS / 1000);
        Network::getInstance()->closeConnection(socket);
    }
}

std::size_t AbstractPacketReceiver::udpEventsHeldPeak() {
    boost::lock_guard<boost::mutex> lock(udp_mutex_);
    return udpEventsHeldPeak_;
}

std::size_t AbstractPacketReceiver::tcpEventsHeldPeak() {
    boost::lock_guard<boost::mutex> lock(tcp_mutex_);
    return tcpEventsHeldPeak_;
}

std::size_t AbstractPacketReceiver::tcpBytesHeldPeak() {
    boost::lock_guard<boost::mutex> lock(tcp_mutex_);
    return tcpBytesHeldPeak_;
}

void AbstractPacketReceiver::resetHeldPeaksForTesting() {
    {
        boost::lock_guard<boost::mutex> lock(udp_mutex_);
        udpEventsHeldPeak_ = 0;
    }
    boost::lock_guard<boost::mutex> lock(tcp_mutex_);
    tcpEventsHeldPeak_ = 0;
    tcpBytesHeldPeak_ = 0;
}

template void AbstractPacketReceiver::getPackets(boost::circular_buffer<networkEventPtr>*,
                                                 boost::circular_buffer<networkEventPtr>*, boost::mutex&,
                                                 MessageDispatcher*);
template void AbstractPacketReceiver::getPackets(std::list<networkEventPtr>*, std::list<networkEventPtr>*,
                                                 boost::mutex&, MessageDispatcher*);
