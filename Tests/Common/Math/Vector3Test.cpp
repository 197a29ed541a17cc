#include "Common/Math/Vector3.h"

#include <cmath>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

void expectVector(const Vector3& v, Real_t x, Real_t y, Real_t z) {
    EXPECT_FLOAT_EQ(v.x, x);
    EXPECT_FLOAT_EQ(v.y, y);
    EXPECT_FLOAT_EQ(v.z, z);
}

TEST(Vector3Test, ArithmeticAndMeasures) {
    const Vector3 a(1, 2, 3);
    const Vector3 b(4, -6, 8);
    expectVector(Vector3(), 0, 0, 0);
    expectVector(a + b, 5, -4, 11);
    expectVector(a - b, -3, 8, -5);
    expectVector(-a, -1, -2, -3);
    expectVector(a * 2, 2, 4, 6);
    Vector3 c = a;
    expectVector(c += b, 5, -4, 11);
    expectVector(c, 5, -4, 11);
    EXPECT_FLOAT_EQ(Vector3(3, 0, 4).length(), 5);
    EXPECT_FLOAT_EQ(a.dotProduct(b), 4 - 12 + 24);
    EXPECT_FLOAT_EQ(a.distanceSquared(b), 9 + 64 + 25);
    EXPECT_FLOAT_EQ(a.distance(b), std::sqrt(98.0f));
}

TEST(Vector3Test, LerpIsNotClamped) {
    const Vector3 v1(1, 1, 1);
    const Vector3 v2(3, -1, 2);
    expectVector(Vector3::lerp(v1, v2, 0.5f), 2, 0, 1.5f);
    expectVector(Vector3::lerp(v1, v2, 2), 5, -3, 3);
    expectVector(Vector3::lerp(v1, v2, -1), -1, 3, 0);
}

struct NormaliseCase {
    Vector3 in;
    Real_t length;
    Vector3 out;
};

TEST(Vector3Test, NormaliseOnlyAboveThreshold) {
    const NormaliseCase cases[] = {
        {Vector3(0, 0, 0), 0, Vector3(0, 0, 0)},
        {Vector3(3, 0, 4), 5, Vector3(0.6f, 0, 0.8f)},
        {Vector3(1e-9f, 0, 0), 1e-9f, Vector3(1e-9f, 0, 0)},
        {Vector3(0, 2e-8f, 0), 2e-8f, Vector3(0, 1, 0)},
    };
    for (const NormaliseCase& c : cases) {
        Vector3 v = c.in;
        EXPECT_FLOAT_EQ(v.normalise(), c.length) << c.in.toString();
        expectVector(v, c.out.x, c.out.y, c.out.z);
    }
}

TEST(Vector3Test, ToStringFormatsAndNeverOverflows) {
    EXPECT_EQ(Vector3(1, -2, 0.5f).toString(), "(1.000000,-2.000000,0.500000)");
    // Three components near the float maximum print far more than 100 characters.
    const std::string huge = Vector3(-3e38f, 3e38f, -3e38f).toString();
    EXPECT_GT(huge.size(), 100u);
    EXPECT_EQ(huge.front(), '(');
    EXPECT_EQ(huge.back(), ')');
    char expected[400];
    std::snprintf(expected, sizeof(expected), "(%f,%f,%f)", -3e38f, 3e38f, -3e38f);
    EXPECT_EQ(huge, expected);
}

} // namespace
