// The load report and the registry's population counts, read back from the coordinator's queue.
#include "Server/LoadCheck.h"

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/Debug/ResourceMonitor.h"
#include "Common/Gamelogic/General.h"
#include "Common/Protobuf/Object.pb.h"
#include "Server/main.h"
#include "Support/Wire/CaseName.h"
#include "Support/World/NetworkFixture.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class LoadCheckTest : public NetworkFixture {
protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        savedBorder = General::getInstance()->overloadedCPUBorder;
        savedCpu = ResourceMonitor::getInstance()->GetCPUusageCached();
        savedCollideAll = shouldCollideAllObjects;
        General::getInstance()->overloadedCPUBorder = 90;
        shouldCollideAllObjects = false;
    }
    void TearDown() override {
        General::getInstance()->overloadedCPUBorder = savedBorder;
        ResourceMonitor::getInstance()->SetCPUusageCache(savedCpu);
        shouldCollideAllObjects = savedCollideAll;
        NetworkFixture::TearDown();
    }

    static ServerRegionHandler* registry() { return ServerRegionHandler::getInstance(); }

    ControllingServer* serverWith(const std::vector<std::pair<Vector3, Vector3>>& boxes) {
        ControllingServer* me = nullptr;
        printedBy([&] { me = becomeServer(1); });
        unsigned int id = 10;
        for (const auto& box : boxes)
            me->AddRegion(box.first, box.second, id++);
        return me;
    }

    void addPlayer(const Vector3& at) {
        SceneObjectFactory::getInstance()->createAndAttachPlayer("p", at, Quaternion(), 100, Team::Red, 0);
    }
    void addShot(const Vector3& at) {
        SceneObjectFactory::getInstance()->createAndAttachProjectile(at, Quaternion(), Vector3(), Team::Red, 0, 0);
    }

    std::vector<QueuedFrame> reports() {
        return QueuedFrames::tcpFor(*serverQueue, &Network::getInstance()->coordinator);
    }
    // The one report checkLoad queues for the coordinator at this CPU figure.
    Velmor::ServerStatus reportAt(short cpu) {
        ResourceMonitor::getInstance()->SetCPUusageCache(cpu);
        checkLoad();
        return onlyReport();
    }
    Velmor::ServerStatus onlyReport() {
        return QueuedFrames::onlyTcp<Velmor::ServerStatus>(*serverQueue, &Network::getInstance()->coordinator,
                                                           MessageTypes::ServerStatus);
    }

    static std::vector<unsigned int> cellsWithCounts(const std::vector<unsigned int>& counts) {
        std::vector<unsigned int> cells;
        for (size_t i = 0; i < counts.size(); ++i)
            for (unsigned int n = 0; n < counts[i]; ++n)
                cells.push_back(static_cast<unsigned int>(i));
        return cells;
    }

    uint32_t savedBorder;
    short savedCpu;
    bool savedCollideAll;
};

TEST_F(LoadCheckTest, FigureAtOrBelowBorderIsNormalWithoutPopulations) {
    serverWith({{Vector3(0, 0, 0), Vector3(100, 100, 100)}});
    addPlayer(Vector3(50, 50, 50));
    Velmor::ServerStatus status = reportAt(90);
    EXPECT_EQ(status.status(), Velmor::ServerStatus::Normal);
    EXPECT_EQ(status.cpuload(), 90u);
    EXPECT_EQ(status.existingregionstatus_size(), 0);
    EXPECT_FALSE(status.has_futureregions());
}

TEST_F(LoadCheckTest, NormalReportNeedsNoRegistryEntry) {
    EXPECT_EQ(reportAt(0).status(), Velmor::ServerStatus::Normal);
}

TEST_F(LoadCheckTest, OverloadWithSeveralRegionsReportsEachRegionsPlayers) {
    serverWith({{Vector3(0, 0, 0), Vector3(100, 100, 100)},
                {Vector3(100, 0, 0), Vector3(200, 100, 100)},
                {Vector3(200, 0, 0), Vector3(300, 100, 100)}});
    addPlayer(Vector3(150, 50, 50));
    addPlayer(Vector3(200, 50, 50)); // on the face shared with region 12: belongs to region 11
    addPlayer(Vector3(500, 50, 50)); // in none
    addShot(Vector3(50, 50, 50));    // shots never count per region
    Velmor::ServerStatus status = reportAt(91);
    EXPECT_EQ(status.status(), Velmor::ServerStatus::Overloaded);
    EXPECT_EQ(status.cpuload(), 91u);
    EXPECT_FALSE(status.has_futureregions());
    std::vector<std::pair<uint32_t, uint32_t>> populations;
    for (const Velmor::ExistingRegion& region : status.existingregionstatus())
        populations.emplace_back(region.regionid(), region.population());
    EXPECT_THAT(populations, ElementsAre(std::make_pair(10u, 0u), std::make_pair(11u, 2u), std::make_pair(12u, 0u)));
}

TEST_F(LoadCheckTest, PlayerInOverlappingRegionsCountsInEach) {
    serverWith({{Vector3(0, 0, 0), Vector3(100, 100, 100)}, {Vector3(50, 0, 0), Vector3(150, 100, 100)}});
    addPlayer(Vector3(75, 50, 50));
    std::map<unsigned int, unsigned int> populations{{99, 7}};
    registry()->getPopulationForExistingRegions(populations);
    EXPECT_THAT(populations, ElementsAre(std::make_pair(10u, 1u), std::make_pair(11u, 1u)));
}

TEST_F(LoadCheckTest, OverloadWithOneRegionReportsBothGrids) {
    serverWith({{Vector3(0, 0, 0), Vector3(100, 100, 100)}});
    addPlayer(Vector3(75, 10, 60));
    Velmor::ServerStatus status = reportAt(99);
    EXPECT_EQ(status.status(), Velmor::ServerStatus::Overloaded);
    EXPECT_EQ(status.existingregionstatus_size(), 0);
    ASSERT_EQ(status.futureregions().twoxtwoxtwo_size(), 8);
    ASSERT_EQ(status.futureregions().threexthreexthree_size(), 27);
    std::vector<unsigned int> two(status.futureregions().twoxtwoxtwo().begin(),
                                  status.futureregions().twoxtwoxtwo().end());
    std::vector<unsigned int> three(status.futureregions().threexthreexthree().begin(),
                                    status.futureregions().threexthreexthree().end());
    EXPECT_THAT(cellsWithCounts(two), ElementsAre(5u));
    EXPECT_THAT(cellsWithCounts(three), ElementsAre(11u));
}

TEST_F(LoadCheckTest, OverloadWithoutRegionsOnlySaysSo) {
    serverWith({});
    ResourceMonitor::getInstance()->SetCPUusageCache(95);
    const std::string printed = printedBy([] { checkLoad(); });
    EXPECT_THAT(printed, HasSubstr("Overloaded but does not have any regions\n"));
    EXPECT_TRUE(reports().empty());
}

TEST_F(LoadCheckTest, OverloadWithoutMyselfReportsNothing) {
    ResourceMonitor::getInstance()->SetCPUusageCache(95);
    const std::string printed = printedBy([] { checkLoad(); });
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(reports().empty());
}

// Where one object lands in the two grids of one region; -1 where it counts nowhere.
struct CellCase {
    const char* what;
    Vector3 max;
    Vector3 at;
    int two;
    int three;
};
PRINT_CASE_AS_WHAT(CellCase)

class SubCellTest : public LoadCheckTest, public testing::WithParamInterface<CellCase> {};

TEST_P(SubCellTest, ObjectLandsInItsCell) {
    const CellCase& c = GetParam();
    serverWith({{Vector3(0, 0, 0), c.max}});
    addPlayer(c.at);
    std::vector<unsigned int> two(3, 9);
    std::vector<unsigned int> three;
    registry()->getPopulationForSingleRegion(two, three);
    ASSERT_EQ(two.size(), 8u);
    ASSERT_EQ(three.size(), 27u);
    EXPECT_EQ(cellsWithCounts(two),
              c.two < 0 ? std::vector<unsigned int>() : std::vector<unsigned int>{static_cast<unsigned int>(c.two)});
    EXPECT_EQ(cellsWithCounts(three), c.three < 0 ? std::vector<unsigned int>()
                                                  : std::vector<unsigned int>{static_cast<unsigned int>(c.three)});
}

const Vector3 cube100(100, 100, 100);
INSTANTIATE_TEST_SUITE_P(
    Cells, SubCellTest,
    testing::Values(CellCase{"Inside", cube100, Vector3(75, 10, 60), 5, 11},
                    CellCase{"MinCornerFaceExcluded", cube100, Vector3(0.5f, 0.5f, 0.5f), 0, 0},
                    CellCase{"UpperCorner", cube100, Vector3(100, 100, 100), 7, 26},
                    // The upper x face belongs to the region: the last cell along x, not the next row.
                    CellCase{"UpperXFace", Vector3(90, 90, 90), Vector3(90, 10, 10), 1, 2},
                    // Less than one cell below min truncates into cell 0.
                    CellCase{"JustBelowMin", cube100, Vector3(-20, 10, 10), 0, 0},
                    CellCase{"FarBelowMin", cube100, Vector3(-60, 10, 10), -1, -1},
                    // Below min on x but in the upper row on y must not fold into another cell.
                    CellCase{"BelowMinUpperRow", cube100, Vector3(-60, 60, 10), -1, -1},
                    // Less than one cell beyond max, like less than one below min: the border cell.
                    CellCase{"JustBeyondMax", cube100, Vector3(110, 10, 10), 1, 2},
                    CellCase{"BeyondMax", cube100, Vector3(150, 10, 10), -1, -1},
                    // A flat region has no cells to divide into.
                    CellCase{"FlatRegion", Vector3(100, 0, 100), Vector3(50, 0, 50), -1, -1}),
    caseName<CellCase>);

TEST_F(LoadCheckTest, ProjectilesCountInCellsOnlyWithCollideAll) {
    ControllingServer* me = serverWith({{Vector3(0, 0, 0), cube100}});
    me->AddRegion(Vector3(500, 0, 0), Vector3(600, 100, 100), 20); // newest first: counted against 20
    addPlayer(Vector3(510, 10, 10));
    addShot(Vector3(590, 90, 90));
    std::vector<unsigned int> two;
    std::vector<unsigned int> three;

    registry()->getPopulationForSingleRegion(two, three);
    EXPECT_THAT(cellsWithCounts(two), ElementsAre(0u));
    EXPECT_THAT(cellsWithCounts(three), ElementsAre(0u));

    shouldCollideAllObjects = true;
    registry()->getPopulationForSingleRegion(two, three);
    EXPECT_THAT(cellsWithCounts(two), ElementsAre(0u, 7u));
    EXPECT_THAT(cellsWithCounts(three), ElementsAre(0u, 26u));
}

} // namespace
