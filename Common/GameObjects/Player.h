#pragma once

#include <cstdint>
#include <string>

#include "Common/Collision/CollisionObject.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/MessageTypes.h"

// A player's ship and, as its second base, the endpoint of that player's game client, so
// messages can be matched to the player and queued for it directly. The server that
// controls it applies the client's steering bits once per tick; a replica is moved by its
// prediction and removed when its owner falls silent. Created only by the object factory.
// Main thread only.
class Player : public CollisionObject, public CommEndpoint {
public:
    // Steering bits of boostersOn, under the names and values of the wire's Steering bits.
    enum Booster : uint32_t {
        ThrustForward = Steering::ThrustForward,
        ThrustBack = Steering::ThrustBack,
        ThrustLeft = Steering::ThrustLeft,
        ThrustRight = Steering::ThrustRight,
        ThrustUp = Steering::ThrustUp,
        ThrustDown = Steering::ThrustDown,
        SelfDestruct = Steering::SelfDestruct,
        Brake = Steering::Brake,
        Fire = Steering::Fire
    };

    std::string name;
    Team::Team team;
    int32_t score; // no rule changes it
    float health;  // at or below 0 the player dies
    uint32_t last_latency_serial_number;
    uint32_t boostersOn; // the client's latest steering bits; cleared after each application
    float timeSinceLastShoot;
    bool shouldBeDeletedWhenBecommingWatcher; // set on a move order; nothing reads it
    bool hasSentOffRequestForRespawn;         // the dead player has been handed to the coordinator
    bool isDead;                              // dead, waiting for the coordinator
    float timeSinceLastHeardFromPlayer;       // silence timer of a replica; reset by every sample

    // health is overridden by respawn(): a new player starts at full health.
    Player(uint32_t serverid, uint32_t objectid, Team::Team team_, float health_);
    Player(uint64_t id_, Team::Team team_, float health_);
    ~Player() override;

    // Steering, the hand-over of a dead player, the replica's silence rule, then the
    // networked tick.
    void realUpdate(float dt) override;
    // Only other players' projectiles hurt, and only a living player.
    void collisionResponse(CollisionObject* other) override;

    // Applies boostersOn once and clears it; while this server controls the player only.
    void applyBoosters(float dt);
    // Kills the player once and hands it to the coordinator when its client is reachable.
    void justDied();
    // Full health, no motion, identity pose, at the centre of this server's current region;
    // isDead stays as it is.
    void respawn();

private:
    void init();
    // Both the UDP address and the TCP socket of the client are known.
    bool clientIsReachable();
};
