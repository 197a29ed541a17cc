#pragma once

#include "Common/Math/Real.h"
#include "Common/Math/Vector3.h"

// An orientation, scalar part first. Operations do not normalise unless they say so.
// Plain value, safe on any thread.
class Quaternion {
public:
    Real_t w;
    Real_t x;
    Real_t y;
    Real_t z;

    Quaternion() : w(1), x(0), y(0), z(0) {}
    Quaternion(Real_t w_, Real_t x_, Real_t y_, Real_t z_) : w(w_), x(x_), y(y_), z(z_) {}

    // Hamilton product this * other.
    Quaternion operator*(const Quaternion& other) const;
    bool operator==(const Quaternion& other) const {
        return w == other.w && x == other.x && y == other.y && z == other.z;
    }

    // The conjugate (w, -x, -y, -z): the inverse of a unit quaternion.
    Quaternion negation() const { return Quaternion(w, -x, -y, -z); }

    // Scales to length 1 when longer than 1e-8; returns the length it had.
    Real_t normalise();

    // (2w^2 - 1) v + 2 (u.v) u + 2w (u x v); a rotation only for a unit quaternion.
    Vector3 rotate(const Vector3& v) const;

    // this^power; the identity for |w| >= 0.9999.
    Quaternion exponentiation(int power) const;

    // Spherical interpolation from p (t = 0) to q (t = 1); not normalised. When p.q < 1e-6 the
    // result is the negative of the shortest arc towards -q (the same rotation).
    static Quaternion Slerp(const Quaternion& p, const Quaternion& q, Real_t t);
};
