#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/circular_buffer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/unordered_map.hpp>

#include "Common/Network/NetworkEvent.h"

class MessageDispatcher;

// The receive side: one datagram receive pending on the UDP socket and one read pending on
// every TCP connection, turning what arrives into network events held in two queues until the
// main thread dispatches them once a frame, UDP first. A Ping by UDP is answered at once on the
// I/O thread. Every completion handler runs on the I/O thread; dispatch runs on the main
// thread. The I/O thread never closes a socket: a failed connection is reported by one
// ClosedConnection event, and the main thread closes the socket when it takes that event,
// so the two threads never use one socket object against each other.
class AbstractPacketReceiver {
public:
    enum { max_length = 2048 };
    enum { UDP_QUEUE_CAPACITY = 50000 };
    // Limits of its own (Common/Network/Limits.h): after each completed datagram receive the
    // datagrams already waiting in the socket are read too, DATAGRAMS_PER_READ a call and at
    // most MAX_DATAGRAMS_PER_WAKE in all, before the next receive is armed: under load one
    // wake-up of the I/O thread takes many datagrams, and other completions still get their
    // turn. What one TCP connection may hold in the TCP queue is its share, TCP_SHARE_EVENTS
    // message events and TCP_SHARE_BYTES of their frames: a read takes no more bytes than can
    // still fit; a connection at its share reads again once the main thread has taken its
    // events, so a fast sender is held back by the dispatch rather than by memory, and loses
    // nothing. Arming the datagram receive again after arming it failed waits
    // UDP_RECEIVE_RETRY_MS, so a lasting failure does not spin the I/O thread. A connection whose
    // incomplete frame has had no new byte for INCOMPLETE_FRAME_TIMEOUT_MS has failed: it holds
    // its leftovers and a descriptor for nothing.

    // Arms the first datagram receive on the networking singleton's UDP socket, which must be
    // open and bound.
    explicit AbstractPacketReceiver(boost::asio::io_context* io_service);
    // Frees the leftovers; the queues release their events. No completion pending on it may run
    // afterwards: the server destroys only a receiver whose building failed, before the I/O
    // thread runs. Virtual, as the class has virtual operations: a receiver of a derived class
    // may be deleted through this type.
    virtual ~AbstractPacketReceiver();
    AbstractPacketReceiver(const AbstractPacketReceiver&) = delete;
    AbstractPacketReceiver& operator=(const AbstractPacketReceiver&) = delete;

    // One read of at most max_length bytes into a fresh buffer. Any thread: for accepted
    // sockets the I/O thread, for connections the server opens itself the main thread.
    void asyncReceive(boost::asio::ip::tcp::socket* tcp_socket);

    // Main thread: ends a connection that has not failed by itself (one that never logged in,
    // or one that does not take what is sent to it). Its pending read ends (a connection held
    // back at its share gets one that fails at once), and the connection is reported closed by
    // its one ClosedConnection event, as one that failed.
    void closeConnection(boost::asio::ip::tcp::socket* tcp_socket);
    // One datagram receive into a fresh buffer, source into sender_endpoint_. The constructor's
    // call runs before the I/O thread does; every later one is on the I/O thread.
    void asyncReceive(boost::asio::ip::udp::socket* udp_socket);

    // Completion handlers, I/O thread. Each frees `data`. handleUDPReceive also handles the
    // datagrams waiting behind this one, then arms the next receive.
    virtual void handleTCPReceive(const boost::system::error_code& error, char* data, std::size_t bytes_recvd,
                                  boost::asio::ip::tcp::socket* tcp_socket);
    // Frees the connection's leftovers and queues its one ClosedConnection event.
    virtual void handleTCPError(const boost::system::error_code& error, boost::asio::ip::tcp::socket* socket);
    virtual void handleUDPReceive(const boost::system::error_code& error, char* data, std::size_t bytes_recvd,
                                  boost::asio::ip::udp::socket* udp_socket);

    // Append one event under the queue's lock; a full UDP ring gives up its oldest event. Any
    // thread: the I/O thread's completions call them.
    void addUDPNetworkEvent(networkEventPtr event);
    void addTCPNetworkEvent(networkEventPtr event);

    // Main thread, once per frame: every UDP event, then every TCP event, oldest first, each
    // in a guard, each released once it is dispatched. A queue's lock is held only to take its
    // events; events that arrive while they are dispatched wait for the next frame. Taking the
    // TCP events starts the reads of the connections held back at their share.
    void dispatch(MessageDispatcher* dispatcher);
    // Main thread, once a frame: closes, through Network::closeConnection, each connection whose
    // incomplete frame has had no new byte for INCOMPLETE_FRAME_TIMEOUT_MS (Timer's clock), with
    // one line; one held back at its share is not waiting for bytes and is left alone.
    void closeConnectionsWithStaleFrames();
    void getUDPPackets(MessageDispatcher* dispatcher);
    void getTCPPackets(MessageDispatcher* dispatcher);

    // Takes every event of `queue` into `taken` (empty, main thread's) under `mutex`, dispatches
    // them and clears `taken`.
    template <class Queue>
    void getPackets(Queue* queue, Queue* taken, boost::mutex& mutex, MessageDispatcher* dispatcher);

    // For tests: the most UDP events held at once in the ring and outside it, waiting to enter
    // it; the most message events and frame bytes one connection held at once in the TCP queue.
    // Any thread.
    std::size_t udpEventsHeldPeak();
    std::size_t tcpEventsHeldPeak();
    std::size_t tcpBytesHeldPeak();
    void resetHeldPeaksForTesting();

    boost::asio::io_context* io_service_; // not owned
    // The source of the datagram being handled: filled by the pending datagram receive, and for
    // each datagram read behind it. I/O thread only.
    boost::asio::ip::udp::endpoint sender_endpoint_;
    // Leftover bytes of each connection whose last read ended inside a frame; I/O thread only.
    boost::unordered_map<boost::asio::ip::tcp::socket*, std::string*> restTcpBuffer;
    // The queues the I/O thread appends to, and the ones the main thread's dispatch takes their
    // events into, swapped with them under the lock.
    boost::circular_buffer<networkEventPtr> udp_buffer1_;
    boost::circular_buffer<networkEventPtr> udp_buffer2_;
    boost::circular_buffer<networkEventPtr>* udp_write_buffer_;
    std::list<networkEventPtr> tcp_buffer1_;
    std::list<networkEventPtr> tcp_buffer2_;
    std::list<networkEventPtr>* tcp_write_buffer_;
    boost::mutex udp_mutex_;
    boost::mutex tcp_mutex_;

    // Counted on the I/O thread: the accepts that failed for want of file descriptors. The main
    // thread takes the count and closes as many connections, so that logins still get through.
    std::atomic<unsigned int> acceptsFailedForDescriptors;

    // Arms the datagram receive again after UDP_RECEIVE_RETRY_MS; I/O thread (a test may cancel
    // it).
    boost::asio::steady_timer udpReceiveRetry_;

private:
    // Held to start a TCP read, to hold a connection back at its share and to close a
    // connection from the main thread, so that the two threads never use one socket object at
    // once. Taken before tcp_mutex_ where both are held.
    boost::mutex readStarts_;

    // The datagram path, I/O thread only (as are its buffers below).
    // Handles one datagram and appends its events for the main thread to the UDP queue.
    void handleDatagram(const char* data, std::size_t bytes_recvd, boost::asio::ip::udp::socket* udp_socket);
    // After arming the datagram receive failed: one line, and another attempt after a pause.
    void receiveAgainLater(boost::asio::ip::udp::socket* udp_socket);
    // Reads and handles the datagrams already waiting in the socket, without blocking.
    void readWaitingDatagrams(boost::asio::ip::udp::socket* udp_socket);
    // Appends datagramEvents_ to the UDP queue under one lock.
    void queueDatagramEvents();
    // I/O thread.
    void handleTcpData(const char* data, std::size_t bytes_recvd, boost::asio::ip::tcp::socket* tcp_socket);
    // Starts one read of at most `size` bytes (max_length at most); readStarts_ held. Any thread:
    // the I/O thread after a read, the main thread for a connection it opens or resumes.
    void startRead(boost::asio::ip::tcp::socket* tcp_socket, std::size_t size);
    // Dispatches and releases the events of `taken` one by one, then clears it.
    template <class Queue> void dispatchTaken(Queue& taken, MessageDispatcher* dispatcher);

    // I/O thread only: the buffers of readWaitingDatagrams, allocated once, and the events of
    // the datagram being handled.
    struct DatagramReads;
    std::unique_ptr<DatagramReads> datagramReads_;
    std::vector<networkEventPtr> datagramEvents_;

    // Under tcp_mutex_: what each connection holds in the TCP queue, and the connections held
    // back at their share, whose next read the main thread starts when it takes the queue.
    struct Held {
        std::size_t events = 0;
        std::size_t bytes = 0;
    };
    boost::unordered_map<boost::asio::ip::tcp::socket*, Held> tcpHeld_;
    std::vector<boost::asio::ip::tcp::socket*> tcpPaused_;
    std::size_t tcpEventsHeldPeak_ = 0;
    std::size_t tcpBytesHeldPeak_ = 0;
    // Under leftoverTimesMutex_: when each connection holding leftovers last brought a byte.
    // Written on the I/O thread, read on the main thread.
    boost::mutex leftoverTimesMutex_;
    boost::unordered_map<boost::asio::ip::tcp::socket*, uint64_t> leftoverTimes_;
    // Under udp_mutex_.
    std::size_t udpEventsHeldPeak_ = 0;
};
