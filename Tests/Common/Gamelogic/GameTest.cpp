#include "Common/Gamelogic/Game.h"

#include <gtest/gtest.h>

#include "Common/Scene/SceneGraph.h"

namespace {

TEST(GameTest, ReachesTheOneScene) {
    EXPECT_EQ(Game::getInstance(), Game::getInstance());
    EXPECT_EQ(Game::getInstance()->getCurrentScenegraph(), SceneGraph::getInstance());
}

} // namespace
