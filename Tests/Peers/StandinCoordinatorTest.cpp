#include <gtest/gtest.h>

#include <sstream>

#include "Support/Process/PeerProcesses.h"

using namespace peertest;

namespace {

// Region 1 (server 1) touches region 2 (server 2); region 3 (server 1) touches neither.
const std::vector<std::string> Map = {"--region", "1:0,0,0:100,100,100",  "--region", "2:100,0,0:200,100,100",
                                      "--region", "1:0,0,200:100,100,300"};

std::string text(const Velmor::Position& p) {
    std::ostringstream s;
    s << "(" << p.x() << "," << p.y() << "," << p.z() << ")";
    return s.str();
}

// The map as one line: "host <id>@<host>:<port> ... region <id>@<server><min><max>[<neighbours>] ...".
std::string text(const Velmor::RegionUpdate& update) {
    std::ostringstream s;
    for (const Velmor::NeighbourHost& h : update.hosts())
        s << "host " << h.serverid() << "@" << h.host() << ":" << h.port() << " ";
    for (const Velmor::Region& r : update.regions()) {
        s << "region " << r.regionid() << "@" << r.hostid() << text(r.min()) << text(r.max()) << "[";
        for (uint32_t n : r.neighbourids())
            s << n << ";";
        s << "] ";
    }
    return s.str();
}

// The stand-in coordinator on a port of the kernel's choice, and the region servers that the
// test plays, each logged in over a connection of its own.
class CoordinatorTest : public ::testing::Test {
protected:
    void start(std::vector<std::string> args) {
        args.insert(args.begin(), {STANDIN_COORDINATOR, "--port", "0"});
        coordinator.reset(new ChildProcess(args));
        const std::string line = waitForLine(*coordinator, "coordinator listening on 127.0.0.1:");
        ASSERT_FALSE(line.empty()) << coordinator->output();
        port = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
    }

    // Connects and sends the login of region server `id`, whose game port is `gamePort`.
    std::unique_ptr<FrameSocket> login(uint32_t id, const std::string& gamePort) {
        tcp::socket s(io);
        s.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), port));
        std::unique_ptr<FrameSocket> server(new FrameSocket(std::move(s)));
        Velmor::Login login;
        login.set_logintype(LoginType::NearServer);
        login.set_serverid(id);
        login.set_qport(id << 16 | 1);
        login.set_timestamp(0);
        login.set_port(gamePort);
        server->send(login);
        return server;
    }

    // Servers 1 and 2 logged in, past their welcomes and maps.
    void loginBoth(std::unique_ptr<FrameSocket>& first, std::unique_ptr<FrameSocket>& second) {
        first = login(1, "30001");
        ASSERT_TRUE(first->expect<Velmor::CoordinatorWelcome>(MessageTypes::CoordinatorWelcome));
        ASSERT_TRUE(first->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate));
        second = login(2, "30002");
        ASSERT_TRUE(second->expect<Velmor::CoordinatorWelcome>(MessageTypes::CoordinatorWelcome));
        ASSERT_TRUE(second->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate));
        ASSERT_TRUE(first->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate));
    }

    boost::asio::io_context io;
    std::unique_ptr<ChildProcess> coordinator;
    unsigned short port = 0;
};

// A dead player as its server reports it: at `position`, with its client's qport and host.
Velmor::TransferControl deadPlayer(uint64_t id, float x, float y, float z) {
    Velmor::TransferControl t;
    t.set_id(id);
    Velmor::Position* p = t.mutable_data()->mutable_position();
    p->set_x(x), p->set_y(y), p->set_z(z);
    Velmor::Position* v = t.mutable_data()->mutable_velocity();
    v->set_x(3), v->set_y(0), v->set_z(0);
    t.mutable_playerinfo()->set_qport(0x10005);
    t.mutable_playerinfo()->set_host("127.0.0.7");
    Velmor::ObjectInfo* info = t.mutable_objectinfo();
    info->set_id(id);
    info->set_objecttype(0);
    info->set_timestamp(77);
    info->mutable_position()->CopyFrom(*p);
    Velmor::Orientation* o = info->mutable_orientation();
    o->set_w(1), o->set_x(0), o->set_y(0), o->set_z(0);
    info->mutable_playerdata()->set_health(-27.26f);
    info->mutable_playerdata()->set_blueteam(true);
    info->mutable_playerdata()->set_name("ada");
    return t;
}

} // namespace

TEST_F(CoordinatorTest, WelcomesEachServerAndSendsTheWholeMapToAllOnEveryLogin) {
    start({"--region", "1:0,0,0:100,100,100", "--region", "2:100,0,0:200,100,100", "--region", "1:0,0,200:100,100,300",
           "--region", "3:1,1,1:0,0,0", "--overloaded", "80"});
    EXPECT_FALSE(waitForLine(*coordinator, "bad region '3:1,1,1:0,0,0'").empty());

    std::unique_ptr<FrameSocket> first = login(1, "30001");
    auto welcome = first->expect<Velmor::CoordinatorWelcome>(MessageTypes::CoordinatorWelcome);
    ASSERT_TRUE(welcome);
    EXPECT_EQ(80u, welcome->overloadedcpuborder());
    EXPECT_EQ(10u, welcome->underloadedcpuborder());
    EXPECT_EQ(40u, welcome->averageloadedcpuborder());
    auto map = first->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate);
    ASSERT_TRUE(map);
    // Server 2 is not there yet: neither its region nor the link to it is listed.
    EXPECT_EQ("host 1@127.0.0.1:30001 region 1@1(0,0,0)(100,100,100)[] region 3@1(0,0,200)(100,100,300)[] ",
              text(*map));

    std::unique_ptr<FrameSocket> second = login(2, "30002");
    ASSERT_TRUE(second->expect<Velmor::CoordinatorWelcome>(MessageTypes::CoordinatorWelcome));
    const std::string both = "host 1@127.0.0.1:30001 host 2@127.0.0.1:30002 region 1@1(0,0,0)(100,100,100)[2;] "
                             "region 2@2(100,0,0)(200,100,100)[1;] region 3@1(0,0,200)(100,100,300)[] ";
    map = second->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate);
    ASSERT_TRUE(map);
    EXPECT_EQ(both, text(*map));
    map = first->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate);
    ASSERT_TRUE(map);
    EXPECT_EQ(both, text(*map));

    // When a server goes, the others learn the map without it.
    second.reset();
    map = first->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate);
    ASSERT_TRUE(map);
    EXPECT_EQ("host 1@127.0.0.1:30001 region 1@1(0,0,0)(100,100,100)[] region 3@1(0,0,200)(100,100,300)[] ",
              text(*map));

    // A server that logs in again (restarted, say) replaces its old connection.
    std::unique_ptr<FrameSocket> again = login(1, "30011");
    ASSERT_TRUE(again->expect<Velmor::CoordinatorWelcome>(MessageTypes::CoordinatorWelcome));
    map = again->expect<Velmor::RegionUpdate>(MessageTypes::RegionUpdate);
    ASSERT_TRUE(map);
    EXPECT_EQ(0u, text(*map).find("host 1@127.0.0.1:30011 region 1@1"));
    EXPECT_FALSE(first->next());
    EXPECT_TRUE(first->peerClosed);
}

TEST_F(CoordinatorTest, HandsPlayersBackToTheServerWhoseRegionHoldsThem) {
    start(Map);
    std::unique_ptr<FrameSocket> servers[2];
    loginBoth(servers[0], servers[1]);

    struct Case {
        const char* what;
        float x;
        uint32_t target;
    };
    const Case cases[] = {
        {"in its own region", 50, 1},
        {"on the face it shares with region 2, which belongs below", 100, 1},
        {"in another server's region", 150, 2},
        {"in no region: the same server", 900, 1},
    };
    uint64_t id = 0x100000002;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Velmor::TransferControl died = deadPlayer(++id, c.x, 50, 50);
        servers[0]->send(died);

        auto back = servers[c.target - 1]->expect<Velmor::TransferControl>(MessageTypes::TransferControl);
        ASSERT_TRUE(back);
        EXPECT_EQ(id, back->id());
        EXPECT_EQ(0x10005u, back->playerinfo().qport());
        EXPECT_EQ("127.0.0.7", back->playerinfo().host());
        EXPECT_EQ(c.x, back->data().position().x());
        EXPECT_EQ(0, back->data().velocity().x());
        // Respawned with full health; the rest of the description as it came.
        EXPECT_EQ(100.0f, back->objectinfo().playerdata().health());
        EXPECT_EQ("ada", back->objectinfo().playerdata().name());
        EXPECT_TRUE(back->objectinfo().playerdata().blueteam());
        if (c.target != 1) {
            // The client is still with server 1, which sends it on.
            auto order = servers[0]->expect<Velmor::TransferPlayerTo>(MessageTypes::TransferPlayerTo);
            ASSERT_TRUE(order);
            EXPECT_EQ(id, order->playerid());
            EXPECT_EQ("127.0.0.1", order->host());
            EXPECT_EQ("30002", order->port());
            EXPECT_EQ("(100,0,0)(200,100,100)", text(order->min()) + text(order->max()));
        }
    }
    EXPECT_FALSE(servers[1]->next(milliseconds(100))) << "nothing more for server 2";
}

TEST_F(CoordinatorTest, MovesPlayersOnCommandToTheirNewServerLogsReportsAndSkipsBadInput) {
    start(Map);
    std::unique_ptr<FrameSocket> first, second;
    loginBoth(first, second);
    Velmor::TransferControl joined = deadPlayer(0x100000002, 50, 50, 50);
    first->send(joined);
    ASSERT_TRUE(first->expect<Velmor::TransferControl>(MessageTypes::TransferControl));

    Velmor::ServerStatus status;
    status.set_status(Velmor::ServerStatus::Overloaded);
    status.set_cpuload(95);
    Velmor::ExistingRegion* r = status.add_existingregionstatus();
    r->set_regionid(1), r->set_population(4);
    first->send(status);
    EXPECT_FALSE(waitForLine(*coordinator, "status of server 1: Overloaded cpu 95% regions 1:4").empty());

    // A player whose server sent no description is handed back, but cannot be moved.
    Velmor::TransferControl bare = deadPlayer(0x100000003, 50, 50, 50);
    bare.clear_objectinfo();
    first->send(bare);
    ASSERT_TRUE(first->expect<Velmor::TransferControl>(MessageTypes::TransferControl));

    coordinator->writeInput("jump now\nmove 0x100000002 7\nmove 0x1zz 2\nmove 0x100000099 2\nmove 0x100000003 2\n"
                            "move 0x100000002 2\n");
    EXPECT_FALSE(waitForLine(*coordinator, "bad command 'jump now'").empty());
    EXPECT_FALSE(waitForLine(*coordinator, "move: server 7 is not logged in or has no region, skipped").empty());
    EXPECT_FALSE(waitForLine(*coordinator, "bad move '0x1zz 2'").empty());
    EXPECT_FALSE(waitForLine(*coordinator, "move: player 0x100000099 is with no server we know, skipped").empty());
    EXPECT_FALSE(
        waitForLine(*coordinator, "move: player 0x100000003 came without a player description, skipped").empty());
    auto order = first->expect<Velmor::TransferPlayerTo>(MessageTypes::TransferPlayerTo);
    ASSERT_TRUE(order);
    EXPECT_EQ(0x100000002u, order->playerid());
    EXPECT_EQ("30002", order->port());
    EXPECT_EQ("(100,0,0)(200,100,100)", text(order->min()) + text(order->max()));
    // The new server takes control: the client's addresses as its server gave them, the player
    // at rest in the centre of the new region with the health it was handed back with.
    auto handOver = second->expect<Velmor::TransferControl>(MessageTypes::TransferControl);
    ASSERT_TRUE(handOver);
    EXPECT_EQ(0x100000002u, handOver->id());
    EXPECT_EQ(0x10005u, handOver->playerinfo().qport());
    EXPECT_EQ("127.0.0.7", handOver->playerinfo().host());
    EXPECT_EQ("(150,50,50)(0,0,0)", text(handOver->data().position()) + text(handOver->data().velocity()));
    EXPECT_EQ(0x100000002u, handOver->objectinfo().id());
    EXPECT_EQ("(150,50,50)", text(handOver->objectinfo().position()));
    EXPECT_EQ(100.0f, handOver->objectinfo().playerdata().health());
    EXPECT_EQ("ada", handOver->objectinfo().playerdata().name());
    EXPECT_FALSE(waitForLine(*coordinator, "hand-over of player 0x100000002 'ada' (qport 0x10005 host 127.0.0.7) to "
                                           "server 2 at (150,50,50) health 100")
                     .empty());

    // A connection that never logged in is heard and skipped; the coordinator goes on.
    tcp::socket stranger(io);
    stranger.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), port));
    FrameSocket strangerFrames(std::move(stranger));
    strangerFrames.send(status);
    EXPECT_FALSE(waitForLine(*coordinator, "ServerStatus from 127.0.0.1 before its login, skipped").empty());
    // Moved back, it is ordered away from the server it was moved to and handed to its first one.
    coordinator->writeInput("move 0x100000002 1\n");
    ASSERT_TRUE(second->expect<Velmor::TransferPlayerTo>(MessageTypes::TransferPlayerTo));
    handOver = first->expect<Velmor::TransferControl>(MessageTypes::TransferControl);
    ASSERT_TRUE(handOver);
    EXPECT_EQ("(50,50,50)", text(handOver->data().position()));
    EXPECT_EQ(0x10005u, handOver->playerinfo().qport());
}
