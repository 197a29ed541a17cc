#include "Common/PredictionManager/PredictionManager.h"

#include <climits>

#include "Common/GameObjects/NetworkObject.h"
#include "Common/Scene/SceneGraph.h"

namespace {

const float blendWindow = 0.5f;      // seconds in which the estimate absorbs a sample's error
const float snapDistance = 10.0f;    // farther than this the estimate jumps to the sample
const float orientationRate = 15.0f; // Slerp factor per second
const float silenceLimit = 15.0f;    // seconds without a sample before a replica goes

} // namespace

PredictionManager::PredictionManager()
    : timeSinceLastUpdateRecieved(0), timeSinceEstimation(0), lastTimestamp{0, 0, 0} {}

void PredictionManager::fillHistory(uint32_t timestamp, const Vector3& position, const Quaternion& orientation) {
    for (int i = 0; i < 3; ++i) {
        lastTimestamp[i] = timestamp;
        lastPosition[i] = position;
        lastOrientation[i] = orientation;
    }
}

void PredictionManager::addSample(uint32_t timestamp, const Vector3& position, const Quaternion& orientation,
                                  bool first) {
    timeSinceLastUpdateRecieved = 0;
    if (first) {
        fillHistory(timestamp, position, orientation);
        clientEstimatedPosition = position;
        clientEstimatedVelocityAtEstimation[1] = clientEstimatedVelocityAtEstimation[0];
        clientEstimatedVelocity = clientEstimatedVelocityAtEstimation[0];
    } else {
        for (int i = 2; i > 0; --i) {
            lastTimestamp[i] = lastTimestamp[i - 1];
            lastPosition[i] = lastPosition[i - 1];
            lastOrientation[i] = lastOrientation[i - 1];
        }
        lastTimestamp[0] = timestamp;
        lastPosition[0] = position;
        lastOrientation[0] = orientation;
        clientEstimatedVelocityAtEstimation[1] = clientEstimatedVelocityAtEstimation[0];
        if (timestamp == lastTimestamp[1]) {
            clientEstimatedVelocityAtEstimation[0] = Vector3();
        } else {
            // Unsigned: a sample older than the previous one gives a huge interval, so a
            // velocity near zero rather than a negative one.
            const uint32_t intervalMs = timestamp - lastTimestamp[1];
            clientEstimatedVelocityAtEstimation[0] =
                (lastPosition[0] - lastPosition[1]) * static_cast<Real_t>(1000.0 / intervalMs);
        }
    }
    clientEstimatedAcceleration[0] = clientEstimatedVelocityAtEstimation[0] - clientEstimatedVelocityAtEstimation[1];
    clientEstimatedPositionDiff = lastPosition[0] - clientEstimatedPosition;
    if (clientEstimatedPositionDiff.length() > snapDistance) {
        fillHistory(timestamp, position, orientation);
        clientEstimatedPosition = position;
        clientEstimatedVelocityAtEstimation[0] = Vector3();
        clientEstimatedPositionDiff = Vector3();
        clientEstimatedVelocityAtEstimation[1] = Vector3();
        clientEstimatedVelocity = Vector3();
    }
    clientEstimatedPositionAtEstimation = clientEstimatedPosition;
    clientEstimatedVelocity = clientEstimatedVelocityAtEstimation[0];
    timeSinceEstimation = 0;
    diffOrientation = clientEstimatedOrientation.negation() * lastOrientation[0];
    diffOrientation.normalise();
}

void PredictionManager::updatePrediction(float dt) {
    timeSinceEstimation += dt;
    clientEstimatedVelocity += clientEstimatedAcceleration[0] * dt;
    if (timeSinceEstimation <= blendWindow) {
        const Vector3 target =
            clientEstimatedPositionAtEstimation + clientEstimatedPositionDiff + clientEstimatedVelocity * blendWindow;
        clientEstimatedPosition =
            Vector3::lerp(clientEstimatedPositionAtEstimation, target, timeSinceEstimation / blendWindow);
    } else {
        clientEstimatedPosition += clientEstimatedVelocity * dt;
    }
    // Whole sample intervals in this tick. Two equal newest stamps (a first sample, a snap,
    // a repeated stamp) have no interval: no whole one has passed, so the target is the
    // newest sample's orientation itself.
    const uint32_t intervalMs = lastTimestamp[0] - lastTimestamp[1];
    int intervals = 0;
    if (intervalMs != 0) {
        const double n = dt / (intervalMs * 0.001);
        intervals = n >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(n);
    }
    const Quaternion target = diffOrientation.exponentiation(intervals) * lastOrientation[0];
    clientEstimatedOrientation = Quaternion::Slerp(clientEstimatedOrientation, target, orientationRate * dt);
}

void PredictionManager::realUpdate(NetworkObject* obj, float dt) {
    obj->position = clientEstimatedPosition;
    obj->orientation = clientEstimatedOrientation;
    timeSinceLastUpdateRecieved += dt;
    if (timeSinceLastUpdateRecieved > silenceLimit && obj->id != 0)
        SceneGraph::getInstance()->addToRemoveList(obj);
}
