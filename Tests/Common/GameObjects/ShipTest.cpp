#include "Common/GameObjects/Ship.h"

#include <gtest/gtest.h>

#include "Common/Collision/Sphere.h"

namespace {

TEST(ShipTest, MotherShipNeverMoves) {
    Ship ship(static_cast<int64_t>(0), Team::Blue);
    Ship composed(1, 2, Team::Red);
    EXPECT_EQ(composed.id, 0x100000002ull);
    EXPECT_EQ(ship.team, Team::Blue);
    EXPECT_EQ(ship.type, SceneGraphType::MotherShip);
    ASSERT_EQ(ship.collisionType, CollisionType::Sphere);
    EXPECT_EQ(ship.sphereCollider->radius, 40.0f);
    ship.velocity = Vector3(1, 0, 0);
    ship.setIsReplica(true);
    ship.update(1.0f);
    EXPECT_EQ(ship.position, Vector3());
    EXPECT_EQ(ship.predictionManager.timeSinceEstimation, 0.0f); // no prediction step either
}

} // namespace
