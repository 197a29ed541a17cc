// The main frame's stages, run on the real scene.
#include "Server/main.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/Debug/Logger.h"
#include "Common/Debug/ResourceMonitor.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Server/Console.h"
#include "Server/ServerRegionHandler.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/NetworkFixture.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

// A player and a shot that record every collision response by the two kinds involved
// (the frame treats whatever is in the player list as a player).
std::vector<std::string>& responses() {
    static std::vector<std::string> entries;
    return entries;
}
std::string kindName(SceneGraphType::SceneGraphType kind) {
    return kind == SceneGraphType::Player ? "player" : "shot";
}

class PlayerBumper : public Player {
public:
    explicit PlayerBumper(uint64_t id_) : Player(id_, Team::Red, 100.0f) {}
    void collisionResponse(CollisionObject* other) override {
        responses().push_back(kindName(type) + "<-" + kindName(other->type));
    }
};

class ShotBumper : public Projectile {
public:
    explicit ShotBumper(uint64_t id_) : Projectile(id_) {}
    void collisionResponse(CollisionObject* other) override {
        responses().push_back(kindName(type) + "<-" + kindName(other->type));
    }
};

// A node whose update always throws.
class Faulty : public Transform {
public:
    explicit Faulty(uint64_t id_) : Transform(id_) {}
    void realUpdate(float) override { throw std::runtime_error("broken"); }
};

// The frame reaches the networking through the singleton: the fixture gives it send queues,
// a Sender, a dispatcher and a watcher registry without sockets.
class MainLoopTest : public NetworkFixture {
protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        responses().clear();
        Probe::log().clear();
        // The frame clock runs from process start: without this the first frame's step covers
        // every test before, and the shots would expire mid-test.
        timer.getTimeDiff();
    }
    void TearDown() override {
        shouldCollideAllObjects = false;
        NetworkFixture::TearDown();
    }
    // The kinds of each pass, in the order the passes ran, each pass once.
    static std::vector<std::string> passes() {
        std::vector<std::string> kinds;
        for (const std::string& r : responses())
            if (kinds.empty() || kinds.back() != r)
                kinds.push_back(r);
        return kinds;
    }
};

TEST_F(MainLoopTest, CollideAllAddsShotAndPlayerPassesAfterTheUsualOne) {
    scene()->attach(new PlayerBumper(11));
    scene()->attach(new ShotBumper(12));
    scene()->attach(new ShotBumper(13));
    scene()->attach(new PlayerBumper(14));

    printedBy([] { mainLoop(); });
    EXPECT_THAT(passes(), ElementsAre("player<-shot", "shot<-player", "player<-shot", "shot<-player", "player<-shot",
                                      "shot<-player", "player<-shot", "shot<-player"));

    responses().clear();
    shouldCollideAllObjects = true;
    printedBy([] { mainLoop(); });
    const std::vector<std::string> kinds = passes();
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds[kinds.size() - 2], "shot<-shot");
    EXPECT_EQ(kinds.back(), "player<-player");
}

TEST_F(MainLoopTest, ThrowingSceneUpdateStillLetsTheFrameSendConvertRemoveAndRunTheConsole) {
    scene()->attach(new Faulty(21));
    Probe* doomed = new Probe("doomed", 22);
    scene()->attach(doomed);
    Player* leaving = connectedPlayer("leaving", 0x50002);
    printedBy([&] {
        scene()->addToRemoveList(doomed);
        watchers->playerToWatcher(leaving, "127.0.0.1", "21043", Vector3(100, 0, 0), Vector3(200, 100, 100), 2);
        sender->broadcastUpdateObject(leaving);
    });
    push("sc");

    const std::string printed = printedBy([] { mainLoop(); });
    const std::string line = "scenegraph update got an execption\n";
    EXPECT_EQ(printed.find(line), printed.rfind(line)) << printed; // one line
    EXPECT_THAT(printed, HasSubstr(line));
    EXPECT_TRUE(clientQueue->udpBroadcastBuffer_.empty()); // the send step ran
    EXPECT_TRUE(leaving->isReplica());                     // converted
    EXPECT_EQ(watchers->watchers.size(), 1u);
    EXPECT_THAT(Probe::log(), ElementsAre("~doomed")); // removed
    EXPECT_EQ(scene()->getOBjectById(22), nullptr);
    EXPECT_THAT(printed, HasSubstr("0 - 0\n")); // the console ran
}

// A collision response that throws. The frame treats whatever is in the player list as a player.
class ThrowingBumper : public Player {
public:
    static bool& throwing() {
        static bool on = true;
        return on;
    }
    explicit ThrowingBumper(uint64_t id_) : Player(id_, Team::Red, 100.0f) {}
    void collisionResponse(CollisionObject*) override {
        if (throwing())
            throw std::runtime_error("broken");
    }
};

// Outside the three guarded stages an exception leaves the frame where it is thrown; the
// scheduler reports it. What was queued waits for the next frame.
TEST_F(MainLoopTest, AnExceptionInAnUnguardedStageEndsTheFrameThere) {
    ThrowingBumper::throwing() = true;
    scene()->attach(new ThrowingBumper(31));
    scene()->attach(new ShotBumper(32));
    scene()->attach(new Probe("mover", 33));
    Probe* doomed = new Probe("doomed", 34);
    scene()->attach(doomed);
    printedBy([&] { scene()->addToRemoveList(doomed); });
    push("sc");

    printedBy([] { EXPECT_THROW(mainLoop(), std::runtime_error); });
    EXPECT_THAT(Probe::log(), testing::IsEmpty()); // neither updated nor removed

    ThrowingBumper::throwing() = false;
    const std::string printed = printedBy([] { mainLoop(); });
    EXPECT_THAT(Probe::log(), ElementsAre("mover", "doomed", "~doomed"));
    EXPECT_THAT(printed, HasSubstr("0 - 0\n"));
}

// Switched on by the console at the end of one frame, the made-up load is set by every frame
// after it, from the players under this server's control.
TEST_F(MainLoopTest, MadeUpLoadIsSetByEveryFrameWhileSwitchedOn) {
    ResourceMonitor* monitor = ResourceMonitor::getInstance();
    const short savedFigure = monitor->GetCPUusageCached();
    for (uint64_t id = 2; id < 5; ++id)
        scene()->attach(new Player(id, Team::Red, 100.0f));
    Player* replica = new Player(9, Team::Blue, 100.0f);
    replica->setIsReplica(true);
    scene()->attach(replica);

    push("tfc");
    monitor->SetCPUusageCache(7);
    printedBy([] { mainLoop(); });
    EXPECT_EQ(monitor->GetCPUusageCached(), 7); // the switch comes after this frame's load stage
    printedBy([] { mainLoop(); });
    EXPECT_EQ(monitor->GetCPUusageCached(), 60);
    monitor->SetCPUusageCache(7);
    printedBy([] { mainLoop(); });
    EXPECT_EQ(monitor->GetCPUusageCached(), 60);

    push("tfc");
    printedBy([] { mainLoop(); });
    monitor->SetCPUusageCache(7);
    printedBy([] { mainLoop(); });
    EXPECT_EQ(monitor->GetCPUusageCached(), 7);
    monitor->SetCPUusageCache(savedFigure);
}

// Every frame counts itself, and the first one more than a second after the last rate turns
// the count into the frame rate.
TEST_F(MainLoopTest, EachFrameIsCountedIntoTheFrameRate) {
    FakeClock clock;
    timer.getTimeDiff();
    Logger* log = Logger::getInstance();
    log->resetForTesting();
    printedBy([] { mainLoop(); });
    printedBy([] { mainLoop(); });
    EXPECT_EQ(log->numberOfFramesSinceLast, 2u);
    EXPECT_FLOAT_EQ(log->fps, -1.0f);
    clock.advance(1250);
    printedBy([] { mainLoop(); });
    EXPECT_EQ(log->numberOfFramesSinceLast, 0u);
    EXPECT_FLOAT_EQ(log->fps, 3 * 1000.0f / 1250);
    log->resetForTesting();
}

// A server stopped for 4 s (a paused machine, a swap storm) does not carry a ship through 4 s of
// flight in one step when it wakes: the frame after the stall moves the world by a quarter of a
// second at most, while the clocks, the frame rate among them, count the whole stall.
TEST_F(MainLoopTest, TheFrameAfterAStallMovesTheWorldByAQuarterOfASecondAtMost) {
    FakeClock clock;
    timer.getTimeDiff();
    Logger* log = Logger::getInstance();
    log->resetForTesting();
    Player* ship = new Player(41, Team::Red, 100.0f);
    ship->velocity = Vector3(50, 0, 0); // coasting
    scene()->attach(ship);
    const auto frameAfter = [&](int64_t ms) {
        const float before = ship->position.x;
        clock.advance(ms);
        printedBy([] { mainLoop(); });
        return ship->position.x - before;
    };
    EXPECT_NEAR(frameAfter(33), 50 * 0.033f, 1e-3f);
    const uint32_t syncedBefore = Timer::getCurSyncedTime();

    EXPECT_NEAR(frameAfter(4000), 50 * 0.25f, 1e-3f);
    EXPECT_EQ(Timer::getCurSyncedTime() - syncedBefore, 4000u);
    EXPECT_FLOAT_EQ(log->fps, 2 * 1000.0f / 4033);
    // The frame after it is an ordinary one again.
    EXPECT_NEAR(frameAfter(33), 50 * 0.033f, 1e-3f);
    log->resetForTesting();
}

// Every frame gives the neighbour connects a whole budget again: a check with nothing left
// tries no server; after a frame it does.
TEST_F(MainLoopTest, EachFrameStartsTheNeighbourConnectBudgetAfresh) {
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    printedBy([&] {
        registry->myself = registry->AddServerToPool(1);
        ControllingServer* neighbour = registry->AddServerToPool(2);
        // Nothing listens there: the connect fails at once, or has no I/O service to use.
        neighbour->host = "127.0.0.1";
        neighbour->port = "1";
    });
    const std::string tried = "Connection to server 127.0.0.1:1 failed\n";
    registry->setConnectBudgetForTesting(std::chrono::milliseconds(0));
    EXPECT_THAT(printedBy([&] { registry->testConnectionToNeighbours(); }), testing::Not(HasSubstr(tried)));
    printedBy([] { mainLoop(); });
    EXPECT_THAT(printedBy([&] { registry->testConnectionToNeighbours(); }), HasSubstr(tried));
}

} // namespace
