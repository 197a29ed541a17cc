#include "Common/Network/WatcherManager.h"

#include <string>

#include <gmock/gmock.h>

#include "Support/World/NetworkFixture.h"

namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

udp::endpoint from(const char* address, unsigned short port) {
    return udp::endpoint(boost::asio::ip::make_address(address), port);
}

// Server 3, whose neighbour 4 controls region 2.
class WatcherManagerTest : public NetworkFixture {
protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        SceneObjectFactory::getInstance()->init(3);
        becomeServer(3);
        ServerRegionHandler::getInstance()->AddServerToPool(4)->AddRegion(Vector3(10, 0, 0), Vector3(20, 10, 10), 2);
    }

    CommEndpoint* watcherWith(tcp::socket* socket, uint32_t qport) {
        CommEndpoint* w = new CommEndpoint(CommEndpointTypes::WatcherEndpoint);
        w->setTcpSocket(socket);
        w->qport = qport;
        watchers->addNewWatcher(w);
        return w;
    }

    // A player of this server whose client is connected; `udp` names its UDP address, if any.
    Player* clientPlayer(const char* udpAddress) {
        Player* p = connectedPlayer("ann", 0x30002);
        p->endpointType = CommEndpointTypes::ClientEndpoint;
        p->temphost = "old";
        if (udpAddress) {
            udp::endpoint address = from(udpAddress, 4000);
            p->setUdpEndpoint(address);
        }
        return p;
    }
};

TEST_F(WatcherManagerTest, RegistryFindsAndRemovesOnlyItsOwnWatchers) {
    tcp::socket* socket = pair.connect();
    CommEndpoint* w = watcherWith(socket, 0x10002);
    CommEndpoint* other = watcherWith(nullptr, 0x10003);
    EXPECT_EQ(watchers->findByTcpSocket(socket), w);
    tcp::socket stranger(pair.io);
    EXPECT_EQ(watchers->findByTcpSocket(&stranger), nullptr);

    CommEndpoint notAWatcher(CommEndpointTypes::ClientEndpoint);
    EXPECT_THAT(printedBy([&] { watchers->removeWatcher(&notAWatcher); }),
                HasSubstr("Error could not find watcher to remove\n"));
    EXPECT_THAT(watchers->watchers, ElementsAre(w, other));

    sender->sendObjectDestroy(scene(), w); // something still queued for it
    watchers->removeWatcher(w);
    EXPECT_THAT(watchers->watchers, ElementsAre(other));
    EXPECT_TRUE(clientQueue->tcpBuffer_.empty());
    EXPECT_TRUE(socket->is_open()); // the registry never closes a socket
    delete socket;
}

TEST_F(WatcherManagerTest, DatagramFindsAWatcherByItsQportAndPeerAddressOnly) {
    tcp::socket* broken = new tcp::socket(pair.io);
    broken->open(tcp::v4()); // open but not connected: its peer cannot be read
    watcherWith(broken, 0x10002);
    watcherWith(nullptr, 0x10002);
    CommEndpoint* w = watcherWith(pair.connect(), 0x10002);
    struct {
        const char* what;
        const char* address;
        uint32_t qport;
        bool found;
    } cases[] = {
        {"any source port", "127.0.0.1", 0x10002, true},
        {"other qport", "127.0.0.1", 0x10003, false},
        {"other address", "127.0.0.2", 0x10002, false},
    };
    for (const auto& c : cases) {
        for (unsigned short port : {1, 50000}) {
            udp::endpoint source = from(c.address, port);
            EXPECT_EQ(watchers->findByUdpEndpoint(&source, c.qport), c.found ? w : nullptr) << c.what;
        }
    }
    EXPECT_EQ(watchers->findByUdpEndpoint(nullptr, 0x10002), nullptr);
}

TEST_F(WatcherManagerTest, DatagramFindsTheFirstWatcherOfItsQportInOrderOfAddition) {
    tcp::socket* firstSocket = pair.connect();
    CommEndpoint* first = watcherWith(firstSocket, 0x10002);
    CommEndpoint* second = watcherWith(pair.connect(), 0x10002);
    CommEndpoint* other = watcherWith(pair.connect(), 0x10004);
    udp::endpoint source = from("127.0.0.1", 4000);
    EXPECT_EQ(watchers->findByUdpEndpoint(&source, 0x10002), first);
    watchers->removeWatcher(first);
    delete firstSocket;
    EXPECT_EQ(watchers->findByUdpEndpoint(&source, 0x10002), second);

    // A watcher made from a player's connection, and a qport written after the watcher was added.
    Player* p = clientPlayer(nullptr);
    watchers->playerToWatcher(p, "h", "1", Vector3(), Vector3(), -1);
    printedBy([&] { watchers->convertPlayersToWatchers(); });
    ASSERT_EQ(watchers->watchers.size(), 3u);
    EXPECT_EQ(watchers->findByUdpEndpoint(&source, 0x30002), watchers->watchers.back());
    other->qport = 0x10002;
    watchers->watcherQportChanged(other);
    second->qport = 0x10005;
    watchers->watcherQportChanged(second);
    EXPECT_EQ(watchers->findByUdpEndpoint(&source, 0x10002), other);
    EXPECT_EQ(watchers->findByUdpEndpoint(&source, 0x10004), nullptr);
    EXPECT_EQ(watchers->findByUdpEndpoint(&source, 0x10005), second);
}

TEST_F(WatcherManagerTest, PlayerIsQueuedOncePerFrameTowardsTheFirstTarget) {
    Player* p = clientPlayer("127.0.0.1");
    watchers->playerToWatcher(p, "10.0.0.4", "21043", Vector3(10, 0, 0), Vector3(20, 10, 10), 2);
    watchers->playerToWatcher(p, "10.0.0.5", "21044", Vector3(), Vector3(), -1);
    ASSERT_EQ(watchers->convert_to_watchers.size(), 1u);
    EXPECT_EQ(watchers->convert_to_watchers.front().host, "10.0.0.4");
    EXPECT_EQ(watchers->convert_to_watchers.front().regionId, 2);
}

TEST_F(WatcherManagerTest, ConversionTurnsTheClientsConnectionIntoAWatcherThatIsToldItsNewServer) {
    Player* p = clientPlayer("10.9.8.7");
    tcp::socket& client = pair.peer();
    tcp::socket* socket = p->getTcpSocket();
    dispatcher->playersWhoLackAClient.push_back(p);
    sender->sendObjectDestroy(scene(), p); // queued for the player: dropped by the conversion
    watchers->playerToWatcher(p, "10.0.0.4", "21043", Vector3(10, 0, 0), Vector3(20, 10, 10), 2);
    const std::string out = printedBy([&] { watchers->convertPlayersToWatchers(); });

    EXPECT_THAT(out, HasSubstr("Chaning active region for player (id:300000002) to region 2 and server 4\n"));
    EXPECT_EQ(p->temphost, "10.9.8.7"); // the UDP address comes first
    EXPECT_TRUE(p->isReplica());
    EXPECT_EQ(p->endpointType, CommEndpointTypes::Unknown);
    EXPECT_EQ(p->getTcpSocket(), nullptr);
    EXPECT_EQ(p->getUdpEndpoint(), nullptr);
    EXPECT_EQ(p->qport, 0x30002u);
    EXPECT_THAT(dispatcher->playersWhoLackAClient, IsEmpty());
    EXPECT_THAT(watchers->convert_to_watchers, IsEmpty());

    ASSERT_EQ(watchers->watchers.size(), 1u);
    CommEndpoint* w = watchers->watchers.front();
    EXPECT_EQ(w->endpointType, CommEndpointTypes::WatcherEndpoint);
    EXPECT_EQ(w->qport, 0x30002u);
    EXPECT_EQ(w->getTcpSocket(), socket);
    ASSERT_NE(w->getUdpEndpoint(), nullptr);
    EXPECT_EQ(w->getUdpEndpoint()->port(), 4000);
    EXPECT_EQ(w->temphost, "");

    EXPECT_THAT(QueuedFrames::tcpFor(*clientQueue, p), IsEmpty());
    Velmor::ConnectToNearBy told =
        QueuedFrames::onlyTcp<Velmor::ConnectToNearBy>(*clientQueue, w, MessageTypes::ConnectToNearBy);
    EXPECT_EQ(told.host(), "10.0.0.4");
    EXPECT_EQ(told.port(), "21043");
    EXPECT_TRUE(told.isyournewmaster());
    EXPECT_EQ(told.min().x(), 10.0f);
    EXPECT_EQ(told.max().x(), 20.0f);

    // It leaves with the next frame's send step, over the connection the watcher took.
    sender->sendMessages();
    pair.io.run();
    std::vector<QueuedFrame> arrived = QueuedFrames::arrivedAt(client);
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(arrived[0].type, MessageTypes::ConnectToNearBy);
}

TEST_F(WatcherManagerTest, HostTextComesFromTheTcpPeerWithoutADatagram) {
    struct {
        const char* what;
        int regionId;
        const char* line;
    } cases[] = {
        {"coordinator", -1, "Chaning active region for player (id:300000002) ( from coordinator )\n"},
        {"unknown region", 77,
         "Chaning active region for player (id:300000002) (could not find region) BADDDDDD!!!!!!!!\n"},
    };
    for (const auto& c : cases) {
        SceneFixture::reset();
        SceneObjectFactory::getInstance()->init(3);
        Player* p = clientPlayer(nullptr);
        watchers->playerToWatcher(p, "h", "1", Vector3(), Vector3(), c.regionId);
        EXPECT_THAT(printedBy([&] { watchers->convertPlayersToWatchers(); }), HasSubstr(c.line)) << c.what;
        EXPECT_EQ(p->temphost, "127.0.0.1") << c.what;
        EXPECT_EQ(watchers->watchers.back()->getUdpEndpoint(), nullptr);
    }
}

TEST_F(WatcherManagerTest, PlayerWithoutAnyAddressIsRemovedInsteadOfConverted) {
    Player* p = clientPlayer(nullptr);
    p->deleteTcpSocket();
    watchers->playerToWatcher(p, "h", "1", Vector3(), Vector3(), 2);
    EXPECT_THAT(printedBy([&] { watchers->convertPlayersToWatchers(); }),
                HasSubstr("Error Could not set host string for (id:300000002) when convert to watcher "
                          "!!!!!!!!!!!!!!!!!! ARGH FEHLER !!!!!!!!\n"));
    EXPECT_THAT(scene()->removeList2, ElementsAre(p));
    EXPECT_THAT(watchers->watchers, IsEmpty());
    EXPECT_TRUE(clientQueue->tcpBuffer_.empty());
    EXPECT_THAT(watchers->convert_to_watchers, IsEmpty());
}

TEST_F(WatcherManagerTest, PlayerWhoseConnectionClosedInTheFrameLeavesNoWatcher) {
    Player* p = clientPlayer("10.9.8.7");
    p->deleteTcpSocket(); // as the closed-connection handler does
    sender->sendObjectDestroy(scene(), p);
    watchers->playerToWatcher(p, "h", "1", Vector3(), Vector3(), 2);
    EXPECT_THAT(printedBy([&] { watchers->convertPlayersToWatchers(); }),
                HasSubstr("Player (id:300000002) has no connection left, no watcher made\n"));
    EXPECT_THAT(watchers->watchers, IsEmpty());
    EXPECT_TRUE(p->isReplica());
    EXPECT_EQ(p->temphost, "10.9.8.7");
    EXPECT_EQ(p->getUdpEndpoint(), nullptr);
    EXPECT_TRUE(clientQueue->tcpBuffer_.empty());
}

TEST_F(WatcherManagerTest, BrokenConnectionStillBecomesAWatcherForItsClosedEventToRemove) {
    Player* p = clientPlayer(nullptr);
    p->deleteTcpSocket();
    tcp::socket* broken = new tcp::socket(pair.io);
    broken->open(tcp::v4());
    p->setTcpSocket(broken);
    watchers->playerToWatcher(p, "h", "1", Vector3(), Vector3(), -1);
    EXPECT_THAT(printedBy([&] { watchers->convertPlayersToWatchers(); }),
                HasSubstr("Error could not read the client address of (id:300000002), keeping host old\n"));
    EXPECT_EQ(p->temphost, "old");
    EXPECT_TRUE(p->isReplica());
    ASSERT_EQ(watchers->watchers.size(), 1u);
    EXPECT_EQ(watchers->findByTcpSocket(broken), watchers->watchers.front());
}

} // namespace
