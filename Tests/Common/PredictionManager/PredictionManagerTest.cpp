#include "Common/PredictionManager/PredictionManager.h"

#include <cmath>

#include "Common/GameObjects/NetworkObject.h"
#include "Support/World/SceneFixture.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

// A manager fed a first sample (identity orientation) and one later sample.
PredictionManager fedTwo(uint32_t t0, Vector3 p0, uint32_t t1, Vector3 p1, Quaternion q1 = Quaternion()) {
    PredictionManager pm;
    Quaternion q0;
    pm.addSample(t0, p0, q0, true);
    pm.addSample(t1, p1, q1, false);
    return pm;
}

// A rotation by `degrees` about z.
Quaternion aboutZ(double degrees) {
    const double half = degrees * M_PI / 360.0;
    return Quaternion(static_cast<float>(std::cos(half)), 0, 0, static_cast<float>(std::sin(half)));
}

TEST(PredictionManagerTest, FirstSampleFillsTheHistoryAndKeepsTheDerivedVelocity) {
    PredictionManager pm;
    Vector3 at(3, 4, 5);
    Quaternion q = aboutZ(90);
    pm.addSample(1000, at, q, true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pm.lastTimestamp[i], 1000u);
        EXPECT_EQ(pm.lastPosition[i], at);
        EXPECT_EQ(pm.lastOrientation[i], q);
    }
    EXPECT_EQ(pm.clientEstimatedPosition, at);
    EXPECT_EQ(pm.clientEstimatedVelocity, Vector3());
    pm.updatePrediction(0.1f);
    expectNear(pm.clientEstimatedPosition, at);

    // A later first sample restarts the history but moves on with the velocity derived before.
    Vector3 next(4, 4, 5), restart(50, 0, 0);
    pm.addSample(1100, next, q, false);
    pm.addSample(1300, restart, q, true);
    EXPECT_EQ(pm.clientEstimatedPosition, restart);
    expectNear(pm.clientEstimatedVelocity, Vector3(10, 0, 0));
    EXPECT_EQ(pm.clientEstimatedAcceleration[0], Vector3());
}

// Samples at 1000 ms (origin) and 1100 ms (1, 0, 0): derived velocity 10/s, acceleration
// 10 per sample, error 1. The window lerps toward sample + velocity * 0.5, then dead-reckons.
TEST(PredictionManagerTest, BlendsTheErrorInWithinHalfASecondThenMovesOn) {
    const Vector3 one(1, 0, 0);
    PredictionManager pm = fedTwo(1000, Vector3(), 1100, one);
    expectNear(pm.clientEstimatedVelocityAtEstimation[0], Vector3(10, 0, 0));
    expectNear(pm.clientEstimatedAcceleration[0], Vector3(10, 0, 0));
    EXPECT_EQ(pm.clientEstimatedPositionDiff, one);

    pm.updatePrediction(0.25f); // velocity 12.5; target 1 + 6.25; halfway
    expectNear(pm.clientEstimatedVelocity, Vector3(12.5f, 0, 0));
    expectNear(pm.clientEstimatedPosition, Vector3(3.625f, 0, 0));
    pm.updatePrediction(0.25f); // end of window (0.5 is still inside): velocity 15, target 1 + 7.5
    expectNear(pm.clientEstimatedPosition, Vector3(8.5f, 0, 0));
    pm.updatePrediction(0.1f); // after the window: velocity 16, + 1.6
    expectNear(pm.clientEstimatedPosition, Vector3(10.1f, 0, 0));
}

TEST(PredictionManagerTest, SixUnitsAwayIsBlendedNotSnapped) {
    PredictionManager pm = fedTwo(0, Vector3(), 1000, Vector3(6, 0, 0)); // 6/s, acceleration 6
    EXPECT_EQ(pm.clientEstimatedPosition, Vector3());
    pm.updatePrediction(0.5f); // velocity 9: the sample carried on, 6 + 4.5
    expectNear(pm.clientEstimatedPosition, Vector3(10.5f, 0, 0));
}

TEST(PredictionManagerTest, MoreThanTenAwaySnapsButKeepsTheAcceleration) {
    const Vector3 far(11, 0, 0);
    PredictionManager pm = fedTwo(1000, Vector3(), 1100, far);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pm.lastTimestamp[i], 1100u);
        EXPECT_EQ(pm.lastPosition[i], far);
    }
    EXPECT_EQ(pm.clientEstimatedPosition, far);
    EXPECT_EQ(pm.clientEstimatedPositionAtEstimation, far);
    EXPECT_EQ(pm.clientEstimatedPositionDiff, Vector3());
    EXPECT_EQ(pm.clientEstimatedVelocity, Vector3());
    EXPECT_EQ(pm.clientEstimatedVelocityAtEstimation[0], Vector3());
    EXPECT_EQ(pm.clientEstimatedVelocityAtEstimation[1], Vector3());
    expectNear(pm.clientEstimatedAcceleration[0], Vector3(110, 0, 0));
}

TEST(PredictionManagerTest, DerivedVelocityByInterval) {
    struct {
        uint32_t first, second;
        Vector3 velocity;
    } cases[] = {
        {1000, 1100, Vector3(10, 0, 0)},
        {1000, 1000, Vector3()},                              // same stamp: no velocity
        {4294967246u, 50, Vector3(10, 0, 0)},                 // across the wrap of the synchronised clock
        {1100, 1000, Vector3(1000.0f / 4294967196.0f, 0, 0)}, // older: a huge interval
    };
    for (const auto& c : cases) {
        PredictionManager pm = fedTwo(c.first, Vector3(), c.second, Vector3(1, 0, 0));
        expectNear(pm.clientEstimatedVelocityAtEstimation[0], c.velocity);
        EXPECT_EQ(pm.clientEstimatedVelocityAtEstimation[1], Vector3());
        EXPECT_EQ(pm.lastTimestamp[1], c.first);
    }
}

// Equal newest stamps (here after a first sample) count as no whole interval: the target is
// the newest orientation itself, reached by the factor 15 * dt.
TEST(PredictionManagerTest, EqualStampsTurnTowardTheNewestOrientation) {
    PredictionManager pm;
    Vector3 origin;
    Quaternion quarter = aboutZ(90);
    pm.addSample(1000, origin, quarter, true);
    expectNear(pm.diffOrientation, quarter);
    pm.updatePrediction(1.0f / 30.0f); // factor 0.5
    expectNear(pm.clientEstimatedOrientation, aboutZ(45));
    pm.updatePrediction(1.0f / 15.0f); // factor 1
    expectNear(pm.clientEstimatedOrientation, quarter);
}

// Samples 100 ms apart turning 10 degrees: a tick of 0.2 s spans n = 2 whole intervals, so
// the target is diff^2 * newest = 30 degrees, and the factor 3 carries the estimate to 90.
TEST(PredictionManagerTest, WholeIntervalsInATickExtrapolateTheTurn) {
    const Quaternion ten = aboutZ(10);
    PredictionManager pm = fedTwo(1000, Vector3(), 1100, Vector3(), ten);
    expectNear(pm.diffOrientation, ten);
    pm.updatePrediction(0.2f);
    expectNear(pm.clientEstimatedOrientation, aboutZ(90));

    PredictionManager oneInterval = fedTwo(1000, Vector3(), 1100, Vector3(), ten);
    oneInterval.updatePrediction(0.1f); // n = 1: target 20 degrees, factor 1.5
    expectNear(oneInterval.clientEstimatedOrientation, aboutZ(30));
}

class PredictionSilenceTest : public SceneFixture {};

TEST_F(PredictionSilenceTest, ReplicaTakesTheEstimateAndIsQueuedAfterFifteenSilentSeconds) {
    NetworkObject* obj = new NetworkObject(static_cast<uint64_t>(7));
    NetworkObject* ship = new NetworkObject(static_cast<uint64_t>(0));
    scene()->attach(obj);
    scene()->attach(ship);
    obj->velocity = Vector3(1, 1, 1);
    PredictionManager& pm = obj->predictionManager;
    pm.clientEstimatedPosition = Vector3(5, 6, 7);
    pm.clientEstimatedOrientation = aboutZ(30);
    pm.realUpdate(obj, 14.0f);
    EXPECT_EQ(obj->position, Vector3(5, 6, 7));
    EXPECT_EQ(obj->orientation, aboutZ(30));
    EXPECT_EQ(obj->velocity, Vector3(1, 1, 1));
    pm.realUpdate(obj, 1.0f); // exactly 15: not yet
    EXPECT_THAT(scene()->removeList2, IsEmpty());
    pm.realUpdate(obj, 0.01f);
    EXPECT_THAT(scene()->removeList2, ElementsAre(obj));

    Vector3 at;
    Quaternion q;
    pm.addSample(1, at, q, false);
    EXPECT_EQ(pm.timeSinceLastUpdateRecieved, 0.0f);
    ship->predictionManager.realUpdate(ship, 100.0f); // id 0 stays
    EXPECT_THAT(scene()->removeList2, ElementsAre(obj));
}

} // namespace
