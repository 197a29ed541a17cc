#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "Peers/PeerSupport.h"
#include "Support/Process/PeerProcesses.h"

using namespace peertest;

namespace {

// The test plays the region server of the soak's login attacks: it accepts every connection,
// welcomes each First login with the next qport of its list, and counts what comes.
class HostilePeerTest : public ::testing::Test {
protected:
    struct Connection {
        std::unique_ptr<FrameSocket> socket;
        // The first frames only: a stream is read no further.
        std::vector<networkEventPtr> frames;
        bool closed = false;
        uint32_t qport = 0;
    };

    void start(std::vector<std::string> args) {
        args.insert(args.begin(), {HOSTILE_PEER, "--port", server.portText()});
        attacker.reset(new ChildProcess(args));
        server.acceptor.non_blocking(true);
    }

    // Accepts, reads and welcomes until `done` holds or the patience ends; false then.
    bool serveUntil(const std::function<bool()>& done) {
        return waitUntil([&] {
            boost::system::error_code error;
            for (;;) {
                tcp::socket s = server.acceptor.accept(error);
                if (error)
                    break;
                connections.emplace_back(new Connection());
                connections.back()->socket.reset(new FrameSocket(std::move(s)));
            }
            for (const std::unique_ptr<Connection>& c : connections) {
                while (!c->closed && c->frames.size() <= 1000) {
                    networkEventPtr e = c->socket->next(milliseconds(3));
                    if (!e) {
                        c->closed = c->socket->peerClosed;
                        break;
                    }
                    c->frames.push_back(e);
                    if (e->messageType == MessageTypes::Login &&
                        static_cast<Velmor::Login*>(e->message)->logintype() == LoginType::First)
                        welcome(*c);
                }
            }
            return done();
        });
    }

    void welcome(Connection& c) {
        Velmor::Welcome w;
        w.set_id(0x100000000 + welcomed);
        c.qport = qports[welcomed++ % qports.size()];
        w.set_qport(c.qport);
        w.mutable_playerdata()->set_health(100);
        w.mutable_playerdata()->set_name("x");
        for (Velmor::Position* p : {w.mutable_min(), w.mutable_max()})
            p->set_x(0), p->set_y(0), p->set_z(0);
        c.socket->send(w);
    }

    size_t count(const std::function<bool(const Connection&)>& which) const {
        size_t n = 0;
        for (const std::unique_ptr<Connection>& c : connections)
            n += which(*c) ? 1 : 0;
        return n;
    }

    static bool startsWith(const Connection& c, MessageTypes::MessageType type) {
        return !c.frames.empty() && c.frames.front()->messageType == type;
    }

    static const Velmor::Login* login(const Connection& c) {
        return startsWith(c, MessageTypes::Login) ? static_cast<Velmor::Login*>(c.frames.front()->message) : nullptr;
    }

    // What the attacker has printed so far, for a failure's message.
    std::string said() {
        attacker->waitForOutput("summary:", milliseconds(100));
        std::string text = attacker->output() + "connections (frames, closed):";
        for (const std::unique_ptr<Connection>& c : connections)
            text += " " + std::to_string(c->frames.size()) + (c->closed ? "c" : "");
        return text + ", welcomed " + std::to_string(welcomed);
    }

    // The attacker's summary line, once it has ended by itself.
    std::string summary() {
        int status = -1;
        EXPECT_TRUE(attacker->waitForExit(Patience, &status));
        EXPECT_EQ(0, status);
        return waitForLine(*attacker, "summary:");
    }

    boost::asio::io_context io;
    FakeRegionServer server{io};
    std::unique_ptr<ChildProcess> attacker;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<uint32_t> qports = {0x10002, 0x10003, 0x10004};
    uint32_t welcomed = 0;
};

} // namespace

TEST_F(HostilePeerTest, QportWrapCountsAQportGivenAgainWhileItsHolderIsLive) {
    // Two held players get 0x10002 and 0x10003; of the three churn logins the second gets
    // 0x10002 again.
    qports = {0x10002, 0x10003, 0x10004, 0x10002, 0x10005};
    start({"qport-wrap", "--connections", "2", "--logins", "3", "--threads", "1", "--seconds", "20"});
    ASSERT_TRUE(serveUntil([&] { return welcomed == 5 && count([](const Connection& c) { return c.closed; }) >= 3; }))
        << said();
    const std::string line = summary();
    EXPECT_NE(std::string::npos, line.find(" logins=5 login_failures=0 logouts=0 qport_repeats=1 ")) << line;
    EXPECT_NE(std::string::npos, line.find(" held_at_end=2 ")) << line;
}

TEST_F(HostilePeerTest, OrphansLogInLogOutAsWatchersAndCloseCleanly) {
    start({"orphans", "--logins", "3", "--threads", "1", "--seconds", "20"});
    // Each connection: a First login, a Logout as watcher, then its end, with nothing lost.
    ASSERT_TRUE(serveUntil([&] {
        return count([](const Connection& c) {
                   return c.closed && c.frames.size() == 2 && login(c) && login(c)->logintype() == LoginType::First &&
                          c.frames[1]->messageType == MessageTypes::Logout &&
                          static_cast<Velmor::Logout*>(c.frames[1]->message)->logoutastype() == LogoutType::Watcher;
               }) == 3;
    })) << said();
    const std::string line = summary();
    EXPECT_NE(std::string::npos, line.find(" logins=3 login_failures=0 logouts=3 ")) << line;
    EXPECT_EQ(3u, connections.size());
}

TEST_F(HostilePeerTest, LoggedInHoldSendsAPlayerAWatcherAndAnUnknownServerInTurn) {
    start({"logged-in-hold", "--connections", "3", "--seconds", "3"});
    ASSERT_TRUE(serveUntil([&] { return count([](const Connection& c) { return login(c) != nullptr; }) == 3; }))
        << said();
    std::map<uint32_t, int> kinds;
    for (const std::unique_ptr<Connection>& c : connections) {
        ++kinds[login(*c)->logintype()];
        if (login(*c)->logintype() == LoginType::Additional) {
            EXPECT_EQ(0xBEEF0000u, login(*c)->qport() & 0xFFFF0000u);
        }
        if (login(*c)->logintype() == LoginType::NearServer) {
            EXPECT_GT(login(*c)->serverid(), 1u);
        }
    }
    EXPECT_EQ((std::map<uint32_t, int>{{LoginType::First, 1}, {LoginType::Additional, 1}, {LoginType::NearServer, 1}}),
              kinds);
    // The server closes one: the summary counts it and says when.
    connections.front()->socket->socket.close();
    EXPECT_NE(std::string::npos, summary().find(" closed_by_server=1 held_at_end=3 ")) << "the one closed is replaced";
}

TEST_F(HostilePeerTest, LoggedInSlowlorisSendsAWatchersLoginThenAFrameThatNeverEnds) {
    start({"logged-in-slowloris", "--connections", "2", "--seconds", "3"});
    ASSERT_TRUE(serveUntil([&] { return count([](const Connection& c) { return login(c) != nullptr; }) == 2; }))
        << said();
    for (const std::unique_ptr<Connection>& c : connections) {
        EXPECT_EQ(1u, c->frames.size());
        EXPECT_EQ(LoginType::Additional, login(*c)->logintype());
    }
    connections.back()->socket->socket.close();
    const std::string line = summary();
    EXPECT_NE(std::string::npos, line.find(" closed_by_server=1 held_at_end=1 ")) << line;
    EXPECT_EQ(std::string::npos, line.find("first_close_s=-1")) << line;
}

TEST_F(HostilePeerTest, TcpFrameStreamSendsAWatchersLoginThenLogoutsWithoutEnd) {
    start({"tcp-frame-stream", "--connections", "2", "--seconds", "2"});
    ASSERT_TRUE(serveUntil([&] {
        return count([](const Connection& c) { return login(c) && c.frames.size() > 1000; }) == 2;
    })) << said();
    for (const std::unique_ptr<Connection>& c : connections) {
        EXPECT_EQ(LoginType::Additional, login(*c)->logintype());
        EXPECT_EQ(MessageTypes::Logout, c->frames.back()->messageType);
    }
}

TEST_F(HostilePeerTest, DatagramAttacksSendWhatTheirModesSay) {
    // dense-datagrams: 681 empty RegionUpdates behind a made-up qport.
    start({"dense-datagrams", "--threads", "1", "--seconds", "1"});
    std::string bytes;
    udp::endpoint from;
    ASSERT_TRUE(server.receive(bytes, from)) << said();
    ASSERT_EQ(4u + 681 * 3, bytes.size());
    EXPECT_EQ('\xBE', bytes[3]);
    std::string rest;
    const std::list<networkEventPtr> frames =
        MessageSerializer::deserializeMessageArray(&bytes[4], bytes.size() - 4, &rest);
    EXPECT_EQ(681u, frames.size());
    for (const networkEventPtr& e : frames)
        EXPECT_EQ(MessageTypes::RegionUpdate, e->messageType);
    summary();

    // many-non-readers: each player fires by datagram from its connection's address, behind the
    // qport of its Welcome.
    start({"many-non-readers", "--connections", "2", "--seconds", "5"});
    ASSERT_TRUE(serveUntil([&] { return welcomed == 2; })) << said();
    std::map<std::string, uint32_t> qportOf;
    for (const std::unique_ptr<Connection>& c : connections)
        qportOf[c->socket->socket.remote_endpoint().address().to_string()] = c->qport;
    std::set<std::string> firing;
    ASSERT_TRUE(waitUntil([&] {
        if (!server.receive(bytes, from, milliseconds(100)))
            return false;
        const auto q = qportOf.find(from.address().to_string());
        if (q == qportOf.end() || bytes.compare(0, 4, qportBytes(q->second)) != 0)
            return false;
        const std::list<networkEventPtr> update =
            MessageSerializer::deserializeMessageArray(&bytes[4], bytes.size() - 4, &rest);
        if (update.size() == 1 && update.front()->messageType == MessageTypes::ClientUpdate &&
            static_cast<Velmor::ClientUpdate*>(update.front()->message)->boosterson() == Steering::Fire)
            firing.insert(q->first);
        return firing.size() == 2;
    })) << said();
    EXPECT_NE(std::string::npos, summary().find(" logins=2 login_failures=0 "));
}
