// The datagram batch of the send queues. Main thread: addDatagram collects the datagrams of one
// part of a send step and sendDatagrams hands them to the kernel in batches (sendBatchCall,
// without blocking), in the order they were started. I/O thread: one posted handler runs the
// completions of the datagrams the kernel took, and each datagram the socket had no room for
// waits in the I/O service with its own asynchronous send and completion; the completions free
// the packet or release the share (sendCompletedUDP, broadcastCompletedUDP) and count it. The
// batch and its arrays are the main thread's; Network::udpDatagramsWaiting, atomic, counts the
// datagrams waiting in the I/O service, raised on the main thread and lowered by their
// completions, so that no new datagram passes them. No lock is taken here. A completion that
// cannot be posted for want of memory runs on the main thread instead.
#include "Common/Network/UdpSendBatch.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include <boost/asio/post.hpp>

#include "Common/Debug/Debug.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/Network.h"

using boost::asio::ip::udp;
using boost::system::error_code;

namespace {

// The UDP socket that every datagram leaves through; throws when there is none yet (before the
// networking is built). The socket is shared with the I/O thread, which receives on it and
// answers pings with a blocking send; the main thread only reads the socket object and sends.
udp::socket* udpSocket() {
    udp::socket* socket = Network::getInstance()->udp_socket;
    if (!socket)
        throw boost::system::system_error(boost::asio::error::bad_descriptor, "no udp socket");
    return socket;
}

// How one datagram ended, for its completion on the I/O thread.
struct UdpCompletion {
    std::string* packet;    // owned, or null for a broadcast share
    BroadcastBuffer* share; // one share of it, or null
    error_code error;
    std::size_t bytes;
};

} // namespace

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
