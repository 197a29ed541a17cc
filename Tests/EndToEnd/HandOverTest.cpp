// A ship's place among the regions as the servers and a bot see it: the watch instruction, what
// a watching bot gets from the neighbour, the hand-over at the border between two servers, the
// move that the coordinator orders, and the hold at the edge of the world.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Process/Cluster.h"

namespace e2e {
namespace {

// The bot's id from its welcome line ("... id 0x<hex> qport ..."), as the servers print it
// (hex without "0x"); "" when it was not welcomed.
std::string serverIdIn(const std::string& welcomeLine) {
    const uint64_t id = botIdIn(welcomeLine);
    return id ? hexOf(id) : "";
}

TEST(HandOverTest, BotIsToldToWatchTheNeighbourAndThenHandedToIt) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startLinkedServers());
    Process& first = cluster.server(1);
    Process& second = cluster.server(2);
    const std::string firstAt = cluster.addressOf(1);
    const std::string secondAt = cluster.addressOf(2);

    Process& bot = cluster.startBot(1, "crosser", "20,0,0", 10);
    const std::string id = serverIdIn(bot.nextLine("welcome via "));
    ASSERT_NE("", id) << cluster.outputs();

    // Region 2 lies within 100 of the spawn point: the client is told to watch server 2 first,
    // and only once, however many ticks the ship spends near it.
    EXPECT_NE("", bot.nextLine("told via " + firstAt + " to watch " + secondAt)) << cluster.outputs();
    // Past x = 100 the ship lies in region 2 alone: server 1 hands it over and makes the
    // client's connection a watcher told its new master.
    EXPECT_NE("", first.nextLine("Sending Transfer control of id:" + id + " to server 2")) << cluster.outputs();
    EXPECT_NE("", first.nextLine("Chaning active region for player (id:" + id + ") to region 2 and server 2"))
        << cluster.outputs();
    EXPECT_NE("", second.nextLine("got control over player (id:" + id)) << cluster.outputs();
    EXPECT_NE("", bot.nextLine("told via " + firstAt + " to go to " + secondAt)) << cluster.outputs();
    EXPECT_NE("", bot.nextLine("controlled by " + secondAt + " now (hand-over 1)")) << cluster.outputs();

    float x, y, z;
    ASSERT_TRUE(vectorIn(bot.nextLine("own ship at ("), x, y, z)) << cluster.outputs();
    EXPECT_GT(x, 100.0f) << bot.output();
    // One watch instruction, and one hand-over: server 2 does not hand the ship back.
    const std::string watch = "to watch " + secondAt;
    const std::string& said = bot.output();
    EXPECT_EQ(said.find(watch), said.rfind(watch)) << said;
    EXPECT_FALSE(bot.printed("(hand-over 2)")) << said;
    EXPECT_FALSE(second.printed("Sending Transfer control of id:" + id)) << second.output();
}

TEST(HandOverTest, WatchingBotsGetTheNeighboursUpdatesByUdp) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startLinkedServers());
    const std::string firstAt = cluster.addressOf(1);
    const std::string secondAt = cluster.addressOf(2);

    // Both ships hold still 50 from the other region: each client watches the other server,
    // and neither server keeps a copy of the other's ship (that takes 10), so a ship's updates
    // reach the other client only by its own server's broadcast.
    Process& west = cluster.startBot(1, "west", "0,0,0", 10);
    Process& east = cluster.startBot(2, "east", "0,0,0", 10);
    const std::string westId = serverIdIn(west.nextLine("welcome via "));
    const std::string eastId = serverIdIn(east.nextLine("welcome via "));
    ASSERT_NE("", westId) << cluster.outputs();
    ASSERT_NE("", eastId) << cluster.outputs();
    EXPECT_NE("", west.nextLine("told via " + firstAt + " to watch " + secondAt)) << cluster.outputs();
    EXPECT_NE("", east.nextLine("told via " + secondAt + " to watch " + firstAt)) << cluster.outputs();

    // A watched server sends its datagrams once the client's have told it where to.
    EXPECT_NE("", west.nextLine("first update of object 0x" + eastId + " by UDP via " + secondAt)) << cluster.outputs();
    EXPECT_NE("", east.nextLine("first update of object 0x" + westId + " by UDP via " + firstAt)) << cluster.outputs();
    // Each ship is still its own server's, where it was made, and neither client is sent on.
    const struct {
        Process* bot;
        const std::string& at;
        float x;
    } ships[] = {{&west, firstAt, 50}, {&east, secondAt, 150}};
    for (const auto& ship : ships) {
        const std::string line = ship.bot->nextLine("own ship at (");
        float x, y, z;
        ASSERT_TRUE(vectorIn(line, x, y, z)) << cluster.outputs();
        EXPECT_NEAR(ship.x, x, 1.0f) << line;
        EXPECT_NE(std::string::npos, line.find(" via " + ship.at)) << line;
        EXPECT_FALSE(ship.bot->printed(" to go to ")) << ship.bot->output();
    }
}

TEST(HandOverTest, CoordinatorMovesABotToAnotherServerWhichTakesControl) {
    struct Case {
        const char* what;
        std::vector<std::string> regions;
        // The centre of server 2's region, where the moved ship is placed.
        float centreX;
        // Whether the client watches server 2 already: its connection there is bound at once,
        // else it logs in there and the waiting player is bound then.
        bool watchesFirst;
    };
    const Case cases[] = {
        {"spawned near the border", TwoTouchingRegions, 150, true},
        {"spawned far from the border", {"1:0,0,0:300,300,300", "2:300,0,0:600,300,300"}, 450, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cluster cluster(c.regions);
        ASSERT_NO_FATAL_FAILURE(cluster.startLinkedServers());
        Process* coordinator = cluster.coordinator();
        Process& second = cluster.server(2);
        const std::string firstAt = cluster.addressOf(1);
        const std::string secondAt = cluster.addressOf(2);

        Process& bot = cluster.startBot(1, "mover", "0,0,0", 15);
        const std::string id = serverIdIn(bot.nextLine("welcome via "));
        ASSERT_NE("", id) << cluster.outputs();
        // The coordinator knows the player once its server has handed it over after the join.
        ASSERT_NE("", coordinator->nextLine("hand-back of player 0x" + id)) << cluster.outputs();
        if (c.watchesFirst) {
            ASSERT_NE("", bot.nextLine("told via " + firstAt + " to watch " + secondAt)) << cluster.outputs();
        }

        coordinator->writeInput("move 0x" + id + " 2\n");
        EXPECT_NE("", coordinator->nextLine("move of player 0x" + id + " ordered: from server 1 to server 2"))
            << cluster.outputs();
        EXPECT_NE("", coordinator->nextLine("hand-over of player 0x" + id)) << cluster.outputs();
        EXPECT_NE("", second.nextLine("got control over player (id:" + id)) << cluster.outputs();
        EXPECT_NE("", bot.nextLine("told via " + firstAt + " to go to " + secondAt)) << cluster.outputs();
        EXPECT_NE("", bot.nextLine("controlled by " + secondAt + " now (hand-over 1)")) << cluster.outputs();

        // Server 2 drives the ship now: its updates come from there, at rest in the centre. An
        // update that server 1 sent before it let go may still be on its way.
        std::string line;
        for (int i = 0; i < 3 && line.find("via " + secondAt) == std::string::npos; ++i)
            line = bot.nextLine("own ship at (");
        float x, y, z;
        ASSERT_NE(std::string::npos, line.find("via " + secondAt)) << bot.output();
        ASSERT_TRUE(vectorIn(line, x, y, z)) << line;
        EXPECT_NEAR(c.centreX, x, 1.0f) << line;
        line = bot.nextLine("own ship at (");
        EXPECT_NE(std::string::npos, line.find("via " + secondAt)) << bot.output();
        ASSERT_TRUE(vectorIn(line, x, y, z)) << cluster.outputs();
        EXPECT_NEAR(c.centreX, x, 1.0f) << line;
        // Server 2 keeps the ship: it hands it nowhere, and the client follows no other master.
        EXPECT_FALSE(bot.printed("(hand-over 2)")) << bot.output();
        EXPECT_FALSE(second.printed("Sending Transfer control of id:" + id)) << second.output();
    }
}

TEST(HandOverTest, BotFlyingOffTheWorldIsHeldOnItsRegionsFace) {
    Cluster cluster({"1:0,0,0:100,100,100"});
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
    Process& server = cluster.server(1);

    // Long enough for all the lines read below: a held ship is updated only once a second, and
    // the bot prints at most one position a second, so lines may come up to two seconds apart.
    Process& bot = cluster.startBot(1, "leaver", "-40,0,0", 18);
    const std::string id = serverIdIn(bot.nextLine("welcome via "));
    ASSERT_NE("", id) << cluster.outputs();

    const std::string stopping =
        "Stopping " + id + " from leaving (0.000000,0.000000,0.000000) (100.000000,100.000000,100.000000)";
    EXPECT_NE("", server.nextLine(stopping)) << cluster.outputs();
    // The bot shows its ship once a second: once it has reached the face it stays there,
    // held in every tick however long it keeps flying outward.
    float x = 100, y, z;
    for (int i = 0; i < 5 && x >= 2.0f; ++i)
        ASSERT_TRUE(vectorIn(bot.nextLine("own ship at ("), x, y, z)) << cluster.outputs();
    ASSERT_LT(x, 2.0f) << bot.output();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(vectorIn(bot.nextLine("own ship at ("), x, y, z)) << cluster.outputs();
        EXPECT_GT(x, -2.0f) << bot.output();
        EXPECT_LT(x, 2.0f) << bot.output();
    }
    // Reported when its hold started, then once 10 s later with the frames held so far: a few
    // lines however long a ship pushes against the edge, not one per frame.
    EXPECT_NE("", server.nextLine(stopping + " (held for ")) << server.output();
    const std::string& printed = server.output();
    size_t lines = 0;
    for (size_t at = printed.find("Stopping " + id); at != std::string::npos;
         at = printed.find("Stopping " + id, at + 1))
        ++lines;
    EXPECT_EQ(2u, lines) << printed;
}

} // namespace
} // namespace e2e
