#include "Common/Gamelogic/Game.h"

#include "Common/Scene/SceneGraph.h"

Game* Game::getInstance() {
    static Game* instance = nullptr;
    if (!instance)
        instance = new Game();
    return instance;
}

SceneGraph* Game::getCurrentScenegraph() { return SceneGraph::getInstance(); }
