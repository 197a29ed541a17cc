#include "Common/Network/MessageDispatcher.h"

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "Common/Debug/Logger.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/GameObjects/Ship.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Support/Wire/EventBuilders.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/NetworkFixture.h"

namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

// A dispatcher whose lookups answer what the test sets, and which records what reached the
// handlers of a recording test.
class ScriptedDispatcher : public MessageDispatcher {
public:
    explicit ScriptedDispatcher(boost::asio::io_context* io) : MessageDispatcher(io) {}

    CommEndpoint* lookUpCommEndpointUdp(udp::endpoint*, unsigned int qport) override {
        return qport == udpQport ? udpAnswer : nullptr;
    }
    CommEndpoint* lookUpCommEndpointTcp(tcp::socket* socket) override {
        return socket == tcpSocket ? tcpAnswer : nullptr;
    }

    uint32_t udpQport = 0;
    CommEndpoint* udpAnswer = nullptr;
    tcp::socket* tcpSocket = nullptr;
    CommEndpoint* tcpAnswer = nullptr;
};

// Records which handler ran and the sender it was given, as it was during the handler.
class RecordingDispatcher : public MessageDispatcher {
public:
    explicit RecordingDispatcher(boost::asio::io_context* io) : MessageDispatcher(io) {}

    struct Seen {
        std::string handler;
        CommEndpointTypes::CommEndpoint type;
        uint32_t qport;
        bool hasUdp;
        unsigned short udpPort;
        tcp::socket* socket;
    };
    std::vector<Seen> seen;

    bool record(const char* handler, CommEndpoint* sender) {
        udp::endpoint* u = sender->getUdpEndpoint();
        seen.push_back(Seen{handler, sender->endpointType, sender->qport, u != nullptr,
                            static_cast<unsigned short>(u ? u->port() : 0), sender->getTcpSocket()});
        return true;
    }

    bool dispatchNewConnection(CommEndpoint* s) override { return record("NewConnection", s); }
    bool dispatchClosedConnection(CommEndpoint* s) override { return record("ClosedConnection", s); }
    bool dispatchWelcome(CommEndpoint* s, Velmor::Welcome*) override { return record("Welcome", s); }
    bool dispatchObjectInfo(CommEndpoint* s, Velmor::ObjectInfo*) override { return record("ObjectInfo", s); }
    bool dispatchObjectUpdate(CommEndpoint* s, Velmor::ObjectUpdate*) override { return record("ObjectUpdate", s); }
    bool dispatchObjectDestroy(CommEndpoint* s, Velmor::ObjectDestroy*) override { return record("ObjectDestroy", s); }
    bool dispatchClientUpdate(CommEndpoint* s, Velmor::ClientUpdate*, unsigned int qport) override {
        record("ClientUpdate", s);
        seen.back().qport = qport;
        return true;
    }
    bool dispatchClientLogin(CommEndpoint* s, Velmor::Login*) override { return record("Login", s); }
    bool dispatchServerWelcome(CommEndpoint* s, Velmor::ServerWelcome*) override { return record("ServerWelcome", s); }
    bool dispatchConnectToNearBy(CommEndpoint* s, Velmor::ConnectToNearBy*) override {
        return record("ConnectToNearBy", s);
    }
    bool dispatchCoordinatorWelcome(CommEndpoint* s, Velmor::CoordinatorWelcome*) override {
        return record("CoordinatorWelcome", s);
    }
    bool dispatchTransferPlayerTo(CommEndpoint* s, Velmor::TransferPlayerTo*) override {
        return record("TransferPlayerTo", s);
    }
    bool dispatchTransferControl(CommEndpoint* s, Velmor::TransferControl*) override {
        return record("TransferControl", s);
    }
    bool dispatchLogout(CommEndpoint* s, Velmor::Logout*) override { return record("Logout", s); }
    bool dispatchRegionUpdate(CommEndpoint* s, Velmor::RegionUpdate*) override { return record("RegionUpdate", s); }
    bool dispatchServerStatus(CommEndpoint* s, Velmor::ServerStatus*) override { return record("ServerStatus", s); }
};

Velmor::Login* login(uint32_t type) {
    Velmor::Login* m = new Velmor::Login();
    m->set_logintype(type);
    return m;
}

// Server 5, its own qport taken, with a scripted dispatcher.
class MessageDispatcherTest : public NetworkFixture {
protected:
    MessageDispatcher* makeDispatcher() override { return new ScriptedDispatcher(&pair.io); }

    void SetUp() override {
        NetworkFixture::SetUp();
        SceneObjectFactory::getInstance()->init(5);
        myself = becomeServer(5);
        Network::getInstance()->myQport = dispatcher->getNextQport();
    }

    ScriptedDispatcher& scripted() { return static_cast<ScriptedDispatcher&>(*dispatcher); }

    // A login over a new connection; returns what was printed.
    std::string loginOverTcp(Velmor::Login* m, tcp::socket* socket) {
        return printedBy([&] { dispatcher->dispatchEvent(overTcp(messageEvent(MessageTypes::Login, m), socket)); });
    }

    std::vector<Player*> players() {
        std::vector<Player*> result;
        if (TransformList* list = scene()->getListOfType(SceneGraphType::Player))
            for (Transform* t : *list)
                result.push_back(static_cast<Player*>(t));
        return result;
    }

    // A player that this server took control of and whose client has not logged in here.
    Player* waitingPlayer(uint32_t qport, const std::string& host) {
        Player* w =
            SceneObjectFactory::getInstance()->createAndAttachPlayer("w", Vector3(), Quaternion(), 100, Team::Red, 0);
        w->qport = qport;
        scene()->players().qportChanged(w);
        w->temphost = host;
        w->resetEndpoint(CommEndpointTypes::Unknown);
        dispatcher->playersWhoLackAClient.push_back(w);
        return w;
    }

    ControllingServer* myself = nullptr;
};

TEST_F(MessageDispatcherTest, EventSwitchCallsTheHandlerOfEachKind) {
    RecordingDispatcher recording(&pair.io);
    struct {
        int eventType;
        int messageType;
        std::function<google::protobuf::Message*()> make;
        const char* handler; // "" when none applies
    } cases[] = {
        {EventTypes::NewConnection, -1, [] { return nullptr; }, "NewConnection"},
        {EventTypes::ClosedConnection, -1, [] { return nullptr; }, "ClosedConnection"},
        {7, -1, [] { return nullptr; }, ""},
        {EventTypes::Message, MessageTypes::Logout, [] { return new Velmor::Logout(); }, "Logout"},
        {EventTypes::Message, MessageTypes::ObjectInfo, [] { return new Velmor::ObjectInfo(); }, "ObjectInfo"},
        {EventTypes::Message, MessageTypes::ObjectUpdate, [] { return new Velmor::ObjectUpdate(); }, "ObjectUpdate"},
        {EventTypes::Message, MessageTypes::ObjectDestroy, [] { return new Velmor::ObjectDestroy(); }, "ObjectDestroy"},
        {EventTypes::Message, MessageTypes::ClientUpdate, [] { return new Velmor::ClientUpdate(); }, "ClientUpdate"},
        {EventTypes::Message, MessageTypes::Welcome, [] { return new Velmor::Welcome(); }, "Welcome"},
        {EventTypes::Message, MessageTypes::Login, [] { return new Velmor::Login(); }, "Login"},
        {EventTypes::Message, MessageTypes::ServerWelcome, [] { return new Velmor::ServerWelcome(); }, "ServerWelcome"},
        {EventTypes::Message, MessageTypes::ConnectToNearBy, [] { return new Velmor::ConnectToNearBy(); },
         "ConnectToNearBy"},
        {EventTypes::Message, MessageTypes::TransferControl, [] { return new Velmor::TransferControl(); },
         "TransferControl"},
        {EventTypes::Message, MessageTypes::CoordinatorWelcome, [] { return new Velmor::CoordinatorWelcome(); },
         "CoordinatorWelcome"},
        {EventTypes::Message, MessageTypes::TransferPlayerTo, [] { return new Velmor::TransferPlayerTo(); },
         "TransferPlayerTo"},
        {EventTypes::Message, MessageTypes::RegionUpdate, [] { return new Velmor::RegionUpdate(); }, "RegionUpdate"},
        {EventTypes::Message, MessageTypes::ServerStatus, [] { return new Velmor::ServerStatus(); }, "ServerStatus"},
        {EventTypes::Message, MessageTypes::Ping, [] { return new Velmor::Ping(); }, ""},
        {EventTypes::Message, MessageTypes::Pong, [] { return new Velmor::Pong(); }, ""},
        {EventTypes::Message, 99, [] { return new Velmor::Ping(); }, ""},
    };
    for (const auto& c : cases) {
        recording.seen.clear();
        networkEventPtr event(new NetworkEvent());
        event->eventType = c.eventType;
        event->messageType = c.messageType;
        event->message = c.make();
        EXPECT_TRUE(recording.dispatchEvent(event));
        if (*c.handler) {
            ASSERT_EQ(recording.seen.size(), 1u) << c.handler;
            EXPECT_EQ(recording.seen[0].handler, c.handler);
        } else {
            EXPECT_THAT(recording.seen, IsEmpty()) << c.eventType << " " << c.messageType;
        }
    }
}

TEST_F(MessageDispatcherTest, MessageThatIsNotOfItsTypesClassIsSkippedWithALine) {
    RecordingDispatcher recording(&pair.io);
    const std::string out = printedBy([&] {
        recording.dispatchEvent(messageEvent(MessageTypes::Login, new Velmor::Ping()));
        recording.dispatchEvent(messageEvent(MessageTypes::ObjectInfo, nullptr));
    });
    EXPECT_THAT(recording.seen, IsEmpty());
    EXPECT_THAT(out, HasSubstr("Event of message type 49 does not carry that message, skipped\n"));
    EXPECT_THAT(out, HasSubstr("Event of message type 44 does not carry that message, skipped\n"));
}

TEST_F(MessageDispatcherTest, UnknownSenderIsATemporaryEndpointOfTheEvent) {
    RecordingDispatcher recording(&pair.io);
    recording.dispatchEvent(overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), 4100, 0x77));
    tcp::socket* socket = pair.connect();
    recording.dispatchEvent(overTcp(messageEvent(MessageTypes::Login, new Velmor::Login()), socket));
    ASSERT_EQ(recording.seen.size(), 2u);
    EXPECT_EQ(recording.seen[0].type, CommEndpointTypes::Unknown);
    EXPECT_EQ(recording.seen[0].qport, 0x77u);
    EXPECT_TRUE(recording.seen[0].hasUdp);
    EXPECT_EQ(recording.seen[0].udpPort, 4100);
    EXPECT_EQ(recording.seen[1].type, CommEndpointTypes::Unknown);
    EXPECT_EQ(recording.seen[1].socket, socket);
    EXPECT_FALSE(recording.seen[1].hasUdp);
    EXPECT_TRUE(socket->is_open()); // the temporary endpoint never closes it
    delete socket;
}

TEST_F(MessageDispatcherTest, KnownSenderTakesTheSourceOfEachDatagram) {
    Player* p = connectedPlayer("ann", 0x50002);
    p->endpointType = CommEndpointTypes::ClientEndpoint;
    scripted().udpQport = 0x50002;
    scripted().udpAnswer = p;
    for (unsigned short port : {4001, 4002}) {
        dispatcher->dispatchEvent(
            overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), port, 0x50002));
        ASSERT_NE(p->getUdpEndpoint(), nullptr);
        EXPECT_EQ(p->getUdpEndpoint()->port(), port);
    }
    // No UDP match: the event's socket finds the sender.
    scripted().tcpSocket = p->getTcpSocket();
    scripted().tcpAnswer = p;
    networkEventPtr both = overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), 4003, 0x9);
    both->setTcpSocket(p->getTcpSocket());
    EXPECT_EQ(dispatcher->lookUpCommEndpoint(both), p);
    EXPECT_EQ(dispatcher->lookUpCommEndpoint(messageEvent(MessageTypes::ClientUpdate, nullptr)), nullptr);
}

TEST_F(MessageDispatcherTest, QportsCountUpBehindTheServerIdAndWrap) {
    EXPECT_EQ(Network::getInstance()->myQport, 0x50001u);
    tcp::socket* first = pair.connect();
    tcp::socket* second = pair.connect();
    loginOverTcp(login(LoginType::First), first);
    loginOverTcp(login(LoginType::First), second);
    std::vector<Player*> all = players();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]->qport, 0x50002u);
    EXPECT_EQ(all[1]->qport, 0x50003u);
    EXPECT_EQ(all[0]->name, "Player");

    dispatcher->lastQPort = 65535;
    EXPECT_EQ(dispatcher->getNextQport(), 0x5FFFFu);
    EXPECT_EQ(dispatcher->getNextQport(), 0x50000u);
    ServerRegionHandler::getInstance()->myself = nullptr; // before start-up: server id 0
    EXPECT_EQ(dispatcher->getNextQport(), 1u);
}

// However long the server runs, a new client never gets a qport that a player, a watcher or
// the server itself holds: its datagrams would steer someone else's ship.
TEST_F(MessageDispatcherTest, QportsInUseAreSkippedAndALoginWithoutOneIsRefused) {
    Player* live = connectedPlayer("live", 0x5FFFF);
    CommEndpoint* watcher = new CommEndpoint(CommEndpointTypes::WatcherEndpoint);
    watcher->qport = 0x50000;
    watchers->addNewWatcher(watcher);
    waitingPlayer(0x50002, "127.0.0.1");
    dispatcher->lastQPort = 65535;
    // Past the live player, the watcher, the server's own 0x50001 and the waiting player.
    loginOverTcp(login(LoginType::First), pair.connect());
    EXPECT_EQ(players().back()->qport, 0x50003u);
    EXPECT_NE(players().back(), live);

    // Server 0 never hands out qport 0, which stands for none.
    ServerRegionHandler::getInstance()->myself = nullptr;
    dispatcher->lastQPort = 0;
    EXPECT_EQ(dispatcher->getNextQport(), 1u);

    // Every qport of server 5 in use: the login is refused with one line and its connection
    // closed; no player is made.
    ServerRegionHandler::getInstance()->myself = myself;
    for (uint32_t counter = 0; counter <= 0xFFFF; ++counter) {
        CommEndpoint* holder = new CommEndpoint(CommEndpointTypes::WatcherEndpoint);
        holder->qport = (5u << 16) | counter;
        watchers->addNewWatcher(holder);
    }
    const size_t before = players().size();
    tcp::socket* refused = pair.connect();
    EXPECT_THAT(loginOverTcp(login(LoginType::First), refused),
                HasSubstr("Login refused: every qport of this server is in use\n"));
    EXPECT_EQ(players().size(), before);
    EXPECT_FALSE(refused->is_open());
    CommEndpoint holder(CommEndpointTypes::Unknown);
    holder.setTcpSocket(refused);
    holder.deleteTcpSocket();
}

TEST_F(MessageDispatcherTest, FirstLoginCreatesADeadPlayerAndAnnouncesIt) {
    myself->AddRegion(Vector3(0, 0, 0), Vector3(100, 100, 100), 1);
    Player* other = connectedPlayer("old", 0x50009);
    other->endpointType = CommEndpointTypes::ClientEndpoint;
    tcp::socket* socket = pair.connect();
    Velmor::Login* m = login(LoginType::First);
    m->set_name("zed");
    const std::string out = loginOverTcp(m, socket);

    std::vector<Player*> all = players();
    ASSERT_EQ(all.size(), 2u);
    Player* p = all[1];
    EXPECT_THAT(out, HasSubstr("Player connected qport:50002 (id:500000003)\n"));
    EXPECT_EQ(p->name, "zed");
    EXPECT_EQ(p->endpointType, CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(p->getTcpSocket(), socket);
    EXPECT_EQ(p->getUdpEndpoint(), nullptr);
    EXPECT_TRUE(p->isDead);
    EXPECT_FALSE(p->hasSentOffRequestForRespawn); // waits for its first datagram
    EXPECT_EQ(p->position, Vector3(50, 50, 50));  // the spawn point
    EXPECT_EQ(p->health, 100.0f);

    std::vector<QueuedFrame> own = QueuedFrames::tcpFor(*clientQueue, p);
    ASSERT_EQ(own.size(), 3u);
    Velmor::Welcome welcome = own[0].as<Velmor::Welcome>();
    EXPECT_EQ(welcome.id(), p->id);
    EXPECT_EQ(welcome.qport(), 0x50002u);
    EXPECT_TRUE(welcome.IsInitialized());
    EXPECT_EQ(own[1].as<Velmor::ObjectInfo>().id(), other->id);
    EXPECT_EQ(own[2].as<Velmor::ObjectInfo>().id(), p->id);
    std::vector<QueuedFrame> broadcast = QueuedFrames::tcpBroadcasts(*clientQueue);
    ASSERT_EQ(broadcast.size(), 1u);
    EXPECT_EQ(broadcast[0].as<Velmor::ObjectInfo>().playerdata().name(), "zed");
}

TEST_F(MessageDispatcherTest, AdditionalLoginBindsTheOldestMatchingWaitingPlayer) {
    Player* older = waitingPlayer(0x40002, "127.0.0.1");
    Player* younger = waitingPlayer(0x40002, "127.0.0.1");
    tcp::socket* socket = pair.connect();
    Velmor::Login* m = login(LoginType::Additional);
    m->set_qport(0x40002);
    const std::string out = loginOverTcp(m, socket);

    EXPECT_THAT(out, HasSubstr("Yay we found a client for a player (id:500000002) (qport: 40002 127.0.0.1)\n"));
    EXPECT_EQ(older->getTcpSocket(), socket);
    EXPECT_EQ(older->endpointType, CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(older->qport, 0x40002u);
    EXPECT_THAT(dispatcher->playersWhoLackAClient, ElementsAre(younger));
    EXPECT_EQ(younger->getTcpSocket(), nullptr);
    EXPECT_THAT(watchers->watchers, IsEmpty());
    EXPECT_EQ(QueuedFrames::tcpFor(*clientQueue, older).size(), 2u); // both players described
}

TEST_F(MessageDispatcherTest, AdditionalLoginThatMatchesNoWaitingPlayerBecomesAWatcher) {
    struct {
        const char* what;
        bool withQport;
        const char* waitingHost;
        uint32_t watcherQport;
        const char* printed;
    } cases[] = {
        {"same qport, other address", true, "10.1.2.3", 0x40002, "Adding Watcher (qport:40002 )\n"},
        {"no qport", false, "127.0.0.1", 0, "argh watcher did not send qport\n"},
    };
    for (const auto& c : cases) {
        Player* waiting = waitingPlayer(0x40002, c.waitingHost);
        tcp::socket* socket = pair.connect();
        Velmor::Login* m = login(LoginType::Additional);
        if (c.withQport)
            m->set_qport(0x40002);
        const std::string out = loginOverTcp(m, socket);
        EXPECT_THAT(out, HasSubstr(c.printed)) << c.what;
        ASSERT_FALSE(watchers->watchers.empty());
        CommEndpoint* w = watchers->watchers.back();
        EXPECT_EQ(w->endpointType, CommEndpointTypes::WatcherEndpoint) << c.what;
        EXPECT_EQ(w->qport, c.watcherQport);
        EXPECT_EQ(w->getTcpSocket(), socket);
        EXPECT_THAT(dispatcher->playersWhoLackAClient, testing::Contains(waiting)) << c.what;
        EXPECT_EQ(QueuedFrames::tcpFor(*clientQueue, w).size(), players().size());
    }
}

TEST_F(MessageDispatcherTest, LoginsNeedAConnectionThatNothingHoldsYet) {
    waitingPlayer(0x40002, "127.0.0.1");
    for (uint32_t type : {LoginType::First, LoginType::Additional, LoginType::NearServer}) {
        Velmor::Login* m = login(type);
        m->set_qport(0x40002);
        m->set_serverid(8);
        const std::string out =
            printedBy([&] { dispatcher->dispatchEvent(overUdp(messageEvent(MessageTypes::Login, m), 4000, 0x40002)); });
        EXPECT_THAT(out, HasSubstr("without a TCP connection ignored\n")) << type;
    }
    Player* p = connectedPlayer("ann", 0x50007);
    p->endpointType = CommEndpointTypes::ClientEndpoint;
    scripted().tcpSocket = p->getTcpSocket();
    scripted().tcpAnswer = p;
    EXPECT_THAT(loginOverTcp(login(LoginType::First), p->getTcpSocket()),
                HasSubstr("Login of type 0 on a connection that is already logged in ignored\n"));
    EXPECT_EQ(players().size(), 2u); // the waiting one and ann
    EXPECT_THAT(watchers->watchers, IsEmpty());
    EXPECT_EQ(ServerRegionHandler::getInstance()->getControllingServer(8), nullptr);
    // Any other login type does nothing.
    tcp::socket* socket = pair.connect();
    EXPECT_EQ(loginOverTcp(login(3), socket), "");
    delete socket;
}

TEST_F(MessageDispatcherTest, NearServerLoginBindsThePoolEntryAndIsWelcomed) {
    tcp::socket* socket = pair.connect();
    Velmor::Login* m = login(LoginType::NearServer);
    m->set_serverid(7);
    m->set_qport(0x70001);
    m->set_port("21050");
    const std::string out = loginOverTcp(m, socket);
    EXPECT_THAT(out, HasSubstr("Server 7 added.\n"));
    EXPECT_THAT(out, HasSubstr("Server 7 has connected to us\n"));
    ControllingServer* entry = ServerRegionHandler::getInstance()->getControllingServer(7);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->getTcpSocket(), socket);
    EXPECT_EQ(entry->endpointType, CommEndpointTypes::ServerEndpoint);
    EXPECT_EQ(entry->qport, 0x70001u);
    EXPECT_EQ(entry->getUdpEndpoint(), nullptr);
    EXPECT_EQ(QueuedFrames::onlyTcp<Velmor::ServerWelcome>(*serverQueue, entry, MessageTypes::ServerWelcome).qport(),
              0x50001u);

    // A known server is bound in place; one without a qport gets 0.
    ControllingServer* known = ServerRegionHandler::getInstance()->AddServerToPool(9);
    tcp::socket* second = pair.connect();
    Velmor::Login* again = login(LoginType::NearServer);
    again->set_serverid(9);
    EXPECT_THAT(loginOverTcp(again, second), Not(HasSubstr("added")));
    EXPECT_EQ(known->getTcpSocket(), second);
    EXPECT_EQ(known->qport, 0u);
}

TEST_F(MessageDispatcherTest, NearServerLoginWithoutAUsableIdChangesNothing) {
    tcp::socket* socket = pair.connect();
    Velmor::Login* own = login(LoginType::NearServer);
    own->set_serverid(5);
    EXPECT_THAT(loginOverTcp(own, socket), HasSubstr("Server login with this server's own id 5 ignored\n"));
    EXPECT_EQ(myself->getTcpSocket(), nullptr);
    EXPECT_THAT(loginOverTcp(login(LoginType::NearServer), socket),
                HasSubstr("Server login without a server id ignored\n"));
    EXPECT_EQ(ServerRegionHandler::getInstance()->serverList.size(), 1u);
    EXPECT_TRUE(serverQueue->tcpBuffer_.empty());
    delete socket;
}

Velmor::ObjectInfo* playerInfo(uint64_t id, bool withName, float health = 30) {
    Velmor::ObjectInfo* info = new Velmor::ObjectInfo();
    info->set_id(id);
    info->set_objecttype(SceneGraphType::Player);
    info->set_timestamp(500);
    Vector3 at(1, 2, 3);
    Quaternion turned(0, 1, 0, 0);
    ProtobufConversion::position(info->mutable_position(), &at);
    ProtobufConversion::orientation(info->mutable_orientation(), &turned);
    info->mutable_playerdata()->set_health(health);
    info->mutable_playerdata()->set_blueteam(true);
    if (withName)
        info->mutable_playerdata()->set_name("far");
    return info;
}

TEST_F(MessageDispatcherTest, ObjectInfoCreatesAReplicaOfAnotherServersPlayer) {
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0x700000004ULL, true)));
    Player* p = static_cast<Player*>(scene()->getOBjectById(0x700000004LL));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->type, SceneGraphType::Player);
    EXPECT_TRUE(p->isReplica());
    EXPECT_EQ(p->name, "far");
    EXPECT_EQ(p->team, Team::Blue);
    EXPECT_EQ(p->health, 30.0f);
    EXPECT_EQ(p->position, Vector3(1, 2, 3));
    EXPECT_EQ(p->predictionManager.lastTimestamp[0], 500u);
    EXPECT_EQ(p->predictionManager.lastPosition[0], Vector3(1, 2, 3));

    // Known already: only the health is refreshed.
    p->position = Vector3(9, 9, 9);
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0x700000004ULL, true, 12)));
    EXPECT_EQ(p->health, 12.0f);
    EXPECT_EQ(p->position, Vector3(9, 9, 9));
    EXPECT_EQ(players().size(), 1u);
}

TEST_F(MessageDispatcherTest, ObjectInfoThatCannotDescribeAReplicaCreatesNothing) {
    Velmor::ObjectInfo* billboard = playerInfo(0x700000006ULL, true);
    billboard->set_objecttype(SceneGraphType::Billboard);
    Velmor::ObjectInfo* bareProjectile = playerInfo(0x700000007ULL, true);
    bareProjectile->set_objecttype(SceneGraphType::Projectile);
    Velmor::ObjectInfo* bare = playerInfo(0x700000008ULL, true);
    bare->clear_playerdata();
    std::string out = printedBy([&] {
        dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0x700000005ULL, false)));
        dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, billboard));
        dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, bareProjectile));
        dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, bare));
    });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(scene()->objectIDMap.empty());

    // Id 0: reported; never a replica under one of this server's ids, ship or no ship.
    out = printedBy([&] { dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0, true))); });
    EXPECT_THAT(out, HasSubstr("Error id in object info is 0 !!!!!!!!!!!!!!!!!######\n"));
    EXPECT_TRUE(scene()->objectIDMap.empty());
    Ship* ship = new Ship(static_cast<uint64_t>(0), Team::Red);
    scene()->attach(ship);
    printedBy([&] { dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0, true))); });
    EXPECT_EQ(scene()->objectIDMap.size(), 1u);
}

TEST_F(MessageDispatcherTest, ObjectInfoCreatesAReplicaProjectileWithItsVelocity) {
    Velmor::ObjectInfo* info = playerInfo(0x700000009ULL, false);
    info->set_objecttype(SceneGraphType::Projectile);
    info->clear_playerdata();
    Vector3 velocity(0, 0, 100);
    ProtobufConversion::position(info->mutable_projectiledata()->mutable_velocity(), &velocity);
    info->mutable_projectiledata()->set_blueteam(false);
    info->mutable_projectiledata()->set_shooterid(0x700000004ULL);
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, info));
    Projectile* s = static_cast<Projectile*>(scene()->getOBjectById(0x700000009LL));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->type, SceneGraphType::Projectile);
    EXPECT_TRUE(s->isReplica());
    EXPECT_EQ(s->team, Team::Red);
    EXPECT_EQ(s->shooterID, 0x700000004ULL);
    EXPECT_EQ(s->velocity, velocity);
    EXPECT_EQ(s->predictionManager.clientEstimatedVelocity, velocity);
    EXPECT_EQ(s->predictionManager.lastTimestamp[0], 500u);
}

TEST_F(MessageDispatcherTest, ObjectUpdateFeedsASampleWithDefaultsForWhatIsAbsent) {
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0x700000004ULL, true)));
    Player* p = static_cast<Player*>(scene()->getOBjectById(0x700000004LL));
    ASSERT_NE(p, nullptr);
    p->timeSinceLastHeardFromPlayer = 3;
    Velmor::ObjectUpdate* update = new Velmor::ObjectUpdate();
    update->set_id(0x700000004ULL);
    update->set_timestamp(600);
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectUpdate, update));
    EXPECT_EQ(p->predictionManager.lastTimestamp[0], 600u);
    EXPECT_EQ(p->predictionManager.lastPosition[0], Vector3());
    EXPECT_EQ(p->predictionManager.lastOrientation[0].w, 1.0f);
    EXPECT_EQ(p->predictionManager.lastPosition[1], Vector3(1, 2, 3));
    EXPECT_EQ(p->timeSinceLastHeardFromPlayer, 0.0f);

    Velmor::ObjectUpdate* stray = new Velmor::ObjectUpdate();
    stray->set_id(0x123);
    EXPECT_TRUE(dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectUpdate, stray)));
}

// Object ids carry their server's id in the high half, so only the mother ship (id 0) of a
// server with id 0 ever matches the own id.
TEST_F(MessageDispatcherTest, OnlyAnUpdateOfTheOwnIdWithASerialTakesALatencySample) {
    const uint64_t replica = 0x700000004ULL;
    const struct {
        const char* what;
        uint64_t ownId;
        uint64_t updated;
        bool withSerial;
        uint64_t latency;
    } cases[] = {
        {"the own id", 0, 0, true, 25},
        {"without serial", 0, 0, false, 0},
        {"another object", 0, replica, true, 0},
        {"on another server", 5, 0, true, 0},
    };
    FakeClock clock;
    scene()->attach(new Ship(static_cast<uint64_t>(0), Team::Red));
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(replica, true)));
    Network* net = Network::getInstance();
    const uint64_t savedOwnId = net->ownId;
    Logger* log = Logger::getInstance();
    for (const auto& c : cases) {
        log->resetForTesting();
        log->sending_latency_serial(9);
        clock.advance(25);
        net->ownId = c.ownId;
        Velmor::ObjectUpdate* update = new Velmor::ObjectUpdate();
        update->set_id(c.updated);
        update->set_timestamp(700);
        if (c.withSerial)
            update->set_latency_serial_num(9);
        dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectUpdate, update));
        EXPECT_EQ(log->lastLatency.load(), c.latency) << c.what;
    }
    net->ownId = savedOwnId;
    log->resetForTesting();
}

TEST_F(MessageDispatcherTest, ObjectDestroyQueuesTheObjectForTheEndOfTheFrame) {
    dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectInfo, playerInfo(0x700000004ULL, true)));
    Transform* p = scene()->getOBjectById(0x700000004LL);
    for (uint64_t id : {0x700000004ULL, 0x999ULL}) {
        Velmor::ObjectDestroy* destroy = new Velmor::ObjectDestroy();
        destroy->set_id(id);
        dispatcher->dispatchEvent(messageEvent(MessageTypes::ObjectDestroy, destroy));
    }
    EXPECT_THAT(scene()->removeList2, ElementsAre(p));
    EXPECT_EQ(scene()->getOBjectById(0x700000004LL), p); // still there until then
}

TEST_F(MessageDispatcherTest, ClientUpdateResetsTheSilenceOfTheSendersPlayer) {
    Player* p = connectedPlayer("ann", 0x50002);
    p->timeSinceLastHeardFromPlayer = 4;
    scripted().udpQport = 0x50002;
    scripted().udpAnswer = p;
    networkEventPtr update =
        overUdp(messageEvent(MessageTypes::ClientUpdate, new Velmor::ClientUpdate()), 4000, 0x50002);
    p->endpointType = CommEndpointTypes::WatcherEndpoint;
    dispatcher->dispatchEvent(update);
    EXPECT_EQ(p->timeSinceLastHeardFromPlayer, 4.0f); // not a client's endpoint
    p->endpointType = CommEndpointTypes::ClientEndpoint;
    dispatcher->dispatchEvent(update);
    EXPECT_EQ(p->timeSinceLastHeardFromPlayer, 0.0f);

    // An endpoint that only claims to be a client is no player.
    CommEndpoint impostor(CommEndpointTypes::ClientEndpoint);
    scripted().udpAnswer = &impostor;
    EXPECT_TRUE(dispatcher->dispatchEvent(update));
}

TEST_F(MessageDispatcherTest, NewConnectionIsLoggedWithItsPeer) {
    tcp::socket* socket = pair.connect();
    const networkEventPtr event = openedEvent(socket);
    EXPECT_THAT(printedBy([&] { dispatcher->dispatchEvent(event); }), HasSubstr("New connection from 127.0.0.1\n"));
    EXPECT_TRUE(players().empty());
    delete socket;
}

TEST_F(MessageDispatcherTest, ForgottenEndpointLeavesTheWaitingList) {
    Player* a = waitingPlayer(0x40002, "127.0.0.1");
    Player* b = waitingPlayer(0x40003, "127.0.0.1");
    CommEndpoint other(CommEndpointTypes::ClientEndpoint);
    dispatcher->wantToDeleteEndpoint(&other);
    dispatcher->wantToDeleteEndpoint(a);
    EXPECT_THAT(dispatcher->playersWhoLackAClient, ElementsAre(b));
}

} // namespace
