// Region servers started as an operator starts them, with the stand-in coordinator: what they
// print on the way up, their login at the coordinator, the links between neighbours, and what
// stays when a neighbour or the coordinator goes.
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "Support/Process/Cluster.h"
#include "Support/Wire/FreePort.h"
#include "Support/Wire/TcpPair.h"

namespace e2e {
namespace {

TEST(ClusterTest, ServerPrintsItsStartLinesInOrderAndLogsInToTheCoordinator) {
    Cluster cluster;
    ASSERT_TRUE(cluster.startCoordinator());
    Process& server = cluster.startServer(1);
    const std::string port = std::to_string(cluster.gamePort(1));
    const std::string coordPort = std::to_string(cluster.coordinatorPort());

    // Each line behind the prefix of a diagnostic; nextLine only looks past the one before.
    const std::string added = server.nextLine("] Server 1 added.");
    EXPECT_EQ(0u, added.find("id:1:[")) << added;
    EXPECT_NE("", server.nextLine("] Listening on port " + port)) << cluster.outputs();
    EXPECT_NE("", server.nextLine("] Attempting to connect the coordinator at 127.0.0.1:" + coordPort))
        << cluster.outputs();
    EXPECT_NE("", server.nextLine("] Connected!")) << cluster.outputs();
    EXPECT_FALSE(server.printed("Error in connecting to coordinator"));

    // The login leaves with the first frame: the coordinator sees the server's id, where it
    // accepts connections and its own qport (the server id in the high 16 bits).
    const std::string login =
        cluster.coordinator()->nextLine("login of server 1 from 127.0.0.1 port " + port + " qport 0x");
    EXPECT_EQ(1u, qportIn(login) >> 16) << cluster.outputs();
}

TEST(ClusterTest, ServerRetriesOnceASecondUntilTheCoordinatorComesUp) {
    Cluster cluster;
    Process& server = cluster.startServer(1);

    std::vector<long long> attempts;
    for (int i = 0; i < 2; ++i) {
        const std::string attempt = server.nextLine("Attempting to connect the coordinator at 127.0.0.1:");
        ASSERT_NE("", attempt) << cluster.outputs();
        ASSERT_NE("", server.nextLine("Error in connecting to coordinator")) << cluster.outputs();
        attempts.push_back(timeOf(attempt));
    }
    // The time in the prefix is the server's own clock: one attempt a second, not a busy loop.
    EXPECT_GE(attempts[1] - attempts[0], 950) << server.output();
    EXPECT_LT(attempts[1] - attempts[0], 3000) << server.output();
    EXPECT_FALSE(server.printed("Connected!"));

    ASSERT_TRUE(cluster.startCoordinator());
    EXPECT_NE("", server.nextLine("] Connected!")) << cluster.outputs();
    EXPECT_NE("", cluster.coordinator()->nextLine("login of server 1 from 127.0.0.1")) << cluster.outputs();
}

TEST(ClusterTest, LowerIdConnectsToItsTouchingNeighbourWhichTakesItsLogin) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
    Process& first = cluster.server(1);
    Process& second = cluster.startServer(2);
    const std::string secondPort = std::to_string(cluster.gamePort(2));

    // The map that lists both makes server 1 open the link at once, to where server 2 listens.
    EXPECT_NE("", first.nextLine("] Connected to server 2 127.0.0.1:" + secondPort)) << cluster.outputs();
    EXPECT_NE("", second.nextLine("] Server 1 has connected to us")) << cluster.outputs();
    // Server 2 has had the same map by now; the higher id never opens a link of its own.
    ASSERT_TRUE(second.printed("Adding region 1 ", Patience)) << cluster.outputs();
    EXPECT_FALSE(second.printed("Connected to server 1")) << second.output();
    EXPECT_FALSE(first.printed("has connected to us")) << first.output();
    // Each takes the other's UDP address from the link: its TCP peer and the game port it named.
    EXPECT_TRUE(first.printed("UDP address of server 2 is 127.0.0.1:" + secondPort + "\n", Patience))
        << cluster.outputs();
    EXPECT_TRUE(
        second.printed("UDP address of server 1 is 127.0.0.1:" + std::to_string(cluster.gamePort(1)) + "\n", Patience))
        << cluster.outputs();
    // Server 2's welcome reaches the entry whose link server 1 opened.
    EXPECT_FALSE(first.printed("Got a server login from not a server")) << first.output();
    EXPECT_FALSE(first.printed("Connection to server")) << first.output();
}

TEST(ClusterTest, LowerIdLinksAgainToANeighbourThatComesBack) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startLinkedServers());
    Process& first = cluster.server(1);
    const std::string linked = "] Connected to server 2 127.0.0.1:" + std::to_string(cluster.gamePort(2));

    cluster.stopServer(2);
    EXPECT_NE("", first.nextLine("] Server closed connection.")) << cluster.outputs();
    Process& second = cluster.startServer(2);
    EXPECT_NE("", first.nextLine(linked)) << cluster.outputs();
    EXPECT_NE("", second.nextLine("] Server 1 has connected to us")) << cluster.outputs();
}

TEST(ClusterTest, ServerRunsOnWhenTheCoordinatorGoes) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
    Process& server = cluster.server(1);

    cluster.stopCoordinator();
    EXPECT_NE("", server.nextLine("] Connected Client with unknown type disconnected")) << cluster.outputs();
    // Clients are still welcomed, in the region it had.
    TestClient client(cluster.gamePort(1));
    const std::unique_ptr<Velmor::Welcome> welcome = client.loginFirst("after");
    ASSERT_TRUE(welcome) << cluster.outputs();
    EXPECT_EQ(100.0f, welcome->max().x());
}

// The coordinator's map links two real servers; each knows the other's UDP address as soon as
// the login (server 2) or the welcome (server 1) has bound the link.
// Ships born in a server's previous life may still fly on other servers under their ids and
// qports; the same server started again under its id must hand out none of them, to itself or
// to its new players.
TEST(ClusterTest, ServerRestartedUnderItsIdHandsOutNoIdOrQportOfItsPreviousLife) {
    Cluster cluster;
    ASSERT_TRUE(cluster.startCoordinator());
    std::set<uint64_t> ids[2];
    std::set<uint32_t> qports[2];
    for (int life = 0; life < 2; ++life) {
        cluster.startServer(1); // the second time: the first is killed, then started again
        const uint32_t own = qportIn(cluster.coordinator()->nextLine("login of server 1 from "));
        ASSERT_EQ(1u, own >> 16) << cluster.outputs();
        qports[life].insert(own);
        ASSERT_NE("", cluster.coordinator()->nextLine("map sent to server 1")) << cluster.outputs();
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int i = 0; i < 5; ++i) {
            clients.emplace_back(new TestClient(cluster.gamePort(1)));
            const std::unique_ptr<Velmor::Welcome> welcome = clients.back()->loginFirst("p" + std::to_string(i));
            ASSERT_TRUE(welcome) << cluster.outputs();
            EXPECT_EQ(1u, welcome->id() >> 32) << hexOf(welcome->id());
            EXPECT_EQ(1u, welcome->qport() >> 16) << hexOf(welcome->qport());
            ids[life].insert(welcome->id());
            qports[life].insert(welcome->qport());
        }
        // Within a life every one is new, too.
        EXPECT_EQ(5u, ids[life].size());
        EXPECT_EQ(6u, qports[life].size());
    }
    for (uint64_t id : ids[1])
        EXPECT_EQ(0u, ids[0].count(id)) << "id " << hexOf(id) << " again\n" << cluster.outputs();
    for (uint32_t qport : qports[1])
        EXPECT_EQ(0u, qports[0].count(qport)) << "qport " << hexOf(qport) << " again\n" << cluster.outputs();
}

TEST(NeighbourUdpAddressEndToEndTest, TwoServersKnowEachOthersUdpAddressOnceLinked) {
    Cluster cluster;
    // Both servers start at once, without waiting for a map or a link in between.
    ASSERT_TRUE(cluster.startCoordinator());
    Process& server1 = cluster.startServer(1);
    Process& server2 = cluster.startServer(2);
    const std::string port1 = std::to_string(cluster.gamePort(1));
    const std::string port2 = std::to_string(cluster.gamePort(2));
    EXPECT_TRUE(server2.printed("UDP address of server 1 is 127.0.0.1:" + port1 + "\n", Patience)) << server2.output();
    EXPECT_TRUE(server1.printed("UDP address of server 2 is 127.0.0.1:" + port2 + "\n", Patience)) << server1.output();
    EXPECT_EQ(server1.output().find("No UDP address"), std::string::npos);
    EXPECT_EQ(server2.output().find("No UDP address"), std::string::npos);
}

// The test plays the coordinator and sends one map that names five servers behind a listener
// that never answers. The frame that handles the map tries one of them, for one bounded
// connect, and the frames go on; the periodic check tries the others later.
TEST(NeighbourConnectTest, AMapOfFiveServersThatNeverAnswerHoldsNoFrameForLong) {
    SilentListener silent;
    boost::asio::io_context io;
    peertest::tcp::acceptor coordinator(io, peertest::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    const std::string port = std::to_string(freeGamePort());
    Process server("server 1", {REGIONSERVER_BINARY, "--server-id=1", "--port=" + port,
                                "--coord-port=" + std::to_string(coordinator.local_endpoint().port()),
                                "--enable-console=false", "--log=false"});
    ASSERT_TRUE(peertest::readable(coordinator.native_handle(), Patience)) << server.output();
    peertest::FrameSocket link(coordinator.accept());
    ASSERT_TRUE(link.expect<Velmor::Login>(MessageTypes::Login)) << server.output();

    Velmor::CoordinatorWelcome welcome;
    welcome.set_timestamp(1000);
    welcome.set_overloadedcpuborder(80);
    welcome.set_underloadedcpuborder(20);
    welcome.set_averageloadedcpuborder(50);
    Velmor::RegionUpdate map;
    for (unsigned int id = 1; id <= 6; ++id) {
        Velmor::NeighbourHost* host = map.add_hosts();
        host->set_serverid(id);
        host->set_host("127.0.0.1");
        host->set_port(id == 1 ? port : silent.port());
    }
    const auto corner = [](Velmor::Position* p, float at) {
        p->set_x(at);
        p->set_y(at);
        p->set_z(at);
    };
    Velmor::Region* region = map.add_regions();
    region->set_regionid(1);
    region->set_hostid(1);
    corner(region->mutable_min(), 0);
    corner(region->mutable_max(), 100);
    // An order for a player the server does not have prints its line in the frame that takes
    // it: sent right behind the map, it shows when the map's frame has ended.
    Velmor::TransferPlayerTo marker;
    marker.set_playerid(0x77);
    marker.set_host("127.0.0.1");
    marker.set_port(port);
    corner(marker.mutable_min(), 0);
    corner(marker.mutable_max(), 100);
    link.send(welcome);
    link.send(map);
    link.send(marker);

    const std::string mapLine = server.nextLine("] Got region update");
    const std::string markerLine = server.nextLine("] Got dispatchTransferPlayerTo (id:77)");
    ASSERT_NE(mapLine, "") << server.output();
    ASSERT_NE(markerLine, "") << server.output();
    // One bounded connect and a frame or two; the five connects held the frame for a second.
    EXPECT_LT(timeOf(markerLine) - timeOf(mapLine), 600) << server.output();
    const std::string untilMarker = server.output().substr(0, server.output().find(markerLine));
    const std::string tried = "Connection to server 127.0.0.1:" + silent.port() + " failed";
    EXPECT_EQ(untilMarker.find(tried), untilMarker.rfind(tried)) << untilMarker; // one connect
    EXPECT_NE(untilMarker.find("] Server 2 did not answer within 200 ms"), std::string::npos) << untilMarker;
    // The periodic check goes on with the servers that the map's frame left untried.
    EXPECT_NE(server.nextLine("] Server 6 did not answer within 200 ms"), "") << server.output();
}

} // namespace
} // namespace e2e
