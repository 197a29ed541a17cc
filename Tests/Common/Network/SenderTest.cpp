#include "Common/Network/Sender.h"

#include <map>
#include <vector>

#include <gmock/gmock.h>

#include "Common/GameObjects/Projectile.h"
#include "Common/GameObjects/Ship.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/NetworkFixture.h"

namespace {

using boost::asio::ip::tcp;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

// Server 3 with one player (id 3:2, qport 3:2) whose client is connected from 127.0.0.1.
class SenderTest : public NetworkFixture {
protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        SceneObjectFactory::getInstance()->init(3);
        myself = becomeServer(3);
        p = connectedPlayer("ann", 0x30002);
        p->endpointType = CommEndpointTypes::ClientEndpoint;
        p->position = Vector3(1, 2, 3);
        p->orientation = Quaternion(0.5f, 0.5f, 0.5f, 0.5f);
        p->velocity = Vector3(4, 5, 6);
        p->team = Team::Blue;
        p->health = 57.5f;
        p->score = 9;
        p->last_latency_serial_number = 77;
    }

    Projectile* shot() {
        Projectile* s = SceneObjectFactory::getInstance()->createAndAttachProjectile(
            Vector3(7, 8, 9), Quaternion(), Vector3(0, 0, 100), Team::Blue, 0, p->id);
        clientQueue->sendQueuedBroadcastMessages({}); // drops the shot's own announcement
        return s;
    }

    FakeClock clock;
    ControllingServer* myself = nullptr;
    Player* p = nullptr;
};

void expectPosition(const Velmor::Position& actual, const Vector3& expected) {
    EXPECT_EQ(actual.x(), expected.x);
    EXPECT_EQ(actual.y(), expected.y);
    EXPECT_EQ(actual.z(), expected.z);
}

TEST_F(SenderTest, PicksTheQueueByTheReceiversType) {
    struct {
        CommEndpointTypes::CommEndpoint type;
        bool server;
        const char* printed;
    } cases[] = {
        {CommEndpointTypes::ClientEndpoint, false, ""},
        {CommEndpointTypes::WatcherEndpoint, false, ""},
        {CommEndpointTypes::ServerEndpoint, true, ""},
        {CommEndpointTypes::CoordinatorEndpoint, true, ""},
        {CommEndpointTypes::Unknown, false, "Error sending to an unknown endpoint type\n"},
    };
    for (const auto& c : cases) {
        CommEndpoint ep(c.type);
        MessageSender* chosen = nullptr;
        const std::string out = printedBy([&] { chosen = sender->getCorrectSender(&ep); });
        EXPECT_EQ(chosen, c.server ? serverQueue.get() : clientQueue.get()) << c.type;
        if (*c.printed) {
            EXPECT_THAT(out, HasSubstr(c.printed));
        } else {
            EXPECT_EQ(out, "");
        }
    }
}

TEST_F(SenderTest, ServerLoginAndWelcomeCarryThisServersIdentity) {
    CommEndpoint* coordinator = &Network::getInstance()->coordinator;
    sender->sendServerLogin(3, coordinator);
    sender->sendServerWelcome(0x30001, myself);

    Velmor::Login login = QueuedFrames::onlyTcp<Velmor::Login>(*serverQueue, coordinator, MessageTypes::Login);
    EXPECT_EQ(login.logintype(), LoginType::NearServer);
    EXPECT_EQ(login.serverid(), 3u);
    EXPECT_EQ(login.qport(), 0x30001u);
    EXPECT_EQ(login.timestamp(), Timer::getCurSyncedTime());
    EXPECT_EQ(login.port(), "21042");
    EXPECT_FALSE(login.has_name());
    Velmor::ServerWelcome welcome =
        QueuedFrames::onlyTcp<Velmor::ServerWelcome>(*serverQueue, myself, MessageTypes::ServerWelcome);
    EXPECT_EQ(welcome.qport(), 0x30001u);
    EXPECT_THAT(QueuedFrames::tcpFor(*clientQueue, coordinator), IsEmpty());
}

TEST_F(SenderTest, ObjectInfoDescribesPlayersAndProjectiles) {
    Projectile* s = shot();
    Ship ship(static_cast<uint64_t>(0), Team::Red);
    Velmor::ObjectInfo player, projectile, other;
    sender->fillInObjectInfo(&player, p);
    sender->fillInObjectInfo(&projectile, s);
    const std::string out = printedBy([&] { sender->fillInObjectInfo(&other, &ship); });

    EXPECT_EQ(player.id(), p->id);
    EXPECT_EQ(player.objecttype(), 0u);
    EXPECT_EQ(player.timestamp(), Timer::getCurSyncedTime());
    expectPosition(player.position(), Vector3(1, 2, 3));
    EXPECT_EQ(player.orientation().w(), 0.5f);
    ASSERT_TRUE(player.has_playerdata());
    EXPECT_FALSE(player.has_projectiledata());
    EXPECT_EQ(player.playerdata().health(), 57.5f);
    EXPECT_TRUE(player.playerdata().blueteam());
    EXPECT_EQ(player.playerdata().name(), "ann");
    EXPECT_EQ(player.playerdata().score(), 9);
    EXPECT_TRUE(player.playerdata().has_redteamscore());
    EXPECT_EQ(player.playerdata().redteamscore(), 0);
    EXPECT_TRUE(player.playerdata().has_blueteamscore());
    EXPECT_EQ(player.playerdata().blueteamscore(), 0);

    EXPECT_EQ(projectile.objecttype(), 1u);
    EXPECT_FALSE(projectile.has_playerdata());
    ASSERT_TRUE(projectile.has_projectiledata());
    expectPosition(projectile.projectiledata().velocity(), Vector3(0, 0, 100));
    EXPECT_TRUE(projectile.projectiledata().blueteam());
    EXPECT_EQ(projectile.projectiledata().shooterid(), p->id);

    EXPECT_THAT(out, HasSubstr("Have object which is not player nor projectile\n"));
    EXPECT_EQ(other.objecttype(), 3u);
    EXPECT_TRUE(other.IsInitialized());
    EXPECT_FALSE(other.has_playerdata() || other.has_projectiledata());
}

TEST_F(SenderTest, UpdatesCarryTheLatencySerialOfPlayersOnly) {
    Projectile* s = shot();
    sender->sendUpdateObject(p, myself);
    sender->broadcastUpdateObject(s);
    sender->sendUpdateObject(s, p);

    std::vector<uint32_t> qports;
    std::vector<QueuedFrame> toServer = QueuedFrames::udpFor(*serverQueue, myself, true, &qports);
    ASSERT_EQ(toServer.size(), 1u);
    EXPECT_THAT(qports, ElementsAre(0x30001u)); // a region server is told who sends
    Velmor::ObjectUpdate update = toServer[0].as<Velmor::ObjectUpdate>();
    EXPECT_EQ(update.id(), p->id);
    expectPosition(update.position(), Vector3(1, 2, 3));
    EXPECT_EQ(update.orientation().x(), 0.5f);
    EXPECT_EQ(update.latency_serial_num(), 77u);

    std::vector<QueuedFrame> broadcast = QueuedFrames::udpBroadcasts(*clientQueue);
    ASSERT_EQ(broadcast.size(), 1u);
    EXPECT_FALSE(broadcast[0].as<Velmor::ObjectUpdate>().has_latency_serial_num());
    std::vector<QueuedFrame> toClient = QueuedFrames::udpFor(*clientQueue, p, false);
    ASSERT_EQ(toClient.size(), 1u);
    EXPECT_EQ(toClient[0].as<Velmor::ObjectUpdate>().id(), s->id);
}

TEST_F(SenderTest, DestructionOfAProjectileTravelsByUdpAndOfAPlayerByTcp) {
    Projectile* s = shot();
    sender->broadcastObjectDestroy(s);
    sender->broadcastObjectDestroy(p);
    sender->sendObjectDestroy(s, myself);

    std::vector<QueuedFrame> udp = QueuedFrames::udpBroadcasts(*clientQueue);
    ASSERT_EQ(udp.size(), 1u);
    EXPECT_EQ(udp[0].as<Velmor::ObjectDestroy>().id(), s->id);
    std::vector<QueuedFrame> tcp = QueuedFrames::tcpBroadcasts(*clientQueue);
    ASSERT_EQ(tcp.size(), 1u);
    EXPECT_EQ(tcp[0].as<Velmor::ObjectDestroy>().id(), p->id);
    EXPECT_EQ(QueuedFrames::onlyTcp<Velmor::ObjectDestroy>(*serverQueue, myself, MessageTypes::ObjectDestroy).id(),
              s->id);
}

TEST_F(SenderTest, WelcomeTakesTheCornersOfTheOnlyRegionHoldingThePlayer) {
    myself->AddRegion(Vector3(0, 0, 0), Vector3(10, 10, 10), 1);
    ControllingServer* other = ServerRegionHandler::getInstance()->AddServerToPool(4);
    other->AddRegion(Vector3(10, 0, 0), Vector3(20, 10, 10), 2);
    struct {
        Vector3 at;
        bool found;
        Vector3 min;
    } cases[] = {
        {Vector3(5, 5, 5), true, Vector3(0, 0, 0)},
        {Vector3(15, 5, 5), true, Vector3(10, 0, 0)}, // any pool server's region
        {Vector3(10, 5, 5), true, Vector3(0, 0, 0)},  // the shared face belongs to the lower one
        {Vector3(50, 5, 5), false, Vector3()},
    };
    for (const auto& c : cases) {
        clientQueue->wantToDeleteEndpoint(p);
        p->position = c.at;
        const std::string out = printedBy([&] { sender->sendWelcome(p); });
        Velmor::Welcome welcome = QueuedFrames::onlyTcp<Velmor::Welcome>(*clientQueue, p, MessageTypes::Welcome);
        EXPECT_EQ(welcome.id(), p->id);
        EXPECT_EQ(welcome.qport(), 0x30002u);
        EXPECT_TRUE(welcome.playerdata().blueteam());
        EXPECT_EQ(welcome.playerdata().name(), "ann");
        EXPECT_EQ(welcome.playerdata().score(), 9);
        EXPECT_EQ(welcome.playerdata().health(), 57.5f);
        EXPECT_TRUE(welcome.playerdata().has_redteamscore() && welcome.playerdata().has_blueteamscore());
        EXPECT_EQ(welcome.has_min(), c.found) << c.at.toString();
        EXPECT_EQ(welcome.has_max(), c.found);
        if (c.found) {
            expectPosition(welcome.min(), c.min);
        } else {
            EXPECT_THAT(out, HasSubstr("Could not find a region which the players welcome is in\n"));
        }
    }

    p->endpointType = CommEndpointTypes::ServerEndpoint;
    EXPECT_THAT(printedBy([&] { sender->sendWelcome(p); }), HasSubstr("Sending welcome to wrong type\n"));
    EXPECT_EQ(QueuedFrames::tcpFor(*serverQueue, p).size(), 1u); // sent all the same
}

TEST_F(SenderTest, ServerStatusCarriesOnlyTheSourceThatApplies) {
    std::map<unsigned int, unsigned int> regions = {{9, 1}, {2, 5}, {4, 0}};
    std::vector<unsigned int> three(27), two(8);
    for (unsigned int i = 0; i < 27; ++i)
        three[i] = i;
    for (unsigned int i = 0; i < 8; ++i)
        two[i] = 100 + i;
    std::vector<unsigned int> shortThree(3, 1);
    CommEndpoint* coordinator = &Network::getInstance()->coordinator;
    struct {
        const char* what;
        bool overloaded;
        std::map<unsigned int, unsigned int>* map;
        std::vector<unsigned int>* two;
        std::vector<unsigned int>* three;
        std::vector<unsigned int> regionIds;
        int threeCount;
        int twoCount;
        bool complains;
    } cases[] = {
        {"normal ignores a map", false, &regions, &two, &three, {}, -1, -1, false},
        {"overloaded with a map", true, &regions, &two, &three, {2, 4, 9}, -1, -1, false},
        {"overloaded with sub-cells", true, nullptr, &two, &three, {}, 27, 8, false},
        {"short sub-cells are copied as far as they go", true, nullptr, &two, &shortThree, {}, 3, 8, false},
        {"overloaded without any", true, nullptr, nullptr, &three, {}, -1, -1, true},
    };
    for (const auto& c : cases) {
        serverQueue->wantToDeleteEndpoint(coordinator);
        const std::string out =
            printedBy([&] { sender->sendServerStatus(42, c.overloaded, c.two, c.three, c.map, coordinator); });
        Velmor::ServerStatus status =
            QueuedFrames::onlyTcp<Velmor::ServerStatus>(*serverQueue, coordinator, MessageTypes::ServerStatus);
        EXPECT_EQ(status.status(), c.overloaded ? Velmor::ServerStatus::Overloaded : Velmor::ServerStatus::Normal)
            << c.what;
        EXPECT_EQ(status.cpuload(), 42u);
        std::vector<unsigned int> ids;
        for (const Velmor::ExistingRegion& r : status.existingregionstatus())
            ids.push_back(r.regionid());
        EXPECT_EQ(ids, c.regionIds) << c.what;
        if (!c.regionIds.empty()) {
            EXPECT_EQ(status.existingregionstatus(0).population(), 5u);
        }
        EXPECT_EQ(status.has_futureregions(), c.threeCount >= 0) << c.what;
        if (c.threeCount >= 0) {
            EXPECT_EQ(status.futureregions().threexthreexthree_size(), c.threeCount);
            EXPECT_EQ(status.futureregions().twoxtwoxtwo_size(), c.twoCount);
            EXPECT_EQ(status.futureregions().twoxtwoxtwo(7), 107u);
        }
        EXPECT_EQ(out.find("Missing Information in sending server status\n") != std::string::npos, c.complains)
            << c.what;
    }
    ASSERT_EQ(three.size(), 27u); // the inputs are only read
}

TEST_F(SenderTest, TransferControlOfAPlayerNamesItsClient) {
    ControllingServer* neighbour = ServerRegionHandler::getInstance()->AddServerToPool(4);
    neighbour->setTcpSocket(pair.connect());
    const std::string out = printedBy([&] { sender->sendTransferControl(p, neighbour, true); });
    EXPECT_THAT(out, HasSubstr("Sending Transfer control of id:300000002 to server 4 tcpsocket:"));

    Velmor::TransferControl transfer =
        QueuedFrames::onlyTcp<Velmor::TransferControl>(*serverQueue, neighbour, MessageTypes::TransferControl);
    EXPECT_TRUE(transfer.IsInitialized());
    EXPECT_EQ(transfer.id(), p->id);
    expectPosition(transfer.data().position(), Vector3(1, 2, 3));
    expectPosition(transfer.data().velocity(), Vector3(4, 5, 6));
    EXPECT_EQ(transfer.playerinfo().qport(), 0x30002u);
    EXPECT_EQ(transfer.playerinfo().host(), "127.0.0.1");
    ASSERT_TRUE(transfer.has_objectinfo());
    EXPECT_EQ(transfer.objectinfo().playerdata().name(), "ann");

    // To the coordinator nothing is printed; without the description there is none.
    CommEndpoint* coordinator = &Network::getInstance()->coordinator;
    EXPECT_EQ(printedBy([&] { sender->sendTransferControl(p, coordinator, false); }), "");
    EXPECT_FALSE(
        QueuedFrames::onlyTcp<Velmor::TransferControl>(*serverQueue, coordinator, MessageTypes::TransferControl)
            .has_objectinfo());
}

TEST_F(SenderTest, TransferControlWithoutAReadableClient) {
    CommEndpoint* coordinator = &Network::getInstance()->coordinator;
    p->deleteTcpSocket();
    EXPECT_THAT(printedBy([&] { sender->sendTransferControl(p, coordinator, true); }),
                HasSubstr("Error in finding players host for (id:300000002)\n"));
    Velmor::TransferControl transfer =
        QueuedFrames::onlyTcp<Velmor::TransferControl>(*serverQueue, coordinator, MessageTypes::TransferControl);
    EXPECT_EQ(transfer.playerinfo().qport(), 0x30002u);
    EXPECT_FALSE(transfer.playerinfo().has_host());

    // A socket that is not connected has no peer: the socket layer's error, nothing queued.
    serverQueue->wantToDeleteEndpoint(coordinator);
    p->setTcpSocket(new tcp::socket(pair.io));
    EXPECT_THROW(sender->sendTransferControl(p, coordinator, true), boost::system::system_error);
    EXPECT_THAT(QueuedFrames::tcpFor(*serverQueue, coordinator), IsEmpty());

    // A projectile names no client.
    Projectile* s = shot();
    sender->sendTransferControl(s, coordinator, true);
    Velmor::TransferControl shotTransfer =
        QueuedFrames::onlyTcp<Velmor::TransferControl>(*serverQueue, coordinator, MessageTypes::TransferControl);
    EXPECT_FALSE(shotTransfer.has_playerinfo());
    EXPECT_TRUE(shotTransfer.objectinfo().has_projectiledata());
}

TEST_F(SenderTest, ConnectToNearByTellsWhetherTheServerBecomesMaster) {
    sender->sendConnectToAsWatcher("10.0.0.4", "21043", Vector3(0, 0, 0), Vector3(1, 2, 3), p);
    sender->sendChangeActiveRegionTo("10.0.0.5", "21044", Vector3(-1, 0, 0), Vector3(4, 5, 6), p);
    std::vector<QueuedFrame> frames = QueuedFrames::tcpFor(*clientQueue, p);
    ASSERT_EQ(frames.size(), 2u);
    Velmor::ConnectToNearBy watch = frames[0].as<Velmor::ConnectToNearBy>();
    Velmor::ConnectToNearBy master = frames[1].as<Velmor::ConnectToNearBy>();
    EXPECT_EQ(watch.host(), "10.0.0.4");
    EXPECT_EQ(watch.port(), "21043");
    EXPECT_FALSE(watch.isyournewmaster());
    expectPosition(watch.max(), Vector3(1, 2, 3));
    EXPECT_EQ(master.host(), "10.0.0.5");
    EXPECT_TRUE(master.isyournewmaster());
    expectPosition(master.min(), Vector3(-1, 0, 0));
    expectPosition(master.max(), Vector3(4, 5, 6));
}

TEST_F(SenderTest, ExistingPlayersAreDescribedInSceneOrderReplicasIncluded) {
    Player* replica = SceneObjectFactory::getInstance()->createAndAttachPlayer("bob", Vector3(), Quaternion(), 100,
                                                                               Team::Red, 0x500000009ULL);
    replica->setIsReplica(true);
    shot(); // not a player
    CommEndpoint watcher(CommEndpointTypes::WatcherEndpoint);
    sender->sendPlayerUpdateAboutExistingPlayers(&watcher);
    std::vector<QueuedFrame> frames = QueuedFrames::tcpFor(*clientQueue, &watcher);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].as<Velmor::ObjectInfo>().id(), p->id);
    EXPECT_EQ(frames[1].as<Velmor::ObjectInfo>().id(), 0x500000009ULL);
}

TEST_F(SenderTest, NothingIsQueuedForAKillOrForAForgottenEndpoint) {
    sender->sendIWasKilled(p, p);
    EXPECT_THAT(QueuedFrames::tcpFor(*clientQueue, p), IsEmpty());
    EXPECT_THAT(QueuedFrames::udpFor(*clientQueue, p, false), IsEmpty());

    CommEndpoint coordinatorLike(CommEndpointTypes::CoordinatorEndpoint);
    sender->sendObjectDestroy(p, p);
    sender->sendObjectDestroy(p, &coordinatorLike);
    sender->wantToDeleteEndpoint(p);
    sender->wantToDeleteEndpoint(&coordinatorLike);
    EXPECT_THAT(QueuedFrames::tcpFor(*clientQueue, p), IsEmpty());
    EXPECT_THAT(QueuedFrames::tcpFor(*serverQueue, &coordinatorLike), IsEmpty());
}

TEST_F(SenderTest, SendStepReachesEveryPlayerAndWatcherBroadcastsFirst) {
    tcp::socket& annPeer = pair.peer();
    Player* replica = connectedPlayer("bob", 0x50002);
    replica->setIsReplica(true);
    tcp::socket& bobPeer = pair.peer();
    CommEndpoint* watcher = new CommEndpoint(CommEndpointTypes::WatcherEndpoint);
    watcher->setTcpSocket(pair.connect());
    tcp::socket& watcherPeer = pair.peer();
    watchers->addNewWatcher(watcher);

    sender->sendWelcome(p); // for ann alone, queued first
    sender->broadcastCreateObject(p);
    sender->sendMessages();
    pair.io.run();

    std::vector<QueuedFrame> ann = QueuedFrames::arrivedAt(annPeer);
    ASSERT_EQ(ann.size(), 2u);
    EXPECT_EQ(ann[0].type, MessageTypes::ObjectInfo);
    EXPECT_EQ(ann[1].type, MessageTypes::Welcome);
    for (tcp::socket* peer : {&bobPeer, &watcherPeer}) {
        std::vector<QueuedFrame> frames = QueuedFrames::arrivedAt(*peer);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].as<Velmor::ObjectInfo>().id(), p->id);
    }
    EXPECT_THAT(clientQueue->tcpBroadcastBuffer_, IsEmpty());
}

} // namespace
