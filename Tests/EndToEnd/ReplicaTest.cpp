// Copies of a server's objects on its neighbour as real processes show them: a replica that
// follows its owner's updates, a shot handed over at the border, and a ship that stays inside
// the margins and so is never handed over.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Process/Cluster.h"

namespace e2e {
namespace {

// Two running servers of `regions` with server 1 connected to server 2.
class ReplicaTest : public ::testing::Test {
protected:
    void startServers(const std::vector<std::string>& regions) {
        cluster.reset(new Cluster(regions));
        ASSERT_NO_FATAL_FAILURE(cluster->startLinkedServers());
        first = &cluster->server(1);
        second = &cluster->server(2);
        firstAt = cluster->addressOf(1);
        secondAt = cluster->addressOf(2);
    }

    // The bot's own ship from its next position line that has y above `y`; false when none comes.
    bool shipPastY(Process& bot, float y, Vector3& at) {
        for (int line = 0; line < 10; ++line) {
            if (!vectorIn(bot.nextLine("own ship at ("), at.x, at.y, at.z))
                return false;
            if (at.y > y)
                return true;
        }
        return false;
    }

    // Where a player who logs in at server 2 now is told `id` is; false when it is not described.
    bool describedBySecond(uint64_t id, Vector3& at) {
        TestClient client(cluster->gamePort(2));
        const std::unique_ptr<Velmor::Welcome> welcome = client.loginFirst("looker");
        if (!welcome)
            return false;
        const std::map<uint64_t, Vector3> players = client.playersDescribedUntil(welcome->id());
        if (!players.count(id))
            return false;
        at = players.at(id);
        return true;
    }

    std::unique_ptr<Cluster> cluster;
    Process* first = nullptr;
    Process* second = nullptr;
    std::string firstAt;
    std::string secondAt;
};

TEST_F(ReplicaTest, NeighboursReplicaFollowsTheOwnersUpdates) {
    // Region 1 is 16 wide: its centre, where players spawn, lies 8 from region 2, inside the
    // distance at which the neighbour gets a copy.
    ASSERT_NO_FATAL_FAILURE(startServers({"1:42,0,0:58,100,100", "2:58,0,0:158,100,100"}));
    Process& bot = cluster->startBot(1, "alongside", "0,8,0", 8);
    const uint64_t id = botIdIn(bot.nextLine("welcome via "));
    ASSERT_NE(0u, id) << cluster->outputs();
    ASSERT_NE("", first->nextLine("got control over player (id:" + hexOf(id))) << cluster->outputs();

    // Flying parallel to the border: server 2's replica is where the owner's updates put the
    // ship, earlier and later, while server 1 keeps it.
    Vector3 ship, early, late;
    ASSERT_TRUE(shipPastY(bot, 58.0f, ship)) << cluster->outputs();
    ASSERT_TRUE(describedBySecond(id, early)) << cluster->outputs();
    ASSERT_TRUE(shipPastY(bot, early.y + 15.0f, ship)) << cluster->outputs();
    ASSERT_TRUE(describedBySecond(id, late)) << cluster->outputs();
    EXPECT_GT(late.y, early.y + 10.0f) << early.toString() << " then " << late.toString();
    EXPECT_NEAR(ship.y, late.y, 5.0f) << ship.toString() << " " << late.toString();
    EXPECT_NEAR(50.0f, late.x, 1.0f) << late.toString();
    EXPECT_FALSE(first->printed("Sending Transfer control of id:" + hexOf(id) + " to server")) << first->output();
}

TEST_F(ReplicaTest, ShotFiredAcrossTheBorderIsHandedToTheNeighbour) {
    ASSERT_NO_FATAL_FAILURE(startServers(TwoTouchingRegions));
    // Slow enough that the ship stays in region 1 while its shots (100 a second) cross x = 100.
    Process bot("bot gunner", {STANDIN_BOT, "--port", std::to_string(cluster->gamePort(1)), "--name", "gunner",
                               "--velocity", "5,0,0", "--seconds", "5", "--fire"});
    const uint64_t id = botIdIn(bot.nextLine("welcome via "));
    ASSERT_NE(0u, id) << bot.output() << cluster->outputs();
    // The bot watches server 2, which describes a shot to its clients when its copy comes (within
    // 10 of x = 100) and again once it controls the shot: then the shot lies in region 2.
    std::string line, copied;
    float x = 0, y, z;
    for (int i = 0; i < 20 && x < 100.0f; ++i) {
        line = bot.nextLine(": projectile of 0x" + hexOf(id) + " at (");
        ASSERT_TRUE(vectorIn(line, x, y, z)) << bot.output() << cluster->outputs();
        if (line.find(" via " + secondAt) == std::string::npos)
            x = 0;
        else if (copied.empty())
            copied = line;
    }
    EXPECT_GE(x, 100.0f) << bot.output();
    ASSERT_TRUE(vectorIn(copied, x, y, z)) << bot.output();
    EXPECT_GE(x, 90.0f) << copied;
    EXPECT_LT(x, 100.0f) << copied;
    // The same shot: its copy and the one taken over.
    EXPECT_EQ(copied.substr(0, copied.find(':')), line.substr(0, line.find(':'))) << bot.output();
    EXPECT_FALSE(second->printed("Threw away shot")) << second->output();
    EXPECT_FALSE(bot.printed("go to " + secondAt)) << bot.output();
}

TEST_F(ReplicaTest, ShipWithinTheMarginsIsWatchedButNeitherCopiedNorHandedOver) {
    // The spawn point lies 14 from region 2: inside the watch distance, outside the copy distance.
    ASSERT_NO_FATAL_FAILURE(startServers({"1:36,0,0:64,100,100", "2:64,0,0:164,100,100"}));
    Process& bot = cluster->startBot(1, "parallel", "0,10,0", 6);
    const uint64_t id = botIdIn(bot.nextLine("welcome via "));
    ASSERT_NE(0u, id) << cluster->outputs();
    EXPECT_NE("", bot.nextLine("told via " + firstAt + " to watch " + secondAt)) << cluster->outputs();

    Vector3 ship, copy;
    ASSERT_TRUE(shipPastY(bot, 75.0f, ship)) << cluster->outputs();
    EXPECT_NEAR(50.0f, ship.x, 1.0f) << ship.toString();
    EXPECT_FALSE(describedBySecond(id, copy)) << copy.toString() << cluster->outputs();
    EXPECT_FALSE(first->printed("Sending Transfer control of id:" + hexOf(id) + " to server")) << first->output();
    EXPECT_FALSE(bot.printed("go to " + secondAt)) << bot.output();
    EXPECT_FALSE(bot.printed("(hand-over")) << bot.output();
}

} // namespace
} // namespace e2e
