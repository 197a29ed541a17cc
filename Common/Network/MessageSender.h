#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/unordered_map.hpp>

#include "Common/Debug/Logger.h"
#include "Common/GameObjects/Transform.h"
#include "Common/Network/MessageClasses.h"
#include "Common/Network/MessageTypes.h"

struct mmsghdr;

class CommEndpoint;
struct TcpConnectionWrites;
struct UdpSendBatch;

namespace google {
namespace protobuf {
class Message;
}
} // namespace google

// The packets of one destination (or of a broadcast), in queueing order. A packet is a
// heap-allocated byte string: an optional qport, then whole frames. The list owns its packets.
typedef std::list<std::string*> bufferList;

// Per endpoint (by identity, not address), the packets queued for it. The map owns each list;
// an endpoint has an entry only while something is queued for it.
typedef boost::unordered_map<CommEndpoint*, bufferList*> bufferMap;

// One broadcast packet on its way to several recipients. The recipient count is released on
// the main thread (skipped and dropped recipients) and on the I/O thread (completed sends);
// whoever releases the last share frees the record and the packet.
class BroadcastBuffer {
public:
    BroadcastBuffer(int recipients, std::string* buffer);
    ~BroadcastBuffer();
    BroadcastBuffer(const BroadcastBuffer&) = delete;
    BroadcastBuffer& operator=(const BroadcastBuffer&) = delete;

    // Null when there is nobody to send to. Main thread.
    static BroadcastBuffer* newBuffer(int recipients, std::string* buffer);
    // Releases one share; the share that brings the count to 0 deletes `b`. Any thread: the
    // main thread and the I/O thread's completions, without a lock.
    static void decrementRecipients(BroadcastBuffer* b);

    std::atomic<uint32_t> recipients;
    std::string* buffer; // owned
};

// Holds what the server is about to send, packs each frame into packets as it is queued and
// sends everything once per frame. Queueing and the send step run on the main thread; the
// completion handlers run on the I/O thread and touch only their own packet or broadcast
// record and the traffic counters. The server has two: one for clients, watchers and every
// broadcast, one for region servers and the coordinator. The queues, the broadcast shares and
// the completions are in MessageSender.cpp, the datagram batch in UdpSendBatch.cpp, the TCP
// write chain and the closing of connections in TcpConnectionWrites.cpp.
class MessageSender {
public:
    // Every packing call uses 1400. A packet that holds more than one frame stays at 1399
    // bytes or less; a single longer frame travels alone in a longer packet.
    enum { MAX_UDP_PACKET_SIZE = 1400, MAX_TCP_PACKET_SIZE = 1400 };
    // Limits of its own (Common/Network/Limits.h): MAX_TCP_BYTES_WAITING bytes may wait behind
    // the oldest packet not yet written on a connection; a packet that would pass it fails the
    // connection: it is closed, and its ClosedConnection follows. A connection whose socket has
    // taken no byte for STALLED_WRITE_MS while bytes wait for it has failed (a peer that never
    // reads).

    explicit MessageSender(boost::asio::io_context* ios);
    // Frees what is still queued; transmissions already started keep their packets.
    ~MessageSender();
    MessageSender(const MessageSender&) = delete;
    MessageSender& operator=(const MessageSender&) = delete;

    // Queued for one receiver. ObjectUpdate and ClientUpdate go by UDP (with this server's
    // qport in front unless the receiver is a client), everything else by TCP. ObjectInfo and
    // ObjectUpdate get the synchronised time of queueing as their timestamp.
    void queue(Velmor::ObjectInfo& message, CommEndpoint* receiver);
    void queue(Velmor::ObjectUpdate& message, CommEndpoint* receiver);
    void queue(Velmor::ObjectDestroy& message, CommEndpoint* receiver);
    void queue(Velmor::Welcome& message, CommEndpoint* receiver);
    void queue(Velmor::Login& message, CommEndpoint* receiver);
    void queue(Velmor::ServerWelcome& message, CommEndpoint* receiver);
    void queue(Velmor::ConnectToNearBy& message, CommEndpoint* receiver);
    void queue(Velmor::TransferControl& message, CommEndpoint* receiver);
    void queue(Velmor::ServerStatus& message, CommEndpoint* receiver);
    void queue(Velmor::ClientUpdate& message, CommEndpoint* receiver);
    void queue(Velmor::RegionUpdate& message, CommEndpoint* receiver);
    void queue(Velmor::CoordinatorWelcome& message, CommEndpoint* receiver);
    void queue(Velmor::TransferPlayerTo& message, CommEndpoint* receiver);
    // The region server never sends a Logout: reported, then queued all the same.
    void queue(Velmor::Logout& message, CommEndpoint* receiver);

    // For every player and watcher, never with a qport. ObjectInfo by TCP, ObjectUpdate by
    // UDP, ObjectDestroy by UDP for a projectile and by TCP for anything else.
    void broadcast(Velmor::ObjectInfo& message);
    void broadcast(Velmor::ObjectUpdate& message);
    void broadcast(Velmor::ObjectDestroy& message, SceneGraphType::SceneGraphType type);

    // The receiver's list in `map`, created empty when it has none.
    bufferList* getBufferList(bufferMap& map, CommEndpoint* receiver);

    // The broadcast half of the send step. UDP packets that cannot be started within 10 ms of
    // the step's start are dropped for every recipient; TCP broadcasts are never dropped. The
    // UDP packets leave in queue order, except that after a step that dropped some the next
    // one begins with the packet that holds the first state it dropped (else at that packet's
    // position) and wraps round to the front.
    void sendQueuedBroadcastMessages(std::list<CommEndpoint*> allReceipitients);
    // The per-endpoint half of the send step. Packets for an endpoint without the needed
    // address are freed unsent.
    // Both halves only queue TCP packets on their connections; the I/O thread writes them, a
    // connection's waiting packets together, started by one handler posted at the end of each.
    void sendQueuedMessages();

    // Whether the last send step dropped, for every recipient, the UDP broadcast packet that
    // held a state of object `id`: the replica manager then sends its state again, so that a
    // ship whose update was shed is not left where the clients last saw it.
    bool broadcastUpdateDropped(uint64_t id) const { return droppedUpdates_.count(id) != 0; }

    // Drops everything queued for an endpoint that is about to be destroyed or reset.
    void wantToDeleteEndpoint(CommEndpoint* receiver);

    // Completion handlers. `packet` or `b` is the transmission's own: freed, or its share
    // released. An error line goes through the input limit (under its lock).
    // I/O thread; main thread for a batch whose completion handler could not be posted.
    void sendCompletedUDP(const boost::system::error_code& error, std::size_t bytes, std::string* packet);
    // I/O thread, from a write's completion, outside the connection's lock.
    void sendCompletedTCP(const boost::system::error_code& error, std::size_t bytes, std::string* packet);
    // I/O thread; main thread for a batch whose completion handler could not be posted.
    void broadcastCompletedUDP(const boost::system::error_code& error, std::size_t bytes, BroadcastBuffer* b);
    // I/O thread, from a write's completion, outside the connection's lock.
    void broadcastCompletedTCP(const boost::system::error_code& error, std::size_t bytes, BroadcastBuffer* b);
    // The end of sendCompletedUDP and sendCompletedTCP, on their thread: the error line, then
    // the packet freed.
    void sendCompleted(const boost::system::error_code& error, std::size_t bytes, std::string* packet);
    // finishShare without a transport, on the thread of the completion that calls it.
    void broadcastCompleted(const boost::system::error_code& error, std::size_t bytes, BroadcastBuffer* b);
    // On the thread of the completion that calls it: counts one packet and its bytes on the
    // measurement log's atomic counters.
    void packageSent(TransportType t, std::size_t bytes);

    // Closes a TCP connection on the main thread: packets still waiting behind its outstanding
    // write are freed, and nothing more is written to it. Every socket of a closed connection
    // passes through here before it is deleted, so a write completion never starts the next
    // write on a socket that is going away. Takes the connection's lock, which the I/O
    // thread's write completions hold while they start the next write (the receive side calls
    // it with its readStarts_ lock held, which is taken first).
    static void closeTcpSocket(boost::asio::ip::tcp::socket* socket);

    // Main thread, once a frame: closes (through Network::closeConnection, so its
    // ClosedConnection follows) every connection of every queue whose socket has taken no byte
    // for STALLED_WRITE_MS while bytes wait for it, with one line each. Takes each connection's
    // lock in turn to read its progress, and none while it closes.
    static void closeStalledConnections();

    // A new packet, owned by the list it is put into: empty, or holding this server's
    // qport (Network::myQport, set once at start-up), least significant byte first.
    static std::string* allocateNewBuffer(bool useQport);

    // Appends the frame `msg` to the last packet of `list` while that packet, the frame and one
    // byte stay within `maxPacketLength`, else to a new packet. An empty `msg` (a message the
    // writer refused to frame) adds nothing.
    static void appendMsgToQueue(std::string msg, bufferList& list, unsigned int maxPacketLength, bool useQport);

    // appendMsgToQueue of the frame of `message`, without a string of its own for the frame:
    // the message is framed straight into its packet, with the bytes and the diagnostics of
    // serializeMessage. Every queue and broadcast operation packs this way.
    static void packFrame(MessageTypes::MessageType type, google::protobuf::Message& message, bufferList& list,
                          unsigned int maxPacketLength, bool useQport);

    // The call that hands a batch of datagrams to the kernel: sendmmsg, or a stand-in of a
    // test's that answers as a kernel might (a full socket, an error, an interruption). Called
    // and set on the main thread only.
    typedef int (*SendBatchCall)(int fd, mmsghdr* datagrams, unsigned int count, int flags);
    static SendBatchCall sendBatchCall;

    // Whether a UDP packet queued for `recipient` alone starts with this server's qport:
    // for every endpoint type but ClientEndpoint. Broadcasts and TCP packets never do.
    static bool useQport(CommEndpoint* recipient);

    bufferMap udpBuffer_;
    bufferMap tcpBuffer_;
    bufferList tcpBroadcastBuffer_;
    bufferList udpBroadcastBuffer_;
    // Where the next step begins: the first object of the first packet the last step dropped,
    // and that packet's position in udpBroadcastBuffer_ (0 when it dropped nothing) for a
    // queue without that object. Main thread only.
    std::optional<uint64_t> resumeObject_;
    std::size_t udpBroadcastResume_ = 0;
    // Each ObjectUpdate broadcast since the last step: the position of its packet in
    // udpBroadcastBuffer_, and its object. Main thread only.
    std::vector<std::pair<std::size_t, uint64_t>> udpBroadcastUpdates_;
    // The objects of those whose packet the last step dropped. Main thread only.
    std::unordered_set<uint64_t> droppedUpdates_;
    boost::asio::io_context* io_service_; // not owned; the connections written to run on it

private:
    // The packet of `list` that a frame of `frameSize` bytes joins, by appendMsgToQueue's rule.
    static std::string* packetFor(bufferList& list, std::size_t frameSize, unsigned int maxPacketLength, bool useQport);
    void queueUdp(MessageTypes::MessageType type, google::protobuf::Message& message, CommEndpoint* receiver);
    void queueTcp(MessageTypes::MessageType type, google::protobuf::Message& message, CommEndpoint* receiver);
    void packageDropped();
    // After a step's UDP broadcasts, taken from position `first` of the `packets` queued and
    // dropped from the `droppedFrom`th taken on (`packets` when none was): the objects whose
    // states it dropped, and where the next step begins.
    void noteDroppedUpdates(std::size_t packets, std::size_t first, std::size_t droppedFrom);

    // Starting a datagram: it joins the batch that sendDatagrams hands to the kernel. `packet`
    // (owned) or one share of `share` passes to its completion. Throws when there is no UDP
    // socket; the datagram is then still the caller's.
    void addDatagram(const boost::asio::ip::udp::endpoint& to, std::string* packet, BroadcastBuffer* share,
                     CommEndpoint* recipient);
    // Sends the batch in the order it was started. The completions (sendCompletedUDP or
    // broadcastCompletedUDP, one per datagram) run on the I/O thread; datagrams for which the
    // socket has no room yet wait there, each with its own asynchronous send.
    void sendDatagrams(bool broadcast);
    // A broadcast share's end: its error line, after `transport` ("UDP: ", "TCP: " or ""), then
    // the share released. On the thread of the completion handler that calls it.
    static void finishShare(const boost::system::error_code& error, BroadcastBuffer* b, const char* transport);
    // Gives up the whole batch, as for sends that could not be started.
    void abandonDatagrams(bool broadcast);
    void reportUdpStartFailure(bool broadcast, CommEndpoint* recipient);
    static void releaseUnsent(std::string* packet, BroadcastBuffer* share);
    // Queues `packet` (or one share of `share`) on the connection's writes, behind what waits
    // there; on an exception it stays the caller's. Nothing is written here. Takes the
    // connection's lock.
    void startTcpWrite(boost::asio::ip::tcp::socket* socket, std::string* packet, BroadcastBuffer* share);
    // Hands the connections queued for since the last call to the I/O thread, which starts
    // their writes, with one posted handler. When that fails they stay for the next call.
    void postWriteStarts();
    // postWriteStarts on the way out of a failed step, without an exception of its own.
    void startQueuedWritesAfterFailure();
    // Closes `socket` under its writes' lock when this queue writes to it; false otherwise.
    bool forgetConnection(boost::asio::ip::tcp::socket* socket, boost::system::error_code& ec);

    // The connections this queue writes to, by socket, until they are closed. Each connection
    // is written by one queue only: the client queue for clients and watchers, the server
    // queue for servers and the coordinator. Main thread only.
    boost::unordered_map<boost::asio::ip::tcp::socket*, boost::shared_ptr<TcpConnectionWrites>> connections_;
    // The connections that got packets in this part of the step and need their writes started.
    // Main thread only.
    std::vector<boost::shared_ptr<TcpConnectionWrites>> writeStarts_;

    // Main thread only.
    std::unique_ptr<UdpSendBatch> udpBatch_;
};
