#pragma once

#include "Common/Math/Vector3.h"

// A sphere collider centred on its owner's position, so it follows the object without an
// update step.
class Sphere {
public:
    Vector3* point; // the owner's position; not owned
    float radius;

    Sphere(Vector3* point_, float radius_) : point(point_), radius(radius_) {}

    // Touching spheres collide; squared distances are compared.
    bool collidesWith(const Sphere& other) const;
};
