#include "Common/GameObjects/NetworkObject.h"

#include "Common/GameObjects/Player.h"

NetworkObject::NetworkObject(uint32_t serverid, uint32_t objectid) : Transform(serverid, objectid) {}

NetworkObject::NetworkObject(uint64_t id_) : Transform(id_) {}

NetworkObject::~NetworkObject() {}

void NetworkObject::realUpdate(float dt) {
    predictionManager.updatePrediction(dt);
    replicaManager.update(this, dt);
    // Read again: the replica manager may have handed the object over just now.
    if (isReplica())
        predictionManager.realUpdate(this, dt);
    else
        Transform::realUpdate(dt);
    interestManager.update(this);
}

bool NetworkObject::isReplica() {
    return replicaManager.isReplica;
}

void NetworkObject::setIsReplica(bool replica) {
    replicaManager.isReplica = replica;
}

void NetworkObject::newUpdateMessage(uint32_t timestamp, Vector3& position_, Quaternion& orientation_, bool first) {
    if (type == SceneGraphType::Player)
        static_cast<Player*>(this)->timeSinceLastHeardFromPlayer = 0;
    predictionManager.addSample(timestamp, position_, orientation_, first);
}

void NetworkObject::startEstimateFromOwnPose(uint32_t timestamp) {
    Vector3 from = position;
    Quaternion turned = orientation;
    newUpdateMessage(timestamp, from, turned, true);
    predictionManager.clientEstimatedVelocity = velocity;
}
