#include "Common/GameObjects/Player.h"

#include <boost/system/system_error.hpp>

#include "Common/Debug/Debug.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Gamelogic/General.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Scene/SceneGraph.h"
#include "Common/Scene/SceneObjectFactory.h"

namespace {

const float radius = 4.0f;
const float fullHealth = 100.0f;
const float damagePerHit = 42.42f;
const float brakePerSecond = 10.0f;
const float maxSpeed = 50.0f;
const float fireInterval = 0.5f; // seconds that must have passed since the last shot
const float shotSpeed = 100.0f;
const float silenceLimit = 15.0f;

// Hands a dead player to the coordinator, which decides where it respawns; false when
// nothing could be queued, so that a later tick tries again.
bool sendToCoordinator(Player* p) {
    Network* network = Network::getInstance();
    // Null until start-up builds the networking.
    if (!network->networkSender)
        return true;
    // Reading the client's address fails once its connection has broken; the close reaches
    // the dispatcher soon and removes the player. Until then the death must not end the
    // collision pass or the scene walk that caused it.
    try {
        network->networkSender->sendTransferControl(p, &network->coordinator, true);
    } catch (const boost::system::system_error& e) {
        DebugLogInput(LogType::Error, "Cannot send transfer control of (id:%llx) to coordinator now: %s\n", idOf(p),
                      e.what());
        return false;
    }
    return true;
}

} // namespace

Player::Player(uint32_t serverid, uint32_t objectid, Team::Team team_, float health_)
    : CollisionObject(serverid, objectid), CommEndpoint(CommEndpointTypes::ClientEndpoint), team(team_), score(0),
      health(health_), hasSentOffRequestForRespawn(false) {
    init();
}

Player::Player(uint64_t id_, Team::Team team_, float health_)
    : CollisionObject(id_), CommEndpoint(CommEndpointTypes::ClientEndpoint), team(team_), score(0), health(health_),
      hasSentOffRequestForRespawn(false) {
    init();
}

Player::~Player() {}

void Player::init() {
    boostersOn = 0;
    timeSinceLastShoot = 0;
    setSphere(radius);
    respawn();
    isDead = false;
    shouldBeDeletedWhenBecommingWatcher = false;
    type = SceneGraphType::Player;
    timeSinceLastHeardFromPlayer = 0;
    last_latency_serial_number = 0;
}

bool Player::clientIsReachable() {
    return getUdpEndpoint() && getTcpSocket();
}

void Player::applyBoosters(float dt) {
    if (isDead)
        return;
    Vector3 boosters;
    if (boostersOn & ThrustForward)
        boosters.z += 1;
    if (boostersOn & ThrustBack)
        boosters.z -= 1;
    if (boostersOn & ThrustLeft)
        boosters.x -= 1;
    if (boostersOn & ThrustRight)
        boosters.x += 1;
    if (boostersOn & ThrustUp)
        boosters.y += 1;
    if (boostersOn & ThrustDown)
        boosters.y -= 1;
    // The rest of the application runs even when this has just killed the player.
    if (boostersOn & SelfDestruct)
        justDied();
    if (boostersOn & Brake) {
        float speed = velocity.length() - brakePerSecond * dt;
        if (speed < 0)
            speed = 0;
        velocity.normalise();
        velocity = velocity * speed;
    }
    // Thrust changes the velocity per application, not per second.
    velocity += orientation.rotate(boosters);
    if (velocity.length() > maxSpeed) {
        velocity.normalise();
        velocity = velocity * maxSpeed;
    }
    timeSinceLastShoot += dt;
    if ((boostersOn & Fire) && timeSinceLastShoot > fireInterval) {
        const Vector3 shotVelocity = velocity + orientation.rotate(Vector3(0, 0, 1)) * shotSpeed;
        SceneObjectFactory::getInstance()->createAndAttachProjectile(position, orientation, shotVelocity, team, 0, id);
        timeSinceLastShoot = 0;
    }
    boostersOn = 0;
}

void Player::collisionResponse(CollisionObject* other) {
    if (other->type != SceneGraphType::Projectile)
        return;
    if (static_cast<Projectile*>(other)->shooterID == id)
        return;
    if (isDead)
        return;
    health -= damagePerHit;
    if (health <= 0)
        justDied();
    if (Sender* sender = Network::getInstance()->networkSender)
        sender->sendIWasKilled(this, this);
}

void Player::justDied() {
    if (isDead)
        return;
    isDead = true;
    velocity = Vector3();
    hasSentOffRequestForRespawn = false;
    if (clientIsReachable()) {
        DebugPrint("Sending transfer control from (id:%llx) to coordinator from just died\n", idOf(this));
        hasSentOffRequestForRespawn = sendToCoordinator(this);
    }
}

void Player::respawn() {
    health = fullHealth;
    velocity = Vector3();
    orientation = Quaternion();
    timeSinceLastShoot = 0;
    position = General::getInstance()->getCenterOfCurrentRegion();
}

void Player::realUpdate(float dt) {
    if (!isReplica())
        applyBoosters(dt);
    // A player created dead at login reaches the coordinator in the first tick after its
    // client's first datagram made the UDP address known.
    if (isDead && !hasSentOffRequestForRespawn && clientIsReachable()) {
        DebugPrint("Sending transfer control of (id:%llx) to coordinator from realUpdate\n", idOf(this));
        hasSentOffRequestForRespawn = sendToCoordinator(this);
    }
    if (isReplica())
        timeSinceLastHeardFromPlayer += dt;
    if (timeSinceLastHeardFromPlayer > silenceLimit && id != 0) {
        DebugPrint("Removed PLAYER because we havn't heard from it in 15 sec (id:%llx)\n", idOf(this));
        SceneGraph::getInstance()->addToRemoveList(this);
    }
    NetworkObject::realUpdate(dt);
}
