#pragma once

#include <initializer_list>

#include "Common/GameObjects/Transform.h"

// The collision passes of the main frame. No state; main thread only.
class CollisionHandler {
public:
    // Finds the pairs that collide of every entry of l1 (outer loop) with every entry of l2
    // (inner loop), in list order; a colliding pair answers e1 then e2. Every entry is a
    // CollisionObject; null entries are skipped and a null list does nothing. l1 and l2 may be
    // the same list (then each pair is met in both orders, and every object with itself).
    // Only pairs that can touch are tested: l2's spheres are sorted along one axis for the
    // call and each e1 tests those within reach on all three, in l2's order, which gives
    // exactly the pairs and the order of testing all of them.
    static void handleCollissionsBetween(TransformList* l1, TransformList* l2);

    // handleCollissionsBetween(l1, l2) for each l1 of firsts in turn (null lists skipped), with
    // l2 sorted once for all of them: the same pairs in the same order as that many calls.
    static void handleCollissionsWith(std::initializer_list<TransformList*> firsts, TransformList* l2);
};
