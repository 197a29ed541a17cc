#include "Common/Network/Network.h"

#include <sys/socket.h>

#include <climits>
#include <chrono>
#include <string>

#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "Common/GameObjects/Player.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Sender.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/FreePort.h"
#include "Support/World/LiveNetwork.h"
#include "Support/Wire/TcpPair.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::tcp;

namespace {

TEST(NetworkInitTest, BuildsEveryPartOnTheGamePortWithTheFirstQport) {
    Network* net = LiveNetwork::get();
    // Above 32767, where the signed 16-bit port that start-up passes turns negative.
    EXPECT_GT(LiveNetwork::port(), 32767);
    EXPECT_EQ(net->port, std::to_string(LiveNetwork::port()));
    ASSERT_NE(net->udp_socket, nullptr);
    EXPECT_EQ(net->udp_socket->local_endpoint(),
              boost::asio::ip::udp::endpoint(address_v4::any(), LiveNetwork::port()));
    EXPECT_NE(net->networkSender, nullptr);
    EXPECT_NE(net->clientMessageSender, nullptr);
    EXPECT_NE(net->serverMessageSender, nullptr);
    EXPECT_NE(net->clientMessageSender, net->serverMessageSender);
    EXPECT_NE(net->packetReceiver, nullptr);
    EXPECT_NE(net->messageDispatcher, nullptr);
    EXPECT_NE(net->watcherManager, nullptr);
    EXPECT_NE(net->ios, nullptr);
    EXPECT_EQ(net->coordinator.endpointType, CommEndpointTypes::CoordinatorEndpoint);
    EXPECT_EQ(net->myQport, (3u << 16) | 1u); // server id 3 at init

    // The acceptor listens on the same number.
    boost::asio::io_context io;
    tcp::socket client(io);
    boost::system::error_code ec;
    client.connect(LiveNetwork::tcpAddress(), ec);
    EXPECT_FALSE(ec);
    client.close();
    RecordingDispatcher recorder;
    dispatchUntil(recorder, [&] { return recorder.events.size() >= 2; });
    for (const networkEventPtr& event : recorder.events)
        if (event->eventType == EventTypes::ClosedConnection)
            delete event->getTcpSocket();
}

// The game port asks for a receive buffer for a send step's worth of input; where the kernel
// grants less, one line says what it granted.
TEST(NetworkInitTest, ReceiveBufferIsAskedForAndALesserGrantIsReported) {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::endpoint(address_v4::loopback(), 0));
    const auto current = [&socket] {
        int reported = 0;
        socklen_t length = sizeof(reported);
        getsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &reported, &length);
        return reported / 2;
    };
    testing::internal::CaptureStdout();
    EXPECT_GE(Network::setReceiveBuffer(socket, 65536), 65536);
    // Never made smaller than it is.
    const int before = current();
    EXPECT_EQ(Network::setReceiveBuffer(socket, 4096), before);
    EXPECT_EQ(current(), before);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // More than any kernel grants.
    testing::internal::CaptureStdout();
    const int granted = Network::setReceiveBuffer(socket, INT_MAX);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(granted, INT_MAX);
    const std::string text =
        "UDP receive buffer: asked for 2147483647 bytes, the kernel granted " + std::to_string(granted) + "\n";
    ASSERT_GT(out.size(), text.size());
    EXPECT_EQ(out.substr(out.size() - text.size()), text);
    EXPECT_EQ(out.find('\n'), out.size() - 1);

    // The game port's socket has what this machine grants a new socket for the asked size.
    boost::asio::ip::udp::socket fresh(io, boost::asio::ip::udp::endpoint(address_v4::loopback(), 0));
    testing::internal::CaptureStdout();
    const int grantedHere = Network::setReceiveBuffer(fresh, UDP_RECEIVE_BUFFER);
    testing::internal::GetCapturedStdout();
    int live = 0;
    socklen_t length = sizeof(live);
    ASSERT_EQ(getsockopt(LiveNetwork::get()->udp_socket->native_handle(), SOL_SOCKET, SO_RCVBUF, &live, &length), 0);
    EXPECT_EQ(live / 2, grantedHere);
}

// A listener of the test's own that connectTo reaches.
class ConnectToTest : public ::testing::Test {
protected:
    void SetUp() override { LiveNetwork::get(); }

    std::string listeningPort() { return std::to_string(listener.local_endpoint().port()); }

    // Ends the connection from the far side and waits for its one ClosedConnection, after
    // which the endpoint may free the socket as the dispatcher would.
    void closeFromPeer(CommEndpoint& ep, tcp::socket& peer) {
        peer.close();
        RecordingDispatcher recorder;
        EXPECT_TRUE(dispatchUntil(recorder, [&] {
            for (const networkEventPtr& event : recorder.events)
                if (event->eventType == EventTypes::ClosedConnection && event->getTcpSocket() == ep.getTcpSocket())
                    return true;
            return false;
        }));
        ep.deleteTcpSocket();
    }

    boost::asio::io_context io;
    tcp::acceptor listener{io, tcp::endpoint(address_v4::loopback(), 0)};
};

// A host that never answers holds a bounded connect only for its time-out (a listener whose
// backlog is full drops the handshake, as an unreachable host does).
TEST_F(ConnectToTest, ABoundedConnectGivesUpOnAHostThatNeverAnswers) {
    SilentListener silent;
    CommEndpoint ep(CommEndpointTypes::ServerEndpoint);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Network::getInstance()->connectTo(&ep, "127.0.0.1", silent.port(), nullptr, 200));
    // Well below the system's own connect time-out of minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(ep.getTcpSocket(), nullptr);
}

// Blocking or bounded, a connection is read from as it is made.
TEST_F(ConnectToTest, ConnectionIsReadAndReportedClosedButNeverAnnounced) {
    for (const int timeoutMs : {0, 200}) {
        SCOPED_TRACE(timeoutMs);
        CommEndpoint ep(CommEndpointTypes::ServerEndpoint);
        ASSERT_TRUE(Network::getInstance()->connectTo(&ep, "127.0.0.1", listeningPort(), nullptr, timeoutMs));
        ASSERT_NE(ep.getTcpSocket(), nullptr);
        tcp::socket peer(io);
        listener.accept(peer);

        Velmor::ServerWelcome welcome;
        welcome.set_qport(0x40001);
        boost::asio::write(peer, boost::asio::buffer(MessageSerializer::serializeMessage(welcome)));
        RecordingDispatcher recorder;
        ASSERT_TRUE(dispatchUntil(recorder, [&] { return !recorder.events.empty(); }));
        ASSERT_EQ(recorder.events.size(), 1u);
        EXPECT_EQ(recorder.events.front()->messageType, MessageTypes::ServerWelcome);
        EXPECT_EQ(recorder.events.front()->getTcpSocket(), ep.getTcpSocket());
        closeFromPeer(ep, peer);
    }
}

TEST_F(ConnectToTest, FailuresLeaveTheEndpointWithoutSocket) {
    const struct {
        const char* what;
        std::string host;
        std::string port;
    } cases[] = {
        {"nothing listens", "127.0.0.1", std::to_string(freeGamePort())},
        {"unknown service", "127.0.0.1", "no-such-service-here"},
    };
    for (const auto& c : cases) {
        CommEndpoint ep(CommEndpointTypes::ServerEndpoint);
        EXPECT_FALSE(Network::getInstance()->connectTo(&ep, c.host, c.port)) << c.what;
        EXPECT_EQ(ep.getTcpSocket(), nullptr) << c.what;
    }
}

TEST_F(ConnectToTest, WithoutAnyServiceNothingIsTried) {
    Network* net = Network::getInstance();
    boost::asio::io_context* saved = net->ios;
    net->ios = nullptr;
    CommEndpoint ep(CommEndpointTypes::ServerEndpoint);
    testing::internal::CaptureStdout();
    const bool connected = net->connectTo(&ep, "127.0.0.1", listeningPort(), nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    net->ios = saved;
    EXPECT_FALSE(connected);
    EXPECT_EQ(ep.getTcpSocket(), nullptr);
    EXPECT_NE(out.find("Missing io service in connect to\n"), std::string::npos);
}

TEST_F(ConnectToTest, CoordinatorConnectionPrintsItsAttemptAndResult) {
    Network* net = Network::getInstance();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(net->connectToCoordinator("127.0.0.1", listeningPort(), nullptr));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Attempting to connect the coordinator at 127.0.0.1:" + listeningPort() + "\n"),
              std::string::npos);
    EXPECT_NE(out.find("Connected!\n"), std::string::npos);
    tcp::socket peer(io);
    listener.accept(peer);
    closeFromPeer(net->coordinator, peer);

    const std::string unused = std::to_string(freeGamePort());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(net->connectToCoordinator("127.0.0.1", unused, nullptr));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error in connecting to coordinator\n"), std::string::npos);
    EXPECT_EQ(out.find("Connected!"), std::string::npos);
    EXPECT_EQ(net->coordinator.getTcpSocket(), nullptr);
}

TEST(NetworkForgetTest, EndpointLeavesTheWaitingListAndBothSendQueues) {
    Network* net = LiveNetwork::get();
    Player player(uint64_t(0x30000002), Team::Red, 100.0f);
    CommEndpoint server(CommEndpointTypes::ServerEndpoint);
    Velmor::ObjectDestroy destroy;
    destroy.set_id(1);
    net->clientMessageSender->queue(destroy, &player);
    net->serverMessageSender->queue(destroy, &player);
    net->serverMessageSender->queue(destroy, &server);
    net->messageDispatcher->playersWhoLackAClient.push_back(&player);

    net->wantToDeleteEndpoint(&player);
    EXPECT_TRUE(net->messageDispatcher->playersWhoLackAClient.empty());
    EXPECT_TRUE(net->clientMessageSender->tcpBuffer_.empty());
    EXPECT_EQ(net->serverMessageSender->tcpBuffer_.count(&player), 0u);
    EXPECT_EQ(net->serverMessageSender->tcpBuffer_.count(&server), 1u);
    net->serverMessageSender->wantToDeleteEndpoint(&server);

    // Before the parts exist there is nobody to tell.
    Sender* sender = net->networkSender;
    MessageDispatcher* dispatcher = net->messageDispatcher;
    net->networkSender = nullptr;
    net->messageDispatcher = nullptr;
    net->wantToDeleteEndpoint(&player);
    net->networkSender = sender;
    net->messageDispatcher = dispatcher;
}

} // namespace
