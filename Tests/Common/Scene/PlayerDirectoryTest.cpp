#include "Common/Scene/PlayerDirectory.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/GameObjects/Player.h"

namespace {

using boost::asio::ip::tcp;
using testing::ElementsAre;
using testing::IsEmpty;

// Three players and a list the test keeps as the scene keeps its Player list, reporting each
// append and removal; not the scene's own, which the directory never sees here. The sockets are
// never opened: only their addresses are looked up.
class PlayerDirectoryTest : public testing::Test {
protected:
    void append(Player* p) {
        list.push_back(p);
        directory.added(p, list);
    }
    void eraseFirst(Player* p) {
        list.erase(std::find(list.begin(), list.end(), p));
        directory.removed(p);
    }
    void setQport(Player* p, uint32_t qport) {
        p->qport = qport;
        directory.qportChanged(p);
    }
    std::vector<CommEndpoint*> withQport(uint32_t qport) {
        const std::vector<CommEndpoint*>* found = directory.withQport(qport);
        EXPECT_NE(found, nullptr);
        return found ? *found : std::vector<CommEndpoint*>();
    }

    Player a{static_cast<uint64_t>(1), Team::Red, 100.0f};
    Player b{static_cast<uint64_t>(2), Team::Red, 100.0f};
    Player c{static_cast<uint64_t>(3), Team::Blue, 100.0f};
    boost::asio::io_context io;
    tcp::socket first{io};
    tcp::socket second{io};
    TransformList list;
    PlayerDirectory directory;
};

TEST_F(PlayerDirectoryTest, APlayerListedTwiceIsFoundUntilBothOccurrencesAreGone) {
    setQport(&a, 7);
    setQport(&b, 7);
    a.setTcpSocket(&first);
    b.setTcpSocket(&first);
    append(&a);
    append(&b);
    append(&a); // the list is a, b, a
    EXPECT_EQ(directory.ofEndpoint(&a), &a);
    EXPECT_EQ(directory.withQport(7), nullptr); // the caller walks the list
    EXPECT_EQ(directory.firstWithTcpSocket(&first), &a);

    eraseFirst(&a); // b, a
    EXPECT_EQ(directory.ofEndpoint(&a), &a);
    EXPECT_THAT(withQport(7), ElementsAre(&b, &a));
    EXPECT_EQ(directory.firstWithTcpSocket(&first), &b);

    eraseFirst(&a); // b
    EXPECT_EQ(directory.ofEndpoint(&a), nullptr);
    EXPECT_THAT(withQport(7), ElementsAre(&b));
    EXPECT_EQ(directory.firstWithTcpSocket(&first), &b);

    directory.clear();
    list.clear();
    EXPECT_EQ(directory.ofEndpoint(&b), nullptr);
    EXPECT_THAT(withQport(7), IsEmpty());
    EXPECT_EQ(directory.firstWithTcpSocket(&first), nullptr);
}

TEST_F(PlayerDirectoryTest, AReportedQportMovesItsPlayerInListOrder) {
    for (Player* p : {&a, &b, &c}) {
        setQport(p, 7);
        append(p);
    }
    setQport(&c, 8);
    setQport(&a, 8);
    EXPECT_THAT(withQport(7), ElementsAre(&b));
    EXPECT_THAT(withQport(8), ElementsAre(&a, &c));
    // Written before the attach: it is appended with it.
    eraseFirst(&b);
    setQport(&b, 8);
    append(&b);
    EXPECT_THAT(withQport(7), IsEmpty());
    EXPECT_THAT(withQport(8), ElementsAre(&a, &c, &b));
}

// Nothing reports a socket's change to the directory: it follows every write of one.
TEST_F(PlayerDirectoryTest, TheSocketsPlayerFollowsEveryWriteOfAPlayersSocket) {
    append(&a);
    append(&b);
    EXPECT_EQ(directory.firstWithTcpSocket(&first), nullptr);
    b.setTcpSocket(&first);
    EXPECT_EQ(directory.firstWithTcpSocket(&first), &b);
    // A hand-over's copy: the first in list order answers, then the old holder resets.
    a.copyFromOther(&b);
    EXPECT_EQ(directory.firstWithTcpSocket(&first), &a);
    a.resetEndpoint(CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(directory.firstWithTcpSocket(&first), &b);
    b.resetEndpoint(CommEndpointTypes::ClientEndpoint);
    b.setTcpSocket(&second);
    EXPECT_EQ(directory.firstWithTcpSocket(&first), nullptr);
    EXPECT_EQ(directory.firstWithTcpSocket(&second), &b);
    // A player not in the list is not found by its socket.
    c.setTcpSocket(&first);
    EXPECT_EQ(directory.firstWithTcpSocket(&first), nullptr);
    eraseFirst(&b);
    EXPECT_EQ(directory.firstWithTcpSocket(&second), nullptr);
}

} // namespace
