#include "Server/Gamelogic/VelmorEntryPoint.h"

#include "Common/GameObjects/Ship.h"
#include "Common/Scene/SceneGraph.h"

void VelmorEntryPoint::init() {
    // Mother ships have id 0: never networked, never removed.
    redMother = new Ship(static_cast<int64_t>(0), Team::Red);
    redMother->position = Vector3(500, 0, 0);
    SceneGraph::getInstance()->attach(redMother);
    blueMother = new Ship(static_cast<int64_t>(0), Team::Blue);
    blueMother->position = Vector3(-500, 0, 0);
    SceneGraph::getInstance()->attach(blueMother);
}

void VelmorEntryPoint::update(float /*dt*/) {}
