#include "Common/Collision/Sphere.h"

#include <gtest/gtest.h>

namespace {

TEST(SphereTest, CollidesUpToTouching) {
    struct {
        Vector3 other;
        bool collides;
    } cases[] = {
        {Vector3(0, 0, 0), true}, // same centre
        {Vector3(5, 0, 0), true}, // exactly r1 + r2 apart: touching
        {Vector3(3, 4, 0), true}, // 5 apart off the axes
        {Vector3(5.001f, 0, 0), false}, {Vector3(-3, -4, 0.01f), false},
    };
    Vector3 here;
    Sphere a(&here, 4.0f);
    for (const auto& c : cases) {
        Vector3 there = c.other;
        Sphere b(&there, 1.0f);
        EXPECT_EQ(a.collidesWith(b), c.collides) << there.toString();
        EXPECT_EQ(b.collidesWith(a), c.collides) << there.toString();
    }
}

TEST(SphereTest, FollowsThePointItWasGiven) {
    Vector3 here, there(10, 0, 0);
    Sphere a(&here, 1.0f), b(&there, 1.0f);
    EXPECT_FALSE(a.collidesWith(b));
    here = Vector3(9, 0, 0);
    EXPECT_TRUE(a.collidesWith(b));
}

} // namespace
