#include "Common/Network/MessageSender.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Protobuf/Object.pb.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using boost::system::error_code;
namespace ph = boost::placeholders;

namespace {

// UDP broadcast packets still start within this many ms of the broadcast step's start.
const uint64_t UDP_BROADCAST_BUDGET_MS = 10;

// One packet, or one recipient's share of a broadcast packet, on its way into a TCP stream.
struct PendingWrite {
    MessageSender* owner;
    std::string* packet;    // owned, or null for a broadcast share
    BroadcastBuffer* share; // one share of it, or null

    const std::string& bytes() const { return share ? *share->buffer : *packet; }

    // Without sending: frees the packet or releases the share.
    void discard() const {
        if (share)
            BroadcastBuffer::decrementRecipients(share);
        else
            delete packet;
    }

    // Its one completion, with the bytes of it that reached the stream. I/O thread, without
    // the connection's lock.
    void complete(const error_code& error, std::size_t bytes) const {
        if (share)
            owner->broadcastCompletedTCP(error, bytes, share);
        else
            owner->sendCompletedTCP(error, bytes, packet);
    }
};

// At most this much goes into one gather write of a connection: its packets are written
// together, while the kernel's socket takes them, in one system call.
const std::size_t PACKETS_PER_WRITE = 64;
const std::size_t BYTES_PER_WRITE = 256 * 1024;

// The pieces of one gather write, pointing into its connection's record, which outlives the
// write: copying them into the write costs no allocation.
struct GatherPieces {
    typedef boost::asio::const_buffer value_type;
    typedef const boost::asio::const_buffer* const_iterator;
    const_iterator first;
    const_iterator last;
    const_iterator begin() const { return first; }
    const_iterator end() const { return last; }
};

} // namespace

// The writes of one TCP connection. The main thread appends each packet the send steps start,
// in their order; the I/O thread writes them, one gather write outstanding at a time, starting
// the next from the completion of the previous, so packets enter the stream whole and in order.
// The mutex guards the fields and every use of the socket made here, so the close on the main
// thread never meets a write being started. Shared by the queue's table (main thread) and the
// handlers of the I/O thread; whatever is still queued when the last of them lets go is freed.
struct TcpConnectionWrites {
    explicit TcpConnectionWrites(tcp::socket* s)
        : socket(s), writing(false), startPosted(false), inWrite(0), frontWritten(0), bytesQueued(0), lastProgress(0) {}
    ~TcpConnectionWrites() {
        for (const PendingWrite& write : queued)
            write.discard();
    }
    TcpConnectionWrites(const TcpConnectionWrites&) = delete;
    TcpConnectionWrites& operator=(const TcpConnectionWrites&) = delete;

    // What waits behind the oldest packet, the one today's write is busy with.
    std::size_t bytesBehindOldest() const { return queued.empty() ? 0 : bytesQueued - queued.front().bytes().size(); }

    boost::mutex mutex;
    tcp::socket* socket; // null once the connection was closed
    bool writing;        // a gather write is outstanding
    bool startPosted;    // a start of writes waits in the I/O service
    // Every packet not yet written whole, oldest first; the first `inWrite` are in the write.
    std::deque<PendingWrite> queued;
    std::size_t inWrite;
    std::size_t frontWritten; // bytes of the oldest packet already in the stream
    std::size_t bytesQueued;  // of the packets in `queued`
    // Timer::getCurrentTime when the socket last took a byte, or when bytes began to wait.
    uint64_t lastProgress;
    // The outstanding write's pieces; I/O thread.
    boost::asio::const_buffer pieces[PACKETS_PER_WRITE];
};

// The datagrams of one part of a send step, started together: handed to the kernel in batches
// on the main thread, the way an asynchronous send is first tried on the thread that starts it,
// and completed on the I/O thread by one posted handler for the lot, instead of one wake-up
// and one operation allocated here and freed there per datagram. Main thread only; reused
// from step to step, so its arrays are allocated once.
struct UdpSendBatch {
    struct Datagram {
        const std::string* bytes;
        udp::endpoint to;
        std::string* packet;     // owned until completed, or null for a broadcast share
        BroadcastBuffer* share;  // one share of a broadcast packet, or null
        CommEndpoint* recipient; // for the diagnostics of a send that cannot be started
    };
    std::vector<Datagram> datagrams;
    std::vector<mmsghdr> headers;
    std::vector<iovec> pieces;
};

namespace {

typedef boost::shared_ptr<TcpConnectionWrites> ConnectionWritesPtr;

// Every send queue that exists, so a closing connection reaches the one that writes to it.
// Main thread only.
std::set<MessageSender*>& allSenders() {
    static std::set<MessageSender*>* senders = new std::set<MessageSender*>();
    return *senders;
}

void wroteSome(ConnectionWritesPtr c, const error_code& error, std::size_t bytes);

// I/O thread, with c->mutex held. Starts one gather write of the oldest packets, from the bytes
// of the oldest not yet written on, unless one is outstanding. Only one piece of the stream is
// written at a time, so that every use of the socket happens under the mutex (a composed write
// would go on touching the socket after the main thread closed and deleted it). Packets whose
// write cannot be started are freed, with one line, and the next ones are tried.
void writeQueued(const ConnectionWritesPtr& c) {
    while (c->socket && !c->writing && !c->queued.empty()) {
        std::size_t n = 0, total = 0;
        for (const PendingWrite& write : c->queued) {
            const std::string& bytes = write.bytes();
            const std::size_t from = n == 0 ? c->frontWritten : 0;
            if (n == PACKETS_PER_WRITE || (n > 0 && total + bytes.size() > BYTES_PER_WRITE))
                break;
            c->pieces[n++] = boost::asio::buffer(bytes.data() + from, bytes.size() - from);
            total += bytes.size() - from;
        }
        try {
            c->socket->async_write_some(GatherPieces{c->pieces, c->pieces + n},
                                        boost::bind(&wroteSome, c, ph::_1, ph::_2));
            c->writing = true;
            c->inWrite = n;
            return;
        } catch (...) {
            DebugPrint("Execption in starting the next tcp write\n");
            for (; n > 0; --n) {
                c->bytesQueued -= c->queued.front().bytes().size();
                c->queued.front().discard();
                c->queued.pop_front();
            }
            c->frontWritten = 0;
        }
    }
}

// I/O thread: the connections that the main thread queued packets for in one part of a send
// step, each without a write outstanding then.
void startWrites(const std::vector<ConnectionWritesPtr>& connections) {
    for (const ConnectionWritesPtr& c : connections) {
        boost::lock_guard<boost::mutex> lock(c->mutex);
        c->startPosted = false;
        writeQueued(c);
    }
}

// I/O thread: a gather write is done. The packets it wrote whole are complete; a write cut short
// goes on from where it stopped. When it failed, or the connection was closed meanwhile, the
// oldest packet not written whole completes with the error; on a closed connection the rest are
// freed unsent, on a failed one they are tried in writes of their own, as each packet was before.
// Completions run oldest first, outside the lock, once the next write has started.
void wroteSome(ConnectionWritesPtr c, const error_code& error, std::size_t bytes) {
    // A write ends at most its own packets.
    PendingWrite done[PACKETS_PER_WRITE];
    std::size_t doneBytes[PACKETS_PER_WRITE];
    std::size_t completed = 0;
    error_code lastError; // of the last one done, when it failed
    std::deque<PendingWrite> unsent;
    {
        boost::lock_guard<boost::mutex> lock(c->mutex);
        c->writing = false;
        if (bytes > 0)
            c->lastProgress = Timer::getCurrentTime();
        std::size_t written = c->frontWritten + bytes;
        for (; c->inWrite > 0 && written >= c->queued.front().bytes().size(); --c->inWrite) {
            const std::size_t size = c->queued.front().bytes().size();
            written -= size;
            c->bytesQueued -= size;
            doneBytes[completed] = size;
            done[completed++] = c->queued.front();
            c->queued.pop_front();
        }
        c->frontWritten = c->inWrite > 0 ? written : 0;
        if (c->inWrite > 0 && (error || !c->socket)) {
            lastError = error ? error : error_code(boost::asio::error::operation_aborted);
            c->bytesQueued -= c->queued.front().bytes().size();
            doneBytes[completed] = c->frontWritten;
            done[completed++] = c->queued.front();
            c->queued.pop_front();
            c->frontWritten = 0;
        }
        c->inWrite = 0;
        if (c->socket) {
            writeQueued(c);
        } else {
            // The main thread left these to this write when it closed the connection.
            unsent.swap(c->queued);
            c->bytesQueued = 0;
        }
    }
    for (std::size_t i = 0; i < completed; ++i)
        done[i].complete(i + 1 == completed ? lastError : error_code(), doneBytes[i]);
    for (const PendingWrite& write : unsent)
        write.discard();
}

// The UDP socket that every datagram leaves through; throws when there is none yet (before the
// networking is built). The socket is shared with the I/O thread, which receives on it and
// answers pings with a blocking send; the main thread only reads the socket object and sends.
udp::socket* udpSocket() {
    udp::socket* socket = Network::getInstance()->udp_socket;
    if (!socket)
        throw boost::system::system_error(boost::asio::error::bad_descriptor, "no udp socket");
    return socket;
}

// At most this many datagrams go to the kernel in one call.
const size_t DATAGRAMS_PER_CALL = 1024;

// How one datagram ended, for its completion on the I/O thread.
struct UdpCompletion {
    std::string* packet;    // owned, or null for a broadcast share
    BroadcastBuffer* share; // one share of it, or null
    error_code error;
    std::size_t bytes;
};

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

    // Each packet leaves the list before it is handed on, so the list never holds a packet
    // that something else owns or has freed.
    while (!udpBroadcastBuffer_.empty()) {
        std::unique_ptr<std::string> packet(udpBroadcastBuffer_.front());
        udpBroadcastBuffer_.pop_front();
        if (n == 0)
            continue;
        BroadcastBuffer* b = BroadcastBuffer::newBuffer(n, packet.get());
        packet.release();

        // Once per packet, so a packet goes to all its reachable recipients or to none.
        if (!hasReachedMaxTime && Timer::getCurrentTime() - start > UDP_BROADCAST_BUDGET_MS)
            hasReachedMaxTime = true;

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

void MessageSender::addDatagram(const udp::endpoint& to, std::string* packet, BroadcastBuffer* share,
                                CommEndpoint* recipient) {
    udpSocket();
    const std::string* bytes = share ? share->buffer : packet;
    udpBatch_->datagrams.push_back(UdpSendBatch::Datagram{bytes, to, packet, share, recipient});
}

MessageSender::SendBatchCall MessageSender::sendBatchCall = &::sendmmsg;

void MessageSender::sendDatagrams(bool broadcast) {
    UdpSendBatch& batch = *udpBatch_;
    const size_t n = batch.datagrams.size();
    if (n == 0)
        return;
    Network* net = Network::getInstance();
    udp::socket* socket = net->udp_socket; // set: addDatagram checked it
    // Everything that may fail for want of memory comes before the first datagram leaves. The
    // completions go to the I/O thread in one piece, allocated once per batch.
    std::shared_ptr<std::vector<UdpCompletion>> completions;
    try {
        completions = std::make_shared<std::vector<UdpCompletion>>();
        completions->reserve(n);
        batch.headers.resize(n);
        batch.pieces.resize(n);
    } catch (...) {
        abandonDatagrams(broadcast);
        return;
    }
    std::vector<UdpCompletion>& done = *completions;
    size_t next = 0;

    // While datagrams of any queue wait in the I/O service for room in the socket, every new
    // one waits behind them there, so datagrams leave in the order they were started.
    if (net->udpDatagramsWaiting.load() == 0) {
        for (size_t i = 0; i < n; ++i) {
            const UdpSendBatch::Datagram& d = batch.datagrams[i];
            batch.pieces[i].iov_base = const_cast<char*>(d.bytes->data());
            batch.pieces[i].iov_len = d.bytes->size();
            msghdr& header = batch.headers[i].msg_hdr;
            header = msghdr();
            header.msg_name = const_cast<sockaddr*>(d.to.data());
            header.msg_namelen = static_cast<socklen_t>(d.to.size());
            header.msg_iov = &batch.pieces[i];
            header.msg_iovlen = 1;
        }
        const int fd = socket->native_handle();
        while (next < n) {
            const unsigned int count = static_cast<unsigned int>(std::min(n - next, DATAGRAMS_PER_CALL));
            const int sent = sendBatchCall(fd, &batch.headers[next], count, MSG_DONTWAIT);
            if (sent > 0) {
                for (size_t i = next; i < next + static_cast<size_t>(sent); ++i)
                    done.push_back(UdpCompletion{batch.datagrams[i].packet, batch.datagrams[i].share, error_code(),
                                                 batch.headers[i].msg_len});
                next += static_cast<size_t>(sent);
                continue;
            }
            const int failure = errno;
            if (failure == EINTR)
                continue;
            if (failure == EAGAIN || failure == EWOULDBLOCK)
                break;
            // This datagram failed as its asynchronous send would have; the next ones go on.
            done.push_back(UdpCompletion{batch.datagrams[next].packet, batch.datagrams[next].share,
                                         error_code(failure, boost::asio::error::get_system_category()), 0});
            ++next;
        }
    }

    // The rest wait for room in the socket in the I/O service, each with its own completion.
    for (; next < n; ++next) {
        const UdpSendBatch::Datagram d = batch.datagrams[next];
        try {
            ++net->udpDatagramsWaiting;
            socket->async_send_to(boost::asio::buffer(*d.bytes), d.to,
                                  [this, d, net](const error_code& error, std::size_t bytes) {
                                      --net->udpDatagramsWaiting;
                                      if (d.share)
                                          broadcastCompletedUDP(error, bytes, d.share);
                                      else
                                          sendCompletedUDP(error, bytes, d.packet);
                                  });
        } catch (...) {
            --net->udpDatagramsWaiting;
            reportUdpStartFailure(broadcast, d.recipient);
            releaseUnsent(d.packet, d.share);
        }
    }
    batch.datagrams.clear();
    if (done.empty())
        return;

    const auto complete = [this, completions] {
        for (const UdpCompletion& c : *completions) {
            if (c.share)
                broadcastCompletedUDP(c.error, c.bytes, c.share);
            else
                sendCompletedUDP(c.error, c.bytes, c.packet);
        }
    };
    try {
        boost::asio::post(socket->get_executor(), complete);
    } catch (...) {
        // Out of memory for the handler: these were sent, so they are completed here, on the
        // main thread, rather than left uncounted and unfreed.
        complete();
    }
}

void MessageSender::abandonDatagrams(bool broadcast) {
    for (const UdpSendBatch::Datagram& d : udpBatch_->datagrams) {
        reportUdpStartFailure(broadcast, d.recipient);
        releaseUnsent(d.packet, d.share);
    }
    udpBatch_->datagrams.clear();
}

void MessageSender::reportUdpStartFailure(bool broadcast, CommEndpoint* recipient) {
    DebugPrint(broadcast ? "Execption in sending async udp in broadcastQueuedMessages\n"
                         : "Execption in sending async udp in sendQueuedMessages\n");
    if (recipient->endpointType == CommEndpointTypes::ClientEndpoint)
        DebugPrint(" while sending to(id:%llx)", idOf(static_cast<Player*>(recipient)));
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

void MessageSender::startTcpWrite(tcp::socket* socket, std::string* packet, BroadcastBuffer* share) {
    const PendingWrite write = {this, packet, share};
    // A connection closed already (its endpoint not yet told) gets nothing, like one without socket.
    if (!socket->is_open()) {
        write.discard();
        return;
    }
    ConnectionWritesPtr c;
    boost::unordered_map<tcp::socket*, ConnectionWritesPtr>::iterator it = connections_.find(socket);
    if (it != connections_.end()) {
        c = it->second;
    } else {
        c = boost::make_shared<TcpConnectionWrites>(socket);
        connections_.emplace(socket, c);
    }
    // Room for the connection in the step's starts, so that nothing can fail once it is queued.
    if (writeStarts_.size() == writeStarts_.capacity())
        writeStarts_.reserve(std::max<std::size_t>(16, 2 * writeStarts_.capacity()));
    const std::size_t size = write.bytes().size();
    std::size_t overflow = 0;
    {
        boost::lock_guard<boost::mutex> lock(c->mutex);
        if (c->queued.empty()) {
            c->lastProgress = Timer::getCurrentTime();
        } else if (c->bytesBehindOldest() + size > MAX_TCP_BYTES_WAITING) {
            overflow = c->bytesBehindOldest() + size;
        }
        if (overflow == 0) {
            c->queued.push_back(write);
            c->bytesQueued += size;
            if (!c->writing && !c->startPosted) {
                c->startPosted = true;
                writeStarts_.push_back(c);
            }
            return;
        }
    }
    // A peer that does not take what is sent to it would make the server hold it for ever: its
    // connection has failed, and its close is reported like any other.
    write.discard();
    DebugLogInput(LogType::Error, "Connection closed with %zu bytes waiting to be sent (socket:%lx)\n", overflow,
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(socket)));
    Network::getInstance()->closeConnection(socket);
}

void MessageSender::postWriteStarts() {
    if (writeStarts_.empty())
        return;
    // Taken whole or not at all: on failure the starts wait for the next part of a step.
    std::shared_ptr<std::vector<ConnectionWritesPtr>> starts =
        std::make_shared<std::vector<ConnectionWritesPtr>>(writeStarts_.begin(), writeStarts_.end());
    boost::asio::post(*io_service_, [starts] { startWrites(*starts); });
    writeStarts_.clear();
}

bool MessageSender::forgetConnection(tcp::socket* socket, error_code& ec) {
    boost::unordered_map<tcp::socket*, ConnectionWritesPtr>::iterator it = connections_.find(socket);
    if (it == connections_.end())
        return false;
    ConnectionWritesPtr c = it->second;
    connections_.erase(it);
    {
        boost::lock_guard<boost::mutex> lock(c->mutex);
        c->socket = nullptr;
        // The packets of the outstanding write stay for its completion, which finds the record
        // closed; the others are freed unsent.
        const std::size_t keep = c->writing ? c->inWrite : 0;
        for (std::size_t i = keep; i < c->queued.size(); ++i)
            c->queued[i].discard();
        c->queued.erase(c->queued.begin() + static_cast<std::ptrdiff_t>(keep), c->queued.end());
        // Cancels the outstanding write.
        socket->close(ec);
    }
    return true;
}

void MessageSender::closeStalledConnections() {
    const uint64_t now = Timer::getCurrentTime();
    std::vector<tcp::socket*> stalled;
    for (MessageSender* sender : allSenders())
        for (const auto& entry : sender->connections_) {
            TcpConnectionWrites& c = *entry.second;
            boost::lock_guard<boost::mutex> lock(c.mutex);
            // A clock set back starts the wait again.
            c.lastProgress = std::min(c.lastProgress, now);
            if (!c.queued.empty() && now - c.lastProgress > STALLED_WRITE_MS)
                stalled.push_back(entry.first);
        }
    // A peer that takes nothing holds what the kernel keeps for its socket, and all that waits
    // here: its connection has failed.
    for (tcp::socket* socket : stalled) {
        DebugLogInput(LogType::Error, "Connection closed: nothing sent for %d seconds (socket:%lx)\n",
                      static_cast<int>(STALLED_WRITE_MS / 1000),
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(socket)));
        Network::getInstance()->closeConnection(socket);
    }
}

void MessageSender::closeTcpSocket(tcp::socket* socket) {
    if (!socket)
        return;
    error_code ec;
    bool closed = false;
    for (MessageSender* sender : allSenders())
        closed = sender->forgetConnection(socket, ec) || closed;
    if (!closed)
        socket->close(ec);
    if (ec)
        DebugPrint("Got exception when closing socket\n");
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
