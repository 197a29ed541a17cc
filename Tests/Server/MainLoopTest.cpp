// The main frame's stages, run on the real scene.
#include "Server/main.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/Debug/Logger.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Network/NetworkFixture.h"
#include "Support/FakeClock.h"

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

TEST_F(MainLoopTest, ThrowingSceneUpdateStillLetsTheFrameRemove) {
    scene()->attach(new Faulty(21));
    Probe* doomed = new Probe("doomed", 22);
    scene()->attach(doomed);
    printedBy([&] { scene()->addToRemoveList(doomed); });

    const std::string printed = printedBy([] { mainLoop(); });
    EXPECT_THAT(printed, HasSubstr("scenegraph update got an execption\n"));
    EXPECT_THAT(Probe::log(), ElementsAre("~doomed"));
    EXPECT_EQ(scene()->getOBjectById(22), nullptr);
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

} // namespace
