#include "Common/Network/CommEndpoint.h"

#include <memory>
#include <string>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "Common/Network/Network.h"
#include "Support/Wire/FakeClock.h"
#include "Support/Wire/TcpPair.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;

namespace {

// Endpoints in a known state of the diagnostics prefix, with loopback connections at hand.
class CommEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        Network::getInstance()->ownId = 0;
        Timer::sync_clock(0);
    }

    tcp::socket* connectPair() { return sockets.connect(); }

    // True when the peer sees the connection closed (end of file or reset).
    bool peerSeesClose() {
        char byte;
        boost::system::error_code ec;
        boost::asio::read(sockets.peer(), boost::asio::buffer(&byte, 1), ec);
        return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
    }

    FakeClock clock;
    TcpPair sockets;
};

udp::endpoint someUdpAddress() {
    return udp::endpoint(address_v4::from_string("127.0.0.1"), 4711);
}

TEST_F(CommEndpointTest, NewEndpointKnowsNothingYet) {
    CommEndpoint ep(CommEndpointTypes::ServerEndpoint);
    EXPECT_EQ(ep.endpointType, CommEndpointTypes::ServerEndpoint);
    EXPECT_EQ(ep.qport, 0u);
    EXPECT_EQ(ep.temphost, "");
    EXPECT_EQ(ep.getTcpSocket(), nullptr);
    EXPECT_EQ(ep.getUdpEndpoint(), nullptr);
}

TEST_F(CommEndpointTest, UdpAddressIsReportedOnceSetAndForgottenOnReset) {
    CommEndpoint ep(CommEndpointTypes::ClientEndpoint);
    udp::endpoint address = someUdpAddress();
    ep.setUdpEndpoint(address);
    ASSERT_NE(ep.getUdpEndpoint(), nullptr);
    EXPECT_EQ(*ep.getUdpEndpoint(), address);

    ep.qport = 0x30001;
    ep.temphost = "127.0.0.1";
    ep.resetEndpoint(CommEndpointTypes::Unknown);
    EXPECT_EQ(ep.getUdpEndpoint(), nullptr);
    EXPECT_EQ(ep.endpointType, CommEndpointTypes::Unknown);
    EXPECT_EQ(ep.qport, 0x30001u);
    EXPECT_EQ(ep.temphost, "127.0.0.1");
}

TEST_F(CommEndpointTest, CopyFromOtherTakesAllButTemphost) {
    tcp::socket* socket = connectPair();
    CommEndpoint from(CommEndpointTypes::Unknown);
    udp::endpoint address = someUdpAddress();
    from.setUdpEndpoint(address);
    from.setTcpSocket(socket);
    from.qport = 0x20005;
    from.temphost = "from-host";

    CommEndpoint to(CommEndpointTypes::ClientEndpoint);
    to.temphost = "own-host";
    to.copyFromOther(&from);
    EXPECT_EQ(to.endpointType, CommEndpointTypes::Unknown);
    EXPECT_EQ(to.qport, 0x20005u);
    EXPECT_EQ(to.getTcpSocket(), socket);
    ASSERT_NE(to.getUdpEndpoint(), nullptr);
    EXPECT_EQ(*to.getUdpEndpoint(), address);
    EXPECT_EQ(to.temphost, "own-host");

    // Copying from an endpoint without a UDP address forgets the copy's own one.
    CommEndpoint bare(CommEndpointTypes::WatcherEndpoint);
    to.copyFromOther(&bare);
    EXPECT_EQ(to.getUdpEndpoint(), nullptr);
    EXPECT_EQ(to.getTcpSocket(), nullptr);

    from.deleteTcpSocket();
}

TEST_F(CommEndpointTest, EndpointCopySharesConnectionWithEmptyTemphost) {
    tcp::socket* socket = connectPair();
    CommEndpoint player(CommEndpointTypes::ClientEndpoint);
    udp::endpoint address = someUdpAddress();
    player.setUdpEndpoint(address);
    player.setTcpSocket(socket);
    player.qport = 0x10002;
    player.temphost = "127.0.0.1";

    std::unique_ptr<CommEndpoint> copy(player.getEndpointCopy());
    EXPECT_EQ(copy->endpointType, CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(copy->qport, 0x10002u);
    EXPECT_EQ(copy->getTcpSocket(), socket);
    ASSERT_NE(copy->getUdpEndpoint(), nullptr);
    EXPECT_EQ(*copy->getUdpEndpoint(), address);
    EXPECT_NE(copy->getUdpEndpoint(), player.getUdpEndpoint()); // its own address, not the player's
    EXPECT_EQ(copy->temphost, "");

    copy->deleteTcpSocket();
}

TEST_F(CommEndpointTest, ResetMovesNothingAndKeepsTheSocketOpenForTheNewHolder) {
    tcp::socket* socket = connectPair();
    CommEndpoint player(CommEndpointTypes::ClientEndpoint);
    player.setTcpSocket(socket);
    std::unique_ptr<CommEndpoint> watcher(player.getEndpointCopy());
    watcher->endpointType = CommEndpointTypes::WatcherEndpoint;

    player.resetEndpoint(CommEndpointTypes::Unknown);
    EXPECT_EQ(player.getTcpSocket(), nullptr);
    EXPECT_EQ(watcher->getTcpSocket(), socket);
    ASSERT_TRUE(socket->is_open());

    // The connection still works through the new holder.
    boost::asio::write(*watcher->getTcpSocket(), boost::asio::buffer("x", 1));
    char byte = 0;
    boost::asio::read(sockets.peer(), boost::asio::buffer(&byte, 1));
    EXPECT_EQ(byte, 'x');

    watcher->deleteTcpSocket();
}

TEST_F(CommEndpointTest, DeleteTcpSocketClosesOnceAndThenDoesNothing) {
    CommEndpoint ep(CommEndpointTypes::ServerEndpoint);
    ep.setTcpSocket(connectPair());
    ep.deleteTcpSocket();
    EXPECT_EQ(ep.getTcpSocket(), nullptr);
    EXPECT_TRUE(peerSeesClose());
    ep.deleteTcpSocket();
    EXPECT_EQ(ep.getTcpSocket(), nullptr);

    CommEndpoint never(CommEndpointTypes::Unknown);
    never.deleteTcpSocket();
    EXPECT_EQ(never.getTcpSocket(), nullptr);
}

TEST_F(CommEndpointTest, DestroyingAnEndpointLeavesItsSocketOpen) {
    tcp::socket* socket = connectPair();
    {
        CommEndpoint temporary(CommEndpointTypes::Unknown);
        temporary.setTcpSocket(socket);
    }
    EXPECT_TRUE(socket->is_open());
    CommEndpoint holder(CommEndpointTypes::ServerEndpoint);
    holder.setTcpSocket(socket);
    holder.deleteTcpSocket();
}

TEST_F(CommEndpointTest, SettingASecondSocketReportsOnceAndHoldsTheNewOne) {
    tcp::socket* first = connectPair();
    tcp::socket* second = connectPair();
    CommEndpoint ep(CommEndpointTypes::ServerEndpoint);

    testing::internal::CaptureStdout();
    ep.setTcpSocket(first);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    ep.setTcpSocket(second);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "id:0:[0] Error tcp socket is getting set twice\n");
    EXPECT_EQ(ep.getTcpSocket(), second);
    EXPECT_TRUE(first->is_open()); // neither closed nor freed by the endpoint

    ep.deleteTcpSocket();
    delete first;
}

} // namespace
