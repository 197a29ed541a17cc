#include "Common/Region/ControllingServer.h"

#include <gtest/gtest.h>

#include "Support/World/RegistryFixture.h"

namespace {

class ControllingServerTest : public RegistryFixture {};

TEST_F(ControllingServerTest, NewEntryIsAServerEndpointWithNothingYet) {
    ControllingServer server(7);
    EXPECT_EQ(server.id, 7u);
    EXPECT_EQ(server.endpointType, CommEndpointTypes::ServerEndpoint);
    EXPECT_EQ(server.getTcpSocket(), nullptr);
    EXPECT_EQ(server.getUdpEndpoint(), nullptr);
    EXPECT_EQ(server.qport, 0u);
    EXPECT_TRUE(server.regionList.empty());
    EXPECT_EQ(server.host, "");
    EXPECT_EQ(server.port, "");
    EXPECT_FALSE(server.isUpdated);
    EXPECT_FALSE(server.used);
    EXPECT_EQ(server.cpuLoad, 0u);
    EXPECT_EQ(server.timestampWhenRegionsAltered, 0u);
    EXPECT_EQ(server.splitFactor, 0);
    EXPECT_TRUE(server.splitStack.empty());
}

TEST_F(ControllingServerTest, RegionsAreAddedAtTheFrontAndRemovedFirstMatchOnly) {
    ControllingServer* server = addServer(1);
    Region* a = server->AddRegion(Vector3(0, 0, 0), Vector3(1, 2, 3), 5);
    Region* b = server->AddRegion(Vector3(4, 5, 6), Vector3(7, 8, 9), 6);
    Region* duplicate = server->AddRegion(Vector3(), Vector3(1, 1, 1), 5);

    EXPECT_EQ(&server->regionList.front(), duplicate);
    EXPECT_EQ(server->regionList.size(), 3u);
    EXPECT_EQ(b->parent, server);
    EXPECT_EQ(b->min, Vector3(4, 5, 6));
    EXPECT_EQ(b->max, Vector3(7, 8, 9));
    EXPECT_FALSE(b->isUpdated);
    EXPECT_EQ(b->population, 0u);
    EXPECT_TRUE(b->neighbourList.empty());

    server->RemoveRegion(5); // the newer of the two
    ASSERT_EQ(server->regionList.size(), 2u);
    EXPECT_EQ(&server->regionList.front(), b);
    EXPECT_EQ(&server->regionList.back(), a); // pointers to the others stay valid
    server->RemoveRegion(42);
    EXPECT_EQ(server->regionList.size(), 2u);
}

TEST_F(ControllingServerTest, NotUpdatedRegionsInListOrder) {
    ControllingServer* server = addServer(1);
    for (unsigned int id : {1, 2, 3, 4})
        server->AddRegion(Vector3(), Vector3(1, 1, 1), id)->isUpdated = id % 2 == 0;
    EXPECT_EQ(idsOf(server->regionsNotUpdated()), (std::vector<uint32_t>{3, 1}));

    server->resetAllRegionsForUpdate();
    EXPECT_EQ(idsOf(server->regionsNotUpdated()), (std::vector<uint32_t>{4, 3, 2, 1}));
}

} // namespace
