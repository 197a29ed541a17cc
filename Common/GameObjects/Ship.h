#pragma once

#include <cstdint>

#include "Common/Collision/CollisionObject.h"

// A team's mother ship: stands still, is never networked (id 0) and stops the other
// team's shots. Two are created at start-up; they live as long as the process.
class Ship : public CollisionObject {
public:
    Team::Team team;

    Ship(int32_t serverid, int32_t objectid, Team::Team team_);
    Ship(int64_t id_, Team::Team team_);
    ~Ship() override;

    // Nothing: no motion, prediction or replication.
    void realUpdate(float dt) override;

private:
    void init(Team::Team team_);
};
