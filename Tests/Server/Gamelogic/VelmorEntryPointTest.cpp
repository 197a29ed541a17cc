#include "Server/Gamelogic/VelmorEntryPoint.h"

#include "Common/GameObjects/Ship.h"
#include "Support/World/SceneFixture.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class VelmorEntryPointTest : public SceneFixture {};

TEST_F(VelmorEntryPointTest, RedThenBlueMotherShipStayForGood) {
    VelmorEntryPoint entry;
    entry.init();
    ASSERT_NE(entry.redMother, nullptr);
    ASSERT_NE(entry.blueMother, nullptr);
    EXPECT_EQ(entry.redMother->team, Team::Red);
    EXPECT_EQ(entry.redMother->position, Vector3(500, 0, 0));
    EXPECT_EQ(entry.blueMother->team, Team::Blue);
    EXPECT_EQ(entry.blueMother->position, Vector3(-500, 0, 0));
    EXPECT_EQ(entry.redMother->id, 0u);
    EXPECT_EQ(entry.blueMother->id, 0u);
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::MotherShip), ElementsAre(entry.redMother, entry.blueMother));
    EXPECT_EQ(scene()->getOBjectById(0), entry.blueMother); // the later attach holds id 0

    EXPECT_THAT(printedBy([&] { scene()->addToRemoveList(entry.redMother); }),
                HasSubstr("trying to remove element with id 0\n"));
    scene()->applyRemoveList();
    EXPECT_EQ(scene()->children.size(), 2u);
}

} // namespace
