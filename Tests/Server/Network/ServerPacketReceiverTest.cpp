#include "Server/Network/ServerPacketReceiver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "Common/Network/Limits.h"
#include "Common/Network/Network.h"
#include "Support/Wire/FreePort.h"
#include "Support/World/LiveNetwork.h"
#include "Support/World/OwnReceiver.h"
#include "Support/Wire/Patience.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;

namespace {

// A receiver whose TCP error step can be made to fail, standing for a failure inside the
// accept handler. The socket it was given is kept so the test can free it.
class TestReceiver : public ServerPacketReceiver {
public:
    using ServerPacketReceiver::ServerPacketReceiver;
    void handleTCPError(const boost::system::error_code& error, tcp::socket* socket) override {
        if (failErrorStep) {
            failErrorStep = false;
            unreported.insert(socket);
            throw std::runtime_error("error step failed");
        }
        ServerPacketReceiver::handleTCPError(error, socket);
    }

    bool failErrorStep = false;
    std::set<tcp::socket*> unreported;
};

// A receiver of its own on a free port, driven by the test thread.
class ServerPacketReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        receiver = receiverOn<TestReceiver>(udpSocket, &io, static_cast<short>(port), static_cast<short>(port));
        testing::internal::CaptureStdout();
    }

    void TearDown() override {
        // Everything still pending ends; the sockets the events name are freed once each.
        receiver->acceptor_.close();
        udpSocket.close();
        client.close();
        waitUntil([&] {
            if (closedAll())
                return true;
            io.run_for(std::chrono::milliseconds(10));
            return false;
        });
        testing::internal::GetCapturedStdout();
        for (tcp::socket* socket : receiver->unreported)
            delete socket;
    }

    // Runs the service until the receiver has queued a NewConnection; its socket, or null.
    tcp::socket* acceptedOne() {
        tcp::socket* accepted = nullptr;
        waitUntil([&] {
            io.run_for(std::chrono::milliseconds(10));
            receiver->dispatch(&recorder);
            for (const networkEventPtr& event : recorder.events)
                if (event->eventType == EventTypes::NewConnection) {
                    accepted = event->getTcpSocket();
                    return true;
                }
            return false;
        });
        return accepted;
    }

    bool closedAll() {
        receiver->dispatch(&recorder);
        std::set<tcp::socket*> open, closed;
        for (const networkEventPtr& event : recorder.events)
            (event->eventType == EventTypes::ClosedConnection ? closed : open).insert(event->getTcpSocket());
        for (tcp::socket* socket : open)
            if (!closed.count(socket))
                return false;
        for (tcp::socket* socket : closed)
            delete socket;
        recorder.events.clear();
        return true;
    }

    size_t count(EventTypes::EventTypes type) {
        size_t n = 0;
        for (const networkEventPtr& event : recorder.events)
            n += event->eventType == type;
        return n;
    }

    uint16_t port = freeGamePort();
    boost::asio::io_context io;
    udp::socket udpSocket{io, udp::endpoint(address_v4::loopback(), 0)};
    std::unique_ptr<TestReceiver> receiver;
    RecordingDispatcher recorder;
    tcp::socket client{io};
};

TEST_F(ServerPacketReceiverTest, AcceptsAgainAfterAFailedAccept) {
    // A cancelled accept means the acceptor is going away: reported, and not repeated.
    receiver->acceptor_.cancel();
    io.poll();
    // A real failure (the peer gave up before the accept, say) is followed by a new accept.
    receiver->handleTCPConnection(boost::asio::error::make_error_code(boost::asio::error::connection_aborted),
                                  new tcp::socket(io));
    client.connect(tcp::endpoint(address_v4::loopback(), port));
    ASSERT_TRUE(acceptedOne());
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();

    // Each failed accept ends in one ClosedConnection for its unconnected socket.
    EXPECT_EQ(count(EventTypes::ClosedConnection), 2u);
    EXPECT_EQ(count(EventTypes::NewConnection), 1u);
    EXPECT_NE(out.find("Error in ServerPacketReceiver::handleTCPConnection: Operation canceled\n"), std::string::npos);
    EXPECT_NE(out.find("Error in ServerPacketReceiver::handleTCPConnection: " +
                       boost::asio::error::make_error_code(boost::asio::error::connection_aborted).message() + "\n"),
              std::string::npos);
}

TEST_F(ServerPacketReceiverTest, AnExceptionInTheAcceptHandlerStaysInsideAndAcceptingGoesOn) {
    receiver->failErrorStep = true;
    receiver->acceptor_.cancel();
    EXPECT_NO_THROW(io.poll());
    client.connect(tcp::endpoint(address_v4::loopback(), port));
    ASSERT_TRUE(acceptedOne());
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_NE(out.find("Argh execption in handle tcp connection\n"), std::string::npos);
}

// Accepted connections have keep-alive, so that a client that vanished without closing shows
// as a failed read, and a bounded kernel send buffer; a failed accept for want of descriptors
// tells the main thread to make room.
TEST_F(ServerPacketReceiverTest, AcceptedConnectionsAreKeptAliveAndRunningOutOfDescriptorsIsTold) {
    client.connect(tcp::endpoint(address_v4::loopback(), port));
    tcp::socket* accepted = acceptedOne();
    ASSERT_NE(accepted, nullptr);
    tcp::socket::keep_alive keepAlive;
    accepted->get_option(keepAlive);
    EXPECT_TRUE(keepAlive.value());
    const struct {
        int option;
        int value;
    } cases[] = {
        {TCP_KEEPIDLE, KEEPALIVE_IDLE_S}, {TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S}, {TCP_KEEPCNT, KEEPALIVE_PROBES}};
    for (const auto& c : cases) {
        int value = 0;
        socklen_t length = sizeof(value);
        ASSERT_EQ(getsockopt(accepted->native_handle(), IPPROTO_TCP, c.option, &value, &length), 0);
        EXPECT_EQ(value, c.value) << c.option;
    }
    // The kernel reports twice what was set, the rest being its bookkeeping.
    int sendBuffer = 0;
    socklen_t length = sizeof(sendBuffer);
    ASSERT_EQ(getsockopt(accepted->native_handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length), 0);
    EXPECT_EQ(sendBuffer, 2 * SEND_BUFFER_BYTES);

    EXPECT_EQ(receiver->acceptsFailedForDescriptors.load(), 0u);
    for (unsigned int failed = 1; failed <= 2; ++failed) {
        receiver->handleTCPConnection(boost::asio::error::make_error_code(boost::asio::error::no_descriptors),
                                      new tcp::socket(io));
        EXPECT_EQ(receiver->acceptsFailedForDescriptors.load(), failed);
    }
}

} // namespace
