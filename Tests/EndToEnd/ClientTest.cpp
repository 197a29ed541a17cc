// Game clients at running servers: a bot that logs in, steers, pings, flies across a border and
// steps back from the controls for a while, and a client that forges what only the coordinator
// or a region server may send.
#include <map>

#include <gtest/gtest.h>

#include "Support/Process/Cluster.h"

namespace e2e {
namespace {

// Server 1 with its region (0,0,0)-(100,100,100), logged in and given its map.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
        server = &cluster.server(1);
        port = std::to_string(cluster.gamePort(1));
    }

    static void set(Velmor::Position* p, float x, float y, float z) {
        p->set_x(x);
        p->set_y(y);
        p->set_z(z);
    }

    static std::string hex(uint64_t id) { return "0x" + hexOf(id); }

    Cluster cluster;
    Process* server = nullptr;
    std::string port;
};

TEST_F(ClientTest, BotIsWelcomedWithItsRegionSteersItsShipAndGetsPongs) {
    Process& bot = cluster.startBot(1, "pilot", "5,0,0", 3);

    const std::string welcome = bot.nextLine("welcome via 127.0.0.1:" + port + ":");
    ASSERT_NE("", welcome) << cluster.outputs();
    EXPECT_NE(std::string::npos, welcome.find(" name 'pilot' health 100 region (0,0,0)-(100,100,100)")) << welcome;
    const uint64_t id = botIdIn(welcome);
    EXPECT_EQ(1u, id >> 32) << welcome;
    const uint32_t qport = qportIn(welcome);
    EXPECT_EQ(1u, qport >> 16) << welcome;

    // Once its datagrams made its address known, the new player goes to the coordinator and
    // comes back to the server, alive, to fly.
    EXPECT_NE("", cluster.coordinator()->nextLine("hand-back of player " + hex(id) + " 'pilot'")) << cluster.outputs();
    EXPECT_NE("", server->nextLine("got control over player (id:" + hexOf(id) + " qport:" + hexOf(qport) + ")"))
        << cluster.outputs();

    // A ping a second, each answered; after the second the ship has been steered for a while
    // (and is still inside the region).
    EXPECT_NE("", bot.nextLine("round trip ")) << cluster.outputs();
    ASSERT_NE("", bot.nextLine("(ping 2)")) << cluster.outputs();
    // A player who joins now is told where the ship is.
    TestClient other(cluster.gamePort(1));
    const std::unique_ptr<Velmor::Welcome> otherWelcome = other.loginFirst("other");
    ASSERT_TRUE(otherWelcome) << cluster.outputs();
    const std::map<uint64_t, Vector3> players = other.playersDescribedUntil(otherWelcome->id());
    ASSERT_EQ(1u, players.count(id)) << cluster.outputs();
    const Vector3 at = players.at(id);
    // From the middle of the region along +x only.
    EXPECT_GT(at.x, 52.0f) << at.toString();
    EXPECT_NEAR(50.0f, at.y, 1.0f) << at.toString();
    EXPECT_NEAR(50.0f, at.z, 1.0f) << at.toString();

    const std::string summary = bot.nextLine("summary: 'pilot'");
    EXPECT_NE(std::string::npos, summary.find(" ms over ")) << summary;
    EXPECT_FALSE(bot.printed("skipped")) << bot.output();
    // The bot ends and closes its connection: its player leaves the server.
    EXPECT_NE("", server->nextLine("] Player Disconnected.")) << cluster.outputs();
}

TEST_F(ClientTest, BotSeesItsShipMoveByTheServersUpdates) {
    Process& bot = cluster.startBot(1, "pilot", "5,0,0", 4);
    ASSERT_NE("", bot.nextLine("welcome via ")) << cluster.outputs();

    // The bot prints its ship once a second, as the server's updates show it.
    float x[3], y[3], z[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(vectorIn(bot.nextLine("own ship at ("), x[i], y[i], z[i])) << cluster.outputs();
    EXPECT_GT(x[2] - x[0], 2.0f) << bot.output();
    EXPECT_NEAR(y[0], y[2], 1.0f) << bot.output();
    EXPECT_NEAR(z[0], z[2], 1.0f) << bot.output();
}

TEST_F(ClientTest, BotFlyingAcrossTheBorderIsHandedToTheNeighbour) {
    ASSERT_NO_FATAL_FAILURE(cluster.startServer2Linked());
    Process& second = cluster.server(2);
    const std::string secondPort = std::to_string(cluster.gamePort(2));
    Process& bot = cluster.startBot(1, "runner", "20,0,0", 12);
    const std::string welcome = bot.nextLine("welcome via ");
    const uint64_t id = botIdIn(welcome);
    ASSERT_NE(0u, id) << cluster.outputs();

    // Past x = 100 the ship lies in server 2's region only: server 2 takes control of it and
    // the client is sent there as to its new master.
    EXPECT_NE("",
              second.nextLine("got control over player (id:" + hexOf(id) + " qport:" + hexOf(qportIn(welcome)) + ")"))
        << cluster.outputs();
    EXPECT_NE("", bot.nextLine("told via 127.0.0.1:" + port + " to go to 127.0.0.1:" + secondPort))
        << cluster.outputs();
    EXPECT_NE("", bot.nextLine("controlled by 127.0.0.1:" + secondPort + " now (hand-over 1)")) << cluster.outputs();
    // The ship as its new master's updates show it: on the far side.
    std::string at;
    while (at.find("own ship at (") != 0) {
        at = bot.nextLine(" via 127.0.0.1:" + secondPort);
        ASSERT_NE("", at) << cluster.outputs();
    }
    float x, y, z;
    ASSERT_TRUE(vectorIn(at, x, y, z)) << at;
    EXPECT_GT(x, 100.0f) << at;
}

TEST_F(ClientTest, BotLoggedOutAsAWatcherLeavesItsPlayerWaitingForItsNextLogin) {
    Process& bot = cluster.startBot(1, "pauser", "5,0,0", 10, {"--logout-after", "2"});
    const std::string welcome = bot.nextLine("welcome via ");
    const uint64_t id = botIdIn(welcome);
    ASSERT_NE(0u, id) << cluster.outputs();
    const std::string serverId = hex(id).substr(2);
    const std::string qport = hexOf(qportIn(welcome));
    const std::string handBack = "hand-back of player " + hex(id);
    ASSERT_NE("", cluster.coordinator()->nextLine(handBack)) << cluster.outputs();
    float before, after, y, z;
    ASSERT_TRUE(vectorIn(bot.nextLine("own ship at ("), before, y, z)) << cluster.outputs();

    // The server keeps the player, with nobody to steer it, and leaves the connection open...
    ASSERT_NE("", bot.nextLine("logged out as a watcher at 127.0.0.1:" + port)) << cluster.outputs();
    EXPECT_NE("",
              server->nextLine("Client of player (id:" + serverId + ") watches only now, the player has no controller"))
        << cluster.outputs();
    // ...until the client's next Additional login on it, which binds the waiting player again
    // rather than making a watcher.
    ASSERT_NE("", bot.nextLine("logged in Additional at 127.0.0.1:" + port + " with qport 0x" + qport))
        << cluster.outputs();
    EXPECT_NE("", server->nextLine("Yay we found a client for a player (id:" + serverId + ") (qport: " + qport +
                                   " 127.0.0.1)"))
        << cluster.outputs();

    // Its datagrams count again: the server sends the ship's updates to them, farther along +x.
    const std::string line = bot.nextLine("own ship at (");
    ASSERT_TRUE(vectorIn(line, after, y, z)) << cluster.outputs();
    EXPECT_GT(after, before + 5.0f) << bot.output();
    EXPECT_NE(std::string::npos, line.find(" via 127.0.0.1:" + port)) << line;
    EXPECT_NE("", bot.nextLine("round trip ")) << cluster.outputs();
    // The same player all along: not removed, not made again, and no watcher on the server.
    const std::string& coordinatorSaid = cluster.coordinator()->output();
    EXPECT_EQ(coordinatorSaid.find(handBack), coordinatorSaid.rfind(handBack)) << coordinatorSaid;
    EXPECT_FALSE(server->printed("Player Disconnected.")) << server->output();
    EXPECT_FALSE(server->printed("Adding Watcher")) << server->output();
}

TEST_F(ClientTest, OrdersAndObjectMessagesForgedByAGameClientChangeNothing) {
    Process& victim = cluster.startBot(1, "victim", "5,0,0", 5);
    const uint64_t victimId = botIdIn(victim.nextLine("welcome via "));
    ASSERT_NE(0u, victimId) << cluster.outputs();
    ASSERT_NE("", cluster.coordinator()->nextLine("hand-back of player " + hex(victimId))) << cluster.outputs();

    TestClient forger(cluster.gamePort(1));
    ASSERT_TRUE(forger.loginFirst("forger")) << cluster.outputs();

    // What only the coordinator gives: a clock, a map without our region, a move order.
    Velmor::CoordinatorWelcome clock;
    clock.set_timestamp(4000000000u);
    clock.set_overloadedcpuborder(1);
    clock.set_underloadedcpuborder(0);
    clock.set_averageloadedcpuborder(1);
    Velmor::RegionUpdate map;
    Velmor::NeighbourHost* host = map.add_hosts();
    host->set_serverid(1);
    host->set_host("127.0.0.1");
    host->set_port(port);
    Velmor::Region* region = map.add_regions();
    region->set_regionid(1);
    region->set_hostid(1);
    set(region->mutable_min(), 1000, 0, 0);
    set(region->mutable_max(), 1100, 100, 100);
    Velmor::TransferPlayerTo move;
    move.set_playerid(victimId);
    move.set_host("127.0.0.1");
    move.set_port("1");
    move.mutable_min()->CopyFrom(region->min());
    move.mutable_max()->CopyFrom(region->max());
    // What only a region server sends: control of the victim at another place, its removal.
    Velmor::TransferControl control;
    control.set_id(victimId);
    set(control.mutable_data()->mutable_position(), 50, 90, 90);
    set(control.mutable_data()->mutable_velocity(), 0, 40, 40);
    Velmor::ObjectDestroy destroy;
    destroy.set_id(victimId);
    // A player of a server that does not exist, and a sample that would drag the victim away.
    const uint64_t ghostId = 0x900000001ull;
    Velmor::ObjectInfo ghost;
    ghost.set_id(ghostId);
    ghost.set_objecttype(0);
    ghost.set_timestamp(0);
    set(ghost.mutable_position(), 50, 50, 50);
    Velmor::Orientation* still = ghost.mutable_orientation();
    still->set_w(1);
    still->set_x(0);
    still->set_y(0);
    still->set_z(0);
    ghost.mutable_playerdata()->set_health(100);
    ghost.mutable_playerdata()->set_blueteam(true);
    ghost.mutable_playerdata()->set_name("ghost");
    Velmor::ObjectUpdate drag;
    drag.set_id(victimId);
    drag.set_timestamp(0);
    set(drag.mutable_position(), 50, 90, 90);

    forger.send(clock);
    forger.send(map);
    forger.send(move);
    forger.send(control);
    forger.send(destroy);
    forger.send(ghost);
    forger.send(drag);
    // A second login on the same connection is refused with a line of its own: once it shows,
    // everything sent before it has been handled.
    Velmor::Login again;
    again.set_logintype(LoginType::First);
    forger.send(again);
    for (int type : {MessageTypes::CoordinatorWelcome, MessageTypes::RegionUpdate, MessageTypes::TransferPlayerTo,
                     MessageTypes::TransferControl, MessageTypes::ObjectDestroy, MessageTypes::ObjectInfo,
                     MessageTypes::ObjectUpdate})
        EXPECT_NE("", server->nextLine("Message of type " + std::to_string(type) + " from a peer that may not send it"))
            << cluster.outputs();
    const std::string handled = server->nextLine("on a connection that is already logged in ignored");
    ASSERT_NE("", handled) << cluster.outputs();

    // The clock was not set: the server still counts from its start.
    EXPECT_LT(timeOf(handled), 1000000) << handled;
    // The region map is the coordinator's, and the victim is still there for a new client.
    TestClient late(cluster.gamePort(1));
    const std::unique_ptr<Velmor::Welcome> welcome = late.loginFirst("late");
    ASSERT_TRUE(welcome) << cluster.outputs();
    EXPECT_EQ(0.0f, welcome->min().x());
    EXPECT_EQ(100.0f, welcome->max().x());
    const std::map<uint64_t, Vector3> players = late.playersDescribedUntil(welcome->id());

    EXPECT_EQ(0u, players.count(ghostId)) << cluster.outputs();
    // Where it was, not where the forged hand-over or sample put it; and sent nowhere.
    ASSERT_EQ(1u, players.count(victimId)) << cluster.outputs();
    EXPECT_NEAR(50.0f, players.at(victimId).y, 1.0f) << players.at(victimId).toString();
    EXPECT_NEAR(50.0f, players.at(victimId).z, 1.0f) << players.at(victimId).toString();
    EXPECT_FALSE(victim.printed("told via")) << victim.output();
    EXPECT_FALSE(victim.printed("own ship " + hex(victimId) + " destroyed")) << victim.output();
}

} // namespace
} // namespace e2e
