#include "Common/Scene/SceneObjectFactory.h"

#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Support/World/NetworkFixture.h"

namespace {

using testing::ElementsAre;

class SceneObjectFactoryTest : public NetworkFixture {
protected:
    SceneObjectFactory* factory() { return SceneObjectFactory::getInstance(); }
    Player* player(Team::Team team, uint64_t id = 0) {
        return factory()->createAndAttachPlayer("p", Vector3(), Quaternion(), 100, team, id);
    }
    Projectile* shot(uint64_t id = 0) {
        return factory()->createAndAttachProjectile(Vector3(), Quaternion(), Vector3(), Team::Red, id, 0);
    }
};

TEST_F(SceneObjectFactoryTest, TeamsAlternateFromBlueAndExplicitTeamsDoNotDisturbThem) {
    EXPECT_EQ(player(Team::None)->team, Team::Blue);
    EXPECT_EQ(player(Team::Blue)->team, Team::Blue);
    EXPECT_EQ(player(Team::None)->team, Team::Red);
    EXPECT_EQ(player(Team::Red)->team, Team::Red);
    EXPECT_EQ(player(Team::None)->team, Team::Blue);
    factory()->init(3);
    EXPECT_EQ(factory()->getNextTeam(), Team::Blue);
}

TEST_F(SceneObjectFactoryTest, OneCounterFromTwoUnderTheServerId) {
    factory()->init(7);
    EXPECT_EQ(player(Team::None)->id, (7ull << 32) | 2);
    EXPECT_EQ(shot()->id, (7ull << 32) | 3);
    EXPECT_EQ(shot(0x500000009ull)->id, 0x500000009ull); // a given id keeps the counter
    EXPECT_EQ(player(Team::Red, 0x500000010ull)->id, 0x500000010ull);
    EXPECT_EQ(player(Team::None)->id, (7ull << 32) | 4);

    factory()->init(0);
    EXPECT_EQ(shot()->id, 2u);
    EXPECT_EQ(player(Team::Red)->id, 3u);
    EXPECT_EQ(shot()->id, 4u);

    // From where start-up's draw puts the counter, in the same format.
    factory()->init(7, 0x40000000u);
    EXPECT_EQ(player(Team::None)->id, (7ull << 32) | 0x40000001u);
    EXPECT_EQ(shot()->id, (7ull << 32) | 0x40000002u);
}

TEST_F(SceneObjectFactoryTest, PlayerGetsItsStartingStateAndJoinsTheScene) {
    const Quaternion turned(0, 0, 1, 0);
    Player* p = factory()->createAndAttachPlayer("ann", Vector3(1, 2, 3), turned, 12, Team::Red, 0);
    EXPECT_EQ(p->name, "ann");
    EXPECT_EQ(p->score, 0);
    EXPECT_EQ(p->boostersOn, 0u);
    EXPECT_EQ(p->position, Vector3(1, 2, 3));
    EXPECT_EQ(p->orientation, turned);
    EXPECT_EQ(p->health, 100.0f);
    EXPECT_EQ(p->parent, scene());
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Player), ElementsAre(p));
    EXPECT_EQ(scene()->getOBjectById(static_cast<int64_t>(p->id)), p);
}

TEST_F(SceneObjectFactoryTest, ProjectileGetsItsStartingStateAndJoinsTheScene) {
    const Quaternion turned(0, 1, 0, 0);
    Projectile* s =
        factory()->createAndAttachProjectile(Vector3(1, 2, 3), turned, Vector3(0, 0, 9), Team::None, 0, 0x100000002ull);
    EXPECT_EQ(s->position, Vector3(1, 2, 3));
    EXPECT_EQ(s->velocity, Vector3(0, 0, 9));
    EXPECT_EQ(s->orientation, turned);
    EXPECT_EQ(s->team, Team::None); // no team is drawn for shots
    EXPECT_EQ(s->shooterID, 0x100000002ull);
    EXPECT_EQ(factory()->lastTeam, Team::Red);
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Projectile), ElementsAre(s));
    EXPECT_EQ(scene()->getOBjectById(static_cast<int64_t>(s->id)), s);

    // Announced to every client, also under an id another server gave it.
    factory()->createAndAttachProjectile(Vector3(), turned, Vector3(), Team::Blue, 0x500000009ull, 0);
    std::vector<QueuedFrame> told = QueuedFrames::tcpBroadcasts(*clientQueue);
    ASSERT_EQ(told.size(), 2u);
    Velmor::ObjectInfo info = told[0].as<Velmor::ObjectInfo>();
    EXPECT_EQ(told[0].type, MessageTypes::ObjectInfo);
    EXPECT_EQ(info.id(), s->id);
    EXPECT_EQ(info.projectiledata().shooterid(), 0x100000002ull);
    EXPECT_EQ(told[1].as<Velmor::ObjectInfo>().id(), 0x500000009ull);
}

} // namespace
