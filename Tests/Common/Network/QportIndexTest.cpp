#include "Common/Network/QportIndex.h"

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/Network/CommEndpoint.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

// Four endpoints and the index of a list that holds them, appended a, b, c, d.
class QportIndexTest : public testing::Test {
protected:
    void SetUp() override {
        for (CommEndpoint* ep : {&a, &b, &c, &d}) {
            ep->qport = 7;
            index.added(ep);
        }
    }

    std::vector<CommEndpoint*> of(uint32_t qport) {
        const std::vector<CommEndpoint*>* found = index.withQport(qport);
        EXPECT_NE(found, nullptr);
        return found ? *found : std::vector<CommEndpoint*>();
    }

    // Writes a qport as the system does, and reports it.
    void setQport(CommEndpoint* ep, uint32_t qport) {
        ep->qport = qport;
        index.qportChanged(ep);
    }

    CommEndpoint a{CommEndpointTypes::ClientEndpoint};
    CommEndpoint b{CommEndpointTypes::ClientEndpoint};
    CommEndpoint c{CommEndpointTypes::ClientEndpoint};
    CommEndpoint d{CommEndpointTypes::ClientEndpoint};
    QportIndex index;
};

TEST_F(QportIndexTest, EachQportHoldsItsEndpointsInListOrderWhateverTheOrderOfTheWrites) {
    EXPECT_THAT(of(7), ElementsAre(&a, &b, &c, &d));
    EXPECT_THAT(of(8), IsEmpty());
    // Moved away and back in another order: each takes its place by its append again.
    setQport(&c, 8);
    setQport(&a, 8);
    setQport(&d, 8);
    EXPECT_THAT(of(7), ElementsAre(&b));
    EXPECT_THAT(of(8), ElementsAre(&a, &c, &d));
    setQport(&d, 7);
    setQport(&a, 7);
    EXPECT_THAT(of(7), ElementsAre(&a, &b, &d));
    EXPECT_THAT(of(8), ElementsAre(&c));
    // A write that keeps the qport, or of an endpoint not listed, changes nothing.
    setQport(&a, 7);
    CommEndpoint stranger(CommEndpointTypes::ClientEndpoint);
    setQport(&stranger, 7);
    EXPECT_THAT(of(7), ElementsAre(&a, &b, &d));

    index.removed(&b);
    index.removed(&stranger);
    EXPECT_THAT(of(7), ElementsAre(&a, &d));
    // Appended again: now last in the list.
    b.qport = 8;
    index.added(&b);
    EXPECT_THAT(of(8), ElementsAre(&c, &b));
    index.clear();
    EXPECT_THAT(of(7), IsEmpty());
    EXPECT_THAT(of(8), IsEmpty());
}

TEST_F(QportIndexTest, WhileTheListHoldsAnEndpointTwiceTheCallerWalksIt) {
    // The list is a, b, c, d, a: its order of a is not one place.
    index.added(&a);
    EXPECT_EQ(index.withQport(7), nullptr);
    EXPECT_EQ(index.withQport(8), nullptr);
    // Its first occurrence taken out, the list is b, c, d, a.
    index.removed(&a);
    EXPECT_THAT(of(7), ElementsAre(&b, &c, &d, &a));
    index.removed(&a);
    EXPECT_THAT(of(7), ElementsAre(&b, &c, &d));
    // Three times, then down to once.
    index.added(&b);
    index.added(&b);
    index.removed(&b);
    EXPECT_EQ(index.withQport(7), nullptr);
    index.removed(&b);
    EXPECT_THAT(of(7), ElementsAre(&c, &d, &b));
    index.added(&c);
    index.clear();
    EXPECT_THAT(of(7), IsEmpty());
}

// Thousands of endpoints of a few servers' qports, some qports held by two, added, moved and
// removed in random order: every qport answers as a walk of the list would, through the index's
// growth and its emptied buckets.
TEST(QportIndexTableTest, ManyQportsAnswerAsAWalkOfTheList) {
    const unsigned seed = std::random_device{}();
    std::printf("qport index seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> server(1, 3);
    std::uniform_int_distribution<uint32_t> counter(0, 1500);
    auto anyQport = [&] { return server(random) << 16 | counter(random); };

    std::vector<std::unique_ptr<CommEndpoint>> pool;
    std::vector<CommEndpoint*> list; // what the index stands for, in list order
    QportIndex index;
    auto expectAsAWalk = [&](uint32_t qport) {
        std::vector<CommEndpoint*> walked;
        for (CommEndpoint* ep : list)
            if (ep->qport == qport)
                walked.push_back(ep);
        const std::vector<CommEndpoint*>* found = index.withQport(qport);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, walked) << "qport " << qport;
    };
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 2000; ++i) {
            pool.push_back(std::make_unique<CommEndpoint>(CommEndpointTypes::ClientEndpoint));
            pool.back()->qport = anyQport();
            list.push_back(pool.back().get());
            index.added(list.back());
        }
        for (int i = 0; i < 500; ++i) {
            CommEndpoint* moved = list[random() % list.size()];
            moved->qport = anyQport();
            index.qportChanged(moved);
        }
        // Most of them go, so that many buckets empty.
        for (std::size_t i = 0; i < list.size() * 3 / 4; ++i) {
            const std::size_t at = random() % list.size();
            index.removed(list[at]);
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(at));
        }
        for (uint32_t s = 1; s <= 3; ++s)
            for (uint32_t n = 0; n <= 1501; ++n)
                expectAsAWalk(s << 16 | n);
        if (testing::Test::HasFailure())
            return;
    }
}

} // namespace
