#pragma once

class SceneGraph;

// The entry point through which the networking and the game world reach the one scene.
// Created on first use on the main thread, never destroyed. Main thread only.
class Game {
public:
    static Game* getInstance();

    // The scene graph singleton.
    SceneGraph* getCurrentScenegraph();

private:
    Game() = default;
    Game(const Game&) = delete;
    Game& operator=(const Game&) = delete;
};
