#include "Common/Region/RegionHandler.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "Support/World/RegistryFixture.h"
#include "Support/Wire/TcpPair.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::udp;

namespace {

class RegionHandlerTest : public RegistryFixture {};

TEST_F(RegionHandlerTest, AddServerToPoolCreatesOnceAtTheFront) {
    testing::internal::CaptureStdout();
    ControllingServer* three = registry()->AddServerToPool(3);
    ControllingServer* five = registry()->AddServerToPool(5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "id:0:[0] Server 3 added.\nid:0:[0] Server 5 added.\n");
    EXPECT_EQ(&registry()->serverList.front(), five);

    testing::internal::CaptureStdout();
    EXPECT_EQ(registry()->AddServerToPool(3), three);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(&registry()->serverList.front(), five);
    EXPECT_EQ(registry()->serverList.size(), 2u);

    EXPECT_EQ(registry()->getControllingServer(3), three);
    EXPECT_EQ(registry()->getControllingServer(4), nullptr);
}

TEST_F(RegionHandlerTest, RemoveServerFromPoolTakesTheEntryWithThatId) {
    addServer(1);
    ControllingServer* two = addServer(2);
    ControllingServer stranger(1);
    registry()->RemoveServerFromPool(&stranger); // matched by id, not by address
    EXPECT_EQ(registry()->getControllingServer(1), nullptr);
    registry()->RemoveServerFromPool(two);
    registry()->RemoveServerFromPool(nullptr);
    EXPECT_TRUE(registry()->serverList.empty());
}

TEST_F(RegionHandlerTest, LookupsFollowPoolOrderThenRegionOrder) {
    ControllingServer* older = addServer(1);
    ControllingServer* newer = addServer(2);
    older->AddRegion(Vector3(0, 0, 0), Vector3(100, 100, 100), 10);
    Region* olderOverlap = older->AddRegion(Vector3(50, 0, 0), Vector3(150, 100, 100), 11);
    Region* newerOverlap = newer->AddRegion(Vector3(0, 0, 0), Vector3(200, 100, 100), 20);
    Region* duplicateInNewer = newer->AddRegion(Vector3(), Vector3(1, 1, 1), 10);

    EXPECT_EQ(registry()->getRegion(10), duplicateInNewer);
    EXPECT_EQ(registry()->getRegion(11), olderOverlap);
    EXPECT_EQ(registry()->getRegion(99), nullptr);

    EXPECT_EQ(idsOf(registry()->getRegionsPointIsIn(Vector3(75, 50, 50), 0)), (std::vector<uint32_t>{20, 11, 10}));
    EXPECT_EQ(idsOf(registry()->getRegionsPointIsIn(Vector3(175, 50, 50), 0)), std::vector<uint32_t>{20});
    EXPECT_EQ(idsOf(registry()->getRegionsPointIsIn(Vector3(175, 50, 50), 30)), (std::vector<uint32_t>{20, 11}));
    EXPECT_TRUE(registry()->getRegionsPointIsIn(Vector3(500, 50, 50), 0).empty());

    EXPECT_TRUE(registry()->pointIsInRegion(newerOverlap, Vector3(200, 100, 100), 0));
    EXPECT_FALSE(registry()->pointIsInRegion(newerOverlap, Vector3(0, 50, 50), 0));
    EXPECT_FALSE(registry()->pointIsInRegion(nullptr, Vector3(1, 1, 1), 0));
}

TEST_F(RegionHandlerTest, SharedFaceBelongsToTheLowerRegionOnly) {
    ControllingServer* server = addServer(1);
    server->AddRegion(Vector3(0, 0, 0), Vector3(100, 100, 100), 1);
    server->AddRegion(Vector3(100, 0, 0), Vector3(200, 100, 100), 2);
    EXPECT_EQ(idsOf(registry()->getRegionsPointIsIn(Vector3(100, 50, 50), 0)), std::vector<uint32_t>{1});
    EXPECT_EQ(idsOf(registry()->getRegionsPointIsIn(Vector3(100, 50, 50), 10)), (std::vector<uint32_t>{2, 1}));
}

TEST_F(RegionHandlerTest, UpdateMarksAreClearedEverywhere) {
    ControllingServer* one = addServer(1);
    ControllingServer* two = addServer(2);
    ControllingServer* three = addServer(3);
    one->isUpdated = true;
    Region* region = one->AddRegion(Vector3(), Vector3(1, 1, 1), 1);
    region->isUpdated = true;
    EXPECT_EQ(idsOf(registry()->getNotUpdatedServers()), (std::vector<uint32_t>{3, 2}));

    two->isUpdated = three->isUpdated = true;
    registry()->resetIsUpdated();
    EXPECT_EQ(idsOf(registry()->getNotUpdatedServers()), (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_FALSE(region->isUpdated);
}

// Entries with connections from 127.0.0.1; datagrams are matched by qport and the peer's
// IP address, never by port.
class RegionHandlerSocketTest : public RegistryFixture {
protected:
    ControllingServer* connectedServer(unsigned int id, uint32_t qport) {
        ControllingServer* server = addServer(id);
        server->qport = qport;
        server->setTcpSocket(sockets.connect());
        return server;
    }

    TcpPair sockets;
};

TEST_F(RegionHandlerSocketTest, TcpSocketFindsItsHolder) {
    addServer(9); // no socket: never matches, not even null
    ControllingServer* one = connectedServer(1, 0x10001);
    ControllingServer* two = connectedServer(2, 0x20001);
    EXPECT_EQ(registry()->getServer(one->getTcpSocket()), one);
    EXPECT_EQ(registry()->getServer(two->getTcpSocket()), two);
    EXPECT_EQ(registry()->getServer(static_cast<boost::asio::ip::tcp::socket*>(nullptr)), nullptr);
    boost::asio::ip::tcp::socket stranger(sockets.io);
    EXPECT_EQ(registry()->getServer(&stranger), nullptr);
}

TEST_F(RegionHandlerSocketTest, DatagramIsMatchedByQportAndPeerAddress) {
    ControllingServer* unconnected = addServer(3);
    unconnected->qport = 0x30001;
    ControllingServer* two = connectedServer(2, 0x20001);
    connectedServer(4, 0x30001); // same qport as the unconnected entry

    udp::endpoint fromLoopback(address_v4::loopback(), 1);
    udp::endpoint fromElsewhere(address_v4::from_string("127.0.0.2"), 1);
    EXPECT_EQ(registry()->getServer(&fromLoopback, 0x20001), two);
    EXPECT_EQ(registry()->getServer(&fromLoopback, 0x30001), registry()->getControllingServer(4));
    EXPECT_EQ(registry()->getServer(&fromElsewhere, 0x20001), nullptr);
    EXPECT_EQ(registry()->getServer(&fromLoopback, 0x50001), nullptr);
    EXPECT_EQ(registry()->getServer(static_cast<udp::endpoint*>(nullptr), 0x20001), nullptr);
}

TEST_F(RegionHandlerSocketTest, BrokenConnectionRaisesTheSocketError) {
    ControllingServer* server = connectedServer(2, 0x20001);
    server->getTcpSocket()->close(); // closed by the I/O thread, not yet deleted
    udp::endpoint from(address_v4::loopback(), 1);
    EXPECT_THROW(registry()->getServer(&from, 0x20001), boost::system::system_error);
    EXPECT_EQ(registry()->getServer(&from, 0x99), nullptr); // only the qport's entry reads its socket
}

} // namespace
