#include "Common/Math/Quaternion.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

const Real_t s45 = std::sqrt(0.5f);

void expectQuat(const Quaternion& q, Real_t w, Real_t x, Real_t y, Real_t z, Real_t tol = 1e-5f) {
    EXPECT_NEAR(q.w, w, tol);
    EXPECT_NEAR(q.x, x, tol);
    EXPECT_NEAR(q.y, y, tol);
    EXPECT_NEAR(q.z, z, tol);
}

TEST(QuaternionTest, DefaultIsIdentityAndProductIsHamilton) {
    expectQuat(Quaternion(), 1, 0, 0, 0);
    // i * j = k, j * i = -k
    const Quaternion i(0, 1, 0, 0), j(0, 0, 1, 0);
    expectQuat(i * j, 0, 0, 0, 1);
    expectQuat(j * i, 0, 0, 0, -1);
    expectQuat(Quaternion(1, 2, 3, 4) * Quaternion(5, 6, 7, 8), -60, 12, 30, 24);
}

TEST(QuaternionTest, NegationIsTheConjugate) {
    const Quaternion q(0.5f, 0.5f, 0.5f, 0.5f);
    expectQuat(q.negation(), 0.5f, -0.5f, -0.5f, -0.5f);
    expectQuat(q * q.negation(), 1, 0, 0, 0);
}

TEST(QuaternionTest, NormaliseOnlyAboveThreshold) {
    Quaternion q(0, 0, 3, 4);
    EXPECT_FLOAT_EQ(q.normalise(), 5);
    expectQuat(q, 0, 0, 0.6f, 0.8f);
    Quaternion zero(0, 0, 0, 0);
    EXPECT_FLOAT_EQ(zero.normalise(), 0);
    expectQuat(zero, 0, 0, 0, 0);
}

TEST(QuaternionTest, Rotate) {
    const Vector3 v(1, 0, 0);
    const Vector3 same = Quaternion().rotate(Vector3(1, 2, 3));
    EXPECT_FLOAT_EQ(same.x, 1);
    EXPECT_FLOAT_EQ(same.y, 2);
    EXPECT_FLOAT_EQ(same.z, 3);
    const Vector3 turned = Quaternion(s45, 0, 0, s45).rotate(v);
    EXPECT_NEAR(turned.x, 0, 1e-6);
    EXPECT_NEAR(turned.y, 1, 1e-6);
    EXPECT_NEAR(turned.z, 0, 1e-6);
    // Not a unit quaternion: the formula as written, no normalisation: (2*4-1)v = 7v.
    const Vector3 scaled = Quaternion(2, 0, 0, 0).rotate(v);
    EXPECT_FLOAT_EQ(scaled.x, 7);
}

struct PowerCase {
    Quaternion q;
    int power;
    Quaternion expected;
};

TEST(QuaternionTest, Exponentiation) {
    const Real_t c30 = std::cos(0.5236f), s30 = std::sin(0.5236f);
    const PowerCase cases[] = {
        {Quaternion(), 5, Quaternion()},
        {Quaternion(0.99995f, 0.01f, 0, 0), 7, Quaternion()},
        {Quaternion(-0.99995f, 0.01f, 0, 0), 2, Quaternion()},
        {Quaternion(s45, 0, 0, s45), 0, Quaternion()},
        {Quaternion(s45, 0, 0, s45), 1, Quaternion(s45, 0, 0, s45)},
        {Quaternion(s45, 0, 0, s45), 2, Quaternion(0, 0, 0, 1)},
        {Quaternion(c30, s30, 0, 0), 3, Quaternion(0, 1, 0, 0)},
        {Quaternion(c30, s30, 0, 0), -1, Quaternion(c30, -s30, 0, 0)},
    };
    for (const PowerCase& c : cases) {
        SCOPED_TRACE(c.power);
        expectQuat(c.q.exponentiation(c.power), c.expected.w, c.expected.x, c.expected.y, c.expected.z, 1e-4f);
    }
}

TEST(QuaternionTest, SlerpBranches) {
    const Quaternion p;
    const Quaternion q(s45, 0, 0, s45);
    // Usual branch: ends and the middle (a 45 degree turn about z).
    expectQuat(Quaternion::Slerp(p, q, 0), 1, 0, 0, 0);
    expectQuat(Quaternion::Slerp(p, q, 1), s45, 0, 0, s45);
    expectQuat(Quaternion::Slerp(p, q, 0.5f), std::cos(0.3927f), 0, 0, std::sin(0.3927f));
    // Equal quaternions take the linear branch.
    expectQuat(Quaternion::Slerp(q, q, 0.3f), s45, 0, 0, s45);
    // A dot product below 1e-6 (here exactly 0): t = 0 gives -p, t = 1 gives q.
    const Quaternion r(0, 1, 0, 0);
    expectQuat(Quaternion::Slerp(p, r, 0), -1, 0, 0, 0);
    expectQuat(Quaternion::Slerp(p, r, 1), 0, 1, 0, 0);
    // Nearly opposite: k0 = t - 1, k1 = t.
    const Quaternion minusP(-1, 0, 0, 0);
    expectQuat(Quaternion::Slerp(p, minusP, 0.25f), -0.75f - 0.25f, 0, 0, 0);
}

} // namespace
