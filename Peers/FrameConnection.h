#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "Common/Network/NetworkEvent.h"

// One TCP connection of a stand-in peer. Reads whole frames as they arrive and hands every
// parsed message to its owner; writes block until the frame is in the stream, so frames
// keep their order. Used only on the one thread that runs its io_context; no locks.
class FrameConnection : public std::enable_shared_from_this<FrameConnection> {
public:
    // Called with each parsed message event, in stream order.
    using MessageHandler = std::function<void(FrameConnection&, const networkEventPtr&)>;
    // Called once, when the peer closes or the connection fails; never after close().
    using CloseHandler = std::function<void(FrameConnection&)>;

    explicit FrameConnection(boost::asio::ip::tcp::socket socket);
    FrameConnection(const FrameConnection&) = delete;
    FrameConnection& operator=(const FrameConnection&) = delete;

    // Starts reading. The pending read holds a reference, so the connection lives until
    // it is closed even when its owner lets go of it.
    void start(MessageHandler onMessage, CloseHandler onClose);

    // Writes one frame (or several back to back). On failure the connection is shut down
    // and its close handler runs from the read that fails next, never from inside send.
    bool send(const std::string& frames);

    // Closes the socket; no handler runs afterwards.
    void close();
    bool isOpen() const { return open; }

    // The peer's IP address as dotted text, read when the connection was made.
    const std::string& peerHost() const { return host; }
    const boost::asio::ip::tcp::endpoint& peerEndpoint() const { return peer; }

private:
    void readMore();
    void handleRead(const boost::system::error_code& error, size_t bytes);

    boost::asio::ip::tcp::socket socket;
    boost::asio::ip::tcp::endpoint peer;
    std::string host;
    bool open = true;
    std::array<char, 4096> buffer;
    // The incomplete frame at the end of the last read.
    std::string leftovers;
    MessageHandler onMessage;
    CloseHandler onClose;
};
