#include "Common/Collision/CollisionObject.h"

#include "Common/Collision/LineSegment.h"
#include "Common/Collision/Sphere.h"

CollisionObject::CollisionObject(uint32_t serverid, uint32_t objectid) : NetworkObject(serverid, objectid) {
    initColliders();
}

CollisionObject::CollisionObject(uint64_t id_) : NetworkObject(id_) {
    initColliders();
}

void CollisionObject::initColliders() {
    linesegmentDir = Vector3();
    collisionType = CollisionType::None;
    sphereCollider = nullptr;
    linesegmentCollider = nullptr;
}

CollisionObject::~CollisionObject() {
    delete sphereCollider;
    delete linesegmentCollider;
}

void CollisionObject::collisionResponse(CollisionObject* /*other*/) {}

void CollisionObject::setSphere(float radius) {
    if (collisionType != CollisionType::None)
        return;
    collisionType = CollisionType::Sphere;
    sphereCollider = new Sphere(&position, radius);
}

void CollisionObject::setLineSegment(Vector3 dir) {
    if (collisionType != CollisionType::None)
        return;
    collisionType = CollisionType::LineSegment;
    linesegmentDir = dir;
    linesegmentCollider = new LineSegment(&position, &linesegmentDir);
}

bool CollisionObject::collidesWith(CollisionObject& other) {
    if (collisionType != CollisionType::Sphere || other.collisionType != CollisionType::Sphere)
        return false;
    return sphereCollider->collidesWith(*other.sphereCollider);
}
