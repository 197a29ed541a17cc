#include "Common/GameObjects/NetworkObject.h"

#include <gtest/gtest.h>

namespace {

TEST(NetworkObjectTest, OwnedObjectPredictsThenMovesByItsVelocity) {
    NetworkObject obj(3u, 4u);
    EXPECT_EQ(obj.id, 0x300000004ull);
    EXPECT_FALSE(obj.isReplica());
    obj.velocity = Vector3(2, 0, 0);
    obj.predictionManager.clientEstimatedPosition = Vector3(100, 0, 0);
    obj.update(0.5f);
    EXPECT_EQ(obj.position, Vector3(1, 0, 0));
    EXPECT_EQ(obj.predictionManager.timeSinceEstimation, 0.5f);
    EXPECT_EQ(obj.predictionManager.timeSinceLastUpdateRecieved, 0.0f); // the silence timer is a replica's
}

TEST(NetworkObjectTest, ReplicaTakesThePoseOfItsEstimate) {
    NetworkObject obj(static_cast<uint64_t>(9));
    obj.setIsReplica(true);
    EXPECT_TRUE(obj.replicaManager.isReplica);
    obj.velocity = Vector3(2, 0, 0);
    Vector3 at(10, 0, 0);
    Quaternion q(0, 0, 0, 1);
    obj.newUpdateMessage(500, at, q, true);
    EXPECT_EQ(obj.position, Vector3()); // a sample alone does not move the object
    EXPECT_EQ(obj.orientation, Quaternion());
    obj.update(0.1f);
    EXPECT_EQ(obj.position, Vector3(10, 0, 0));
    EXPECT_EQ(obj.velocity, Vector3(2, 0, 0));
    EXPECT_EQ(obj.orientation, obj.predictionManager.clientEstimatedOrientation);
    EXPECT_FLOAT_EQ(obj.predictionManager.timeSinceLastUpdateRecieved, 0.1f);
}

} // namespace
