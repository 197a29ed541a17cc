#pragma once

#include <cstdint>

#include "Common/GameObjects/Transform.h"
#include "Common/InterestManager/InterestManager.h"
#include "Common/PredictionManager/PredictionManager.h"
#include "Common/ReplicaManager/ReplicaManager.h"

// A scene object that takes part in replication: it carries its interest, replica and
// prediction managers and fixes the order of a networked tick. Main thread only.
class NetworkObject : public Transform {
public:
    InterestManager interestManager;
    ReplicaManager replicaManager; // its isReplica is the object's replica flag
    PredictionManager predictionManager;

    NetworkObject(uint32_t serverid, uint32_t objectid);
    explicit NetworkObject(uint64_t id_);
    ~NetworkObject() override;

    // Prediction, replication, then own motion or, for a replica, the estimated pose.
    void realUpdate(float dt) override;

    bool isReplica();
    void setIsReplica(bool replica);

    // A received sample (first: from an object description). Feeds the prediction only;
    // the object's own pose is not touched. Resets a player's silence timer.
    void newUpdateMessage(uint32_t timestamp, Vector3& position, Quaternion& orientation, bool first);

    // Starts the estimate afresh from the object's own pose, moving at its own velocity: how a
    // shot's copy flies, since shots get no updates after their description.
    void startEstimateFromOwnPose(uint32_t timestamp);

protected:
    void init() {}
};
