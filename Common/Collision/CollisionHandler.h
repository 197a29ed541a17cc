#pragma once

#include "Common/GameObjects/Transform.h"

// The collision passes of the main frame. No state.
class CollisionHandler {
public:
    // Tests every entry of l1 (outer loop) against every entry of l2 (inner loop), in list
    // order; a colliding pair answers e1 then e2. Every entry is a CollisionObject. A null
    // list does nothing. The one place where a spatial index would go; it must keep this
    // order of pairs.
    static void handleCollissionsBetween(TransformList* l1, TransformList* l2);
};
