#include "Server/ServerRegionHandler.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Network/Limits.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/CaseName.h"
#include "Support/Wire/FreePort.h"
#include "Support/World/LiveNetwork.h"
#include "Support/World/QueuedFrames.h"
#include "Support/World/RegistryFixture.h"
#include "Support/Wire/TcpPair.h"

namespace {

class ServerRegionHandlerTest : public RegistryFixture {
protected:
    // A pool entry that the map places at 127.0.0.1:`port`.
    static ControllingServer* addServerAt(unsigned int id, const std::string& port) {
        ControllingServer* entry = addServer(id);
        entry->host = "127.0.0.1";
        entry->port = port;
        return entry;
    }

    // What one neighbour check printed, run in a frame of its own.
    std::string checkNeighbours() {
        registry()->resetConnectBudget();
        return checkInThisFrame();
    }

    // What one neighbour check printed, with what is left of this frame's budget.
    std::string checkInThisFrame() {
        testing::internal::CaptureStdout();
        registry()->testConnectionToNeighbours();
        return testing::internal::GetCapturedStdout();
    }

    static size_t countOf(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }

    static std::string restLine(unsigned int id, int seconds) {
        return "Server " + std::to_string(id) + " did not answer within 200 ms, next try in " +
               std::to_string(seconds) + " s at the earliest\n";
    }
};

// A listener of the test's own that stands for a neighbour server, reached through the live
// networking.
class ListeningNeighbour {
public:
    ListeningNeighbour() { LiveNetwork::get(); }

    std::string port() const { return std::to_string(listener.local_endpoint().port()); }

    // Closes the connection that `entry` opened to it and waits for its ClosedConnection, after
    // which the entry frees the socket, as in a frame.
    void closeConnectionOf(ControllingServer* entry) {
        Network::getInstance()->wantToDeleteEndpoint(entry);
        boost::asio::ip::tcp::socket peer(io);
        listener.accept(peer);
        peer.close();
        RecordingDispatcher recorder;
        EXPECT_TRUE(dispatchUntil(recorder, [&] {
            return !recorder.events.empty() && recorder.events.back()->eventType == EventTypes::ClosedConnection;
        }));
        entry->deleteTcpSocket();
    }

private:
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor listener{io,
                                            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
};

TEST_F(ServerRegionHandlerTest, OneRegistryStartingEmpty) {
    EXPECT_EQ(ServerRegionHandler::getInstance(), registry());
    EXPECT_EQ(registry()->myself, nullptr);
    EXPECT_TRUE(registry()->serverList.empty());
    EXPECT_EQ(registry()->regionsControlled(), 0u);
    EXPECT_TRUE(registry()->serversToConnectTo().empty());
    registry()->testConnectionToNeighbours(); // nothing to do without myself
}

TEST_F(ServerRegionHandlerTest, AddServerToPoolBehavesAsThePool) {
    RegionHandler* pool = registry();
    testing::internal::CaptureStdout();
    ControllingServer* own = pool->AddServerToPool(4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "id:0:[0] Server 4 added.\n");
    EXPECT_EQ(pool->AddServerToPool(4), own);
}

TEST_F(ServerRegionHandlerTest, RegionsControlledCountsOnlyMyOwn) {
    registry()->myself = addServer(1);
    addServer(2)->AddRegion(Vector3(), Vector3(1, 1, 1), 20);
    registry()->myself->AddRegion(Vector3(), Vector3(1, 1, 1), 10);
    registry()->myself->AddRegion(Vector3(), Vector3(1, 1, 1), 11);
    EXPECT_EQ(registry()->regionsControlled(), 2u);
}

struct SelectionCase {
    const char* what;
    std::vector<unsigned int> pool; // added in this order, so the pool lists them reversed
    unsigned int myself;
    std::vector<unsigned int> connected; // entries that already hold a socket
    std::vector<uint32_t> expected;      // in pool order
    std::vector<unsigned int> unnamed;   // entries the map never gave a host and port (a login's)
};
PRINT_CASE_AS_WHAT(SelectionCase)

const SelectionCase kSelectionCases[] = {
    {"lower id connects to higher", {1, 2}, 1, {}, {2}, {}},
    {"higher id never connects to lower", {1, 2}, 2, {}, {}, {}},
    {"only myself", {3}, 3, {}, {}, {}},
    {"every higher id, in pool order", {5, 9, 3, 7}, 5, {}, {7, 9}, {}},
    {"already connected is skipped", {5, 9, 3, 7}, 5, {9}, {7}, {}},
    {"ids compare unsigned", {1, 0x80000000u, 0}, 1, {}, {0x80000000u}, {}},
    {"an entry without the map's address is never tried", {1, 2, 3}, 1, {}, {2}, {3}},
};

class ServerSelectionTest : public RegistryFixture, public testing::WithParamInterface<SelectionCase> {
protected:
    TcpPair sockets;
};

TEST_P(ServerSelectionTest, OfTwoServersTheLowerIdOpens) {
    const SelectionCase& c = GetParam();
    for (unsigned int id : c.pool) {
        ControllingServer* entry = addServer(id);
        if (std::find(c.unnamed.begin(), c.unnamed.end(), id) == c.unnamed.end()) {
            entry->host = "127.0.0.1";
            entry->port = std::to_string(21000 + id % 1000);
        }
    }
    for (unsigned int id : c.connected)
        registry()->getControllingServer(id)->setTcpSocket(sockets.connect());
    registry()->myself = registry()->getControllingServer(c.myself);

    EXPECT_EQ(idsOf(registry()->serversToConnectTo()), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Neighbours, ServerSelectionTest, testing::ValuesIn(kSelectionCases), caseName<SelectionCase>);

// Real connections through the live networking: a listener of the test's own stands for
// server 2; nothing listens for server 3; server 0 has the lower id and opens its own.
TEST_F(ServerRegionHandlerTest, OpensTheConnectionsOfHigherIdsAndReportsEach) {
    ListeningNeighbour neighbour;
    registry()->myself = addServer(1);
    ControllingServer* reachable = addServerAt(2, neighbour.port());
    ControllingServer* unreachable = addServerAt(3, std::to_string(freeGamePort()));
    ControllingServer* lower = addServerAt(0, reachable->port);

    const std::string out = checkNeighbours();
    EXPECT_NE(out.find("Connected to server 2 127.0.0.1:" + reachable->port + "\n"), std::string::npos);
    EXPECT_NE(out.find("Connection to server 127.0.0.1:" + unreachable->port + " failed\n"), std::string::npos);
    ASSERT_NE(reachable->getTcpSocket(), nullptr);
    EXPECT_EQ(unreachable->getTcpSocket(), nullptr);
    EXPECT_EQ(lower->getTcpSocket(), nullptr);

    // The connected server alone is sent this server's login.
    MessageSender* serverQueue = Network::getInstance()->serverMessageSender;
    Velmor::Login login = QueuedFrames::onlyTcp<Velmor::Login>(*serverQueue, reachable, MessageTypes::Login);
    EXPECT_EQ(login.logintype(), LoginType::NearServer);
    EXPECT_EQ(login.serverid(), static_cast<uint32_t>(Network::getInstance()->ownId));
    EXPECT_EQ(login.qport(), Network::getInstance()->myQport);
    EXPECT_TRUE(QueuedFrames::tcpFor(*serverQueue, unreachable).empty());
    neighbour.closeConnectionOf(reachable);
}

// A neighbour that never answers holds one check for one bounded connect; then it rests, twice
// as long after each unanswered try, and the servers behind it are tried at the next check. The
// wall clock's steps neither end a rest nor make it longer.
TEST_F(ServerRegionHandlerTest, ANeighbourThatNeverAnswersRestsAndHoldsNoOtherBack) {
    SilentListener silent;
    ListeningNeighbour neighbour;
    registry()->myself = addServer(1);
    ControllingServer* answering = addServerAt(2, neighbour.port());
    ControllingServer* unanswering = addServerAt(3, silent.port());
    ASSERT_EQ(registry()->serversToConnectTo().front(), unanswering);
    const auto restLine = [](int seconds) { return ServerRegionHandlerTest::restLine(3, seconds); };

    std::string out = checkNeighbours();
    EXPECT_NE(out.find("Connection to server 127.0.0.1:" + silent.port() + " failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find(restLine(1)), std::string::npos) << out;
    EXPECT_EQ(answering->getTcpSocket(), nullptr);

    out = checkNeighbours();
    EXPECT_NE(out.find("Connected to server 2 127.0.0.1:" + answering->port + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(silent.port()), std::string::npos) << out;
    EXPECT_EQ(checkNeighbours(), "");

    const struct {
        int64_t wallStep;
        int64_t advance;
        int restAfter; // seconds, or 0 for no try
    } steps[] = {{0, 999, 0}, {0, 1, 2}, {3600 * 1000, 0, 0}, {0, 1999, 0}, {0, 1, 4}, {-7200 * 1000, 3999, 0},
                 {0, 1, 8}};
    for (const auto& step : steps) {
        FakeClock::stepWallClock(step.wallStep);
        FakeClock::advance(step.advance);
        out = checkNeighbours();
        if (step.restAfter == 0)
            EXPECT_EQ(out, "") << step.advance;
        else
            EXPECT_NE(out.find(restLine(step.restAfter)), std::string::npos) << step.advance << ": " << out;
    }
    EXPECT_EQ(unanswering->getTcpSocket(), nullptr);
    neighbour.closeConnectionOf(answering);
}

// The region-map handler runs the check once per server the map lists, right after writing the
// server's address, all in one frame. Five servers that never answer: the frame spends one
// time-out, on the first, and tries no other; each later frame's check tries one more.
TEST_F(ServerRegionHandlerTest, AMapOfFiveUnansweringServersHoldsItsFrameForOneTimeOut) {
    LiveNetwork::get(); // the connects use its I/O service
    SilentListener silent[5];
    registry()->myself = addServer(1);
    for (unsigned int id = 2; id <= 6; ++id)
        addServer(id); // by the map's hosts, in order; the address follows
    std::string portOf[7];
    for (unsigned int id = 2; id <= 6; ++id)
        portOf[id] = silent[id - 2].port();

    registry()->resetConnectBudget();
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    for (unsigned int id = 2; id <= 6; ++id) {
        ControllingServer* entry = registry()->getControllingServer(id);
        entry->host = "127.0.0.1";
        entry->port = portOf[id];
        registry()->testConnectionToNeighbours();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(out, "Connection to server "), 1u) << out;
    EXPECT_NE(out.find("Connection to server 127.0.0.1:" + portOf[2] + " failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find(restLine(2, 1)), std::string::npos) << out;
    // One time-out and a wide margin; the five connects took a second before.
    EXPECT_LT(took, std::chrono::milliseconds(NEIGHBOUR_CONNECT_BUDGET_MS + 400));

    for (unsigned int id = 6; id >= 3; --id) { // pool order, newest first
        out = checkNeighbours();
        EXPECT_EQ(countOf(out, "Connection to server "), 1u) << out;
        EXPECT_NE(out.find("Connection to server 127.0.0.1:" + portOf[id] + " failed\n"), std::string::npos) << out;
        EXPECT_NE(out.find(restLine(id, 1)), std::string::npos) << out;
    }
    EXPECT_EQ(checkNeighbours(), ""); // all resting
}

// A connect that the frame's budget cut short is no sign of a host that never answers: the
// server does not rest and is tried with its whole time-out at the next check. A connect
// refused at once leaves the one behind it its whole time-out.
TEST_F(ServerRegionHandlerTest, AConnectCutShortByTheBudgetIsNoUnansweredTry) {
    LiveNetwork::get(); // the connects use its I/O service
    SilentListener silent;
    registry()->myself = addServer(1);
    ControllingServer* unanswering = addServerAt(2, silent.port());
    ControllingServer* refusing = addServerAt(3, std::to_string(freeGamePort()));
    ASSERT_EQ(registry()->serversToConnectTo().front(), refusing);
    const std::string failed = "Connection to server 127.0.0.1:" + unanswering->port + " failed\n";

    registry()->resetConnectBudget();
    registry()->setConnectBudgetForTesting(std::chrono::milliseconds(50));
    std::string out = checkInThisFrame();
    EXPECT_NE(out.find("Connection to server 127.0.0.1:" + refusing->port + " failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find(failed), std::string::npos) << out;
    EXPECT_EQ(out.find("did not answer"), std::string::npos) << out;
    EXPECT_EQ(checkInThisFrame(), ""); // nothing left in this frame

    // Alone in the next frame (how long the refusal takes depends on the machine's load), it
    // gets its whole time-out.
    refusing->host.clear();
    out = checkNeighbours();
    EXPECT_NE(out.find(failed), std::string::npos) << out;
    EXPECT_NE(out.find(restLine(2, 1)), std::string::npos) << out; // the first rest
    EXPECT_EQ(unanswering->getTcpSocket(), nullptr);
}

} // namespace
