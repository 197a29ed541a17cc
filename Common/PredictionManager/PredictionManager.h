#pragma once

#include <cstdint>

#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"

class NetworkObject;

// Estimates where an object is and how it is turned from its last three samples. On a
// replica the estimate is the pose the object takes every tick; on the owner of a player
// it is the server's copy of what the clients extrapolate from the updates it sent.
// Positions in world units, velocities per second, timers in seconds, time stamps in
// synchronised ms. Main thread only.
class PredictionManager {
public:
    float timeSinceLastUpdateRecieved;              // silence timer of a replica
    Vector3 clientEstimatedVelocityAtEstimation[2]; // [0] from the two newest samples, [1] the one before
    Vector3 clientEstimatedVelocity;                // what the estimate moves with
    Vector3 clientEstimatedAcceleration[1];         // change between the two derived velocities, per sample
    Vector3 clientEstimatedPosition;
    Vector3 clientEstimatedPositionDiff;         // newest sample minus the estimate when it arrived
    Vector3 clientEstimatedPositionAtEstimation; // the estimate when the newest sample arrived
    float timeSinceEstimation;                   // since the newest sample arrived
    Quaternion clientEstimatedOrientation;
    Quaternion diffOrientation; // from the estimate to the newest sample, taken on arrival
    uint32_t lastTimestamp[3];  // [0] is the newest
    Vector3 lastPosition[3];
    Quaternion lastOrientation[3];

    PredictionManager();

    // Takes in one sample; `first` restarts the history (an object's first description).
    void addSample(uint32_t timestamp, const Vector3& position, const Quaternion& orientation, bool first);

    // Advances the estimate; start of every tick of the object, replica or not.
    void updatePrediction(float dt);

    // Replicas only: obj takes the estimated pose, and is queued for removal after 15 s
    // without a sample (never an object with id 0).
    void realUpdate(NetworkObject* obj, float dt);

private:
    void fillHistory(uint32_t timestamp, const Vector3& position, const Quaternion& orientation);
};
