#pragma once

#include <string>

#include "Common/Math/Real.h"

// A position, velocity, direction or region bound. Plain value, safe on any thread.
class Vector3 {
public:
    Real_t x;
    Real_t y;
    Real_t z;

    Vector3() : x(0), y(0), z(0) {}
    Vector3(Real_t x_, Real_t y_, Real_t z_) : x(x_), y(y_), z(z_) {}

    Vector3 operator+(const Vector3& other) const { return Vector3(x + other.x, y + other.y, z + other.z); }
    Vector3 operator-(const Vector3& other) const { return Vector3(x - other.x, y - other.y, z - other.z); }
    Vector3 operator-() const { return Vector3(-x, -y, -z); }
    Vector3 operator*(Real_t scalar) const { return Vector3(x * scalar, y * scalar, z * scalar); }
    Vector3& operator+=(const Vector3& other);
    bool operator==(const Vector3& other) const { return x == other.x && y == other.y && z == other.z; }
    bool operator!=(const Vector3& other) const { return !(*this == other); }

    Real_t length() const;
    Real_t distance(const Vector3& other) const;
    Real_t distanceSquared(const Vector3& other) const;
    Real_t dotProduct(const Vector3& other) const;

    // v1 + (v2 - v1) * dt; dt is not clamped, so it extrapolates beyond 1.
    static Vector3 lerp(const Vector3& v1, const Vector3& v2, Real_t dt);

    // Scales to length 1 when longer than 1e-8; returns the length it had.
    Real_t normalise();

    // "(%f,%f,%f)". Grows beyond its usual 100 characters for huge components.
    std::string toString() const;
};
