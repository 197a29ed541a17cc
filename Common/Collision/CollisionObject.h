#pragma once

#include <cstdint>

#include "Common/GameObjects/NetworkObject.h"

class LineSegment;
class Sphere;

namespace CollisionType {
enum CollisionType { None = 0, Sphere = 1, LineSegment = 2 };
}

// A networked object with one collider, set once by its kind's init. Main thread only.
class CollisionObject : public NetworkObject {
public:
    Sphere* sphereCollider;           // owned; null until setSphere
    LineSegment* linesegmentCollider; // owned; null until setLineSegment
    Vector3 linesegmentDir;           // in the object's own frame
    CollisionType::CollisionType collisionType;

    CollisionObject(uint32_t serverid, uint32_t objectid);
    explicit CollisionObject(uint64_t id_);
    ~CollisionObject() override;

    // What this object does after colliding with other; nothing here.
    virtual void collisionResponse(CollisionObject* other);

    // Both act only while the object has no collider yet.
    void setSphere(float radius);
    void setLineSegment(Vector3 dir);

    // Sphere against sphere only: a segment, or no collider, collides with nothing.
    bool collidesWith(CollisionObject& other);

private:
    void initColliders();
};
