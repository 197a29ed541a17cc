#include "Common/GameObjects/Projectile.h"

#include "Common/Collision/CollisionHandler.h"
#include "Common/Collision/Sphere.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Ship.h"
#include "Support/World/NetworkFixture.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class ProjectileTest : public NetworkFixture {
protected:
    Projectile* shoot(Team::Team team, uint64_t shooter, Vector3 velocity = Vector3()) {
        return SceneObjectFactory::getInstance()->createAndAttachProjectile(Vector3(), Quaternion(), velocity, team, 0,
                                                                            shooter);
    }
    Player* player(Team::Team team) {
        return SceneObjectFactory::getInstance()->createAndAttachPlayer("p", Vector3(), Quaternion(), 100, team, 0);
    }
};

TEST_F(ProjectileTest, StartsWithTwentySecondsAndASmallSphere) {
    Projectile shot(static_cast<uint64_t>(4));
    EXPECT_EQ(shot.life, 20.0f);
    EXPECT_EQ(shot.type, SceneGraphType::Projectile);
    ASSERT_EQ(shot.collisionType, CollisionType::Sphere);
    EXPECT_EQ(shot.sphereCollider->radius, 1.0f);
}

TEST_F(ProjectileTest, FliesStraightAndExpiresOnceItsLifeIsBelowZero) {
    Projectile* shot = shoot(Team::Red, 1, Vector3(0, 0, 100));
    shot->update(10.0f);
    shot->update(10.0f);
    EXPECT_EQ(shot->position, Vector3(0, 0, 2000));
    EXPECT_EQ(shot->life, 0.0f); // exactly 0 is not yet expired
    EXPECT_THAT(scene()->removeList2, IsEmpty());
    shot->update(0.01f);
    EXPECT_THAT(scene()->removeList2, ElementsAre(shot));
}

TEST_F(ProjectileTest, HitsPlayersAndEnemyMotherShipsButNotItsShooterOrOwnShip) {
    Player* shooter = player(Team::Red);
    Player* mate = player(Team::Red);
    Player* dead = player(Team::Blue);
    dead->justDied();
    Player* replica = player(Team::Blue);
    replica->setIsReplica(true);
    Ship own(static_cast<int64_t>(0), Team::Red), enemy(static_cast<int64_t>(0), Team::Blue);
    Projectile* other = shoot(Team::Blue, 50);
    struct {
        CollisionObject* target;
        bool removed;
    } cases[] = {{shooter, false}, {&own, false},   {other, false}, {mate, true},
                 {dead, true},     {replica, true}, {&enemy, true}};
    for (const auto& c : cases) {
        Projectile* shot = shoot(Team::Red, shooter->id);
        shot->collisionResponse(c.target);
        EXPECT_EQ(!scene()->removeList2.empty(), c.removed) << c.target->id << " type " << c.target->type;
        // Every client is told of a hit, by UDP.
        std::vector<QueuedFrame> told = QueuedFrames::udpBroadcasts(*clientQueue);
        ASSERT_EQ(told.size(), c.removed ? 1u : 0u);
        if (c.removed) {
            EXPECT_EQ(told[0].type, MessageTypes::ObjectDestroy);
            EXPECT_EQ(told[0].as<Velmor::ObjectDestroy>().id(), shot->id);
        }
        clientQueue->sendQueuedBroadcastMessages({}); // frees what was queued
        scene()->applyRemoveList();
    }
    EXPECT_EQ(enemy.type, SceneGraphType::MotherShip);
}

// The main frame's first pass, players against projectiles: a shot overlapping two players
// hurts both, tells the clients of each hit, and is removed once.
TEST_F(ProjectileTest, ShotOverlappingTwoPlayersHitsBothAndGoesOnce) {
    Player* a = player(Team::Red);
    Player* b = player(Team::Blue);
    Player* far = player(Team::Blue);
    far->position = Vector3(100, 0, 0);
    Projectile* shot = shoot(Team::Blue, 999);
    CollisionHandler::handleCollissionsBetween(scene()->getListOfType(SceneGraphType::Player),
                                               scene()->getListOfType(SceneGraphType::Projectile));
    EXPECT_FLOAT_EQ(a->health, 57.58f);
    EXPECT_FLOAT_EQ(b->health, 57.58f);
    EXPECT_EQ(far->health, 100.0f);
    std::vector<QueuedFrame> told = QueuedFrames::udpBroadcasts(*clientQueue);
    ASSERT_EQ(told.size(), 2u);
    for (const QueuedFrame& f : told)
        EXPECT_EQ(f.as<Velmor::ObjectDestroy>().id(), shot->id);
    clientQueue->sendQueuedBroadcastMessages({});
    EXPECT_THAT(scene()->removeList2, ElementsAre(shot));
    scene()->applyRemoveList();
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Projectile), IsEmpty());
}

TEST_F(ProjectileTest, OverlappingProjectilesLeaveEachOtherAlone) {
    shoot(Team::Red, 1);
    shoot(Team::Blue, 2);
    TransformList* shots = scene()->getListOfType(SceneGraphType::Projectile);
    CollisionHandler::handleCollissionsBetween(shots, shots);
    EXPECT_THAT(scene()->removeList2, IsEmpty());
}

} // namespace
