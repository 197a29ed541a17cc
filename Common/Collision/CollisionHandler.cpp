#include "Common/Collision/CollisionHandler.h"

#include "Common/Collision/CollisionObject.h"

void CollisionHandler::handleCollissionsBetween(TransformList* l1, TransformList* l2) {
    if (!l1 || !l2)
        return;
    // Responses only queue removals, so both lists stay intact during the pass.
    for (Transform* t1 : *l1) {
        for (Transform* t2 : *l2) {
            if (!t1 || !t2)
                continue;
            CollisionObject* e1 = static_cast<CollisionObject*>(t1);
            CollisionObject* e2 = static_cast<CollisionObject*>(t2);
            if (e1->collidesWith(*e2)) {
                e1->collisionResponse(e2);
                e2->collisionResponse(e1);
            }
        }
    }
}
