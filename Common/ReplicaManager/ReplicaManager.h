#pragma once

#include <cstdint>
#include <list>

class ControllingServer;
class NetworkObject;
class Player;
class Region;
class Sender;
class Vector3;

// Per-object hand-over state: whether another server controls the object, which
// neighbouring regions hold a copy of it and when it last sent an update. The static
// budget limits hand-overs and copy creations per frame for all objects together.
// Main thread only.
class ReplicaManager {
public:
    bool isReplica;                           // another server controls the object; this copy mirrors it
    bool firstBroadcast;                      // `first` flag of the samples added to the own prediction; stays false
    float timeSinceTransfer;                  // seconds this server has controlled the object while alive here
    std::list<uint32_t> regionsToUpdate;      // regions of other servers holding a copy, in creation order
    std::list<uint32_t> regionsIsConnectedTo; // players: regions whose server the client watches
    float timeSinceUpdate;                    // players: seconds since the last update message
    uint32_t ticksHeld;                       // ticks in a row it has been held outside every region; 0 when not
    uint64_t heldLineAt;                      // monotonic ms of the last "Stopping" line of this hold

    ReplicaManager();
    explicit ReplicaManager(bool replica);

    // Clears the flags and timers; the lists stay.
    void Init();

    // One tick of the owning object's place among the regions, after its prediction step
    // and before its motion: removes a replica that left this server's area; holds an
    // owned object that left every region; hands it to the server whose region alone
    // holds it; creates and destroys its copies on neighbours; tells a player's client
    // which neighbours to watch; and sends a player's state when the clients' estimate
    // drifted or aged. Does nothing before start-up gave the server its registry entry.
    void update(NetworkObject* obj, float dt);

    // Start of every frame: no hand-over or copy creation made yet.
    static void ResetHasTransfered();
    // Whether fewer than 100 hand-overs and copy creations happened in this frame.
    static bool MayTransfer(NetworkObject* obj);
    static void HasTransferedOne(NetworkObject* obj);

    static int32_t numberTransfered;

private:
    // The "Stopping" line of a held player: when its hold starts, then at most once in 10 s.
    void reportHeld(NetworkObject* obj, const Vector3& min, const Vector3& max);
    // True when the object went to the region's server in this tick.
    bool handOver(NetworkObject* obj, Region* region, ControllingServer* myself, Sender* sender);
    void createAndDestroyCopies(NetworkObject* obj, ControllingServer* myself, Sender* sender);
    void updateWatching(Player* player, ControllingServer* myself, Sender* sender);
    void updateClients(Player* player, float dt, Sender* sender);
};
