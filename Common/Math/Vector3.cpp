#include "Common/Math/Vector3.h"

#include <cmath>
#include <cstdio>
#include <vector>

Vector3& Vector3::operator+=(const Vector3& other) {
    x += other.x;
    y += other.y;
    z += other.z;
    return *this;
}

Real_t Vector3::length() const {
    return std::sqrt(x * x + y * y + z * z);
}

Real_t Vector3::distance(const Vector3& other) const {
    return (*this - other).length();
}

Real_t Vector3::distanceSquared(const Vector3& other) const {
    const Real_t dx = x - other.x;
    const Real_t dy = y - other.y;
    const Real_t dz = z - other.z;
    return dx * dx + dy * dy + dz * dz;
}

Real_t Vector3::dotProduct(const Vector3& other) const {
    return x * other.x + y * other.y + z * other.z;
}

Vector3 Vector3::lerp(const Vector3& v1, const Vector3& v2, Real_t dt) {
    return v1 + (v2 - v1) * dt;
}

Real_t Vector3::normalise() {
    const Real_t len = length();
    if (len > 1e-8) {
        const Real_t inv = 1.0f / len;
        x *= inv;
        y *= inv;
        z *= inv;
    }
    return len;
}

std::string Vector3::toString() const {
    char buffer[100];
    const int needed = std::snprintf(buffer, sizeof(buffer), "(%f,%f,%f)", x, y, z);
    if (needed < 0)
        return std::string();
    if (static_cast<size_t>(needed) < sizeof(buffer))
        return std::string(buffer, needed);
    // Components beyond about 1e25 print more than the buffer holds: grow rather than cut,
    // so a diagnostic never shows a wrong number.
    std::vector<char> big(needed + 1);
    std::snprintf(big.data(), big.size(), "(%f,%f,%f)", x, y, z);
    return std::string(big.data(), needed);
}
