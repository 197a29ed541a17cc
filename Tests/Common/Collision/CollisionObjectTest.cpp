#include "Common/Collision/CollisionObject.h"

#include <gtest/gtest.h>

#include "Common/Collision/LineSegment.h"
#include "Common/Collision/Sphere.h"

namespace {

TEST(CollisionObjectTest, StartsWithoutColliderAndNeverCollidesThen) {
    CollisionObject a(static_cast<uint64_t>(1)), b(static_cast<uint64_t>(2));
    EXPECT_EQ(a.collisionType, CollisionType::None);
    EXPECT_EQ(a.sphereCollider, nullptr);
    EXPECT_EQ(a.linesegmentCollider, nullptr);
    EXPECT_EQ(a.linesegmentDir, Vector3());
    EXPECT_FALSE(a.isReplica());
    b.setSphere(1.0f);
    EXPECT_FALSE(a.collidesWith(a));
    EXPECT_FALSE(a.collidesWith(b));
    EXPECT_FALSE(b.collidesWith(a));
    EXPECT_TRUE(b.collidesWith(b)); // an object always meets itself
}

TEST(CollisionObjectTest, FirstColliderStays) {
    CollisionObject a(static_cast<uint64_t>(1));
    a.setSphere(4.0f);
    Sphere* first = a.sphereCollider;
    a.setSphere(40.0f);
    a.setLineSegment(Vector3(0, 0, 1));
    EXPECT_EQ(a.sphereCollider, first);
    EXPECT_EQ(a.sphereCollider->radius, 4.0f);
    EXPECT_EQ(a.linesegmentCollider, nullptr);
    EXPECT_EQ(a.collisionType, CollisionType::Sphere);
}

TEST(CollisionObjectTest, SphereRidesOnThePosition) {
    CollisionObject a(static_cast<uint64_t>(1)), b(static_cast<uint64_t>(2));
    a.setSphere(4.0f);
    b.setSphere(1.0f);
    b.position = Vector3(0, 0, 5.5f);
    EXPECT_FALSE(a.collidesWith(b));
    b.velocity = Vector3(0, 0, -1.0f);
    b.update(0.5f);
    EXPECT_TRUE(a.collidesWith(b));
}

// The segment collider is declared but has no geometry: it collides with nothing.
TEST(CollisionObjectTest, SegmentCollidesWithNothing) {
    CollisionObject seg(static_cast<uint64_t>(1)), sphere(static_cast<uint64_t>(2));
    seg.setLineSegment(Vector3(0, 0, 10));
    sphere.setSphere(40.0f);
    EXPECT_EQ(seg.collisionType, CollisionType::LineSegment);
    ASSERT_NE(seg.linesegmentCollider, nullptr);
    EXPECT_EQ(seg.linesegmentCollider->origin, &seg.position);
    EXPECT_EQ(*seg.linesegmentCollider->direction, Vector3(0, 0, 10));
    EXPECT_FALSE(seg.collidesWith(sphere));
    EXPECT_FALSE(sphere.collidesWith(seg));
    EXPECT_FALSE(seg.collidesWith(seg));
}

} // namespace
