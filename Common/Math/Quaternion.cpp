#include "Common/Math/Quaternion.h"

#include <cmath>

Quaternion Quaternion::operator*(const Quaternion& q) const {
    return Quaternion(w * q.w - x * q.x - y * q.y - z * q.z, w * q.x + x * q.w + y * q.z - z * q.y,
                      w * q.y - x * q.z + y * q.w + z * q.x, w * q.z + x * q.y - y * q.x + z * q.w);
}

Real_t Quaternion::normalise() {
    const Real_t len = std::sqrt(w * w + x * x + y * y + z * z);
    if (len > 1e-8) {
        const Real_t inv = 1.0f / len;
        w *= inv;
        x *= inv;
        y *= inv;
        z *= inv;
    }
    return len;
}

Vector3 Quaternion::rotate(const Vector3& v) const {
    const Vector3 u(x, y, z);
    const Vector3 cross(u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x);
    return v * (2 * w * w - 1) + u * (2 * u.dotProduct(v)) + cross * (2 * w);
}

Quaternion Quaternion::exponentiation(int power) const {
    if (std::fabs(w) >= 0.9999f)
        return Quaternion();
    const Real_t alpha = std::acos(w);
    const Real_t newAlpha = power * alpha;
    const Real_t mult = std::sin(newAlpha) / std::sin(alpha);
    return Quaternion(std::cos(newAlpha), x * mult, y * mult, z * mult);
}

Quaternion Quaternion::Slerp(const Quaternion& p, const Quaternion& q, Real_t t) {
    const Real_t epsilon = 1e-6f;
    const Real_t c = p.w * q.w + p.x * q.x + p.y * q.y + p.z * q.z;
    Real_t k0;
    Real_t k1;
    if (c >= epsilon) {
        if (1 - c > epsilon) {
            const Real_t theta = std::acos(c);
            k0 = std::sin((1 - t) * theta) / std::sin(theta);
            k1 = std::sin(t * theta) / std::sin(theta);
        } else {
            k0 = 1 - t;
            k1 = t;
        }
    } else {
        if (1 + c > epsilon) {
            const Real_t theta = std::acos(-c);
            k0 = std::sin((t - 1) * theta) / std::sin(theta);
            k1 = std::sin(t * theta) / std::sin(theta);
        } else {
            k0 = t - 1;
            k1 = t;
        }
    }
    return Quaternion(k0 * p.w + k1 * q.w, k0 * p.x + k1 * q.x, k0 * p.y + k1 * q.y, k0 * p.z + k1 * q.z);
}
