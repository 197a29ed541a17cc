// The TCP write chain of the send queues, and their registry, through which every closing
// socket passes. Main thread: startTcpWrite queues a packet or share on its connection's
// record, postWriteStarts hands the connections queued for to the I/O thread in one posted
// handler, and closeTcpSocket (for the receive side, its ClosedConnection events and failed
// connects) and closeStalledConnections (once a frame) close connections; the registry and
// each queue's table of connections are touched by the main thread only. I/O thread:
// startWrites and writeQueued start a connection's gather write, wroteSome takes its end,
// starts the next and runs the packets' completions, oldest first, outside the lock. A
// record's mutex guards its fields and every use of its socket made here, and no other lock
// is taken under it; the receive side holds its readStarts_ lock around closeTcpSocket. A
// record is owned by the queue's table and by the handlers of the I/O thread that hold it;
// each queued packet is owned by its record until its completion or its discard.
#include "Common/Network/TcpConnectionWrites.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Engine/Timer.h"
#include "Common/Network/Limits.h"
#include "Common/Network/Network.h"

using boost::asio::ip::tcp;
using boost::system::error_code;
namespace ph = boost::placeholders;

namespace {

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

typedef boost::shared_ptr<TcpConnectionWrites> ConnectionWritesPtr;

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
            c->lastProgress = Timer::getMonotonicTime();
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

} // namespace

std::set<MessageSender*>& allSenders() {
    static std::set<MessageSender*>* senders = new std::set<MessageSender*>();
    return *senders;
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
            c->lastProgress = Timer::getMonotonicTime();
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
    const uint64_t now = Timer::getMonotonicTime();
    std::vector<tcp::socket*> stalled;
    for (MessageSender* sender : allSenders())
        for (const auto& entry : sender->connections_) {
            TcpConnectionWrites& c = *entry.second;
            boost::lock_guard<boost::mutex> lock(c.mutex);
            // The I/O thread may have noted progress since `now` was read.
            if (!c.queued.empty() && c.lastProgress < now && now - c.lastProgress > STALLED_WRITE_MS)
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
