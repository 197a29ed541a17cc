#pragma once

#include "Common/Math/Vector3.h"

// A segment collider from its owner's position along a direction in the owner's frame.
// No object takes one, and a segment collides with nothing (see CollisionObject).
class LineSegment {
public:
    Vector3* origin;    // the owner's position; not owned
    Vector3* direction; // the owner's linesegmentDir; not owned

    LineSegment(Vector3* origin_, Vector3* direction_) : origin(origin_), direction(direction_) {}
};
