#pragma once

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/GameObjects/Transform.h"
#include "Common/ReplicaManager/ReplicaManager.h"
#include "Common/Scene/SceneGraph.h"
#include "Common/Scene/SceneObjectFactory.h"

// The scene is one process-wide root: every world test starts and ends with it empty, the
// factory as start-up leaves it for server 0, and the per-frame hand-over budget unused.
class SceneFixture : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        SceneGraph::getInstance()->clearForTesting();
        ReplicaManager::ResetHasTransfered();
        SceneObjectFactory::getInstance()->init(0);
    }
    SceneGraph* scene() { return SceneGraph::getInstance(); }
};

// A plain node that logs its updates and deletions by name.
class Probe : public Transform {
public:
    static std::vector<std::string>& log() {
        static std::vector<std::string> entries;
        return entries;
    }

    Probe(const std::string& name_, uint64_t id_, SceneGraphType::SceneGraphType kind = SceneGraphType::Billboard)
        : Transform(id_), name(name_) {
        type = kind;
    }
    ~Probe() override { log().push_back("~" + name); }

    void realUpdate(float dt) override {
        log().push_back(name);
        Transform::realUpdate(dt);
    }

    std::string name;
};

// Runs f and returns what it printed on standard output.
template <typename F> std::string printedBy(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// Component-wise within 1e-4: for values computed in single precision.
inline void expectNear(const Vector3& actual, const Vector3& expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-4) << actual.toString();
    EXPECT_NEAR(actual.y, expected.y, 1e-4) << actual.toString();
    EXPECT_NEAR(actual.z, expected.z, 1e-4) << actual.toString();
}

inline void expectNear(const Quaternion& actual, const Quaternion& expected) {
    EXPECT_NEAR(actual.w, expected.w, 1e-4);
    EXPECT_NEAR(actual.x, expected.x, 1e-4);
    EXPECT_NEAR(actual.y, expected.y, 1e-4);
    EXPECT_NEAR(actual.z, expected.z, 1e-4);
}
