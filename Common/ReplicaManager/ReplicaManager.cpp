#include "Common/ReplicaManager/ReplicaManager.h"

int32_t ReplicaManager::numberTransfered = 0;

ReplicaManager::ReplicaManager() : ReplicaManager(false) {}

ReplicaManager::ReplicaManager(bool replica)
    : isReplica(replica), firstBroadcast(false), timeSinceTransfer(0), timeSinceUpdate(0) {}

void ReplicaManager::Init() {
    isReplica = false;
    firstBroadcast = false;
    timeSinceTransfer = 0;
    timeSinceUpdate = 0;
}

void ReplicaManager::ResetHasTransfered() {
    numberTransfered = 0;
}

bool ReplicaManager::MayTransfer(NetworkObject* /*obj*/) {
    return numberTransfered <= 99;
}

void ReplicaManager::HasTransferedOne(NetworkObject* /*obj*/) {
    ++numberTransfered;
}
