#include "Common/ReplicaManager/ReplicaManager.h"

#include <gtest/gtest.h>

namespace {

TEST(ReplicaManagerTest, StartsOwnedWithEmptyListsAndInitKeepsTheLists) {
    ReplicaManager rm;
    EXPECT_FALSE(rm.isReplica);
    EXPECT_FALSE(rm.firstBroadcast);
    EXPECT_EQ(rm.timeSinceTransfer, 0.0f);
    EXPECT_EQ(rm.timeSinceUpdate, 0.0f);
    EXPECT_TRUE(rm.regionsToUpdate.empty());
    EXPECT_TRUE(rm.regionsIsConnectedTo.empty());
    EXPECT_TRUE(ReplicaManager(true).isReplica);

    ReplicaManager used(true);
    used.firstBroadcast = true;
    used.timeSinceTransfer = 3;
    used.timeSinceUpdate = 2;
    used.regionsToUpdate = {4, 5};
    used.regionsIsConnectedTo = {6};
    used.Init();
    EXPECT_FALSE(used.isReplica);
    EXPECT_FALSE(used.firstBroadcast);
    EXPECT_EQ(used.timeSinceTransfer, 0.0f);
    EXPECT_EQ(used.timeSinceUpdate, 0.0f);
    EXPECT_EQ(used.regionsToUpdate.size(), 2u);
    EXPECT_EQ(used.regionsIsConnectedTo.size(), 1u);
}

TEST(ReplicaManagerTest, HundredTransfersPerFrame) {
    ReplicaManager::ResetHasTransfered();
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ReplicaManager::MayTransfer(nullptr)) << i;
        ReplicaManager::HasTransferedOne(nullptr);
    }
    EXPECT_FALSE(ReplicaManager::MayTransfer(nullptr));
    ReplicaManager::ResetHasTransfered();
    EXPECT_TRUE(ReplicaManager::MayTransfer(nullptr));
}

} // namespace
