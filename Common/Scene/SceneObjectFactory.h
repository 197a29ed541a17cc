#pragma once

#include <cstdint>
#include <string>

#include "Common/GameObjects/Transform.h"

class Player;
class Projectile;

// The one place where players and projectiles are created: allocates their ids, fills in
// their starting state, attaches them to the scene root and hands out teams. Created on
// first use; start-up calls init once before anything creates an object. Main thread only.
class SceneObjectFactory {
public:
    uint32_t serverId;   // the high 32 bits of every id allocated here
    uint32_t lastId;     // the last counter value handed out; never reset during a run
    Team::Team lastTeam; // the team given to the last player that asked for one

    static SceneObjectFactory* getInstance();

    // The first id allocated after init carries the counter lastId_ + 1. Start-up draws lastId_
    // so that a server restarted under its old id does not allocate again the ids of its previous
    // life, whose ships may still fly on other servers.
    void init(uint32_t serverId_, uint32_t lastId_ = 1);

    // Blue, Red, Blue, ... from init on.
    Team::Team getNextTeam();

    // team None draws the next team; objId 0 allocates a new id, any other is kept.
    // Nothing is sent: the caller announces the player.
    Player* createAndAttachPlayer(std::string name, const Vector3& position, const Quaternion& orientation,
                                  float health, Team::Team team, uint64_t objId);
    // objId 0 allocates a new id, any other is kept; the team is taken as it comes.
    Projectile* createAndAttachProjectile(const Vector3& position, const Quaternion& orientation,
                                          const Vector3& velocity, Team::Team team, uint64_t objId,
                                          uint64_t shooter_id);

private:
    SceneObjectFactory() = default;
    SceneObjectFactory(const SceneObjectFactory&) = delete;
    SceneObjectFactory& operator=(const SceneObjectFactory&) = delete;
};
