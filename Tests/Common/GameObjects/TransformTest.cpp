#include "Common/GameObjects/Transform.h"

#include <gtest/gtest.h>

#include "Support/World/SceneFixture.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class TransformTest : public SceneFixture {
protected:
    void SetUp() override {
        SceneFixture::SetUp();
        Probe::log().clear();
    }
};

TEST_F(TransformTest, IdFromServerAndCounterOrWhole) {
    struct {
        uint32_t server, counter;
        uint64_t id;
    } cases[] = {{0, 2, 2}, {1, 2, 0x100000002ull}, {0xffffffffu, 0xffffffffu, 0xffffffffffffffffull}};
    for (const auto& c : cases) {
        Transform t(c.server, c.counter);
        EXPECT_EQ(t.id, c.id);
    }
    Transform whole(static_cast<uint64_t>(0x700000009ull));
    EXPECT_EQ(whole.id, 0x700000009ull);
    EXPECT_EQ(whole.type, SceneGraphType::Undefined);
    EXPECT_EQ(whole.curScale, Vector3(1, 1, 1));
    EXPECT_EQ(whole.position, Vector3());
    EXPECT_EQ(whole.velocity, Vector3());
    EXPECT_EQ(whole.orientation, Quaternion());
    EXPECT_EQ(whole.parent, nullptr);
    EXPECT_TRUE(whole.children.empty());
}

TEST_F(TransformTest, UpdateMovesByVelocityTimesDt) {
    Transform t(static_cast<uint64_t>(5));
    t.position = Vector3(1, 2, 3);
    t.velocity = Vector3(10, 0, -4);
    t.update(0.5f);
    EXPECT_EQ(t.position, Vector3(6, 2, 1));
}

// Fires one shot (a new node on the root) in its first update, like a player.
class Shooter : public Probe {
public:
    using Probe::Probe;
    void realUpdate(float dt) override {
        Probe::realUpdate(dt);
        if (!fired)
            SceneGraph::getInstance()->attach(new Probe("shot", 99));
        fired = true;
    }
    bool fired = false;
};

TEST_F(TransformTest, WalkIsPreOrderInAttachOrderAndReachesNodesAttachedDuringIt) {
    Probe* a = new Probe("a", 1);
    scene()->attach(a);
    scene()->attach(new Shooter("shooter", 2));
    scene()->attach(new Probe("c", 3));
    testing::internal::CaptureStdout();
    a->attach(new Probe("a.child", 4)); // below another node: allowed, with a line
    EXPECT_THAT(testing::internal::GetCapturedStdout(),
                HasSubstr("Attaching transform to other transform.. not the scenegraph\n"));

    scene()->update(0.1f);
    EXPECT_THAT(Probe::log(), ElementsAre("a", "a.child", "shooter", "c", "shot"));
    Probe::log().clear();
    scene()->update(0.1f);
    EXPECT_THAT(Probe::log(), ElementsAre("a", "a.child", "shooter", "c", "shot"));
}

TEST_F(TransformTest, AttachRegistersInTheRootsListsEvenBelowAnotherNode) {
    Probe* a = new Probe("a", 1);
    scene()->attach(a);
    Probe* child = new Probe("child", 7, SceneGraphType::Projectile);
    printedBy([&] { a->attach(child); });
    EXPECT_EQ(child->parent, a);
    EXPECT_THAT(a->children, ElementsAre(child));
    EXPECT_EQ(scene()->getOBjectById(7), child);
    ASSERT_NE(scene()->getListOfType(SceneGraphType::Projectile), nullptr);
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Projectile), ElementsAre(child));
}

TEST_F(TransformTest, AttachNullPrintsAndChangesNothing) {
    EXPECT_THAT(printedBy([&] { scene()->attach(nullptr); }), HasSubstr("Trying to attach null transform\n"));
    EXPECT_TRUE(scene()->children.empty());
    EXPECT_TRUE(scene()->typeLists.empty());
    EXPECT_TRUE(scene()->objectIDMap.empty());
}

TEST_F(TransformTest, DestroyChildrenDeletesDepthFirstAndEmptiesTheList) {
    Probe parent("parent", 1);
    Probe* a = new Probe("a", 10);
    Probe* b = new Probe("b", 11);
    // Linked by hand: attach would hand them to the scene's lists as well.
    parent.children = {a, b};
    a->children = {new Probe("a.child", 12)};
    const std::string out = printedBy([&] { parent.destroyChildren(); });
    EXPECT_THAT(out, HasSubstr("Destroying child 10\n"));
    EXPECT_THAT(out, HasSubstr("Destroying child 11\n"));
    EXPECT_THAT(Probe::log(), ElementsAre("~a.child", "~a", "~b"));
    EXPECT_TRUE(parent.children.empty());
}

} // namespace
