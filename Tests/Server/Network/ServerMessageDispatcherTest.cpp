#include "Server/Network/ServerMessageDispatcher.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"
#include "Common/Gamelogic/General.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Network/Limits.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Support/Wire/CaseName.h"
#include "Support/Wire/EventBuilders.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/LiveNetwork.h"
#include "Support/World/NetworkFixture.h"
#include "Support/Wire/Patience.h"
#include "Support/Process/PeerProcesses.h"

namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using testing::HasSubstr;
using testing::Not;

const char* const Dropped = "from a peer that may not send it dropped\n";

void setPosition(Velmor::Position* p, float x, float y, float z) {
    p->set_x(x);
    p->set_y(y);
    p->set_z(z);
}

const uint64_t ForeignPlayer = (2ull << 32) | 7;
const uint64_t ForeignShot = (2ull << 32) | 8;

Velmor::ObjectInfo playerDescription(uint64_t id) {
    Velmor::ObjectInfo info;
    info.set_id(id);
    info.set_objecttype(SceneGraphType::Player);
    info.set_timestamp(1);
    setPosition(info.mutable_position(), 1, 2, 3);
    info.mutable_orientation()->set_w(1);
    info.mutable_orientation()->set_x(0);
    info.mutable_orientation()->set_y(0);
    info.mutable_orientation()->set_z(0);
    info.mutable_playerdata()->set_health(40);
    info.mutable_playerdata()->set_blueteam(true);
    info.mutable_playerdata()->set_name("far");
    return info;
}

Velmor::TransferControl* transfer(uint64_t id, bool withPlayer, uint32_t qport = 0x20005) {
    Velmor::TransferControl* m = new Velmor::TransferControl();
    m->set_id(id);
    setPosition(m->mutable_data()->mutable_position(), 10, 20, 30);
    setPosition(m->mutable_data()->mutable_velocity(), 1, 0, 0);
    if (withPlayer) {
        *m->mutable_objectinfo() = playerDescription(id);
        m->mutable_playerinfo()->set_qport(qport);
        m->mutable_playerinfo()->set_host("127.0.0.1");
    }
    return m;
}

// Server 5 with its own qport taken, and the server's dispatcher.
class ServerMessageDispatcherTest : public NetworkFixture {
protected:
    MessageDispatcher* makeDispatcher() override { return new ServerMessageDispatcher(&pair.io); }

    void SetUp() override {
        NetworkFixture::SetUp();
        printedBy([&] { myself = becomeServer(5); });
    }

    void TearDown() override {
        for (tcp::socket* s : orphans) {
            CommEndpoint holder(CommEndpointTypes::Unknown);
            holder.setTcpSocket(s);
            holder.deleteTcpSocket();
        }
        NetworkFixture::TearDown();
    }

    ServerMessageDispatcher* server() { return static_cast<ServerMessageDispatcher*>(dispatcher.get()); }

    // Each event's lines whole: the limit on lines caused by network input counts anew.
    std::string dispatch(networkEventPtr event) {
        DebugResetInputLimitsForTesting();
        return printedBy([&] { dispatcher->dispatchEvent(event); });
    }

    // A connection to the game port that its NewConnection event has announced.
    tcp::socket* acceptedConnection() {
        tcp::socket* socket = pair.connect();
        dispatch(openedEvent(socket));
        return socket;
    }

    static Velmor::Login* firstLogin() {
        Velmor::Login* message = new Velmor::Login();
        message->set_logintype(LoginType::First);
        return message;
    }

    // A login of `type` over `socket` (server 9's for NearServer); what it printed.
    std::string login(tcp::socket* socket, LoginType::LoginType type) {
        Velmor::Login* message = new Velmor::Login();
        message->set_logintype(type);
        if (type == LoginType::NearServer)
            message->set_serverid(9);
        return dispatch(overTcp(messageEvent(MessageTypes::Login, message), socket));
    }

    // The once-a-frame close of connections without login, after `failedAccepts` accepts failed
    // for want of descriptors; what it printed.
    std::string closeWithoutLogin(size_t failedAccepts = 0) {
        return printedBy([&] { server()->admission().closeConnectionsWithoutLogin(failedAccepts); });
    }

    CommEndpoint* coordinator() {
        CommEndpoint* c = &Network::getInstance()->coordinator;
        if (!c->getTcpSocket())
            c->setTcpSocket(pair.connect());
        return c;
    }

    // A pool entry holding a connection, logged in when it has a qport.
    ControllingServer* poolServer(unsigned int id, uint32_t qport) {
        ControllingServer* s = nullptr;
        printedBy([&] { s = ServerRegionHandler::getInstance()->AddServerToPool(id); });
        s->setTcpSocket(pair.connect());
        s->qport = qport;
        return s;
    }

    CommEndpoint* watcher(uint32_t qport) { return watcherHolding(pair.connect(), qport); }

    // A player whose client's connection ends at `address` (on loopback), as seen from here.
    Player* connectedPlayerAt(const char* address, const std::string& name, uint32_t qport) {
        Player* p = connectedPlayer(name, qport);
        p->deleteTcpSocket();
        p->setTcpSocket(socketTo(address));
        return p;
    }

    // A watcher whose client's connection ends at `address`.
    CommEndpoint* watcherAt(const char* address, uint32_t qport) { return watcherHolding(socketTo(address), qport); }

    CommEndpoint* watcherHolding(tcp::socket* socket, uint32_t qport) {
        CommEndpoint w(CommEndpointTypes::WatcherEndpoint);
        w.setTcpSocket(socket);
        w.qport = qport;
        CommEndpoint* owned = w.getEndpointCopy();
        watchers->addNewWatcher(owned);
        return owned;
    }

    // A connection whose peer is `address`; the far side is kept until the test ends.
    tcp::socket* socketTo(const char* address) {
        tcp::acceptor acceptor(pair.io, tcp::endpoint(boost::asio::ip::make_address(address), 0));
        tcp::socket* held = new tcp::socket(pair.io);
        held->connect(acceptor.local_endpoint());
        farSides.push_back(std::make_unique<tcp::socket>(pair.io));
        acceptor.accept(*farSides.back());
        return held;
    }

    // Gone at the end of the frame, its connection still held (freed by TearDown).
    void removeAtTheEndOfTheFrame(Player* p) {
        if (p->getTcpSocket())
            orphans.push_back(p->getTcpSocket());
        printedBy([&] {
            scene()->addToRemoveList(p);
            scene()->applyRemoveList();
        });
    }

    void removeWatcherKeepingItsSocket(CommEndpoint* w) {
        orphans.push_back(w->getTcpSocket());
        watchers->removeWatcher(w);
    }

    CommEndpoint* datagramSender(uint32_t qport, const char* address = "127.0.0.1") {
        networkEventPtr datagram = overUdp(messageEvent(MessageTypes::ClientUpdate, nullptr), 4000, qport, address);
        return server()->lookUpCommEndpointUdp(datagram->getUdpEndpoint(), qport);
    }

    bool waiting(Player* p) {
        const std::list<Player*>& list = dispatcher->playersWhoLackAClient;
        return std::count(list.begin(), list.end(), p) == 1;
    }

    ControllingServer* myself = nullptr;
    std::vector<tcp::socket*> orphans; // sockets a handler let go of on purpose
    std::vector<std::unique_ptr<tcp::socket>> farSides;
};

TEST_F(ServerMessageDispatcherTest, DatagramsAreMatchedByAddressAndQportNeverByPortOrToTheCoordinator) {
    // Two clients behind one address, each matched to its own player.
    Player* a = connectedPlayer("a", 0x50002);
    Player* b = connectedPlayer("b", 0x50005);
    ControllingServer* neighbour = poolServer(7, 0x70001);
    connectedPlayer("c", 0x50003);
    CommEndpoint* w = watcher(0x50003);
    coordinator()->qport = 0x30009;

    EXPECT_EQ(server()->lookUpCommEndpointUdp(nullptr, 0x50002), nullptr);
    udp::endpoint from(boost::asio::ip::make_address("127.0.0.1"), 4000);
    EXPECT_EQ(server()->lookUpCommEndpointUdp(&from, 0x50002), a);
    EXPECT_EQ(server()->lookUpCommEndpointUdp(&from, 0x50005), b);
    // The watcher comes before the player with the same qport.
    EXPECT_EQ(server()->lookUpCommEndpointUdp(&from, 0x50003), w);
    EXPECT_EQ(server()->lookUpCommEndpointUdp(&from, 0x70001), neighbour);
    EXPECT_EQ(server()->lookUpCommEndpointUdp(&from, 0x30009), nullptr);
    udp::endpoint elsewhere(boost::asio::ip::make_address("127.0.0.2"), 4000);
    EXPECT_EQ(server()->lookUpCommEndpointUdp(&elsewhere, 0x50002), nullptr);

    // A new source port is followed, not refused.
    dispatch(overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), 4001, 0x50002));
    dispatch(overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), 4002, 0x50002));
    ASSERT_NE(a->getUdpEndpoint(), nullptr);
    EXPECT_EQ(a->getUdpEndpoint()->port(), 4002);
}

TEST_F(ServerMessageDispatcherTest, DatagramSenderIsTheFirstWatcherThenPlayerInListOrderThenPoolServer) {
    // Two players of one qport: the first attached wins; once it is gone, the second.
    Player* first = connectedPlayer("first", 0x50002);
    Player* second = connectedPlayer("second", 0x50002);
    EXPECT_EQ(datagramSender(0x50002), first);
    removeAtTheEndOfTheFrame(first);
    EXPECT_EQ(datagramSender(0x50002), second);

    // One qport at two addresses: each datagram finds the first player at its own.
    Player* near = connectedPlayerAt("127.0.0.2", "near", 0x50003);
    Player* here = connectedPlayer("here", 0x50003);
    EXPECT_EQ(datagramSender(0x50003), here);
    EXPECT_EQ(datagramSender(0x50003, "127.0.0.2"), near);
    EXPECT_EQ(datagramSender(0x50003, "127.0.0.3"), nullptr);
    // A player whose socket is gone is passed over.
    Player* gone = connectedPlayer("gone", 0x50004);
    Player* after = connectedPlayer("after", 0x50004);
    gone->deleteTcpSocket();
    EXPECT_EQ(datagramSender(0x50004), after);

    // A watcher comes before every player of its qport.
    CommEndpoint* w = watcher(0x50002);
    EXPECT_EQ(datagramSender(0x50002), w);
    removeWatcherKeepingItsSocket(w);
    EXPECT_EQ(datagramSender(0x50002), second);

    // A pool server comes after them.
    ControllingServer* neighbour = poolServer(7, 0x50005);
    EXPECT_EQ(datagramSender(0x50005), neighbour);
    Player* same = connectedPlayer("same", 0x50005);
    EXPECT_EQ(datagramSender(0x50005), same);
    removeAtTheEndOfTheFrame(same);
    EXPECT_EQ(datagramSender(0x50005), neighbour);

    // A removed player is found no more.
    removeAtTheEndOfTheFrame(second);
    EXPECT_EQ(datagramSender(0x50002), nullptr);
}

TEST_F(ServerMessageDispatcherTest, PlayerWhoseConnectionBrokeFailsTheLookupOfItsQportOnly) {
    Player* broken = connectedPlayer("broken", 0x50002);
    broken->deleteTcpSocket();
    broken->setTcpSocket(new tcp::socket(pair.io));
    broken->getTcpSocket()->open(tcp::v4()); // open but not connected: its peer cannot be read
    connectedPlayer("later", 0x50002);
    Player* other = connectedPlayer("other", 0x50003);
    // The receiver's guard reports it, as for any datagram whose sender's peer cannot be read.
    EXPECT_THROW(datagramSender(0x50002), boost::system::system_error);
    EXPECT_EQ(datagramSender(0x50003), other);
}

TEST_F(ServerMessageDispatcherTest, DatagramSenderFollowsQportsGivenAfterAttach) {
    // A first login: the player is attached before it gets its qport.
    tcp::socket* socket = pair.connect();
    Velmor::Login* first = new Velmor::Login();
    first->set_logintype(LoginType::First);
    dispatch(overTcp(messageEvent(MessageTypes::Login, first), socket));
    Player* joined = static_cast<Player*>(scene()->getListOfType(SceneGraphType::Player)->back());
    ASSERT_EQ(joined->getTcpSocket(), socket);
    ASSERT_NE(joined->qport, 0u);
    EXPECT_EQ(datagramSender(joined->qport), joined);
    EXPECT_EQ(datagramSender(0), nullptr);

    // Control taken of a player that is connected here: it takes the qport of the hand-over.
    Player* handed = connectedPlayer("handed", 0x20001);
    std::unique_ptr<Velmor::TransferControl> control(transfer(handed->id, true, 0x20005));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), control.get()); });
    EXPECT_EQ(datagramSender(0x20005), handed);
    EXPECT_EQ(datagramSender(0x20001), nullptr);

    // A player handed over without its client, bound by the client's login.
    std::unique_ptr<Velmor::TransferControl> waitingControl(transfer(ForeignPlayer, true, 0x20007));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), waitingControl.get()); });
    Player* waitingPlayer = static_cast<Player*>(scene()->getOBjectById(ForeignPlayer));
    ASSERT_NE(waitingPlayer, nullptr);
    ASSERT_TRUE(waiting(waitingPlayer));
    EXPECT_EQ(datagramSender(0x20007), nullptr);
    Velmor::Login* additional = new Velmor::Login();
    additional->set_logintype(LoginType::Additional);
    additional->set_qport(0x20007);
    dispatch(overTcp(messageEvent(MessageTypes::Login, additional), pair.connect()));
    ASSERT_FALSE(waiting(waitingPlayer));
    EXPECT_EQ(datagramSender(0x20007), waitingPlayer);

    // A player whose client watches here takes the watcher's connection.
    const uint64_t returning = (2ull << 32) | 9;
    watcher(0x20009);
    std::unique_ptr<Velmor::TransferControl> bindingControl(transfer(returning, true, 0x20009));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), bindingControl.get()); });
    Player* bound = static_cast<Player*>(scene()->getOBjectById(returning));
    ASSERT_NE(bound, nullptr);
    ASSERT_TRUE(watchers->watchers.empty());
    EXPECT_EQ(datagramSender(0x20009), bound);
}

// The answer for a numeric client host is kept for the rest of the frame: each hand-over is
// still bound by the address of its own host text, in the frame and in the next.
TEST_F(ServerMessageDispatcherTest, HandOverHostsAreAnsweredForTheirOwnTextThroughoutAFrame) {
    struct HandOver {
        uint32_t object;
        const char* host;
        const char* watcherAt;
        bool bound;
        bool newFrame;
    };
    const HandOver handOvers[] = {
        {10, "127.0.0.2", "127.0.0.2", true, false},  {11, "127.0.0.1", "127.0.0.1", true, false},
        {12, "127.0.0.2", "127.0.0.1", false, false}, {13, "127.0.0.1", "127.0.0.2", false, false},
        {14, "127.0.0.2", "127.0.0.2", true, false},  {15, "127.0.0.2", "127.0.0.2", true, true},
        {16, "127.0.0.1", "127.0.0.2", false, false},
    };
    uint32_t qport = 0x20010;
    for (const HandOver& h : handOvers) {
        SCOPED_TRACE("object " + std::to_string(h.object));
        if (h.newFrame)
            dispatcher->frameDispatched();
        CommEndpoint* client = watcherAt(h.watcherAt, ++qport);
        const uint64_t id = (2ull << 32) | h.object;
        std::unique_ptr<Velmor::TransferControl> control(transfer(id, true, qport));
        control->mutable_playerinfo()->set_host(h.host);
        printedBy([&] { server()->dispatchTransferControl(coordinator(), control.get()); });
        Player* player = static_cast<Player*>(scene()->getOBjectById(id));
        ASSERT_NE(player, nullptr);
        EXPECT_EQ(waiting(player), !h.bound);
        const auto& listed = watchers->watchers;
        EXPECT_EQ(std::count(listed.begin(), listed.end(), client), h.bound ? 0 : 1);
    }
}

TEST_F(ServerMessageDispatcherTest, DatagramSenderIsTheFirstInListOrderWhileTheListHoldsAPlayerTwice) {
    Player* twice = connectedPlayer("twice", 0x50002);
    Player* once = connectedPlayer("once", 0x50003);
    // The list is twice, once, twice.
    scene()->addTransformToType(twice, SceneGraphType::Player);
    once->qport = 0x50002;
    scene()->players().qportChanged(once);
    EXPECT_EQ(datagramSender(0x50002), twice);
}

TEST_F(ServerMessageDispatcherTest, ConnectionsAreMatchedToWatchersPlayersPoolServersAndTheCoordinator) {
    Player* p = connectedPlayer("p", 0x50002);
    ControllingServer* s = poolServer(7, 0x70001);
    CommEndpoint* w = watcher(0x50004);
    CommEndpoint* c = coordinator();
    EXPECT_EQ(server()->lookUpCommEndpointTcp(w->getTcpSocket()), w);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(p->getTcpSocket()), p);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(s->getTcpSocket()), s);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(c->getTcpSocket()), c);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(nullptr), nullptr);
    tcp::socket* stray = pair.connect();
    orphans.push_back(stray);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(stray), nullptr);
}

// The players are found by socket through an index; it follows every change of a socket and
// of the list, and answers the first player in list order as the walk did.
TEST_F(ServerMessageDispatcherTest, AConnectionsPlayerFollowsEveryChangeOfSocketsAndList) {
    Player* first = connectedPlayer("first", 0x50002);
    Player* second = connectedPlayer("second", 0x50003);
    Player* third = connectedPlayer("third", 0x50004);
    tcp::socket* secondSocket = second->getTcpSocket();
    tcp::socket* thirdSocket = third->getTcpSocket();
    EXPECT_EQ(server()->lookUpCommEndpointTcp(secondSocket), second);

    // A hand-over's copy: two holders, the first in list order answers, then the old one resets.
    orphans.push_back(first->getTcpSocket());
    first->copyFromOther(second);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(secondSocket), first);
    second->resetEndpoint(CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(secondSocket), first);
    orphans.push_back(thirdSocket);
    third->copyFromOther(first);
    first->resetEndpoint(CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(secondSocket), third);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(thirdSocket), nullptr);

    // A socket deleted and a player removed are not found; a player listed again is.
    third->deleteTcpSocket();
    EXPECT_EQ(server()->lookUpCommEndpointTcp(secondSocket), nullptr);
    Player* late = connectedPlayer("late", 0x50005);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(late->getTcpSocket()), late);
    tcp::socket* lateSocket = late->getTcpSocket();
    removeAtTheEndOfTheFrame(late);
    EXPECT_EQ(server()->lookUpCommEndpointTcp(lateSocket), nullptr);
    second->setTcpSocket(lateSocket);
    orphans.pop_back(); // second holds it again
    EXPECT_EQ(server()->lookUpCommEndpointTcp(lateSocket), second);
}

// A connection whose holder lets go of it without closing: one that a server's later login
// replaced is closed at once; one left by a logout as a watcher stays open for its client's
// next login, however late that comes.
TEST_F(ServerMessageDispatcherTest, ConnectionsLetGoOfAreClosedOrHeldForTheirClientsNextLogin) {
    FakeClock fakeClock;

    tcp::socket* earlier = acceptedConnection();
    login(earlier, LoginType::NearServer);
    tcp::socket* later = acceptedConnection();
    EXPECT_THAT(login(later, LoginType::NearServer),
                HasSubstr("Server 9 logged in again, its earlier connection closed\n"));
    EXPECT_FALSE(earlier->is_open());
    EXPECT_EQ(ServerRegionHandler::getInstance()->getControllingServer(9)->getTcpSocket(), later);
    EXPECT_THAT(dispatch(closedEvent(earlier)), HasSubstr("Connected Client with unknown type disconnected\n"));
    EXPECT_EQ(ServerRegionHandler::getInstance()->getControllingServer(9)->getTcpSocket(), later);

    tcp::socket* client = acceptedConnection();
    login(client, LoginType::First);
    Player* player = scene()->players().ofEndpoint(server()->lookUpCommEndpointTcp(client));
    ASSERT_NE(player, nullptr);
    Velmor::Logout* logout = new Velmor::Logout();
    logout->set_logoutastype(LogoutType::Watcher);
    dispatch(overTcp(messageEvent(MessageTypes::Logout, logout), client));
    FakeClock::advance(LOGIN_TIMEOUT_MS + 2000);
    EXPECT_EQ(closeWithoutLogin(), "");
    EXPECT_TRUE(client->is_open());
    Velmor::Login* again = new Velmor::Login();
    again->set_logintype(LoginType::Additional);
    again->set_qport(player->qport);
    EXPECT_THAT(dispatch(overTcp(messageEvent(MessageTypes::Login, again), client)),
                HasSubstr("Yay we found a client for a player"));
    EXPECT_EQ(player->getTcpSocket(), client);
    EXPECT_EQ(player->endpointType, CommEndpointTypes::ClientEndpoint);
    EXPECT_FALSE(waiting(player));
    EXPECT_TRUE(later->is_open());
    dispatch(closedEvent(later));
}

// The dispatcher tells its admission of every accept, login and close: an announced connection
// that never logs in is closed at its login time-out, one that logged in is not; once a
// connection's ClosedConnection event is taken it is neither closed again nor given way.
TEST_F(ServerMessageDispatcherTest, AdmissionHearsOfEveryAcceptLoginAndClose) {
    FakeClock fakeClock;
    tcp::socket* gone = acceptedConnection(); // deleted by its ClosedConnection below
    FakeClock::advance(1000);
    tcp::socket* idle = acceptedConnection();
    tcp::socket* joining = acceptedConnection();
    login(joining, LoginType::NearServer); // server 9, which the map does not name
    dispatch(closedEvent(gone));
    FakeClock::advance(LOGIN_TIMEOUT_MS - 1000);
    EXPECT_EQ(closeWithoutLogin(), "");
    FakeClock::advance(1000);
    EXPECT_THAT(closeWithoutLogin(), HasSubstr("Connection from 127.0.0.1 closed: no login within 10 seconds\n"));
    EXPECT_FALSE(idle->is_open());
    EXPECT_TRUE(joining->is_open());
    dispatch(closedEvent(idle));
    dispatch(closedEvent(joining));
    EXPECT_EQ(closeWithoutLogin(2), "");
}

// Short of descriptors with no connection without login left, the accepted connections that
// have been silent longest give way: those a client opens at will (watchers, connections left
// by a logout, servers the map does not name) before players; a server the map names, the
// coordinator and the connections this server opened never.
TEST_F(ServerMessageDispatcherTest, LoggedInConnectionsSilentLongestGiveWayWhenNoneWithoutLoginIsLeft) {
    FakeClock fakeClock;
    ControllingServer* named = ServerRegionHandler::getInstance()->AddServerToPool(7);
    named->host = "127.0.0.1";
    named->port = "21049";
    coordinator();
    Player* opened = connectedPlayer("opened here", 0x50009); // never announced as accepted

    tcp::socket* player = acceptedConnection();
    login(player, LoginType::First);
    tcp::socket* watcherConnection = acceptedConnection();
    Velmor::Login* watch = new Velmor::Login();
    watch->set_logintype(LoginType::Additional);
    watch->set_qport(0x70777);
    dispatch(overTcp(messageEvent(MessageTypes::Login, watch), watcherConnection));
    tcp::socket* unnamed = acceptedConnection();
    login(unnamed, LoginType::NearServer); // server 9
    tcp::socket* namedConnection = acceptedConnection();
    Velmor::Login* serverLogin = new Velmor::Login();
    serverLogin->set_logintype(LoginType::NearServer);
    serverLogin->set_serverid(7);
    serverLogin->set_qport(0x70001);
    dispatch(overTcp(messageEvent(MessageTypes::Login, serverLogin), namedConnection));
    ASSERT_EQ(named->getTcpSocket(), namedConnection);
    tcp::socket* loggedOut = acceptedConnection();
    login(loggedOut, LoginType::First);
    Velmor::Logout* logout = new Velmor::Logout();
    logout->set_logoutastype(LogoutType::Watcher);
    dispatch(overTcp(messageEvent(MessageTypes::Logout, logout), loggedOut));

    // Heard from in this order, a second apart: the unnamed server, the logged-out connection,
    // the watcher, then the player (by a datagram of its own). The player has been silent
    // longest of all but gives way last.
    FakeClock::advance(1000);
    const uint32_t playerQport = server()->lookUpCommEndpointTcp(player)->qport;
    for (tcp::socket* s : {unnamed, loggedOut, watcherConnection}) {
        dispatch(overTcp(messageEvent(MessageTypes::Ping, new Velmor::Ping()), s));
        FakeClock::advance(1000);
    }
    dispatch(overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), 4000, playerQport));
    FakeClock::advance(5000);

    std::vector<tcp::socket*> gaveWay;
    for (int round = 0; round < 6; ++round) {
        const std::string out = closeWithoutLogin(1);
        for (tcp::socket* s : {unnamed, loggedOut, watcherConnection, player, namedConnection})
            if (!s->is_open() && std::find(gaveWay.begin(), gaveWay.end(), s) == gaveWay.end()) {
                gaveWay.push_back(s);
                EXPECT_THAT(out, HasSubstr("Connection from 127.0.0.1 silent for "));
                EXPECT_THAT(out, HasSubstr(" s closed to make room for logins\n"));
            }
    }
    EXPECT_EQ(gaveWay, (std::vector<tcp::socket*>{unnamed, loggedOut, watcherConnection, player}));
    EXPECT_TRUE(namedConnection->is_open());
    EXPECT_TRUE(coordinator()->getTcpSocket()->is_open());
    EXPECT_TRUE(opened->getTcpSocket()->is_open());
    // Each ends with its one ClosedConnection event, as any closed connection does.
    for (tcp::socket* s : gaveWay)
        dispatch(closedEvent(s));
    EXPECT_TRUE(watchers->watchers.empty());
}

// A player that waits for its client is removed, as one whose connection closed is, when no
// login binds it within its grace: from the hand-over, when its client had no connection here,
// or from the close of the connection its client logged out on. While that connection is open,
// the player waits without a time limit; the wall clock set an hour forward removes nobody.
TEST_F(ServerMessageDispatcherTest, APlayerWaitingForItsClientPastItsGraceIsRemoved) {
    FakeClock fakeClock;
    Player* loggedOut = connectedPlayer("p", 0x50002);
    tcp::socket* leftOpen = loggedOut->getTcpSocket();
    Velmor::Logout logout;
    logout.set_logoutastype(LogoutType::Watcher);
    printedBy([&] { server()->dispatchLogout(loggedOut, &logout); });
    ASSERT_TRUE(waiting(loggedOut));
    FakeClock::advance(10000);
    dispatch(overTcp(messageEvent(MessageTypes::TransferControl, transfer(ForeignPlayer, true)),
                     coordinator()->getTcpSocket()));
    Player* handedOver = static_cast<Player*>(scene()->getOBjectById(static_cast<int64_t>(ForeignPlayer)));
    ASSERT_NE(handedOver, nullptr);
    ASSERT_TRUE(waiting(handedOver));
    const auto removed = [&] { return printedBy([&] { server()->removePlayersWithoutClient(); }); };
    const auto expectRemovedAndToldOf = [&](Player* p, const TransformList& removals) {
        EXPECT_THAT(removed(), HasSubstr("removed: no client logged in for it within 30 seconds\n"));
        EXPECT_EQ(scene()->removeList2, removals);
        EXPECT_FALSE(waiting(p));
        std::vector<QueuedFrame> told = QueuedFrames::tcpBroadcasts(*clientQueue);
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.back().type, MessageTypes::ObjectDestroy);
        EXPECT_EQ(told.back().as<Velmor::ObjectDestroy>().id(), p->id);
    };

    FakeClock::stepWallClock(3600 * 1000);
    EXPECT_EQ(removed(), "");
    FakeClock::advance(CLIENT_GRACE_MS - 1);
    EXPECT_EQ(removed(), "");
    EXPECT_TRUE(scene()->removeList2.empty());
    FakeClock::advance(1);
    expectRemovedAndToldOf(handedOver, TransformList{handedOver});
    EXPECT_TRUE(waiting(loggedOut));

    // Its client's connection open for five minutes more, then closed: the grace runs from the
    // close.
    FakeClock::advance(5 * 60 * 1000);
    EXPECT_EQ(removed(), "");
    dispatch(closedEvent(leftOpen));
    FakeClock::advance(CLIENT_GRACE_MS - 1);
    EXPECT_EQ(removed(), "");
    EXPECT_TRUE(waiting(loggedOut));
    FakeClock::advance(1);
    expectRemovedAndToldOf(loggedOut, (TransformList{handedOver, loggedOut}));
}

// A client that logs out as a watcher and keeps its connection watches for as long as it likes:
// its Additional login on that connection, however late, binds its player again. One whose
// connection closed gets its player back by a login on a new connection within the grace.
TEST_F(ServerMessageDispatcherTest, AWatchingClientGetsItsPlayerBackWhenItLogsInAgain) {
    FakeClock fakeClock;
    const auto logOut = [&](tcp::socket* socket) {
        Velmor::Logout* logout = new Velmor::Logout();
        logout->set_logoutastype(LogoutType::Watcher);
        EXPECT_THAT(dispatch(overTcp(messageEvent(MessageTypes::Logout, logout), socket)),
                    HasSubstr("watches only now, the player has no controller"));
    };
    const auto logInAgain = [&](tcp::socket* socket, uint32_t qport) {
        Velmor::Login* again = new Velmor::Login();
        again->set_logintype(LoginType::Additional);
        again->set_qport(qport);
        return dispatch(overTcp(messageEvent(MessageTypes::Login, again), socket));
    };
    // The frame's checks, once a second for `ms`.
    const auto framesFor = [&](int64_t ms) {
        for (int64_t passed = 0; passed < ms; passed += 1000) {
            FakeClock::advance(1000);
            printedBy([&] {
                server()->removePlayersWithoutClient();
                server()->admission().closeConnectionsWithoutLogin(0);
            });
        }
    };
    const struct {
        const char* name;
        int64_t watching;
        bool closesFirst;
    } cases[] = {
        {"on its connection after 31 s", 31 * 1000, false},
        {"on its connection after 5 minutes", 5 * 60 * 1000, false},
        {"on a new connection, 29 s after the close", 29 * 1000, true},
    };
    for (const auto& c : cases) {
        tcp::socket* client = acceptedConnection();
        login(client, LoginType::First);
        Player* player = scene()->players().ofEndpoint(server()->lookUpCommEndpointTcp(client));
        ASSERT_NE(player, nullptr) << c.name;
        const uint32_t qport = player->qport;
        logOut(client);
        if (c.closesFirst)
            dispatch(closedEvent(client));
        framesFor(c.watching);
        if (c.closesFirst)
            client = acceptedConnection();
        ASSERT_TRUE(waiting(player)) << c.name;
        const std::string out = logInAgain(client, qport);
        EXPECT_THAT(out, HasSubstr("Yay we found a client for a player")) << c.name;
        EXPECT_THAT(out, Not(HasSubstr("Adding Watcher"))) << c.name;
        EXPECT_EQ(player->getTcpSocket(), client) << c.name;
        EXPECT_EQ(player->endpointType, CommEndpointTypes::ClientEndpoint) << c.name;
        EXPECT_FALSE(waiting(player)) << c.name;
        EXPECT_THAT(dispatch(closedEvent(client)), HasSubstr("Player Disconnected.\n")) << c.name;
        printedBy([&] { scene()->applyRemoveList(); });
    }
}

// What a stranger's cycles of a first login and a logout on one connection leave: one player
// that waits for as long as the connection is open; each earlier one lost its client's
// connection with the next login on it and is removed when its grace is up.
TEST_F(ServerMessageDispatcherTest, PlayersLeftOnOneConnectionByItsLogoutsWaitOnlyTheirGrace) {
    FakeClock fakeClock;
    tcp::socket* stranger = acceptedConnection();
    std::vector<Player*> made;
    for (int i = 0; i < 5; ++i) {
        login(stranger, LoginType::First);
        made.push_back(scene()->players().ofEndpoint(server()->lookUpCommEndpointTcp(stranger)));
        ASSERT_NE(made.back(), nullptr);
        Velmor::Logout* logout = new Velmor::Logout();
        logout->set_logoutastype(LogoutType::Watcher);
        dispatch(overTcp(messageEvent(MessageTypes::Logout, logout), stranger));
    }
    FakeClock::advance(CLIENT_GRACE_MS);
    printedBy([&] { server()->removePlayersWithoutClient(); });
    EXPECT_EQ(scene()->removeList2, TransformList(made.begin(), made.end() - 1));
    EXPECT_TRUE(waiting(made.back()));
    FakeClock::advance(5 * 60 * 1000);
    printedBy([&] { server()->removePlayersWithoutClient(); });
    EXPECT_TRUE(waiting(made.back()));
    dispatch(closedEvent(stranger));
    FakeClock::advance(CLIENT_GRACE_MS);
    printedBy([&] { server()->removePlayersWithoutClient(); });
    EXPECT_FALSE(waiting(made.back()));
    EXPECT_EQ(scene()->removeList2, TransformList(made.begin(), made.end()));
}

// What a client's own messages make the server print is bounded per connection: one write of
// many logouts and logins prints at most ten lines of each kind in a second, then one line of
// how many were left out; many connections each doing something once all print.
TEST_F(ServerMessageDispatcherTest, LinesAClientsOwnMessagesCauseAreBounded) {
    FakeClock fakeClock;
    DebugResetInputLimitsForTesting();
    const auto logoutAndLoginAgain = [&](Player* p) {
        tcp::socket* own = p->getTcpSocket();
        Velmor::Logout* logout = new Velmor::Logout();
        logout->set_logoutastype(LogoutType::Watcher);
        dispatcher->dispatchEvent(overTcp(messageEvent(MessageTypes::Logout, logout), own));
        Velmor::Login* again = new Velmor::Login();
        again->set_logintype(LoginType::Additional);
        again->set_qport(p->qport);
        dispatcher->dispatchEvent(overTcp(messageEvent(MessageTypes::Login, again), own));
    };
    Player* p = connectedPlayer("p", 0x50002);
    tcp::socket* socket = p->getTcpSocket();
    std::vector<Player*> others;
    for (int i = 0; i < 200; ++i)
        others.push_back(connectedPlayer("o", 0x50100 + i));
    std::string out = printedBy([&] {
        for (int i = 0; i < 200; ++i)
            logoutAndLoginAgain(p);
        for (Player* other : others)
            logoutAndLoginAgain(other);
        // First logins while this server knows no region yet: a welcome without one.
        for (int i = 0; i < 30; ++i)
            dispatcher->dispatchEvent(overTcp(messageEvent(MessageTypes::Login, firstLogin()), pair.connect()));
    });
    const auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    std::ostringstream own;
    own << "(id:" << std::hex << p->id << ")";
    EXPECT_EQ(count(out, "Client of player " + own.str() + " watches only now"), 10u) << out;
    EXPECT_EQ(count(out, "Yay we found a client for a player " + own.str()), 10u) << out;
    for (const char* kind : {"watches only now, the player has no controller", "Yay we found a client for a player"})
        EXPECT_EQ(count(out, kind), 10u + others.size()) << kind;
    for (const char* kind : {"Player connected qport:", "Could not find a region which the players welcome is in"})
        EXPECT_EQ(count(out, kind), 30u) << kind << "\n" << out;
    EXPECT_EQ(p->getTcpSocket(), socket);
    for (Player* other : others)
        EXPECT_EQ(other->endpointType, CommEndpointTypes::ClientEndpoint);
    FakeClock::advance(1000);
    out = printedBy([] { DebugReportLeftOutInput(); });
    EXPECT_THAT(out, HasSubstr("Left out 190 more lines \"Client of player (id:%llx) watches only now"));
    EXPECT_THAT(out, HasSubstr("Left out 190 more lines \"Yay we found a client for a player\" in one second\n"));
    EXPECT_THAT(out, Not(HasSubstr("Could not find a region")));
}

// What the game's own rules print is never left out, however much of it comes in a second: in a
// battle every hand-over, death, new player, region change and client bound after its
// hand-over is a line of its own.
TEST_F(ServerMessageDispatcherTest, LinesOfTheGamesOwnRulesAreAllPrinted) {
    FakeClock fakeClock;
    DebugResetInputLimitsForTesting();
    const int n = 200;
    coordinator();
    ControllingServer* neighbour = poolServer(7, 0x70001);
    std::vector<Player*> dying;
    std::vector<Player*> leaving;
    for (int i = 0; i < n; ++i) {
        dying.push_back(connectedPlayer("d", 0x50100 + i));
        udp::endpoint address(boost::asio::ip::address_v4::loopback(), 4000);
        dying.back()->setUdpEndpoint(address);
        leaving.push_back(connectedPlayer("l", 0x50400 + i));
    }
    std::vector<tcp::socket*> newcomers;
    std::vector<tcp::socket*> arriving;
    for (int i = 0; i < n; ++i) {
        newcomers.push_back(acceptedConnection());
        arriving.push_back(acceptedConnection());
    }
    const std::string out = printedBy([&] {
        // New players: dead from their login until their first datagram makes them reachable.
        for (tcp::socket* socket : newcomers)
            dispatcher->dispatchEvent(overTcp(messageEvent(MessageTypes::Login, firstLogin()), socket));
        for (tcp::socket* socket : newcomers) {
            Player* p = scene()->players().ofEndpoint(server()->lookUpCommEndpointTcp(socket));
            ASSERT_NE(p, nullptr);
            udp::endpoint address(boost::asio::ip::address_v4::loopback(), 4001);
            p->setUdpEndpoint(address);
            p->realUpdate(0.01f);
        }
        for (Player* p : dying)
            p->justDied();
        for (Player* p : leaving) {
            sender->sendTransferControl(p, neighbour, true);
            watchers->playerToWatcher(p, "127.0.0.1", "21043", Vector3(), Vector3(), -1);
        }
        watchers->convertPlayersToWatchers();
        // Handed over here by the coordinator, one after another on its connection, and each
        // client logging in on a connection of its own.
        for (int i = 0; i < n; ++i)
            dispatcher->dispatchEvent(
                overTcp(messageEvent(MessageTypes::TransferControl, transfer(ForeignPlayer + i, true, 0x20100 + i)),
                        coordinator()->getTcpSocket()));
        for (int i = 0; i < n; ++i) {
            Velmor::Login* login = new Velmor::Login();
            login->set_logintype(LoginType::Additional);
            login->set_qport(0x20100 + i);
            dispatcher->dispatchEvent(overTcp(messageEvent(MessageTypes::Login, login), arriving[i]));
        }
    });
    const auto count = [](const std::string& text, const std::string& what) {
        size_t found = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++found;
        return found;
    };
    for (const char* line : {"to coordinator from realUpdate\n", "to coordinator from just died\n",
                             "Sending Transfer control of id:", "Chaning active region for player", "got control (id:",
                             "got control over player (id:", "with health (hp:", "and host 127.0.0.1\n",
                             "Yay we found a client for a player"})
        EXPECT_EQ(count(out, line), static_cast<size_t>(n)) << line;
    FakeClock::advance(1000);
    EXPECT_EQ(printedBy([] { DebugReportLeftOutInput(); }), "");
}

TEST_F(ServerMessageDispatcherTest, ClosedConnectionDeletesTheSocketAndActsByThePeersKind) {
    // Watcher: gone from the registry.
    CommEndpoint* w = watcher(0x50004);
    EXPECT_THAT(dispatch(closedEvent(w->getTcpSocket())), HasSubstr("Watcher Disconnected.\n"));
    EXPECT_TRUE(watchers->watchers.empty());

    // Server the coordinator's map names: the entry stays, without its connection.
    ControllingServer* s = poolServer(7, 0x70001);
    s->host = "127.0.0.1";
    s->port = "21043";
    EXPECT_THAT(dispatch(closedEvent(s->getTcpSocket())), HasSubstr("Server closed connection.\n"));
    EXPECT_EQ(ServerRegionHandler::getInstance()->getControllingServer(7), s);
    EXPECT_EQ(s->getTcpSocket(), nullptr);

    // Server that only its own login brought: its entry goes with its connection, so that
    // logins naming made-up servers leave nothing behind.
    ControllingServer* unnamed = poolServer(9, 0x90001);
    const std::string out = dispatch(closedEvent(unnamed->getTcpSocket()));
    EXPECT_THAT(out, HasSubstr("Server closed connection.\n"));
    EXPECT_THAT(out, HasSubstr("Server 9, which the map does not name, forgotten\n"));
    EXPECT_EQ(ServerRegionHandler::getInstance()->getControllingServer(9), nullptr);

    // Client: every client is told, and the player leaves at the end of the frame.
    Player* p = connectedPlayer("p", 0x50002);
    EXPECT_THAT(dispatch(closedEvent(p->getTcpSocket())), HasSubstr("Player Disconnected.\n"));
    EXPECT_EQ(p->getTcpSocket(), nullptr);
    std::vector<QueuedFrame> told = QueuedFrames::tcpBroadcasts(*clientQueue);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].type, MessageTypes::ObjectDestroy);
    EXPECT_EQ(told[0].as<Velmor::ObjectDestroy>().id(), p->id);
    EXPECT_EQ(scene()->removeList2, TransformList{p});

    // A connection that never logged in, and the coordinator: both unknown here, both freed.
    const char* unknown = "Connected Client with unknown type disconnected\n";
    EXPECT_THAT(dispatch(closedEvent(pair.connect())), HasSubstr(unknown));
    CommEndpoint* c = coordinator();
    EXPECT_THAT(dispatch(closedEvent(c->getTcpSocket())), HasSubstr(unknown));
    EXPECT_EQ(c->getTcpSocket(), nullptr);
}

TEST_F(ServerMessageDispatcherTest, SteeringReplacesOrientationAndBitsOfTheClientsOwnPlayerOnly) {
    Player* p = connectedPlayer("p", 0x50002);
    p->boostersOn = 0xF0;
    p->timeSinceLastHeardFromPlayer = 3;
    Velmor::ClientUpdate* update = new Velmor::ClientUpdate();
    update->mutable_orientation()->set_w(0);
    update->mutable_orientation()->set_x(1);
    update->mutable_orientation()->set_y(0);
    update->mutable_orientation()->set_z(0);
    update->set_boosterson(0x3);
    Velmor::ClientUpdate* other = new Velmor::ClientUpdate(*update);
    other->set_boosterson(0x8);
    dispatch(overUdp(messageEvent(MessageTypes::ClientUpdate, update), 4000, 0x50002));
    EXPECT_EQ(p->boostersOn, 0x3u);
    EXPECT_FLOAT_EQ(p->orientation.w, 0);
    EXPECT_FLOAT_EQ(p->orientation.x, 1);
    EXPECT_FLOAT_EQ(p->timeSinceLastHeardFromPlayer, 0);

    // A watcher with the same qport steers nothing.
    CommEndpoint* w = watcher(0x50002);
    (void)w;
    dispatch(overUdp(messageEvent(MessageTypes::ClientUpdate, other), 4000, 0x50002));
    EXPECT_EQ(p->boostersOn, 0x3u);
}

TEST_F(ServerMessageDispatcherTest, CoordinatorWelcomeSetsTheClockAndTheLoadBorders) {
    FakeClock clock;
    General* general = General::getInstance();
    const uint32_t borders[3] = {general->overloadedCPUBorder, general->underloadedCPUBorder,
                                 general->averageloadedCPUBorder};
    Velmor::CoordinatorWelcome* welcome = new Velmor::CoordinatorWelcome();
    welcome->set_timestamp(500000);
    welcome->set_overloadedcpuborder(91);
    welcome->set_underloadedcpuborder(11);
    welcome->set_averageloadedcpuborder(41);
    EXPECT_THAT(
        dispatch(overTcp(messageEvent(MessageTypes::CoordinatorWelcome, welcome), coordinator()->getTcpSocket())),
        HasSubstr("Got coordinator welcome\n"));
    EXPECT_EQ(Timer::getCurSyncedTime(), 500000u);
    FakeClock::advance(250);
    EXPECT_EQ(Timer::getCurSyncedTime(), 500250u);
    EXPECT_EQ(general->overloadedCPUBorder, 91u);
    EXPECT_EQ(general->underloadedCPUBorder, 11u);
    EXPECT_EQ(general->averageloadedCPUBorder, 41u);
    general->overloadedCPUBorder = borders[0];
    general->underloadedCPUBorder = borders[1];
    general->averageloadedCPUBorder = borders[2];
    Timer::sync_clock(0);
}

// One region map: the servers listed (at a port where nothing listens) and the regions as
// {region id, server id, min.x, neighbour ids}.
struct MapRegion {
    unsigned int id;
    unsigned int server;
    float minX;
    std::vector<unsigned int> neighbours;
};
struct RegionMap {
    std::vector<unsigned int> hosts;
    std::vector<MapRegion> regions;
};

Velmor::RegionUpdate* regionUpdate(const RegionMap& map) {
    Velmor::RegionUpdate* m = new Velmor::RegionUpdate();
    for (unsigned int id : map.hosts) {
        Velmor::NeighbourHost* h = m->add_hosts();
        h->set_serverid(id);
        h->set_host("127.0.0.1");
        h->set_port("1");
    }
    for (const MapRegion& r : map.regions) {
        Velmor::Region* region = m->add_regions();
        region->set_regionid(r.id);
        region->set_hostid(r.server);
        setPosition(region->mutable_min(), r.minX, 0, 0);
        setPosition(region->mutable_max(), r.minX + 100, 100, 100);
        for (unsigned int n : r.neighbours)
            region->add_neighbourids(n);
    }
    return m;
}

// "<server>:{<region>[>neighbours],...} ..." by server id, regions by id.
std::string poolText() {
    std::map<unsigned int, std::set<std::string>> byServer;
    for (ControllingServer& s : ServerRegionHandler::getInstance()->serverList) {
        std::set<std::string>& regions = byServer[s.id];
        for (Region& r : s.regionList) {
            std::ostringstream text;
            text << r.id;
            std::vector<uint32_t> n(r.neighbourList.begin(), r.neighbourList.end());
            std::sort(n.begin(), n.end());
            for (size_t i = 0; i < n.size(); ++i)
                text << (i ? "," : ">") << n[i];
            regions.insert(text.str());
        }
    }
    std::ostringstream out;
    for (auto& s : byServer) {
        out << (out.tellp() > 0 ? " " : "") << s.first << ":{";
        bool first = true;
        for (const std::string& r : s.second) {
            out << (first ? "" : ",") << r;
            first = false;
        }
        out << "}";
    }
    return out.str();
}

struct RegionCase {
    const char* what;
    std::vector<RegionMap> updates; // applied in order; the lines are those of the last
    std::string pool;
    std::vector<std::string> lines;
    std::vector<std::string> absent;
};
PRINT_CASE_AS_WHAT(RegionCase)

const RegionMap BothServers{{5, 2}, {{1, 5, 0, {2}}, {2, 2, 100, {1}}, {3, 5, 300, {}}}};

const RegionCase RegionCases[] = {
    {"a first map adds servers, regions and mirrored links",
     {BothServers},
     "2:{2>1} 5:{1>2,3}",
     {"Got region update\n", "Adding/Updating server 5\n", "Adding/Updating server 2\n",
      "Adding region 1 (min:", ") to server 5\n", "Adding region 2 (min:"},
     {"Removing"}},
    {"the same map again rebuilds every listed server's regions",
     {BothServers, BothServers},
     "2:{2>1} 5:{1>2,3}",
     {"Adding region 1 (min:", "Adding region 2 (min:", "Adding region 3 (min:"},
     {"Updating region", "Removing"}},
    {"a server no longer listed keeps its entry without regions",
     {BothServers, {{5}, {{1, 5, 0, {}}, {3, 5, 300, {}}}}},
     "2:{} 5:{1,3}",
     {"Removing server 2\n"},
     {"Trying to remove our selfs"}},
    {"an update without myself keeps only my regions it names",
     {BothServers, {{2}, {{1, 5, 10, {}}, {2, 2, 100, {}}}}},
     "2:{2} 5:{1}",
     {"Trying to remove our selfs.. NOT GOOD!!!!!\n", "Updating region 1 (min:", "Removing region 3\n"},
     {"Removing server 5"}},
    {"a region that moved server is dropped by this update",
     {BothServers, {{2}, {{1, 2, 0, {}}, {2, 2, 100, {}}}}},
     "2:{2} 5:{}",
     {"Region has moved server hopefully this should not happin\n", "Removing region 1\n", "Removing region 3\n"},
     {}},
    {"and comes back under its new server with the next one",
     {BothServers, {{2}, {{1, 2, 0, {}}, {2, 2, 100, {}}}}, {{2}, {{1, 2, 0, {}}, {2, 2, 100, {}}}}},
     "2:{1,2} 5:{}",
     {"Adding region 1 (min:", ") to server 2\n"},
     {"has moved"}},
    {"a region of an unknown server is skipped",
     {{{5}, {{1, 9, 0, {}}, {4, 5, 0, {}}}}},
     "5:{4}",
     {"Error has not found server to add\n", "Region 1 not found\n"},
     {}},
};

class RegionMapTest : public ServerMessageDispatcherTest, public testing::WithParamInterface<RegionCase> {};

TEST_P(RegionMapTest, EachUpdateRebuildsTheMapByItsRules) {
    const RegionCase& c = GetParam();
    std::string out;
    for (const RegionMap& map : c.updates)
        out = dispatch(
            overTcp(messageEvent(MessageTypes::RegionUpdate, regionUpdate(map)), coordinator()->getTcpSocket()));
    EXPECT_EQ(poolText(), c.pool);
    for (const std::string& line : c.lines)
        EXPECT_THAT(out, HasSubstr(line));
    for (const std::string& line : c.absent)
        EXPECT_THAT(out, Not(HasSubstr(line)));
    EXPECT_EQ(ServerRegionHandler::getInstance()->getControllingServer(2) != nullptr,
              c.pool.find("2:") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RegionUpdate, RegionMapTest, testing::ValuesIn(RegionCases), caseName<RegionCase>);

TEST_F(ServerMessageDispatcherTest, MoveOrderTellsTheClientItsNewMasterAndQueuesTheWatcher) {
    Player* p = connectedPlayer("p", 0x50002);
    Velmor::TransferPlayerTo order;
    order.set_playerid(p->id);
    order.set_host("127.0.0.1");
    order.set_port("21050");
    setPosition(order.mutable_min(), 100, 0, 0);
    setPosition(order.mutable_max(), 200, 100, 100);
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferPlayerTo(coordinator(), &order); }),
                HasSubstr("Got dispatchTransferPlayerTo (id:"));
    Velmor::ConnectToNearBy told =
        QueuedFrames::onlyTcp<Velmor::ConnectToNearBy>(*clientQueue, p, MessageTypes::ConnectToNearBy);
    EXPECT_TRUE(told.isyournewmaster());
    EXPECT_EQ(told.port(), "21050");
    ASSERT_EQ(watchers->convert_to_watchers.size(), 1u);
    EXPECT_EQ(watchers->convert_to_watchers.front().p, p);
    EXPECT_EQ(watchers->convert_to_watchers.front().regionId, -1);
    EXPECT_TRUE(p->shouldBeDeletedWhenBecommingWatcher);

    // A projectile's id, and a player without its client here: refused, nothing queued.
    Projectile* shot = SceneObjectFactory::getInstance()->createAndAttachProjectile(Vector3(), Quaternion(), Vector3(),
                                                                                    Team::Red, 0, p->id);
    Player* remote =
        SceneObjectFactory::getInstance()->createAndAttachPlayer("r", Vector3(), Quaternion(), 100, Team::Red, 0);
    order.set_playerid(shot->id);
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferPlayerTo(coordinator(), &order); }),
                HasSubstr("Did not find player to send change server to. player (id:"));
    order.set_playerid(remote->id);
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferPlayerTo(coordinator(), &order); }),
                HasSubstr("ERROR IN TRANSFER PLAYER TO: Cannot transfer now as we lack tcpsocket"));
    EXPECT_EQ(watchers->convert_to_watchers.size(), 1u);
    EXPECT_FALSE(remote->shouldBeDeletedWhenBecommingWatcher);
}

TEST_F(ServerMessageDispatcherTest, ControlOfAPlayerWithoutItsClientHereWaitsForTheLogin) {
    std::unique_ptr<Velmor::TransferControl> m(transfer(ForeignPlayer, true));
    const std::string out = printedBy([&] { server()->dispatchTransferControl(coordinator(), m.get()); });
    Player* p = static_cast<Player*>(scene()->getOBjectById(ForeignPlayer));
    ASSERT_NE(p, nullptr);
    EXPECT_THAT(out, HasSubstr("got control over player (id:2"));
    EXPECT_THAT(out, HasSubstr("with health (hp:40"));
    EXPECT_THAT(out, HasSubstr("and host 127.0.0.1\n"));
    EXPECT_FALSE(p->isReplica());
    EXPECT_FALSE(p->isDead);
    EXPECT_FLOAT_EQ(p->replicaManager.timeSinceTransfer, 0);
    EXPECT_FLOAT_EQ(p->position.y, 20);
    EXPECT_FLOAT_EQ(p->velocity.x, 1);
    EXPECT_EQ(p->qport, 0x20005u);
    EXPECT_EQ(p->temphost, "127.0.0.1");
    EXPECT_TRUE(waiting(p));
    std::vector<QueuedFrame> told = QueuedFrames::tcpBroadcasts(*clientQueue);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].type, MessageTypes::ObjectInfo);

    // Handed over again before the client came: still waiting once, not twice.
    std::unique_ptr<Velmor::TransferControl> again(transfer(ForeignPlayer, true));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), again.get()); });
    EXPECT_TRUE(waiting(p));
    EXPECT_EQ(dispatcher->playersWhoLackAClient.size(), 1u);

    // qport 0 is reported and taken all the same.
    std::unique_ptr<Velmor::TransferControl> noQport(transfer(ForeignPlayer, true, 0));
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferControl(coordinator(), noQport.get()); }),
                HasSubstr("ERROR!!!!!! qport 0\n"));
}

TEST_F(ServerMessageDispatcherTest, ControlOfAPlayerWhoseHostCannotBeResolvedKeepsWhatWasDone) {
    std::unique_ptr<Velmor::TransferControl> m(transfer(ForeignPlayer, true));
    m->mutable_playerinfo()->set_host("bad host!");
    // The receiver's guard reports the resolver's error.
    EXPECT_ANY_THROW(printedBy([&] { server()->dispatchTransferControl(coordinator(), m.get()); }));
    testing::internal::GetCapturedStdout();
    Player* p = static_cast<Player*>(scene()->getOBjectById(ForeignPlayer));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(p->isReplica());
    EXPECT_FALSE(p->isDead);
    EXPECT_EQ(p->qport, 0x20005u);
    EXPECT_EQ(p->temphost, "bad host!");
    EXPECT_FALSE(waiting(p));
}

TEST_F(ServerMessageDispatcherTest, ControlOfAPlayerWhoseClientWatchesHereBindsItsConnection) {
    // Waiting first, from an earlier hand-over; the binding ends the wait.
    std::unique_ptr<Velmor::TransferControl> earlier(transfer(ForeignPlayer, true));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), earlier.get()); });
    ASSERT_EQ(dispatcher->playersWhoLackAClient.size(), 1u);
    CommEndpoint* w = watcher(0x20005);
    tcp::socket* socket = w->getTcpSocket();
    std::unique_ptr<Velmor::TransferControl> m(transfer(ForeignPlayer, true));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), m.get()); });
    Player* p = static_cast<Player*>(scene()->getOBjectById(ForeignPlayer));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->getTcpSocket(), socket);
    EXPECT_EQ(p->endpointType, CommEndpointTypes::ClientEndpoint);
    EXPECT_TRUE(watchers->watchers.empty());
    EXPECT_FALSE(waiting(p));
    // Its client now steers it.
    EXPECT_EQ(server()->lookUpCommEndpointTcp(socket), p);
}

TEST_F(ServerMessageDispatcherTest, ControlOfAPlayerWhoseClientIsAlreadyAPlayerHereChangesNoBinding) {
    Player* local = connectedPlayer("local", 0x20005);
    std::unique_ptr<Velmor::TransferControl> m(transfer(ForeignPlayer, true));
    printedBy([&] { server()->dispatchTransferControl(coordinator(), m.get()); });
    Player* p = static_cast<Player*>(scene()->getOBjectById(ForeignPlayer));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->getTcpSocket(), nullptr);
    EXPECT_NE(local->getTcpSocket(), nullptr);
    EXPECT_FALSE(waiting(p));
    EXPECT_FALSE(p->isReplica());
}

TEST_F(ServerMessageDispatcherTest, ControlOfAProjectileTakesItsPoseAndMissingObjectsAreThrownAway) {
    Projectile* shot = SceneObjectFactory::getInstance()->createAndAttachProjectile(
        Vector3(), Quaternion(), Vector3(), Team::Blue, ForeignShot, ForeignPlayer);
    shot->setIsReplica(true);
    std::unique_ptr<Velmor::TransferControl> m(transfer(ForeignShot, false));
    ControllingServer* owner = poolServer(2, 0x20001);
    const size_t toldBefore = QueuedFrames::tcpBroadcasts(*clientQueue).size();
    printedBy([&] { server()->dispatchTransferControl(owner, m.get()); });
    EXPECT_FALSE(shot->isReplica());
    EXPECT_FLOAT_EQ(shot->position.z, 30);
    EXPECT_FLOAT_EQ(shot->velocity.x, 1);
    std::vector<QueuedFrame> told = QueuedFrames::tcpBroadcasts(*clientQueue);
    ASSERT_EQ(told.size(), toldBefore + 1);
    EXPECT_EQ(told.back().as<Velmor::ObjectInfo>().id(), ForeignShot);

    // Only players and projectiles change hands.
    Probe* board = new Probe("board", ForeignShot + 2);
    printedBy([&] { scene()->attach(board); });
    std::unique_ptr<Velmor::TransferControl> notHanded(transfer(board->id, false));
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferControl(coordinator(), notHanded.get()); }),
                HasSubstr("Transfer control for an object of kind 2 ignored"));
    EXPECT_FLOAT_EQ(board->position.z, 0);

    std::unique_ptr<Velmor::TransferControl> unknownShot(transfer(ForeignShot + 1, false));
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferControl(coordinator(), unknownShot.get()); }),
                HasSubstr("Threw away shot\n"));
    // A description that cannot make the object.
    std::unique_ptr<Velmor::TransferControl> broken(transfer(ForeignPlayer, true));
    broken->mutable_objectinfo()->mutable_playerdata()->clear_name();
    EXPECT_THAT(printedBy([&] { server()->dispatchTransferControl(coordinator(), broken.get()); }),
                HasSubstr("AAAAARG: Throwing away transfer control packet (2)\n"));
    EXPECT_EQ(scene()->getOBjectById(ForeignPlayer), nullptr);
}

// Each object taken over counts once in the measurement log, by its kind; what is not taken
// over counts nothing.
TEST_F(ServerMessageDispatcherTest, EachObjectTakenOverIsCountedOnceByItsKind) {
    ControllingServer* owner = poolServer(2, 0x20001);
    Player* local = connectedPlayer("local", 0x50002);
    Projectile* shot = SceneObjectFactory::getInstance()->createAndAttachProjectile(
        Vector3(), Quaternion(), Vector3(), Team::Blue, ForeignShot, ForeignPlayer);
    shot->setIsReplica(true);
    Probe* board = new Probe("board", ForeignShot + 2);
    printedBy([&] { scene()->attach(board); });
    // As a neighbour's hand-over composes it.
    const auto handedOver = [&](Transform* obj) {
        return [&, obj] {
            printedBy([&] { sender->sendTransferControl(obj, owner, true); });
            Velmor::TransferControl m =
                QueuedFrames::onlyTcp<Velmor::TransferControl>(*serverQueue, owner, MessageTypes::TransferControl);
            serverQueue->wantToDeleteEndpoint(owner);
            return m;
        };
    };
    const auto made = [](uint64_t id, bool withPlayer, const char* host = "127.0.0.1") {
        return [=] {
            std::unique_ptr<Velmor::TransferControl> m(transfer(id, withPlayer));
            if (withPlayer)
                m->mutable_playerinfo()->set_host(host);
            return *m;
        };
    };
    const struct {
        const char* what;
        std::function<Velmor::TransferControl()> message;
        uint64_t projectiles;
        uint64_t players;
    } cases[] = {
        {"a projectile", handedOver(shot), 1, 0},
        {"a player whose client is here", handedOver(local), 0, 1},
        {"a player whose client is not here yet", made(ForeignPlayer, true), 0, 1},
        // Without connection info a player is counted with the projectiles.
        {"a player without connection info", made(local->id, false), 1, 0},
        {"a player whose host cannot be resolved", made(ForeignPlayer + 10, true, "bad host!"), 0, 0},
        {"an object that is not here", made(ForeignShot + 1, false), 0, 0},
        {"an object of another kind", made(board->id, false), 0, 0},
    };
    Logger* log = Logger::getInstance();
    for (const auto& c : cases) {
        Velmor::TransferControl m = c.message();
        log->resetForTesting();
        testing::internal::CaptureStdout();
        try {
            server()->dispatchTransferControl(owner, &m);
        } catch (const std::exception&) {
            // The receiver's guard reports it; what was counted before stays.
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(log->gotControlOverProjectiles, c.projectiles) << c.what;
        EXPECT_EQ(log->gotControlOverPlayers, c.players) << c.what;
    }
    log->resetForTesting();
}

TEST_F(ServerMessageDispatcherTest, LogoutAsWatcherLeavesThePlayerWaitingWithItsClientsHost) {
    Player* p = connectedPlayer("p", 0x50002);
    tcp::socket* socket = p->getTcpSocket();
    orphans.push_back(socket);
    Velmor::Logout primary;
    primary.set_logoutastype(LogoutType::Primary);
    server()->dispatchLogout(p, &primary);
    EXPECT_EQ(p->getTcpSocket(), socket);

    Velmor::Logout logout;
    logout.set_logoutastype(LogoutType::Watcher);
    const std::string out = printedBy([&] { server()->dispatchLogout(p, &logout); });
    EXPECT_THAT(out, Not(HasSubstr("FATAL ERROR")));
    EXPECT_EQ(p->temphost, "127.0.0.1");
    EXPECT_EQ(p->getTcpSocket(), nullptr);
    EXPECT_EQ(p->endpointType, CommEndpointTypes::Unknown);
    EXPECT_EQ(p->qport, 0x50002u);
    EXPECT_TRUE(waiting(p));
    EXPECT_TRUE(socket->is_open());

    // Without socket: the UDP address gives the host; without either, one line.
    Player* udpOnly =
        SceneObjectFactory::getInstance()->createAndAttachPlayer("u", Vector3(), Quaternion(), 100, Team::Red, 0);
    udp::endpoint from(boost::asio::ip::make_address("127.0.0.9"), 4000);
    udpOnly->setUdpEndpoint(from);
    server()->dispatchLogout(udpOnly, &logout);
    EXPECT_EQ(udpOnly->temphost, "127.0.0.9");
    Player* nothing =
        SceneObjectFactory::getInstance()->createAndAttachPlayer("n", Vector3(), Quaternion(), 100, Team::Red, 0);
    EXPECT_THAT(printedBy([&] { server()->dispatchLogout(nothing, &logout); }),
                HasSubstr("FATAL ERROR in finding logout's host (id:"));
    EXPECT_TRUE(nothing->temphost.empty());
}

TEST_F(ServerMessageDispatcherTest, NeighboursUdpAddressIsItsTcpPeerAtItsGamePortOnceLoggedIn) {
    // The server that opened the connection to us names its port in its login.
    tcp::socket* incoming = pair.connect();
    Velmor::Login* login = new Velmor::Login();
    login->set_logintype(LoginType::NearServer);
    login->set_serverid(7);
    login->set_qport(0x70001);
    login->set_port("21050");
    EXPECT_THAT(dispatch(overTcp(messageEvent(MessageTypes::Login, login), incoming)),
                HasSubstr("UDP address of server 7 is 127.0.0.1:21050\n"));
    ControllingServer* seven = ServerRegionHandler::getInstance()->getControllingServer(7);
    ASSERT_NE(seven->getUdpEndpoint(), nullptr);
    EXPECT_EQ(*seven->getUdpEndpoint(), udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 21050));

    // The server we connected to, at the port of its registry entry, once it welcomes us.
    ControllingServer* nine = poolServer(9, 0);
    nine->port = "21060";
    Velmor::ServerWelcome* welcome = new Velmor::ServerWelcome();
    welcome->set_qport(0x90001);
    Velmor::ServerWelcome* another = new Velmor::ServerWelcome(*welcome);
    Velmor::ServerWelcome* forged = new Velmor::ServerWelcome(*welcome);
    dispatch(overTcp(messageEvent(MessageTypes::ServerWelcome, welcome), nine->getTcpSocket()));
    EXPECT_EQ(nine->qport, 0x90001u);
    ASSERT_NE(nine->getUdpEndpoint(), nullptr);
    EXPECT_EQ(nine->getUdpEndpoint()->port(), 21060);

    // Its replica updates by UDP are queued to that address.
    Player* p = connectedPlayer("p", 0x50002);
    sender->sendUpdateObject(p, nine);
    EXPECT_EQ(QueuedFrames::udpFor(*serverQueue, nine, true).size(), 1u);

    // A port that is no number gives no address.
    ControllingServer* eleven = poolServer(11, 0);
    eleven->port = "x";
    EXPECT_THAT(dispatch(overTcp(messageEvent(MessageTypes::ServerWelcome, another), eleven->getTcpSocket())),
                HasSubstr("No UDP address for server 11 (port \"x\")\n"));
    EXPECT_EQ(eleven->getUdpEndpoint(), nullptr);

    // A welcome from what is not a pool server changes nothing.
    Player* client = connectedPlayer("c", 0x50003);
    EXPECT_THAT(dispatch(overTcp(messageEvent(MessageTypes::ServerWelcome, forged), client->getTcpSocket())),
                HasSubstr("Got a server login from not a server\n"));
    EXPECT_EQ(client->qport, 0x50003u);
}

// A login takes over the pool entry it names: one from elsewhere than the map's address of
// that server is refused, and the live neighbour keeps its link.
TEST_F(ServerMessageDispatcherTest, ServerLoginFromElsewhereThanTheMapsAddressIsRefused) {
    ControllingServer* seven = poolServer(7, 0x70001);
    tcp::socket* link = seven->getTcpSocket();
    const struct {
        const char* host;
        bool taken;
    } cases[] = {{"10.1.2.3", false}, {"127.0.0.1", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        seven->host = c.host;
        seven->qport = 0x70001;
        tcp::socket* incoming = pair.connect();
        Velmor::Login* login = new Velmor::Login();
        login->set_logintype(LoginType::NearServer);
        login->set_serverid(7);
        login->set_qport(0x70002);
        const std::string printed = dispatch(overTcp(messageEvent(MessageTypes::Login, login), incoming));
        if (c.taken) {
            EXPECT_EQ(seven->getTcpSocket(), incoming);
            EXPECT_EQ(seven->qport, 0x70002u);
            orphans.push_back(link); // let go of by the entry; its close would come as a stranger's
        } else {
            EXPECT_THAT(printed, HasSubstr("Server login for server 7 not from its address 10.1.2.3 ignored\n"));
            EXPECT_EQ(seven->getTcpSocket(), link);
            EXPECT_EQ(seven->qport, 0x70001u);
            EXPECT_TRUE(QueuedFrames::tcpFor(*serverQueue, seven).empty()); // no welcome
            orphans.push_back(incoming);
        }
    }
}

// Who may send what: the coordinator's orders only the coordinator, hand-overs also logged-in
// servers, object messages only logged-in servers. A logged-in server counts only when the
// coordinator's map names it and it connects from the map's address: anyone can send a login.
enum Peer {
    Client,
    ClientByUdp,
    Watcher,
    Stranger,
    ServerWithoutQport,
    LoggedInServer,
    Coordinator,
    ServerNotInTheMap,
    ServerFromElsewhere,
    PeerCount
};

struct Permission {
    int type;
    bool allowed[PeerCount];
};

const Permission Permissions[] = {
    {MessageTypes::CoordinatorWelcome, {false, false, false, false, false, false, true, false, false}},
    {MessageTypes::RegionUpdate, {false, false, false, false, false, false, true, false, false}},
    {MessageTypes::TransferPlayerTo, {false, false, false, false, false, false, true, false, false}},
    {MessageTypes::TransferControl, {false, false, false, false, false, true, true, false, false}},
    {MessageTypes::ObjectInfo, {false, false, false, false, false, true, false, false, false}},
    {MessageTypes::ObjectUpdate, {false, false, false, false, false, true, false, false, false}},
    {MessageTypes::ObjectDestroy, {false, false, false, false, false, true, false, false, false}},
    {MessageTypes::Logout, {true, true, true, true, true, true, true, true, true}},
};

TEST_F(ServerMessageDispatcherTest, OrdersHandOversAndObjectMessagesAreTakenOnlyFromTheirSenders) {
    Player* client = connectedPlayer("c", 0x50002);
    CommEndpoint* w = watcher(0x50004);
    ControllingServer* silent = poolServer(8, 0);
    ControllingServer* neighbour = poolServer(7, 0x70001);
    neighbour->host = "127.0.0.1";
    ControllingServer* unnamed = poolServer(6, 0x60001);
    ControllingServer* elsewhere = poolServer(5, 0x50001);
    elsewhere->host = "10.1.2.3";
    tcp::socket* stranger = pair.connect();
    orphans.push_back(stranger);
    General* general = General::getInstance();
    const uint32_t savedBorder = general->overloadedCPUBorder;
    // By TCP where a socket is given, else a datagram with the qport.
    struct Source {
        tcp::socket* socket;
        uint32_t udpQport;
    };
    const Source sources[PeerCount] = {{client->getTcpSocket(), 0},
                                       {nullptr, client->qport},
                                       {w->getTcpSocket(), 0},
                                       {stranger, 0},
                                       {silent->getTcpSocket(), 0},
                                       {nullptr, neighbour->qport},
                                       {coordinator()->getTcpSocket(), 0},
                                       {unnamed->getTcpSocket(), 0},
                                       {elsewhere->getTcpSocket(), 0}};

    for (const Permission& permission : Permissions) {
        for (int peer = 0; peer < PeerCount; ++peer) {
            google::protobuf::Message* message = nullptr;
            switch (permission.type) {
            case MessageTypes::CoordinatorWelcome: {
                Velmor::CoordinatorWelcome* m = new Velmor::CoordinatorWelcome();
                m->set_timestamp(Timer::getCurSyncedTime());
                m->set_overloadedcpuborder(savedBorder);
                message = m;
                break;
            }
            case MessageTypes::RegionUpdate:
                message = regionUpdate({{5}, {}});
                break;
            case MessageTypes::TransferPlayerTo:
                message = new Velmor::TransferPlayerTo();
                break;
            case MessageTypes::TransferControl:
                message = transfer(99, false);
                break;
            case MessageTypes::ObjectInfo:
                message = new Velmor::ObjectInfo();
                break;
            case MessageTypes::ObjectUpdate:
                message = new Velmor::ObjectUpdate();
                break;
            case MessageTypes::ObjectDestroy:
                message = new Velmor::ObjectDestroy();
                break;
            default:
                message = new Velmor::Logout();
                break;
            }
            networkEventPtr event = messageEvent(permission.type, message);
            if (sources[peer].socket)
                overTcp(event, sources[peer].socket);
            else
                overUdp(event, 4000, sources[peer].udpQport);
            EXPECT_EQ(dispatch(event).find(Dropped) == std::string::npos, permission.allowed[peer])
                << "type " << permission.type << " from peer " << peer;
        }
    }
    EXPECT_EQ(general->overloadedCPUBorder, savedBorder);
}

TEST_F(ServerMessageDispatcherTest, ClientsForgedMessagesChangeNothing) {
    printedBy([&] {
        dispatcher->dispatchEvent(
            overTcp(messageEvent(MessageTypes::RegionUpdate, regionUpdate({{5}, {{1, 5, 0, {}}}})),
                    coordinator()->getTcpSocket()));
    });
    Player* client = connectedPlayer("c", 0x50002);
    Player* other = connectedPlayer("o", 0x50003);
    Projectile* shot = SceneObjectFactory::getInstance()->createAndAttachProjectile(Vector3(), Quaternion(), Vector3(),
                                                                                    Team::Red, ForeignShot, 0);
    shot->setIsReplica(true);
    const std::string before = poolText();
    const uint32_t border = General::getInstance()->overloadedCPUBorder;

    std::vector<networkEventPtr> forged;
    forged.push_back(messageEvent(MessageTypes::RegionUpdate, regionUpdate({{5, 2}, {{9, 2, 0, {}}}})));
    Velmor::CoordinatorWelcome* welcome = new Velmor::CoordinatorWelcome();
    welcome->set_timestamp(1);
    welcome->set_overloadedcpuborder(border + 1);
    forged.push_back(messageEvent(MessageTypes::CoordinatorWelcome, welcome));
    Velmor::TransferPlayerTo* move = new Velmor::TransferPlayerTo();
    move->set_playerid(other->id);
    move->set_host("127.0.0.1");
    move->set_port("1");
    setPosition(move->mutable_min(), 0, 0, 0);
    setPosition(move->mutable_max(), 1, 1, 1);
    forged.push_back(messageEvent(MessageTypes::TransferPlayerTo, move));
    forged.push_back(messageEvent(MessageTypes::TransferControl, transfer(ForeignShot, false)));
    forged.push_back(messageEvent(MessageTypes::ObjectInfo, new Velmor::ObjectInfo(playerDescription(ForeignPlayer))));
    Velmor::ObjectDestroy* destroy = new Velmor::ObjectDestroy();
    destroy->set_id(other->id);
    forged.push_back(messageEvent(MessageTypes::ObjectDestroy, destroy));
    for (networkEventPtr& event : forged)
        EXPECT_THAT(dispatch(overTcp(event, client->getTcpSocket())), HasSubstr(Dropped));

    EXPECT_EQ(poolText(), before);
    EXPECT_EQ(General::getInstance()->overloadedCPUBorder, border);
    EXPECT_TRUE(watchers->convert_to_watchers.empty());
    EXPECT_TRUE(QueuedFrames::tcpFor(*clientQueue, other).empty());
    EXPECT_TRUE(shot->isReplica());
    EXPECT_EQ(scene()->getOBjectById(ForeignPlayer), nullptr);
    EXPECT_TRUE(scene()->removeList2.empty());
}

} // namespace

// The live networking (real sockets, the server's own dispatcher from init) and real processes.
class NeighbourUdpAddressTest : public SceneFixture {
protected:
    void SetUp() override {
        SceneFixture::SetUp();
        net = LiveNetwork::get();
    }
    void TearDown() override {
        ServerRegionHandler::getInstance()->clearForTesting();
        SceneFixture::TearDown();
    }

    // Dispatches the live queues until `done` holds or the deadline passes.
    bool dispatchUntil(std::function<bool()> done) {
        return waitUntil([&] {
            if (done())
                return true;
            printedBy([&] { net->dispatchReceivedMessages(nullptr); });
            return false;
        });
    }

    Network* net = nullptr;
};

TEST_F(NeighbourUdpAddressTest, ReplicaUpdatesByUdpReachAServerFromItsLoginOn) {
    boost::asio::io_context io;
    udp::socket neighbourUdp(io, udp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    tcp::socket link(io);
    link.connect(LiveNetwork::tcpAddress());
    peertest::FrameSocket neighbour(std::move(link));
    Velmor::Login login;
    login.set_logintype(LoginType::NearServer);
    login.set_serverid(7);
    login.set_qport(0x70001);
    login.set_port(std::to_string(neighbourUdp.local_endpoint().port()));
    neighbour.send(login);

    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    ASSERT_TRUE(dispatchUntil([&] {
        ControllingServer* entry = registry->getControllingServer(7);
        return entry && entry->getUdpEndpoint();
    }));
    ControllingServer* entry = registry->getControllingServer(7);

    // The server has had no datagram of the neighbour, and yet its update arrives.
    Player* p = SceneObjectFactory::getInstance()->createAndAttachPlayer("p", Vector3(1, 2, 3), Quaternion(), 100,
                                                                         Team::Red, 0);
    net->networkSender->sendUpdateObject(p, entry);
    printedBy([&] { net->networkSender->sendMessages(); });
    EXPECT_NE(neighbour.expect<Velmor::ServerWelcome>(MessageTypes::ServerWelcome), nullptr);
    ASSERT_TRUE(peertest::readable(neighbourUdp.native_handle(), Patience));
    std::string datagram(2048, '\0');
    datagram.resize(neighbourUdp.receive(boost::asio::buffer(&datagram[0], datagram.size())));
    std::vector<uint32_t> qports;
    std::vector<QueuedFrame> frames = QueuedFrames::of(bufferList{&datagram}, true, &qports);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, MessageTypes::ObjectUpdate);
    EXPECT_EQ(frames[0].as<Velmor::ObjectUpdate>().id(), p->id);
    EXPECT_EQ(qports, std::vector<uint32_t>{net->myQport});

    // Its connection ends the way every connection ends: the server deletes the socket, and as
    // the coordinator's map does not name server 7, its entry goes too.
    neighbour.socket.close();
    EXPECT_TRUE(dispatchUntil([&] { return registry->getControllingServer(7) == nullptr; }));
}
