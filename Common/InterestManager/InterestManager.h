#pragma once

class NetworkObject;

// Per-object interest management; it has no state and no behaviour yet, and sits in
// every networked object so the tick order stays fixed.
class InterestManager {
public:
    InterestManager() {}
    // Last step of every networked object's tick; does nothing.
    void update(NetworkObject* obj);
};
