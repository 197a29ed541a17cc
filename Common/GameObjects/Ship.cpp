#include "Common/GameObjects/Ship.h"

namespace {

const float radius = 40.0f;

} // namespace

Ship::Ship(int32_t serverid, int32_t objectid, Team::Team team_)
    : CollisionObject(static_cast<uint32_t>(serverid), static_cast<uint32_t>(objectid)) {
    init(team_);
}

Ship::Ship(int64_t id_, Team::Team team_) : CollisionObject(static_cast<uint64_t>(id_)) {
    init(team_);
}

Ship::~Ship() {}

void Ship::init(Team::Team team_) {
    team = team_;
    type = SceneGraphType::MotherShip;
    setSphere(radius);
}

void Ship::realUpdate(float /*dt*/) {}
