#include "Common/Region/Region.h"

#include <gtest/gtest.h>

#include "Support/Wire/CaseName.h"
#include "Support/World/RegistryFixture.h"

namespace {

struct PointCase {
    const char* what;
    Vector3 point;
    float padding;
    bool inside;
};
PRINT_CASE_AS_WHAT(PointCase)

// Bounds differ per axis so that a test mixing up axes fails.
const Vector3 kMin(0, 10, 20);
const Vector3 kMax(100, 110, 120);

const PointCase kPointCases[] = {
    {"centre", Vector3(50, 60, 70), 0, true},
    {"lower x face", Vector3(0, 60, 70), 0, false},
    {"upper x face", Vector3(100, 60, 70), 0, true},
    {"lower y face", Vector3(50, 10, 70), 0, false},
    {"upper y face", Vector3(50, 110, 70), 0, true},
    {"lower z face", Vector3(50, 60, 20), 0, false},
    {"upper z face", Vector3(50, 60, 120), 0, true},
    {"just above upper x", Vector3(100.5f, 60, 70), 0, false},
    {"just above lower corner", Vector3(0.5f, 10.5f, 20.5f), 0, true},
    {"9.5 beyond upper x, padding 10", Vector3(109.5f, 60, 70), 10, true},
    {"exactly 10 beyond upper x, padding 10", Vector3(110, 60, 70), 10, true},
    {"10.5 beyond upper x, padding 10", Vector3(110.5f, 60, 70), 10, false},
    {"9.5 below lower x, padding 10", Vector3(-9.5f, 60, 70), 10, true},
    {"exactly 10 below lower x, padding 10", Vector3(-10, 60, 70), 10, false},
    {"beyond on y only, padding 10", Vector3(50, 121, 70), 10, false},
    {"beyond on z only, padding 10", Vector3(50, 60, 9), 10, false},
};

class RegionPointTest : public testing::TestWithParam<PointCase> {};

TEST_P(RegionPointTest, LowerFaceOutsideUpperFaceInside) {
    const PointCase& c = GetParam();
    Region region(kMin, kMax, 1, nullptr);
    EXPECT_EQ(region.PointIn(c.point, c.padding), c.inside) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Box, RegionPointTest, testing::ValuesIn(kPointCases), caseName<PointCase>);

// Regions 1, 2 and 3 on server 10 and region 4 on server 20; the steps run in order.
struct LinkStep {
    unsigned int region;
    bool add; // else remove
    unsigned int other;
};

struct LinkCase {
    const char* what;
    std::vector<LinkStep> steps;
    std::vector<std::vector<uint32_t>> lists; // neighbour lists of regions 1 to 4
    std::string output;
};
PRINT_CASE_AS_WHAT(LinkCase)

const std::string kMissing = "id:0:[0] Error adding neighbour which does not exists\n";

const LinkCase kLinkCases[] = {
    {"one link is mirrored", {{1, true, 2}}, {{2}, {1}, {}, {}}, ""},
    {"across servers", {{1, true, 4}}, {{4}, {}, {}, {1}}, ""},
    {"added twice", {{1, true, 2}, {1, true, 2}}, {{2}, {1}, {}, {}}, ""},
    {"added from both sides", {{1, true, 2}, {2, true, 1}}, {{2}, {1}, {}, {}}, ""},
    {"own id", {{1, true, 1}}, {{}, {}, {}, {}}, ""},
    {"in the order added", {{1, true, 3}, {1, true, 2}, {2, true, 3}}, {{3, 2}, {1, 3}, {1, 2}, {}}, ""},
    {"missing region stays one-sided", {{1, true, 9}}, {{9}, {}, {}, {}}, kMissing},
    {"missing region added twice reports once", {{1, true, 9}, {1, true, 9}}, {{9}, {}, {}, {}}, kMissing},
    {"removal is mirrored", {{1, true, 2}, {1, true, 3}, {1, false, 2}}, {{3}, {}, {1}, {}}, ""},
    {"removal from the other side", {{1, true, 2}, {2, false, 1}}, {{}, {}, {}, {}}, ""},
    {"removing an unlisted id", {{1, true, 2}, {3, false, 1}}, {{2}, {1}, {}, {}}, ""},
    {"removing a missing region's link", {{1, true, 9}, {1, false, 9}}, {{}, {}, {}, {}}, kMissing},
};

class RegionLinkTest : public RegistryFixture, public testing::WithParamInterface<LinkCase> {};

TEST_P(RegionLinkTest, LinksStayMirroredAndUnique) {
    const LinkCase& c = GetParam();
    ControllingServer* first = addServer(10);
    ControllingServer* second = addServer(20);
    for (unsigned int id : {1, 2, 3})
        first->AddRegion(Vector3(), Vector3(1, 1, 1), id);
    second->AddRegion(Vector3(), Vector3(1, 1, 1), 4);

    testing::internal::CaptureStdout();
    for (const LinkStep& step : c.steps) {
        Region* region = registry()->getRegion(step.region);
        if (step.add)
            region->AddNeighbour(step.other);
        else
            region->RemoveNeighbour(step.other);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.what;
    for (unsigned int id = 1; id <= 4; ++id)
        EXPECT_EQ(neighboursOf(id), c.lists[id - 1]) << c.what << ", region " << id;
}

INSTANTIATE_TEST_SUITE_P(Neighbours, RegionLinkTest, testing::ValuesIn(kLinkCases), caseName<LinkCase>);

class RegionLifetimeTest : public RegistryFixture {};

TEST_F(RegionLifetimeTest, OneSidedLinkIsCompletedWhenTheRegionArrives) {
    ControllingServer* server = addServer(1);
    testing::internal::CaptureStdout();
    server->AddRegion(Vector3(), Vector3(1, 1, 1), 1)->AddNeighbour(2);
    testing::internal::GetCapturedStdout();

    addServer(2)->AddRegion(Vector3(), Vector3(1, 1, 1), 2)->AddNeighbour(1);
    EXPECT_EQ(neighboursOf(1), std::vector<uint32_t>{2});
    EXPECT_EQ(neighboursOf(2), std::vector<uint32_t>{1});
}

TEST_F(RegionLifetimeTest, RemovedRegionIsUnlinkedFromAllItsNeighbours) {
    ControllingServer* server = addServer(1);
    ControllingServer* other = addServer(2);
    server->AddRegion(Vector3(), Vector3(1, 1, 1), 1);
    server->AddRegion(Vector3(), Vector3(1, 1, 1), 2);
    other->AddRegion(Vector3(), Vector3(1, 1, 1), 3);
    registry()->getRegion(2)->AddNeighbour(1);
    registry()->getRegion(2)->AddNeighbour(3);
    registry()->getRegion(1)->AddNeighbour(3);

    server->RemoveRegion(2);
    EXPECT_EQ(registry()->getRegion(2), nullptr);
    EXPECT_EQ(neighboursOf(1), std::vector<uint32_t>{3});
    EXPECT_EQ(neighboursOf(3), std::vector<uint32_t>{1});
}

TEST_F(RegionLifetimeTest, RemovedServerUnlinksItsRegionsFromOtherServers) {
    ControllingServer* leaving = addServer(1);
    ControllingServer* staying = addServer(2);
    leaving->AddRegion(Vector3(), Vector3(1, 1, 1), 1);
    leaving->AddRegion(Vector3(), Vector3(1, 1, 1), 2);
    staying->AddRegion(Vector3(), Vector3(1, 1, 1), 3);
    registry()->getRegion(1)->AddNeighbour(2);
    registry()->getRegion(1)->AddNeighbour(3);
    registry()->getRegion(2)->AddNeighbour(3);

    registry()->RemoveServerFromPool(leaving);
    EXPECT_EQ(registry()->getControllingServer(1), nullptr);
    EXPECT_EQ(neighboursOf(3), std::vector<uint32_t>{});
}

} // namespace
