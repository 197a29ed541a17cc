#pragma once

#include <cstdint>

#include "Common/Collision/CollisionObject.h"

// A player's shot: flies straight, expires after 20 s, and is removed when it hits a
// player or the other team's mother ship. Created only by the object factory.
class Projectile : public CollisionObject {
public:
    float life;         // seconds left
    Team::Team team;    // of the firing player
    uint64_t shooterID; // object id of the firing player

    Projectile(uint32_t serverid, uint32_t objectid);
    explicit Projectile(uint64_t id_);
    ~Projectile() override;

    void realUpdate(float dt) override;
    void collisionResponse(CollisionObject* other) override;

private:
    void init();
};
