#include "Common/Gamelogic/Game.h"

#include "Common/Scene/SceneGraph.h"

Game* Game::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static Game* instance = new Game();
    return instance;
}

SceneGraph* Game::getCurrentScenegraph() {
    return SceneGraph::getInstance();
}
