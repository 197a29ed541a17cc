#include "Common/GameObjects/Player.h"

#include <cmath>

#include "Common/Collision/Sphere.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/GameObjects/Ship.h"
#include "Support/World/NetworkFixture.h"

namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

// A player of server 1 (id 1:2), at rest at the origin, looking along +z.
class PlayerTest : public NetworkFixture {
protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        SceneObjectFactory::getInstance()->init(1);
        p = SceneObjectFactory::getInstance()->createAndAttachPlayer("ann", Vector3(), Quaternion(), 100, Team::Red, 0);
    }

    // Both of the client's addresses known, as after its login and first datagram.
    void makeReachable(Player* player) {
        udp::endpoint address(boost::asio::ip::address_v4::loopback(), 4000);
        player->setUdpEndpoint(address);
        player->setTcpSocket(pair.connect());
    }
    Projectile* shotBy(uint64_t shooter, Team::Team team = Team::Blue) {
        return SceneObjectFactory::getInstance()->createAndAttachProjectile(Vector3(), Quaternion(), Vector3(), team, 0,
                                                                            shooter);
    }
    std::string steer(uint32_t bits, float dt) {
        p->boostersOn = bits;
        return printedBy([&] { p->applyBoosters(dt); });
    }

    // The hand-overs queued for the coordinator so far.
    std::vector<QueuedFrame> toCoordinator() {
        return QueuedFrames::tcpFor(*serverQueue, &Network::getInstance()->coordinator);
    }

    Player* p = nullptr;
};

TEST_F(PlayerTest, StartsAliveAtFullHealthWithItsSphere) {
    Player direct(static_cast<uint64_t>(77), Team::Blue, 12.5f);
    EXPECT_EQ(direct.health, 100.0f); // respawn overrides the given health
    EXPECT_EQ(direct.team, Team::Blue);
    EXPECT_EQ(direct.type, SceneGraphType::Player);
    EXPECT_EQ(direct.endpointType, CommEndpointTypes::ClientEndpoint);
    EXPECT_FALSE(direct.isDead);
    EXPECT_FALSE(direct.hasSentOffRequestForRespawn);
    EXPECT_FALSE(direct.isReplica());
    ASSERT_EQ(direct.collisionType, CollisionType::Sphere);
    EXPECT_EQ(direct.sphereCollider->radius, 4.0f);
    EXPECT_EQ(direct.sphereCollider->point, &direct.position);
}

TEST_F(PlayerTest, DirectionBitsThrustOncePerApplication) {
    struct {
        uint32_t bits;
        Vector3 velocity;
    } cases[] = {
        {0x1, Vector3(0, 0, 1)},
        {0x2, Vector3(0, 0, -1)},
        {0x4, Vector3(-1, 0, 0)},
        {0x8, Vector3(1, 0, 0)},
        {0x10, Vector3(0, 1, 0)},
        {0x20, Vector3(0, -1, 0)},
        {0x3f, Vector3()},
        {0x1 | 0x8 | 0x10, Vector3(1, 1, 1)},
        {0x40 | 0x80 | 0x1000, Vector3()}, // bits without meaning
    };
    for (const auto& c : cases) {
        p->velocity = Vector3();
        steer(c.bits, 0.5f); // not scaled by dt
        EXPECT_EQ(p->velocity, c.velocity) << std::hex << c.bits;
        EXPECT_EQ(p->boostersOn, 0u);
    }
}

TEST_F(PlayerTest, ThrustIsInTheShipsFrame) {
    const float s = static_cast<float>(std::sqrt(0.5));
    p->orientation = Quaternion(s, 0, s, 0); // a quarter turn about y: forward is +x
    steer(Player::ThrustForward, 0.1f);
    expectNear(p->velocity, Vector3(1, 0, 0));
}

TEST_F(PlayerTest, BrakeKeepsTheDirectionAndStopsAtZero) {
    struct {
        Vector3 before;
        float dt;
        Vector3 after;
    } cases[] = {
        {Vector3(30, 40, 0), 0.5f, Vector3(27, 36, 0)}, // 50 -> 45
        {Vector3(0, 3, 0), 0.5f, Vector3()},            // below 10 * dt
        {Vector3(), 0.5f, Vector3()},                   // zero stays zero
    };
    for (const auto& c : cases) {
        p->velocity = c.before;
        steer(Player::Brake, c.dt);
        expectNear(p->velocity, c.after);
    }
}

TEST_F(PlayerTest, SpeedIsCappedAtFifty) {
    p->velocity = Vector3(0, 0, 50);
    steer(Player::ThrustForward, 0.1f);
    expectNear(p->velocity, Vector3(0, 0, 50));
    p->velocity = Vector3(40, 30, 0);
    steer(Player::ThrustRight, 0.1f);
    EXPECT_NEAR(p->velocity.length(), 50.0f, 1e-4);
    expectNear(p->velocity, Vector3(41, 30, 0) * (50.0f / Vector3(41, 30, 0).length()));
}

TEST_F(PlayerTest, FiresAtMostEveryHalfSecondAndDropsEarlyBits) {
    p->position = Vector3(1, 2, 3);
    p->velocity = Vector3(0, 5, 0);
    steer(Player::Fire, 0.3f); // 0.3 s since the last shot: too early, dropped
    EXPECT_EQ(scene()->getListOfType(SceneGraphType::Projectile), nullptr);
    EXPECT_EQ(p->boostersOn, 0u);
    steer(0, 0.2f); // 0.5: still not more than 0.5
    steer(Player::Fire, 0.0f);
    EXPECT_EQ(scene()->getListOfType(SceneGraphType::Projectile), nullptr);
    steer(Player::Fire, 0.01f);
    TransformList* shots = scene()->getListOfType(SceneGraphType::Projectile);
    ASSERT_NE(shots, nullptr);
    ASSERT_EQ(shots->size(), 1u);
    Projectile* shot = static_cast<Projectile*>(shots->front());
    EXPECT_EQ(shot->id, (1ull << 32) | 3); // the factory's next id after the player's
    EXPECT_EQ(shot->position, Vector3(1, 2, 3));
    EXPECT_EQ(shot->velocity, Vector3(0, 5, 100));
    EXPECT_EQ(shot->team, Team::Red);
    EXPECT_EQ(shot->shooterID, p->id);
    EXPECT_EQ(p->timeSinceLastShoot, 0.0f);
    steer(Player::Fire, 0.5f);
    EXPECT_EQ(shots->size(), 1u);
}

TEST_F(PlayerTest, ShotFiredInTheSceneUpdateFliesInTheSameFrame) {
    p->timeSinceLastShoot = 1;
    p->boostersOn = Player::Fire;
    scene()->update(0.1f);
    TransformList* shots = scene()->getListOfType(SceneGraphType::Projectile);
    ASSERT_NE(shots, nullptr);
    ASSERT_EQ(shots->size(), 1u);
    expectNear(shots->front()->position, Vector3(0, 0, 10));
    EXPECT_FLOAT_EQ(static_cast<Projectile*>(shots->front())->life, 19.9f);
}

TEST_F(PlayerTest, ThreeForeignHitsKillOwnShotsAndOtherKindsDoNot) {
    Projectile* own = shotBy(p->id);
    Projectile* mate = shotBy(99, Team::Red); // a teammate's shot hurts too
    Ship ship(static_cast<int64_t>(5), Team::Blue);
    p->collisionResponse(own);
    p->collisionResponse(&ship);
    EXPECT_EQ(p->health, 100.0f);
    p->collisionResponse(mate);
    EXPECT_FLOAT_EQ(p->health, 57.58f);
    p->collisionResponse(mate);
    EXPECT_FLOAT_EQ(p->health, 15.16f);
    EXPECT_FALSE(p->isDead);
    p->velocity = Vector3(3, 0, 0);
    p->collisionResponse(mate);
    EXPECT_FLOAT_EQ(p->health, -27.26f);
    EXPECT_TRUE(p->isDead);
    EXPECT_EQ(p->velocity, Vector3());
    EXPECT_FALSE(p->hasSentOffRequestForRespawn); // no client reachable yet
    p->collisionResponse(mate);                   // the dead take no damage
    EXPECT_FLOAT_EQ(p->health, -27.26f);

    Player* last =
        SceneObjectFactory::getInstance()->createAndAttachPlayer("bo", Vector3(), Quaternion(), 100, Team::Blue, 0);
    last->health = 42.42f;
    last->collisionResponse(mate); // exactly 0 is dead
    EXPECT_TRUE(last->isDead);
    // A hit is reported to no one, and nobody was reachable to be handed over.
    EXPECT_TRUE(clientQueue->tcpBuffer_.empty() && clientQueue->udpBuffer_.empty());
    EXPECT_TRUE(serverQueue->tcpBuffer_.empty() && serverQueue->udpBuffer_.empty());
}

TEST_F(PlayerTest, DeadPlayerKeepsItsBitsUnapplied) {
    p->justDied();
    p->velocity = Vector3(0, 0, 2);
    p->timeSinceLastShoot = 1;
    steer(Player::ThrustForward | Player::Fire, 0.1f);
    EXPECT_EQ(p->velocity, Vector3(0, 0, 2));
    EXPECT_EQ(p->boostersOn, Player::ThrustForward | Player::Fire);
    EXPECT_EQ(scene()->getListOfType(SceneGraphType::Projectile), nullptr);
}

TEST_F(PlayerTest, SelfDestructHandsAReachablePlayerToTheCoordinatorInTheSameTick) {
    makeReachable(p);
    p->velocity = Vector3(7, 0, 0);
    p->boostersOn = Player::SelfDestruct | Player::ThrustForward;
    const std::string out = printedBy([&] { p->realUpdate(0.1f); });
    EXPECT_THAT(out, HasSubstr("Sending transfer control from (id:100000002) to coordinator from just died\n"));
    EXPECT_THAT(out, Not(HasSubstr("from realUpdate")));
    EXPECT_TRUE(p->isDead);
    EXPECT_TRUE(p->hasSentOffRequestForRespawn);
    // The rest of the application still ran after the death: the thrust is kept.
    EXPECT_EQ(p->velocity, Vector3(0, 0, 1));
    EXPECT_EQ(printedBy([&] { p->justDied(); }), ""); // a player dies once

    std::vector<QueuedFrame> handOver = toCoordinator();
    ASSERT_EQ(handOver.size(), 1u);
    EXPECT_EQ(handOver[0].type, MessageTypes::TransferControl);
    Velmor::TransferControl transfer = handOver[0].as<Velmor::TransferControl>();
    EXPECT_EQ(transfer.id(), p->id);
    EXPECT_EQ(transfer.playerinfo().host(), "127.0.0.1");
    EXPECT_EQ(transfer.objectinfo().playerdata().name(), "ann"); // the full description
}

TEST_F(PlayerTest, DeadPlayerReachesTheCoordinatorOnceItsClientIsReachable) {
    p->justDied();
    EXPECT_FALSE(p->hasSentOffRequestForRespawn);
    EXPECT_EQ(printedBy([&] { p->realUpdate(0.1f); }), "");
    udp::endpoint address(boost::asio::ip::address_v4::loopback(), 4000);
    p->setUdpEndpoint(address); // UDP alone is not enough
    EXPECT_EQ(printedBy([&] { p->realUpdate(0.1f); }), "");
    EXPECT_TRUE(toCoordinator().empty());
    p->setTcpSocket(pair.connect());
    EXPECT_THAT(printedBy([&] { p->realUpdate(0.1f); }),
                HasSubstr("Sending transfer control of (id:100000002) to coordinator from realUpdate\n"));
    EXPECT_TRUE(p->hasSentOffRequestForRespawn);
    EXPECT_EQ(printedBy([&] { p->realUpdate(0.1f); }), "");
    ASSERT_EQ(toCoordinator().size(), 1u); // once
    EXPECT_EQ(toCoordinator()[0].as<Velmor::TransferControl>().id(), p->id);
}

// A client whose connection broke, before the close reaches the dispatcher: its address
// cannot be read. The lethal hit neither throws out of the collision pass nor counts as sent;
// each later tick tries again, and once the address reads again the player goes out once.
TEST_F(PlayerTest, DeathOfAPlayerWhoseConnectionBrokeIsHandedOnLater) {
    makeReachable(p);
    tcp::socket* connected = p->getTcpSocket();
    auto* broken = new tcp::socket(pair.io);
    broken->open(tcp::v4()); // open but not connected: no peer to read
    p->setTcpSocket(broken);
    p->health = 10;
    Projectile* shot = shotBy(0x500000002ULL);
    std::string out;
    EXPECT_NO_THROW(out = printedBy([&] { p->collisionResponse(shot); }));
    const std::string line = "Cannot send transfer control of (id:100000002) to coordinator now: ";
    EXPECT_THAT(out, HasSubstr(line));
    EXPECT_TRUE(p->isDead);
    EXPECT_FALSE(p->hasSentOffRequestForRespawn);
    EXPECT_THAT(printedBy([&] { p->realUpdate(0.1f); }), HasSubstr(line));
    EXPECT_TRUE(toCoordinator().empty());

    p->deleteTcpSocket();
    p->setTcpSocket(connected);
    EXPECT_THAT(printedBy([&] { p->realUpdate(0.1f); }), HasSubstr("to coordinator from realUpdate\n"));
    EXPECT_TRUE(p->hasSentOffRequestForRespawn);
    ASSERT_EQ(toCoordinator().size(), 1u);
}

TEST_F(PlayerTest, SilentReplicaIsQueuedAfterFifteenSeconds) {
    Player* ghost = SceneObjectFactory::getInstance()->createAndAttachPlayer("ghost", Vector3(), Quaternion(), 100,
                                                                             Team::None, static_cast<uint64_t>(0));
    ghost->setIsReplica(true);
    printedBy([&] { ghost->realUpdate(14.0f); });
    Vector3 at;
    Quaternion q;
    ghost->newUpdateMessage(5, at, q, false); // a sample resets the silence
    EXPECT_EQ(ghost->timeSinceLastHeardFromPlayer, 0.0f);
    EXPECT_EQ(printedBy([&] { ghost->realUpdate(15.0f); }), "");
    EXPECT_THAT(printedBy([&] { ghost->realUpdate(0.01f); }),
                HasSubstr("Removed PLAYER because we havn't heard from it in 15 sec (id:100000003)\n"));
    EXPECT_THAT(scene()->removeList2, ElementsAre(ghost));

    p->realUpdate(20.0f); // an owned player's timer does not run
    EXPECT_EQ(p->timeSinceLastHeardFromPlayer, 0.0f);
    Player zero(static_cast<uint64_t>(0), Team::Red, 100);
    zero.setIsReplica(true);
    zero.timeSinceLastHeardFromPlayer = 100;
    EXPECT_EQ(printedBy([&] { zero.realUpdate(0.1f); }), "");
    EXPECT_THAT(scene()->removeList2, ElementsAre(ghost));
}

TEST_F(PlayerTest, RespawnRestoresHealthAndPoseAtTheNewestRegionButLeavesItDead) {
    p->justDied();
    p->health = -3;
    p->position = Vector3(9, 9, 9);
    p->velocity = Vector3(1, 0, 0);
    p->orientation = Quaternion(0, 1, 0, 0);
    p->timeSinceLastShoot = 4;
    p->respawn();
    EXPECT_EQ(p->position, Vector3()); // no region: the origin
    EXPECT_EQ(p->health, 100.0f);
    EXPECT_EQ(p->velocity, Vector3());
    EXPECT_EQ(p->orientation, Quaternion());
    EXPECT_EQ(p->timeSinceLastShoot, 0.0f);
    EXPECT_TRUE(p->isDead);

    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    printedBy([&] { registry->myself = registry->AddServerToPool(1); });
    registry->myself->AddRegion(Vector3(0, 0, 0), Vector3(100, 100, 100), 1);
    registry->myself->AddRegion(Vector3(100, 0, 0), Vector3(300, 100, 100), 2);
    p->respawn();
    EXPECT_EQ(p->position, Vector3(200, 50, 50));
}

} // namespace
