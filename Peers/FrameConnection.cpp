#include "Peers/FrameConnection.h"

#include <boost/asio/write.hpp>

#include "Common/Network/MessageSerializer.h"

FrameConnection::FrameConnection(boost::asio::ip::tcp::socket socket_) : socket(std::move(socket_)) {
    boost::system::error_code error;
    peer = socket.remote_endpoint(error);
    if (!error)
        host = peer.address().to_string();
}

void FrameConnection::start(MessageHandler messageHandler, CloseHandler closeHandler) {
    onMessage = std::move(messageHandler);
    onClose = std::move(closeHandler);
    readMore();
}

bool FrameConnection::send(const std::string& frames) {
    if (!open)
        return false;
    boost::system::error_code error;
    boost::asio::write(socket, boost::asio::buffer(frames), error);
    if (!error)
        return true;
    // The pending read sees the shutdown and reports the loss through the close handler.
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    return false;
}

void FrameConnection::close() {
    if (!open)
        return;
    open = false;
    boost::system::error_code ignored;
    socket.close(ignored);
}

void FrameConnection::readMore() {
    auto self = shared_from_this();
    socket.async_read_some(boost::asio::buffer(buffer), [self](const boost::system::error_code& error, size_t bytes) {
        self->handleRead(error, bytes);
    });
}

void FrameConnection::handleRead(const boost::system::error_code& error, size_t bytes) {
    if (!open)
        return;
    if (error) {
        close();
        if (onClose)
            onClose(*this);
        return;
    }
    const std::list<networkEventPtr> events =
        MessageSerializer::deserializeMessageArray(buffer.data(), bytes, &leftovers);
    for (const networkEventPtr& event : events) {
        // A handler may close the connection; what follows in the stream is not wanted then.
        if (!open)
            return;
        onMessage(*this, event);
    }
    if (open)
        readMore();
}
