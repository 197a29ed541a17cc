#include <gtest/gtest.h>

#include <list>

#include "Support/Process/PeerProcesses.h"

using namespace peertest;

namespace {

const uint64_t PlayerId = 0x100000002;
const uint32_t Qport = 0x10002;

// The frames of a datagram that starts with `qport`; empty when it does not.
std::list<networkEventPtr> framesAfterQport(const std::string& datagram, uint32_t qport) {
    if (datagram.size() < 4 ||
        datagram.compare(0, 4,
                         std::string{static_cast<char>(qport & 0xFF), static_cast<char>((qport >> 8) & 0xFF),
                                     static_cast<char>((qport >> 16) & 0xFF), static_cast<char>(qport >> 24)}) != 0)
        return {};
    std::string rest;
    return MessageSerializer::deserializeMessageArray(datagram.data() + 4, datagram.size() - 4, &rest);
}

const Velmor::ClientUpdate* findUpdate(const std::list<networkEventPtr>& frames) {
    for (const networkEventPtr& e : frames)
        if (e->messageType == MessageTypes::ClientUpdate)
            return static_cast<Velmor::ClientUpdate*>(e->message);
    return nullptr;
}

bool hasPing(const std::list<networkEventPtr>& frames) {
    for (const networkEventPtr& e : frames)
        if (e->messageType == MessageTypes::Ping)
            return true;
    return false;
}

// The test plays the bot's first region server.
class BotTest : public ::testing::Test {
protected:
    // Starts the bot against `server` and answers its First login with a welcome.
    void startAndWelcome(std::vector<std::string> args, FakeRegionServer& server) {
        args.insert(args.begin(), {STANDIN_BOT, "--port", server.portText(), "--name", "tester"});
        bot.reset(new ChildProcess(args));
        connection = server.accept();
        ASSERT_TRUE(connection) << bot->output();
        auto login = connection->expect<Velmor::Login>(MessageTypes::Login);
        ASSERT_TRUE(login);
        EXPECT_EQ(LoginType::First, login->logintype());
        EXPECT_EQ("tester", login->name());

        Velmor::Welcome welcome;
        welcome.set_id(PlayerId);
        welcome.set_qport(Qport);
        welcome.mutable_playerdata()->set_health(100);
        welcome.mutable_playerdata()->set_name("tester");
        for (Velmor::Position* p : {welcome.mutable_min(), welcome.mutable_max()})
            p->set_x(0), p->set_y(0), p->set_z(0);
        welcome.mutable_max()->set_x(100);
        connection->send(welcome);
        ASSERT_FALSE(
            waitForLine(*bot, "welcome via 127.0.0.1:" + server.portText() + ": id 0x100000002 qport 0x10002").empty())
            << bot->output();
    }

    // The frames of the next datagram at `server`, which must carry the welcomed qport.
    std::list<networkEventPtr> nextDatagram(FakeRegionServer& server, udp::endpoint* from = nullptr) {
        std::string bytes;
        udp::endpoint source;
        if (!server.receive(bytes, source)) {
            ADD_FAILURE() << "no datagram";
            return {};
        }
        if (from)
            *from = source;
        std::list<networkEventPtr> frames = framesAfterQport(bytes, Qport);
        EXPECT_FALSE(frames.empty()) << "datagram of " << bytes.size() << " bytes without the qport and frames";
        return frames;
    }

    // Reads the datagrams at `server` until one holds a ClientUpdate whose booster bits
    // include `bits`; false when none comes in time.
    bool waitForBits(FakeRegionServer& server, uint32_t bits) {
        std::string bytes;
        udp::endpoint from;
        // No datagram within Patience ends the wait as well: its deadline has passed by then.
        return waitUntil([&] {
            if (!server.receive(bytes, from))
                return false;
            // The frames own the messages: keep them while the update is read.
            const std::list<networkEventPtr> frames = framesAfterQport(bytes, Qport);
            const Velmor::ClientUpdate* update = findUpdate(frames);
            return update && (update->boosterson() & bits) == bits;
        });
    }

    boost::asio::io_context io;
    FakeRegionServer first{io};
    std::unique_ptr<ChildProcess> bot;
    std::unique_ptr<FrameSocket> connection;
};

} // namespace

TEST_F(BotTest, LogsInFirstThenSteersByDatagramsWithItsQportAndTimesPings) {
    startAndWelcome({"--velocity", "0,0,10", "--seconds", "30", "--fire"}, first);

    udp::endpoint from;
    std::list<networkEventPtr> frames = nextDatagram(first, &from);
    ASSERT_TRUE(findUpdate(frames));

    // The first datagram carries a ping as well; the answer is timed.
    uint32_t serial = 0;
    for (const networkEventPtr& e : frames)
        if (e->messageType == MessageTypes::Ping)
            serial = static_cast<Velmor::Ping*>(e->message)->ping_serial_num();
    ASSERT_NE(0u, serial);
    Velmor::Pong pong;
    pong.set_ping_serial_num(serial);
    first.udpSocket.send_to(boost::asio::buffer(MessageSerializer::serializeMessage(pong)), from);
    EXPECT_FALSE(waitForLine(*bot, "round trip").empty());

    // Updates of its own ship tell it where it is; others' objects are named.
    Velmor::ObjectUpdate own;
    own.set_id(PlayerId);
    own.set_timestamp(1000);
    own.mutable_position()->set_x(1), own.mutable_position()->set_y(2), own.mutable_position()->set_z(3);
    first.udpSocket.send_to(boost::asio::buffer(MessageSerializer::serializeMessage(own)), from);
    EXPECT_FALSE(waitForLine(*bot, "own ship at (1,2,3)").empty());
    // A second sample a second later shows 30 units per second where 10 are wanted: brake.
    own.set_timestamp(2000);
    own.mutable_position()->set_z(33);
    first.udpSocket.send_to(boost::asio::buffer(MessageSerializer::serializeMessage(own)), from);
    EXPECT_TRUE(waitForBits(first, Steering::Brake));
    EXPECT_TRUE(waitForBits(first, Steering::Fire)) << "fires now and then";
    Velmor::ObjectDestroy gone;
    gone.set_id(0x100000009);
    connection->send(gone);
    EXPECT_FALSE(waitForLine(*bot, "object 0x100000009 destroyed").empty());
}

TEST_F(BotTest, TurnsItsShipTowardsTheWantedVelocity) {
    struct Case {
        const char* velocity;
        float w, x, y, z;
        uint32_t bits;
    };
    const float half = 0.70710677f;
    const Case cases[] = {
        {"0,0,10", 1, 0, 0, 0, Steering::ThrustForward},       // forward is the ship's own z axis: no turn
        {"10,0,0", half, 0, half, 0, Steering::ThrustForward}, // a quarter turn about y
        {"0,0,-10", 0, 1, 0, 0, Steering::ThrustForward},      // straight back: half a turn
        {"0,0,0", 1, 0, 0, 0, Steering::Brake},                // hold still: brake
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.velocity);
        FakeRegionServer server{io};
        startAndWelcome({"--velocity", c.velocity}, server);
        std::list<networkEventPtr> frames = nextDatagram(server);
        const Velmor::ClientUpdate* update = findUpdate(frames);
        ASSERT_TRUE(update);
        EXPECT_NEAR(c.w, update->orientation().w(), 1e-5);
        EXPECT_NEAR(c.x, update->orientation().x(), 1e-5);
        EXPECT_NEAR(c.y, update->orientation().y(), 1e-5);
        EXPECT_NEAR(c.z, update->orientation().z(), 1e-5);
        EXPECT_EQ(c.bits, update->boosterson());
    }
}

TEST_F(BotTest, WatchesAndFollowsTheServersItIsSentTo) {
    startAndWelcome({"--seconds", "5"}, first);
    FakeRegionServer second{io};
    FakeRegionServer third{io};
    auto order = [](FakeRegionServer& to, bool master) {
        Velmor::ConnectToNearBy c;
        c.set_host("127.0.0.1");
        c.set_port(to.portText());
        c.set_isyournewmaster(master);
        for (Velmor::Position* p : {c.mutable_min(), c.mutable_max()})
            p->set_x(0), p->set_y(0), p->set_z(0);
        return c;
    };
    auto expectAdditionalLogin = [](FakeRegionServer& at) {
        std::unique_ptr<FrameSocket> c = at.accept();
        EXPECT_TRUE(c);
        if (!c)
            return c;
        auto login = c->expect<Velmor::Login>(MessageTypes::Login);
        EXPECT_TRUE(login && login->logintype() == LoginType::Additional && login->qport() == Qport);
        return c;
    };

    // Watch the second server: a connection of its own, logged in with the qport, and from the
    // steering socket a datagram with the qport and input, by which the server learns where to
    // send its updates. Pings go to the controlling server only.
    Velmor::ConnectToNearBy watch = order(second, false);
    connection->send(watch);
    std::unique_ptr<FrameSocket> watching = expectAdditionalLogin(second);
    ASSERT_TRUE(watching);
    udp::endpoint steeringFrom, watchingFrom;
    nextDatagram(first, &steeringFrom);
    const std::list<networkEventPtr> watchFrames = nextDatagram(second, &watchingFrom);
    EXPECT_TRUE(findUpdate(watchFrames));
    EXPECT_FALSE(hasPing(watchFrames));
    EXPECT_EQ(steeringFrom, watchingFrom);

    // Sent to the third server as its new master: a new connection there, and from then on
    // the steering goes there.
    Velmor::ConnectToNearBy toThird = order(third, true);
    connection->send(toThird);
    std::unique_ptr<FrameSocket> mastered = expectAdditionalLogin(third);
    ASSERT_TRUE(findUpdate(nextDatagram(third)));

    // Then to the second one, which it watches already: that connection is the one the
    // server binds to the player, so no new one is made. The pings, which go to the
    // controlling server only, come there now.
    Velmor::ConnectToNearBy toSecond = order(second, true);
    mastered->send(toSecond);
    ASSERT_TRUE(waitForLine(*bot, "controlled by 127.0.0.1:" + second.portText() + " now").size());
    std::string bytes;
    udp::endpoint from;
    bool pinged = false;
    while (!pinged && second.receive(bytes, from))
        pinged = hasPing(framesAfterQport(bytes, Qport));
    EXPECT_TRUE(pinged);
    EXPECT_FALSE(second.accept(milliseconds(0)));

    int status = -1;
    ASSERT_TRUE(bot->waitForExit(Patience, &status));
    EXPECT_EQ(0, status);
    const std::string summary = waitForLine(*bot, "summary:");
    EXPECT_NE(std::string::npos, summary.find("controlled by 127.0.0.1:" + first.portText() + ", 127.0.0.1:" +
                                              third.portText() + ", 127.0.0.1:" + second.portText() + "; hand-overs 2"))
        << summary;
}

TEST_F(BotTest, LogsOutAsAWatcherAndASecondLaterInAgainOnTheSameConnection) {
    startAndWelcome({"--velocity", "0,0,10", "--seconds", "5", "--logout-after", "0.5"}, first);
    auto logout = connection->expect<Velmor::Logout>(MessageTypes::Logout);
    ASSERT_TRUE(logout);
    EXPECT_EQ(LogoutType::Watcher, logout->logoutastype());
    EXPECT_FALSE(waitForLine(*bot, "logged out as a watcher at 127.0.0.1:" + first.portText()).empty());

    // Logged out, it steers no more: the datagrams sent before the Logout are here already, and
    // the next one comes after its new login, which is on the same connection.
    std::string bytes;
    udp::endpoint from;
    while (first.receive(bytes, from, milliseconds(0)))
        ;
    ASSERT_TRUE(first.receive(bytes, from));
    EXPECT_TRUE(readable(connection->socket.native_handle(), milliseconds(0))) << "steering before the login";
    auto login = connection->expect<Velmor::Login>(MessageTypes::Login);
    ASSERT_TRUE(login);
    EXPECT_EQ(LoginType::Additional, login->logintype());
    EXPECT_EQ(Qport, login->qport());
    EXPECT_TRUE(findUpdate(framesAfterQport(bytes, Qport)));
    EXPECT_FALSE(first.accept(milliseconds(0)));
}
