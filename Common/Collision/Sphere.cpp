#include "Common/Collision/Sphere.h"

bool Sphere::collidesWith(const Sphere& other) const {
    const float reach = radius + other.radius;
    return point->distanceSquared(*other.point) <= reach * reach;
}
