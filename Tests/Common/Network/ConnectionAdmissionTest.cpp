#include "Common/Network/ConnectionAdmission.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "Common/Network/Limits.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/NetworkFixture.h"

namespace {

using boost::asio::ip::tcp;
using testing::HasSubstr;

// An admission on its own in an empty world: the connections it is told of are held by
// nothing, so each gives way as readily as one left by a logout. The test owns every socket.
class ConnectionAdmissionTest : public NetworkFixture {
protected:
    // A connection accepted from 127.0.0.1 now, waiting for its login.
    tcp::socket* accepted() {
        owned.emplace_back(pair.connect());
        EXPECT_FALSE(admission.awaitLogin(owned.back().get()));
        return owned.back().get();
    }

    // The once-a-frame close, after `failedAccepts` accepts failed for want of descriptors;
    // what it printed.
    std::string closeWithoutLogin(size_t failedAccepts = 0) {
        return printedBy([&] { admission.closeConnectionsWithoutLogin(failedAccepts); });
    }

    // With the fake clock at the start of `socket`'s wait: the connection is still open one ms
    // before the login time-out and closed at it.
    void expectClosedAtTheLoginTimeout(tcp::socket* socket) {
        FakeClock::advance(LOGIN_TIMEOUT_MS - 1);
        EXPECT_EQ(closeWithoutLogin(), "");
        EXPECT_TRUE(socket->is_open());
        FakeClock::advance(1);
        EXPECT_THAT(closeWithoutLogin(), HasSubstr("Connection from 127.0.0.1 closed: no login within 10 seconds\n"));
        EXPECT_FALSE(socket->is_open());
    }

    ConnectionAdmission admission;
    std::vector<std::unique_ptr<tcp::socket>> owned;
};

// A connection that has not logged in within 10 seconds is closed (its ClosedConnection event
// follows as for any failed connection); one that logged in stays. When accepts failed for
// want of descriptors, as many of those without login go at once, the oldest first.
TEST_F(ConnectionAdmissionTest, ConnectionsWithoutLoginAreClosedInTimeAndGiveWayToLogins) {
    FakeClock clock;
    tcp::socket* idle = accepted();
    tcp::socket* joining = accepted();
    admission.loggedIn(joining);
    expectClosedAtTheLoginTimeout(idle);
    EXPECT_TRUE(joining->is_open());
    // Its close forgets it; a later check has nothing more to close.
    admission.closed(idle);
    EXPECT_EQ(closeWithoutLogin(), "");
    EXPECT_TRUE(admission.connectionsWithoutLogin().empty());

    std::vector<tcp::socket*> waiting;
    for (int i = 0; i < 8; ++i)
        waiting.push_back(accepted());
    // Those accepted a moment ago have not had the time to log in yet.
    FakeClock::advance(LOGIN_ROOM_MS);
    EXPECT_THAT(closeWithoutLogin(3),
                HasSubstr("Connection from 127.0.0.1 without login closed to make room for logins\n"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(waiting[i]->is_open(), i >= 3) << i;
}

// The wait for a login runs on a clock that the wall clock's steps do not move: set an hour
// forward it closes nothing, set back it holds nothing longer; each connection is closed when
// its own wait is up.
TEST_F(ConnectionAdmissionTest, TheWallClockSetForwardOrBackMovesNoWaitForALogin) {
    FakeClock fakeClock;
    std::vector<tcp::socket*> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(accepted());
        FakeClock::advance(1000);
    }
    FakeClock::stepWallClock(3600 * 1000);
    EXPECT_EQ(closeWithoutLogin(), "");
    FakeClock::advance(LOGIN_TIMEOUT_MS - 3000 - 1);
    EXPECT_EQ(closeWithoutLogin(), "");
    for (tcp::socket* s : idle)
        EXPECT_TRUE(s->is_open());
    FakeClock::advance(1);
    closeWithoutLogin();
    EXPECT_FALSE(idle[0]->is_open());
    EXPECT_TRUE(idle[1]->is_open());
    FakeClock::stepWallClock(-2 * 3600 * 1000);
    FakeClock::advance(1000);
    closeWithoutLogin();
    EXPECT_FALSE(idle[1]->is_open());
    EXPECT_TRUE(idle[2]->is_open());
    FakeClock::advance(1000);
    closeWithoutLogin();
    for (tcp::socket* s : idle) {
        EXPECT_FALSE(s->is_open());
        admission.closed(s);
    }
}

// A long shortage of descriptors closes one connection per failed accept, never more: those
// without login that have waited first, then the logged-in ones silent longest; 20 failed
// accepts take 20 of 40 connections, not half of them.
TEST_F(ConnectionAdmissionTest, ALongShortageOfDescriptorsClosesOneConnectionPerFailedAccept) {
    FakeClock fakeClock;
    std::vector<tcp::socket*> connections;
    for (int i = 0; i < 38; ++i) {
        connections.push_back(accepted());
        admission.loggedIn(connections.back());
        FakeClock::advance(10);
    }
    for (int i = 0; i < 2; ++i)
        connections.push_back(accepted());
    FakeClock::advance(LOGIN_ROOM_MS);
    const auto openOnes = [&] {
        return std::count_if(connections.begin(), connections.end(), [](tcp::socket* s) { return s->is_open(); });
    };

    // Three accepts failed in one frame: both without login, then the one silent longest.
    const std::string out = closeWithoutLogin(3);
    EXPECT_THAT(out, HasSubstr("without login closed to make room for logins\n"));
    EXPECT_THAT(out, HasSubstr(" s closed to make room for logins\n"));
    EXPECT_FALSE(connections[38]->is_open());
    EXPECT_FALSE(connections[39]->is_open());
    EXPECT_FALSE(connections[0]->is_open());
    EXPECT_EQ(openOnes(), 37);
    // Then one a frame for 17 frames.
    for (int frame = 0; frame < 17; ++frame) {
        closeWithoutLogin(1);
        FakeClock::advance(100);
        EXPECT_EQ(openOnes(), 36 - frame) << frame;
    }
    for (int i = 0; i < 18; ++i)
        EXPECT_FALSE(connections[i]->is_open()) << i;
    // A frame without a failed accept closes nothing.
    EXPECT_EQ(closeWithoutLogin(), "");
    EXPECT_EQ(openOnes(), 20);
}

} // namespace
