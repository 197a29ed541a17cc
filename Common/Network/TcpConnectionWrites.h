#pragma once

// The records of the send queues' TCP connections, shared by the queue that writes to the
// connection (main thread) and the handlers of its writes (I/O thread), and the registry of the
// queues, through which a closing socket reaches the one that writes to it. Internal to the send
// queue: only MessageSender's own files include it. Each record's mutex guards its fields and
// every use of its socket the write chain makes; the registry is the main thread's.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include "Common/Network/Limits.h"
#include "Common/Network/MessageSender.h"

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
    void complete(const boost::system::error_code& error, std::size_t bytes) const {
        if (share)
            owner->broadcastCompletedTCP(error, bytes, share);
        else
            owner->sendCompletedTCP(error, bytes, packet);
    }
};

// At most PACKETS_PER_WRITE packets and BYTES_PER_WRITE bytes (Common/Network/Limits.h) go
// into one gather write of a connection: its packets are written together, while the kernel's
// socket takes them, in one system call.

// The writes of one TCP connection. The main thread appends each packet the send steps start,
// in their order; the I/O thread writes them, one gather write outstanding at a time, starting
// the next from the completion of the previous, so packets enter the stream whole and in order.
// The mutex guards the fields and every use of the socket made here, so the close on the main
// thread never meets a write being started. Shared by the queue's table (main thread) and the
// handlers of the I/O thread; whatever is still queued when the last of them lets go is freed.
struct TcpConnectionWrites {
    explicit TcpConnectionWrites(boost::asio::ip::tcp::socket* s)
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
    boost::asio::ip::tcp::socket* socket; // null once the connection was closed
    bool writing;                         // a gather write is outstanding
    bool startPosted;                     // a start of writes waits in the I/O service
    // Every packet not yet written whole, oldest first; the first `inWrite` are in the write.
    std::deque<PendingWrite> queued;
    std::size_t inWrite;
    std::size_t frontWritten; // bytes of the oldest packet already in the stream
    std::size_t bytesQueued;  // of the packets in `queued`
    // Timer::getMonotonicTime when the socket last took a byte, or when bytes began to wait.
    uint64_t lastProgress;
    // The outstanding write's pieces; I/O thread.
    boost::asio::const_buffer pieces[PACKETS_PER_WRITE];
};

// Every send queue that exists, so a closing connection reaches the one that writes to it.
// Main thread only.
std::set<MessageSender*>& allSenders();
