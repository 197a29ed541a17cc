#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
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

    // Arms the first datagram receive on the networking singleton's UDP socket, which must be
    // open and bound.
    explicit AbstractPacketReceiver(boost::asio::io_context* io_service);
    // Frees the leftovers; the queues release their events. No completion pending on it may run
    // afterwards: the server destroys only a receiver whose building failed, before the I/O
    // thread runs.
    ~AbstractPacketReceiver();
    AbstractPacketReceiver(const AbstractPacketReceiver&) = delete;
    AbstractPacketReceiver& operator=(const AbstractPacketReceiver&) = delete;

    // One read of at most max_length bytes into a fresh buffer. Any thread: for accepted
    // sockets the I/O thread, for connections the server opens itself the main thread.
    void asyncReceive(boost::asio::ip::tcp::socket* tcp_socket);
    // One datagram receive into a fresh buffer, source into sender_endpoint_.
    void asyncReceive(boost::asio::ip::udp::socket* udp_socket);

    // Completion handlers, I/O thread. Each frees `data`.
    virtual void handleTCPReceive(const boost::system::error_code& error, char* data, std::size_t bytes_recvd,
                                  boost::asio::ip::tcp::socket* tcp_socket);
    // Frees the connection's leftovers and queues its one ClosedConnection event.
    virtual void handleTCPError(const boost::system::error_code& error, boost::asio::ip::tcp::socket* socket);
    virtual void handleUDPReceive(const boost::system::error_code& error, char* data, std::size_t bytes_recvd,
                                  boost::asio::ip::udp::socket* udp_socket);

    // Append one event under the queue's lock; a full UDP ring gives up its oldest event.
    void addUDPNetworkEvent(networkEventPtr event);
    void addTCPNetworkEvent(networkEventPtr event);

    // Main thread, once per frame: every UDP event, then every TCP event, oldest first, each
    // in a guard; each queue is cleared after its dispatch.
    void dispatch(MessageDispatcher* dispatcher);
    void getUDPPackets(MessageDispatcher* dispatcher);
    void getTCPPackets(MessageDispatcher* dispatcher);

    template <class Queue>
    void getPackets(Queue* queue, Queue* other, boost::mutex& mutex, MessageDispatcher* dispatcher);

    boost::asio::io_context* io_service_; // not owned
    // Filled by the pending datagram receive; I/O thread only.
    boost::asio::ip::udp::endpoint sender_endpoint_;
    // Leftover bytes of each connection whose last read ended inside a frame; I/O thread only.
    boost::unordered_map<boost::asio::ip::tcp::socket*, std::string*> restTcpBuffer;
    boost::circular_buffer<networkEventPtr> udp_buffer1_;
    boost::circular_buffer<networkEventPtr>* udp_write_buffer_;
    std::list<networkEventPtr> tcp_buffer1_;
    std::list<networkEventPtr>* tcp_write_buffer_;
    boost::mutex udp_mutex_;
    boost::mutex tcp_mutex_;

private:
    void handleDatagram(const char* data, std::size_t bytes_recvd, boost::asio::ip::udp::socket* udp_socket);
    void handleTcpData(const char* data, std::size_t bytes_recvd, boost::asio::ip::tcp::socket* tcp_socket);
};
