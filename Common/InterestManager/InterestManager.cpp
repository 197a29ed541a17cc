#include "Common/InterestManager/InterestManager.h"

void InterestManager::update(NetworkObject* /*obj*/) {}
