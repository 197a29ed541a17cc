#include "Common/Gamelogic/General.h"

#include <vector>

#include <gtest/gtest.h>

#include "Support/Wire/CaseName.h"
#include "Support/World/RegistryFixture.h"

namespace {

class GeneralTest : public RegistryFixture {};

TEST_F(GeneralTest, StartsWithTheDefaultBordersAndNoScore) {
    General* general = General::getInstance();
    EXPECT_EQ(general, General::getInstance());
    EXPECT_EQ(general->overloadedCPUBorder, 90u);
    EXPECT_EQ(general->underloadedCPUBorder, 10u);
    EXPECT_EQ(general->averageloadedCPUBorder, 40u);
    EXPECT_EQ(general->redTeamScore, 0);
    EXPECT_EQ(general->blueTeamScore, 0);
    EXPECT_EQ(general->t, spwanType::Point);
    EXPECT_EQ(general->numberOfPlayersToInGridToSpawnEven, 2);
    EXPECT_EQ(general->blueCounter, 0);
    EXPECT_EQ(general->redCounter, 1);
}

struct Box {
    unsigned int server;
    Vector3 min;
    Vector3 max;
};

struct CentreCase {
    const char* what;
    bool hasMyself;
    std::vector<Box> regions; // in order of arrival; myself is server 1
    std::vector<unsigned int> removed;
    Vector3 centre;
};
PRINT_CASE_AS_WHAT(CentreCase)

const CentreCase kCentreCases[] = {
    {"no entry of its own", false, {{2, Vector3(0, 0, 0), Vector3(10, 10, 10)}}, {}, Vector3()},
    {"no region", true, {}, {}, Vector3()},
    {"only other servers' regions", true, {{2, Vector3(0, 0, 0), Vector3(10, 10, 10)}}, {}, Vector3()},
    {"one region", true, {{1, Vector3(-100, 0, 20), Vector3(100, 50, 40)}}, {}, Vector3(0, 25, 30)},
    {"the region that arrived last",
     true,
     {{1, Vector3(0, 0, 0), Vector3(100, 100, 100)}, {1, Vector3(100, 0, 0), Vector3(300, 100, 100)}},
     {},
     Vector3(200, 50, 50)},
    {"another server's later region does not count",
     true,
     {{1, Vector3(0, 0, 0), Vector3(100, 100, 100)}, {2, Vector3(100, 0, 0), Vector3(300, 100, 100)}},
     {},
     Vector3(50, 50, 50)},
    {"back to the earlier region once the last is removed",
     true,
     {{1, Vector3(0, 0, 0), Vector3(100, 100, 100)}, {1, Vector3(100, 0, 0), Vector3(300, 100, 100)}},
     {2},
     Vector3(50, 50, 50)},
};

class RespawnCentreTest : public RegistryFixture, public testing::WithParamInterface<CentreCase> {};

TEST_P(RespawnCentreTest, CentreOfTheNewestOwnRegion) {
    const CentreCase& c = GetParam();
    ControllingServer* own = addServer(1);
    if (c.hasMyself)
        registry()->myself = own;
    unsigned int regionId = 1;
    for (const Box& box : c.regions)
        addServer(box.server)->AddRegion(box.min, box.max, regionId++);
    for (unsigned int id : c.removed)
        own->RemoveRegion(id);

    EXPECT_EQ(General::getInstance()->getCenterOfCurrentRegion(), c.centre) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Spawn, RespawnCentreTest, testing::ValuesIn(kCentreCases), caseName<CentreCase>);

} // namespace
