#include "Common/GameObjects/Projectile.h"

#include "Common/GameObjects/Ship.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Scene/SceneGraph.h"

namespace {

const float lifetime = 20.0f;
const float radius = 1.0f;

} // namespace

Projectile::Projectile(uint32_t serverid, uint32_t objectid)
    : CollisionObject(serverid, objectid), team(Team::None), shooterID(0) {
    init();
}

Projectile::Projectile(uint64_t id_) : CollisionObject(id_), team(Team::None), shooterID(0) {
    init();
}

Projectile::~Projectile() {}

void Projectile::init() {
    life = lifetime;
    setSphere(radius);
    type = SceneGraphType::Projectile;
}

void Projectile::realUpdate(float dt) {
    NetworkObject::realUpdate(dt);
    life -= dt;
    if (life < 0)
        SceneGraph::getInstance()->addToRemoveList(this);
}

void Projectile::collisionResponse(CollisionObject* other) {
    if (other->id == shooterID)
        return;
    const bool hit = other->type == SceneGraphType::Player ||
                     (other->type == SceneGraphType::MotherShip && static_cast<Ship*>(other)->team != team);
    if (!hit)
        return;
    // Null until start-up builds the networking.
    if (Sender* sender = Network::getInstance()->networkSender)
        sender->broadcastObjectDestroy(this);
    SceneGraph::getInstance()->addToRemoveList(this);
}
