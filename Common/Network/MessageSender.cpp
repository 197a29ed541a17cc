// The send queues: what the main thread queues for one receiver or broadcasts, packed into
// packets as it is queued, and the send step that hands each packet on, the datagrams to the
// batch (UdpSendBatch.cpp) and the TCP packets to their connections' writes
// (TcpConnectionWrites.cpp). Queueing, the send step and the lists are the main thread's; a
// list owns its packets until the step takes them. A broadcast packet is shared by its
// recipients through a BroadcastBuffer, whose count is released without a lock on the main
// thread (recipients skipped or dropped) and on the I/O thread (completed sends): whoever
// releases the last share frees it. The completions here run on the I/O thread (a datagram
// batch's on the main thread when its handler could not be posted) and touch only their own
// packet or share, the measurement log's atomic counters, and the input-limited diagnostics
// (under the input-limit lock).
#include "Common/Network/MessageSender.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Network/TcpConnectionWrites.h"
#include "Common/Network/UdpSendBatch.h"
#include "Common/Protobuf/Object.pb.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using boost::system::error_code;

namespace {

// UDP broadcast packets still start within this many ms of the broadcast step's start.
const uint64_t UDP_BROADCAST_BUDGET_MS = 10;

void freePackets(bufferList* list) {
    for (std::string* packet : *list)
        delete packet;
    list->clear();
}

void freeMap(bufferMap& map) {
    for (bufferMap::value_type& entry : map) {
        freePackets(entry.second);
        delete entry.second;
    }
    map.clear();
}

void forget(bufferMap& map, CommEndpoint* receiver) {
    bufferMap::iterator it = map.find(receiver);
    if (it == map.end())
        return;
    freePackets(it->second);
    delete it->second;
    map.erase(it);
}

} // namespace

BroadcastBuffer::BroadcastBuffer(int recipients_, std::string* buffer_)
    : recipients(static_cast<uint32_t>(recipients_)), buffer(buffer_) {}

BroadcastBuffer::~BroadcastBuffer() {
    delete buffer;
}

BroadcastBuffer* BroadcastBuffer::newBuffer(int recipients, std::string* buffer) {
    if (recipients == 0)
        return nullptr;
    return new BroadcastBuffer(recipients, buffer);
}

void BroadcastBuffer::decrementRecipients(BroadcastBuffer* b) {
    // fetch_sub is the one atomic step: exactly one caller sees the count go from 1 to 0.
    if (b->recipients.fetch_sub(1) == 1)
        delete b;
}

MessageSender::MessageSender(boost::asio::io_context* ios) : io_service_(ios), udpBatch_(new UdpSendBatch()) {
    allSenders().insert(this);
}

MessageSender::~MessageSender() {
    allSenders().erase(this);
    for (const UdpSendBatch::Datagram& d : udpBatch_->datagrams)
        releaseUnsent(d.packet, d.share);
    freeMap(udpBuffer_);
    freeMap(tcpBuffer_);
    freePackets(&tcpBroadcastBuffer_);
    freePackets(&udpBroadcastBuffer_);
}

bufferList* MessageSender::getBufferList(bufferMap& map, CommEndpoint* receiver) {
    bufferList*& list = map[receiver];
    if (!list)
        list = new bufferList();
    return list;
}

void MessageSender::queueUdp(MessageTypes::MessageType type, google::protobuf::Message& message,
                             CommEndpoint* receiver) {
    packFrame(type, message, *getBufferList(udpBuffer_, receiver), MAX_UDP_PACKET_SIZE, useQport(receiver));
}

void MessageSender::queueTcp(MessageTypes::MessageType type, google::protobuf::Message& message,
                             CommEndpoint* receiver) {
    packFrame(type, message, *getBufferList(tcpBuffer_, receiver), MAX_TCP_PACKET_SIZE, false);
}

void MessageSender::queue(Velmor::ObjectInfo& message, CommEndpoint* receiver) {
    message.set_timestamp(Timer::getCurSyncedTime());
    queueTcp(MessageTypes::ObjectInfo, message, receiver);
}

void MessageSender::queue(Velmor::ObjectUpdate& message, CommEndpoint* receiver) {
    message.set_timestamp(Timer::getCurSyncedTime());
    queueUdp(MessageTypes::ObjectUpdate, message, receiver);
}

void MessageSender::queue(Velmor::ObjectDestroy& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::ObjectDestroy, message, receiver);
}

void MessageSender::queue(Velmor::Welcome& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::Welcome, message, receiver);
}

void MessageSender::queue(Velmor::Login& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::Login, message, receiver);
}

void MessageSender::queue(Velmor::ServerWelcome& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::ServerWelcome, message, receiver);
}

void MessageSender::queue(Velmor::ConnectToNearBy& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::ConnectToNearBy, message, receiver);
}

void MessageSender::queue(Velmor::TransferControl& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::TransferControl, message, receiver);
}

void MessageSender::queue(Velmor::ServerStatus& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::ServerStatus, message, receiver);
}

void MessageSender::queue(Velmor::ClientUpdate& message, CommEndpoint* receiver) {
    queueUdp(MessageTypes::ClientUpdate, message, receiver);
}

void MessageSender::queue(Velmor::RegionUpdate& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::RegionUpdate, message, receiver);
}

void MessageSender::queue(Velmor::CoordinatorWelcome& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::CoordinatorWelcome, message, receiver);
}

void MessageSender::queue(Velmor::TransferPlayerTo& message, CommEndpoint* receiver) {
    queueTcp(MessageTypes::TransferPlayerTo, message, receiver);
}

void MessageSender::queue(Velmor::Logout& message, CommEndpoint* receiver) {
    DebugPrint("Error Should not be used\n");
    queueTcp(MessageTypes::Logout, message, receiver);
}

void MessageSender::broadcast(Velmor::ObjectInfo& message) {
    message.set_timestamp(Timer::getCurSyncedTime());
    packFrame(MessageTypes::ObjectInfo, message, tcpBroadcastBuffer_, MAX_TCP_PACKET_SIZE, false);
}

void MessageSender::broadcast(Velmor::ObjectUpdate& message) {
    message.set_timestamp(Timer::getCurSyncedTime());
    packFrame(MessageTypes::ObjectUpdate, message, udpBroadcastBuffer_, MAX_UDP_PACKET_SIZE, false);
    // The frame joined the last packet (or was refused, and nothing is lost with it).
    if (!udpBroadcastBuffer_.empty())
        udpBroadcastUpdates_.emplace_back(udpBroadcastBuffer_.size() - 1, message.id());
}

void MessageSender::broadcast(Velmor::ObjectDestroy& message, SceneGraphType::SceneGraphType type) {
    // A projectile's end is frequent and may be lost; anything else must arrive.
    if (type == SceneGraphType::Projectile)
        packFrame(MessageTypes::ObjectDestroy, message, udpBroadcastBuffer_, MAX_UDP_PACKET_SIZE, false);
    else
        packFrame(MessageTypes::ObjectDestroy, message, tcpBroadcastBuffer_, MAX_TCP_PACKET_SIZE, false);
}

void MessageSender::sendQueuedBroadcastMessages(std::list<CommEndpoint*> allReceipitients) {
    const int n = static_cast<int>(allReceipitients.size());
    const uint64_t start = Timer::getCurrentTime();
    bool hasReachedMaxTime = false;

    // The packets are queued in the scene's order every frame. Beginning where the last step's
    // budget ran out (wrapping round to the front) moves what is shed over all the ships;
    // beginning at the front every time would shed the same ships' states in every frame. Where
    // it ran out is the first object of the first packet it dropped, found again in this
    // step's queue (the replica managers queue the states shed again); without it, the packet
    // at the same position.
    const size_t packets = udpBroadcastBuffer_.size();
    size_t first = packets == 0 ? 0 : udpBroadcastResume_ % packets;
    if (resumeObject_)
        for (const std::pair<std::size_t, uint64_t>& update : udpBroadcastUpdates_)
            if (update.second == *resumeObject_) {
                first = update.first;
                break;
            }
    udpBroadcastBuffer_.splice(udpBroadcastBuffer_.end(), udpBroadcastBuffer_, udpBroadcastBuffer_.begin(),
                               std::next(udpBroadcastBuffer_.begin(), static_cast<std::ptrdiff_t>(first)));
    // Once the budget has run out every later packet is dropped: those from here on, in the
    // order taken.
    size_t droppedFrom = packets;

    // Each packet leaves the list before it is handed on, so the list never holds a packet
    // that something else owns or has freed.
    for (size_t taken = 0; !udpBroadcastBuffer_.empty(); ++taken) {
        std::unique_ptr<std::string> packet(udpBroadcastBuffer_.front());
        udpBroadcastBuffer_.pop_front();
        if (n == 0)
            continue;
        BroadcastBuffer* b = BroadcastBuffer::newBuffer(n, packet.get());
        packet.release();

        // Once per packet, so a packet goes to all its reachable recipients or to none.
        if (!hasReachedMaxTime && Timer::getCurrentTime() - start > UDP_BROADCAST_BUDGET_MS) {
            hasReachedMaxTime = true;
            droppedFrom = taken;
        }

        for (CommEndpoint* r : allReceipitients) {
            udp::endpoint* to = r->getUdpEndpoint();
            if (!to || hasReachedMaxTime) {
                packageDropped();
                BroadcastBuffer::decrementRecipients(b);
                continue;
            }
            try {
                addDatagram(*to, nullptr, b, r);
            } catch (...) {
                reportUdpStartFailure(true, r);
                // No completion will release this share.
                BroadcastBuffer::decrementRecipients(b);
            }
        }
        // Before the next packet's budget test, so the clock sees this packet's sends.
        sendDatagrams(true);
    }
    noteDroppedUpdates(packets, first, droppedFrom);
    if (hasReachedMaxTime)
        DebugLog(LogType::Info, "NOTICE!!!!!!!! has just ignored alot of udp packages to the clients because we "
                                "cannot handle the pressure\n");

    while (!tcpBroadcastBuffer_.empty()) {
        std::unique_ptr<std::string> packet(tcpBroadcastBuffer_.front());
        tcpBroadcastBuffer_.pop_front();
        if (n == 0)
            continue;
        BroadcastBuffer* b = BroadcastBuffer::newBuffer(n, packet.get());
        packet.release();

        std::list<CommEndpoint*>::iterator r = allReceipitients.begin();
        try {
            for (; r != allReceipitients.end(); ++r) {
                tcp::socket* socket = (*r)->getTcpSocket();
                if (!socket) {
                    BroadcastBuffer::decrementRecipients(b);
                    continue;
                }
                if ((*r)->endpointType == CommEndpointTypes::Unknown)
                    DebugLog(LogType::Error, "Endpoint type wrong in sending\n");
                startTcpWrite(socket, nullptr, b);
            }
        } catch (...) {
            // The step ends here. The shares of this recipient and of the ones not reached are
            // released; the broadcast packets not reached stay queued for the next step.
            for (; r != allReceipitients.end(); ++r)
                BroadcastBuffer::decrementRecipients(b);
            startQueuedWritesAfterFailure();
            throw;
        }
    }
    postWriteStarts();
}

void MessageSender::noteDroppedUpdates(std::size_t packets, std::size_t first, std::size_t droppedFrom) {
    udpBroadcastResume_ = droppedFrom < packets ? (first + droppedFrom) % packets : 0;
    resumeObject_.reset();
    droppedUpdates_.clear();
    if (droppedFrom < packets) {
        for (const std::pair<std::size_t, uint64_t>& update : udpBroadcastUpdates_) {
            // The packet's place in the order taken.
            const std::size_t taken = (update.first + packets - first) % packets;
            if (taken < droppedFrom)
                continue;
            droppedUpdates_.insert(update.second);
            if (taken == droppedFrom && !resumeObject_)
                resumeObject_ = update.second;
        }
    }
    udpBroadcastUpdates_.clear();
}

void MessageSender::sendQueuedMessages() {
    for (bufferMap::value_type& entry : udpBuffer_) {
        CommEndpoint* e = entry.first;
        bufferList* list = entry.second;
        udp::endpoint* to = e->getUdpEndpoint();
        while (to && !list->empty()) {
            std::string* packet = list->front();
            list->pop_front();
            try {
                addDatagram(*to, packet, nullptr, e);
            } catch (...) {
                reportUdpStartFailure(false, e);
                // No completion will free it.
                delete packet;
            }
        }
        // Without a UDP address: freed unsent, silently.
        freePackets(list);
        delete list;
    }
    udpBuffer_.clear();
    sendDatagrams(false);

    // The map is taken out first, so on an exception the lists already freed are gone from
    // it and the ones not yet reached are put back for the next step.
    bufferMap pending;
    pending.swap(tcpBuffer_);
    try {
        for (bufferMap::iterator it = pending.begin(); it != pending.end(); it = pending.erase(it)) {
            bufferList* list = it->second;
            tcp::socket* socket = it->first->getTcpSocket();
            while (socket && !list->empty()) {
                std::unique_ptr<std::string> packet(list->front());
                list->pop_front();
                if (packet->empty()) {
                    DebugLog(LogType::Info, "Empty message list\n");
                    continue;
                }
                startTcpWrite(socket, packet.get(), nullptr);
                packet.release();
            }
            freePackets(list);
            delete list;
        }
    } catch (...) {
        for (bufferMap::value_type& entry : pending)
            tcpBuffer_.insert(entry);
        startQueuedWritesAfterFailure();
        throw;
    }
    postWriteStarts();
}

void MessageSender::startQueuedWritesAfterFailure() {
    try {
        postWriteStarts();
    } catch (...) {
        // They wait for the next part of a step.
    }
}

void MessageSender::releaseUnsent(std::string* packet, BroadcastBuffer* share) {
    if (share)
        BroadcastBuffer::decrementRecipients(share);
    else
        delete packet;
}

void MessageSender::wantToDeleteEndpoint(CommEndpoint* receiver) {
    forget(tcpBuffer_, receiver);
    forget(udpBuffer_, receiver);
}

void MessageSender::sendCompletedUDP(const error_code& error, std::size_t bytes, std::string* packet) {
    try {
        packageSent(UDP, bytes);
        sendCompleted(error, bytes, packet);
    } catch (...) {
        DebugPrint("Argh execption in send udp complete error\n");
    }
}

void MessageSender::sendCompletedTCP(const error_code& error, std::size_t bytes, std::string* packet) {
    try {
        packageSent(TCP, bytes);
        sendCompleted(error, bytes, packet);
    } catch (...) {
        DebugPrint("Argh execption in send complete tcp error\n");
    }
}

void MessageSender::broadcastCompletedUDP(const error_code& error, std::size_t bytes, BroadcastBuffer* b) {
    try {
        packageSent(UDP, bytes);
        finishShare(error, b, "UDP: ");
    } catch (...) {
        DebugPrint("Argh execption in broadcast udp error\n");
    }
}

void MessageSender::broadcastCompletedTCP(const error_code& error, std::size_t bytes, BroadcastBuffer* b) {
    try {
        packageSent(TCP, bytes);
        finishShare(error, b, "TCP: ");
    } catch (...) {
        DebugPrint("Argh execption in broadcast complete tcp error\n");
    }
}

void MessageSender::sendCompleted(const error_code& error, std::size_t /*bytes*/, std::string* packet) {
    // A peer's failing connection repeats this as often as it is sent to: counted as input.
    if (error)
        DebugPrintInput("Error while sending: %s (%i)\n", error.message().c_str(), error.value());
    delete packet;
}

void MessageSender::broadcastCompleted(const error_code& error, std::size_t /*bytes*/, BroadcastBuffer* b) {
    finishShare(error, b, "");
}

void MessageSender::finishShare(const error_code& error, BroadcastBuffer* b, const char* transport) {
    // The transport and the error are one line in two pieces: both or neither.
    if (error && DebugInputAllowed("Error while broadcasting")) {
        if (*transport)
            DebugPrint("%s", transport);
        DebugPrint("Error while broadcasting: %s (%i)\n", error.message().c_str(), error.value());
    }
    BroadcastBuffer::decrementRecipients(b);
}

void MessageSender::packageSent(TransportType t, std::size_t bytes) {
    // I/O thread. The server queue counts under SS_, the client queue (and any other) under CS_.
    const bool server = this == Network::getInstance()->serverMessageSender;
    const NetworkIndexes index = t == TCP ? (server ? SS_TCP_SENT : CS_TCP_SENT) : (server ? SS_UDP_SENT : CS_UDP_SENT);
    Logger::getInstance()->add_packages(1, index);
    Logger::getInstance()->add_bandwidth(bytes, index);
}

void MessageSender::packageDropped() {
    Logger::getInstance()->packageDropped();
}

std::string* MessageSender::allocateNewBuffer(bool useQport) {
    std::string* packet = new std::string();
    // Room for a full packet at once, rather than growing it frame by frame.
    packet->reserve(MAX_UDP_PACKET_SIZE);
    if (useQport) {
        const uint32_t qport = Network::getInstance()->myQport;
        for (int shift = 0; shift < 32; shift += 8)
            packet->push_back(static_cast<char>((qport >> shift) & 0xFF));
    }
    return packet;
}

std::string* MessageSender::packetFor(bufferList& list, std::size_t frameSize, unsigned int maxPacketLength,
                                      bool useQport) {
    if (list.empty())
        list.push_back(allocateNewBuffer(useQport));
    if (list.back()->size() + frameSize + 1 > maxPacketLength)
        list.push_back(allocateNewBuffer(useQport));
    return list.back();
}

void MessageSender::appendMsgToQueue(std::string msg, bufferList& list, unsigned int maxPacketLength, bool useQport) {
    if (msg.empty())
        return;
    packetFor(list, msg.size(), maxPacketLength, useQport)->append(msg);
}

void MessageSender::packFrame(MessageTypes::MessageType type, google::protobuf::Message& message, bufferList& list,
                              unsigned int maxPacketLength, bool useQport) {
    const std::size_t frameSize = MessageSerializer::prepareFrame(type, message);
    if (frameSize == 0)
        return;
    MessageSerializer::appendFrame(type, message, frameSize, *packetFor(list, frameSize, maxPacketLength, useQport));
}

bool MessageSender::useQport(CommEndpoint* recipient) {
    return recipient->endpointType != CommEndpointTypes::ClientEndpoint;
}
