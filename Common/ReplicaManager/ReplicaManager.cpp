#include "Common/ReplicaManager/ReplicaManager.h"

#include <algorithm>
#include <list>

#include <boost/system/system_error.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Engine/Timer.h"
#include "Common/GameObjects/NetworkObject.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Scene/SceneGraph.h"
#include "Server/ServerRegionHandler.h"

int32_t ReplicaManager::numberTransfered = 0;

namespace {

// Paddings around the regions, in world units.
const float replicaRange = 20.0f;
const float copyCreateRange = 10.0f;
const float copyDestroyRange = 15.0f;
const float watchRange = 100.0f;
const float watchForgetRange = 110.0f;
const float holdSearchStep = 100.0f;
const int holdSearchSteps = 9; // 100 to 900
const float holdFallback = 1000.0f;

// A player held outside every region (against a hole left by a dead neighbour, say) is
// reported when its hold starts and then once in this many ms, however long the hole lasts.
const uint64_t heldLineEveryMs = 10000;

const float leastControlTime = 0.5f; // seconds before an object may be handed on
const float maxDrift = 1.0f;
const float maxUpdateAge = 1.0f;

bool ofOtherServer(Region* region, ControllingServer* myself) {
    return region->parent != myself;
}

bool listed(const std::list<uint32_t>& ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool holdsId(const std::list<Region*>& regions, uint32_t id) {
    for (Region* region : regions)
        if (region->id == id)
            return true;
    return false;
}

// The box an object outside every region is held in: the first region found within the
// smallest padding of 100, 200, ... 900, else +-1000 on each axis.
void holdBox(Vector3 point, Vector3& min, Vector3& max) {
    min = Vector3(-holdFallback, -holdFallback, -holdFallback);
    max = Vector3(holdFallback, holdFallback, holdFallback);
    for (int step = 1; step <= holdSearchSteps; ++step) {
        std::list<Region*> near = ServerRegionHandler::getInstance()->getRegionsPointIsIn(point, holdSearchStep * step);
        if (!near.empty()) {
            min = near.front()->min;
            max = near.front()->max;
            return;
        }
    }
}

void clampInto(Vector3& p, const Vector3& min, const Vector3& max) {
    p.x = std::min(std::max(p.x, min.x), max.x);
    p.y = std::min(std::max(p.y, min.y), max.y);
    p.z = std::min(std::max(p.z, min.z), max.z);
}

} // namespace

ReplicaManager::ReplicaManager() : ReplicaManager(false) {}

ReplicaManager::ReplicaManager(bool replica)
    : isReplica(replica), firstBroadcast(false), timeSinceTransfer(0), timeSinceUpdate(0), ticksHeld(0), heldLineAt(0) {
}

void ReplicaManager::Init() {
    isReplica = false;
    firstBroadcast = false;
    timeSinceTransfer = 0;
    timeSinceUpdate = 0;
}

void ReplicaManager::update(NetworkObject* obj, float dt) {
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    ControllingServer* myself = registry->myself;
    Sender* sender = Network::getInstance()->networkSender;
    // Before start-up has given the server its entry and its networking there is nothing
    // to decide against.
    if (!myself || !sender)
        return;

    // A hold lasts only as long as the object is held in every tick.
    const uint32_t heldBefore = ticksHeld;
    ticksHeld = 0;

    if (isReplica) {
        for (Region* region : registry->getRegionsPointIsIn(obj->position, replicaRange))
            if (!ofOtherServer(region, myself))
                return;
        SceneGraph::getInstance()->addToRemoveList(obj);
        return;
    }

    Player* player = obj->type == SceneGraphType::Player ? static_cast<Player*>(obj) : nullptr;
    // A dead player waits for the coordinator: no hold, hand-over, copies or updates.
    if (player && player->isDead)
        return;

    std::list<Region*> holding = registry->getRegionsPointIsIn(obj->position, 0);
    timeSinceTransfer += dt;

    if (holding.empty()) {
        Vector3 min, max;
        holdBox(obj->position, min, max);
        ticksHeld = heldBefore + 1;
        if (player)
            reportHeld(obj, min, max);
        // The velocity stays: the motion step of this tick carries the object out again.
        clampInto(obj->position, min, max);
    }

    if (holding.size() == 1 && handOver(obj, holding.front(), myself, sender))
        return;

    if (holding.size() > 1)
        DebugLog(LogType::Error, "Error overlapping regions was found\n");

    createAndDestroyCopies(obj, myself, sender);
    if (player) {
        updateWatching(player, myself, sender);
        if (obj->id != 0)
            updateClients(player, dt, sender);
    }
}

void ReplicaManager::reportHeld(NetworkObject* obj, const Vector3& min, const Vector3& max) {
    const uint64_t now = Timer::getMonotonicTime();
    if (ticksHeld == 1) {
        DebugLog(LogType::Info, "Stopping %llx from leaving %s %s\n", idOf(obj), min.toString().c_str(),
                 max.toString().c_str());
    } else if (now - heldLineAt >= heldLineEveryMs) {
        DebugLog(LogType::Info, "Stopping %llx from leaving %s %s (held for %u frames)\n", idOf(obj),
                 min.toString().c_str(), max.toString().c_str(), ticksHeld);
    } else {
        return;
    }
    heldLineAt = now;
}

bool ReplicaManager::handOver(NetworkObject* obj, Region* region, ControllingServer* myself, Sender* sender) {
    ControllingServer* target = region->parent;
    if (!ofOtherServer(region, myself) || !target || timeSinceTransfer <= leastControlTime || !target->getTcpSocket() ||
        !MayTransfer(obj))
        return false;

    Player* player = nullptr;
    if (obj->type == SceneGraphType::Player) {
        player = static_cast<Player*>(obj);
        if (!player->getTcpSocket()) {
            DebugLogInput(LogType::Error,
                          "Cannot transfer now as we lack tcpsocket to player to send change region to (id:%llx)\n",
                          idOf(obj));
            return false;
        }
    } else if (obj->type != SceneGraphType::Projectile) {
        DebugLog(LogType::Error, "Replica manager controls somthing which is not projectile nor player (id:%llx)\n",
                 idOf(obj));
    }

    // Composed before anything changes: when the client's connection has broken and its
    // peer cannot be read, nothing is queued and the object must stay ours, or no server
    // would control it. The close of that connection reaches the dispatcher later.
    try {
        sender->sendTransferControl(obj, target, true);
    } catch (const boost::system::system_error& e) {
        DebugLogInput(LogType::Error, "Cannot transfer now as the players connection cannot be read (id:%llx): %s\n",
                      idOf(obj), e.what());
        return false;
    }
    if (player)
        Network::getInstance()->watcherManager->playerToWatcher(player, target->host, target->port, region->min,
                                                                region->max, static_cast<int>(region->id));
    isReplica = true;
    // A shot fired here has no samples, and a replica takes the estimate's pose: without this
    // it would sit at the origin until its silence ran out. It flies on from here, as a copy
    // received from its owner does.
    if (obj->type == SceneGraphType::Projectile)
        obj->startEstimateFromOwnPose(Timer::getCurSyncedTime());
    // The neighbours' copies end by their own rules; nothing is sent to them.
    regionsToUpdate.clear();
    regionsIsConnectedTo.clear();
    HasTransferedOne(obj);
    timeSinceTransfer = 0;
    return true;
}

void ReplicaManager::createAndDestroyCopies(NetworkObject* obj, ControllingServer* myself, Sender* sender) {
    RegionHandler* registry = ServerRegionHandler::getInstance();
    for (Region* region : registry->getRegionsPointIsIn(obj->position, copyCreateRange)) {
        if (!ofOtherServer(region, myself) || listed(regionsToUpdate, region->id))
            continue;
        // A copy queued for a server not linked yet would be freed unsent and never sent
        // again; it waits until the link is up.
        if (!region->parent || !region->parent->getTcpSocket() || !MayTransfer(obj))
            continue;
        regionsToUpdate.push_back(region->id);
        sender->sendCreateObject(obj, region->parent);
        HasTransferedOne(obj);
    }

    std::list<Region*> keep = registry->getRegionsPointIsIn(obj->position, copyDestroyRange);
    for (std::list<uint32_t>::iterator it = regionsToUpdate.begin(); it != regionsToUpdate.end();) {
        if (holdsId(keep, *it)) {
            ++it;
            continue;
        }
        if (Region* gone = registry->getRegion(*it))
            sender->sendObjectDestroy(obj, gone->parent);
        it = regionsToUpdate.erase(it);
    }
}

void ReplicaManager::updateWatching(Player* player, ControllingServer* myself, Sender* sender) {
    RegionHandler* registry = ServerRegionHandler::getInstance();
    // An instruction for a client not connected here would be freed unsent and never
    // given again; it waits until the client is bound to the player.
    if (player->getTcpSocket()) {
        for (Region* region : registry->getRegionsPointIsIn(player->position, watchRange)) {
            if (!ofOtherServer(region, myself) || !region->parent || listed(regionsIsConnectedTo, region->id))
                continue;
            sender->sendConnectToAsWatcher(region->parent->host, region->parent->port, region->min, region->max,
                                           player);
            regionsIsConnectedTo.push_back(region->id);
        }
    }

    std::list<Region*> keep = registry->getRegionsPointIsIn(player->position, watchForgetRange);
    regionsIsConnectedTo.remove_if([&keep](uint32_t id) { return !holdsId(keep, id); });
}

void ReplicaManager::updateClients(Player* player, float dt, Sender* sender) {
    timeSinceUpdate += dt;
    PredictionManager& prediction = player->predictionManager;
    // A state the last send step shed never reached the clients: it is due again at once.
    if (prediction.clientEstimatedPosition.distance(player->position) <= maxDrift && timeSinceUpdate <= maxUpdateAge &&
        !sender->broadcastUpdateDropped(player))
        return;

    sender->broadcastUpdateObject(player);
    // The server's copy of the clients' extrapolation starts again from what was just sent.
    prediction.addSample(Timer::getCurSyncedTime(), player->position, player->orientation, firstBroadcast);
    firstBroadcast = false;
    RegionHandler* registry = ServerRegionHandler::getInstance();
    for (uint32_t id : regionsToUpdate)
        if (Region* region = registry->getRegion(id))
            sender->sendUpdateObject(player, region->parent);
    timeSinceUpdate = 0;
}

void ReplicaManager::ResetHasTransfered() {
    numberTransfered = 0;
}

bool ReplicaManager::MayTransfer(NetworkObject* /*obj*/) {
    return numberTransfered <= 99;
}

void ReplicaManager::HasTransferedOne(NetworkObject* /*obj*/) {
    ++numberTransfered;
}
