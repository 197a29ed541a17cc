#include "Common/Scene/SceneObjectFactory.h"

#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Gamelogic/Game.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Scene/SceneGraph.h"

SceneObjectFactory* SceneObjectFactory::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static SceneObjectFactory* instance = [] {
        SceneObjectFactory* factory = new SceneObjectFactory();
        // Defined values until start-up's init; the same as init(0).
        factory->init(0);
        return factory;
    }();
    return instance;
}

void SceneObjectFactory::init(uint32_t serverId_, uint32_t lastId_) {
    serverId = serverId_;
    lastId = lastId_;
    lastTeam = Team::Red;
}

Team::Team SceneObjectFactory::getNextTeam() {
    lastTeam = lastTeam == Team::Red ? Team::Blue : Team::Red;
    return lastTeam;
}

Player* SceneObjectFactory::createAndAttachPlayer(std::string name, const Vector3& position,
                                                  const Quaternion& orientation, float health, Team::Team team,
                                                  uint64_t objId) {
    if (team == Team::None)
        team = getNextTeam();
    Player* player = objId == 0 ? new Player(serverId, ++lastId, team, health) : new Player(objId, team, health);
    player->name = name;
    player->score = 0;
    player->boostersOn = 0;
    player->position = position;
    player->orientation = orientation;
    Game::getInstance()->getCurrentScenegraph()->attach(player);
    return player;
}

Projectile* SceneObjectFactory::createAndAttachProjectile(const Vector3& position, const Quaternion& orientation,
                                                          const Vector3& velocity, Team::Team team, uint64_t objId,
                                                          uint64_t shooter_id) {
    Projectile* projectile = objId == 0 ? new Projectile(serverId, ++lastId) : new Projectile(objId);
    projectile->position = position;
    projectile->velocity = velocity;
    projectile->orientation = orientation;
    projectile->team = team;
    projectile->shooterID = shooter_id;
    Game::getInstance()->getCurrentScenegraph()->attach(projectile);
    // Every projectile, also one described by another server, is announced to the clients.
    // The sender is null until start-up builds the networking.
    if (Sender* sender = Network::getInstance()->networkSender)
        sender->broadcastCreateObject(projectile);
    return projectile;
}
