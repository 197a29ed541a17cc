#include "Common/Collision/CollisionHandler.h"

#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/Collision/CollisionObject.h"
#include "Support/Wire/CaseName.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

std::vector<std::string> responses;

// Logs "self<-other" for every response.
class Body : public CollisionObject {
public:
    Body(const std::string& name_, Vector3 at, float radius) : CollisionObject(static_cast<uint64_t>(1)), name(name_) {
        position = at;
        if (radius > 0)
            setSphere(radius);
    }
    void collisionResponse(CollisionObject* other) override {
        responses.push_back(name + "<-" + static_cast<Body*>(other)->name);
    }
    std::string name;
};

class CollisionHandlerTest : public testing::Test {
protected:
    void SetUp() override { responses.clear(); }
    // a and b overlap, c overlaps b only, far overlaps nothing, ghost has no collider.
    Body a{"a", Vector3(0, 0, 0), 4}, b{"b", Vector3(4, 0, 0), 1}, c{"c", Vector3(5.5f, 0, 0), 1},
        far{"far", Vector3(100, 0, 0), 1}, ghost{"ghost", Vector3(0, 0, 0), 0};
};

TEST_F(CollisionHandlerTest, PairsInListOrderEachAnsweringFirstThenSecond) {
    TransformList l1{&c, &a, &ghost, &far};
    TransformList l2{&far, &b};
    CollisionHandler::handleCollissionsBetween(&l1, &l2);
    EXPECT_THAT(responses, ElementsAre("c<-b", "b<-c", "a<-b", "b<-a", "far<-far", "far<-far"));
}

TEST_F(CollisionHandlerTest, SameListTestsBothOrdersAndSelfPairs) {
    TransformList l{&a, &b, &far};
    CollisionHandler::handleCollissionsBetween(&l, &l);
    EXPECT_THAT(responses,
                ElementsAre("a<-a", "a<-a", "a<-b", "b<-a", "b<-a", "a<-b", "b<-b", "b<-b", "far<-far", "far<-far"));
}

TEST_F(CollisionHandlerTest, NullOrEmptyListsAndNullEntriesDoNothing) {
    TransformList l{&a, nullptr, &b};
    TransformList empty;
    CollisionHandler::handleCollissionsBetween(nullptr, &l);
    CollisionHandler::handleCollissionsBetween(&l, nullptr);
    CollisionHandler::handleCollissionsBetween(&empty, &l);
    CollisionHandler::handleCollissionsBetween(&l, &empty);
    EXPECT_THAT(responses, IsEmpty());
    TransformList withNull{nullptr, &b};
    TransformList single{&a};
    CollisionHandler::handleCollissionsBetween(&single, &withNull);
    EXPECT_THAT(responses, ElementsAre("a<-b", "b<-a"));
}

} // namespace

namespace {

// The pass the index must reproduce: every pair, in list order.
void allPairs(TransformList* l1, TransformList* l2) {
    if (!l1 || !l2)
        return;
    for (Transform* t1 : *l1)
        for (Transform* t2 : *l2) {
            if (!t1 || !t2)
                continue;
            CollisionObject* e1 = static_cast<CollisionObject*>(t1);
            CollisionObject* e2 = static_cast<CollisionObject*>(t2);
            if (e1->collidesWith(*e2)) {
                e1->collisionResponse(e2);
                e2->collisionResponse(e1);
            }
        }
}

enum class Collider { Sphere, None, Segment };

// One entry of a scene; a null name is a null entry of the list.
struct Placed {
    const char* name;
    float x, y, z;
    float radius;
    Collider collider;
};

Placed ball(const char* name, float x, float y, float z, float radius) {
    return Placed{name, x, y, z, radius, Collider::Sphere};
}

// Logs "self<-other" for every response, and nothing else: the scene stays as it was, so the
// indexed and the all-pairs pass can run on the same objects.
class Probe : public CollisionObject {
public:
    Probe(const Placed& p, std::vector<std::string>* log_)
        : CollisionObject(static_cast<uint64_t>(7)), name(p.name), log(log_) {
        position = Vector3(p.x, p.y, p.z);
        if (p.collider == Collider::Sphere)
            setSphere(p.radius);
        else if (p.collider == Collider::Segment)
            setLineSegment(Vector3(1, 0, 0));
    }
    void collisionResponse(CollisionObject* other) override {
        log->push_back(name + "<-" + static_cast<Probe*>(other)->name);
    }
    std::string name;
    std::vector<std::string>* log;
};

// The objects of one scene and its two lists (the same list when sameList).
class Scene {
public:
    Scene(const std::vector<Placed>& first, const std::vector<Placed>& second, bool sameList,
          const std::vector<Placed>& third = {}) {
        fill(l1, first);
        fill(sameList ? l1 : l2, second);
        fill(l3, third);
        list2 = sameList ? &l1 : &l2;
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // The responses of the indexed pass, then of the all-pairs pass.
    std::pair<std::vector<std::string>, std::vector<std::string>> run() {
        CollisionHandler::handleCollissionsBetween(&l1, list2);
        std::vector<std::string> indexed = log;
        log.clear();
        allPairs(&l1, list2);
        return {indexed, log};
    }

    // The same for the first and the third list in turn, against one index of the second.
    std::pair<std::vector<std::string>, std::vector<std::string>> runBoth() {
        log.clear();
        CollisionHandler::handleCollissionsWith({&l1, nullptr, &l3}, list2);
        std::vector<std::string> indexed = log;
        log.clear();
        allPairs(&l1, list2);
        allPairs(&l3, list2);
        return {indexed, log};
    }

private:
    void fill(TransformList& list, const std::vector<Placed>& placed) {
        for (const Placed& p : placed) {
            if (!p.name) {
                list.push_back(nullptr);
                continue;
            }
            objects.push_back(std::make_unique<Probe>(p, &log));
            list.push_back(objects.back().get());
        }
    }

    std::vector<std::string> log;
    std::vector<std::unique_ptr<Probe>> objects;
    TransformList l1, l2, l3;
    TransformList* list2;
};

const float inf = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();
const float big = std::numeric_limits<float>::max();

struct SceneCase {
    const char* what;
    std::vector<Placed> first;
    std::vector<Placed> second;
    bool sameList;
    bool someCollide; // so a scene cannot pass by finding nothing in both passes
};
PRINT_CASE_AS_WHAT(SceneCase)

const SceneCase scenes[] = {
    {"overlaps of mixed radii",
     {ball("p", 0, 0, 0, 4), ball("q", 3, 1, 0, 4), ball("ship", -30, 0, 0, 40)},
     {ball("s1", 2, 2, 2, 1), ball("s2", -5, 0, 0, 1), ball("s3", -69, 0, 0, 1), ball("s4", 3, 1, 0, 1)},
     false,
     true},
    {"touching at the reach exactly and just beyond",
     {ball("p", 0, 0, 0, 4), ball("d", 10, 10, 10, 4)},
     {ball("at+x", 5, 0, 0, 1), ball("at-x", -5, 0, 0, 1), ball("at-diag", 3, 4, 0, 1),
      ball("beyond", std::nextafter(5.0f, 6.0f), 0, 0, 1), ball("before", std::nextafter(-5.0f, -6.0f), 0, 0, 1),
      ball("at-d", 13, 14, 10, 1), ball("at-y", 0, -5, 0, 1)},
     false,
     true},
    {"in the window on one axis, far on another",
     {ball("p", 0, 0, 0, 4)},
     {ball("near-x-far-y", 1, 100, 0, 1), ball("near-x-far-z", 0, 0, -100, 1), ball("inside", 1, 1, 1, 1),
      ball("window-edge", 4.99f, 0.1f, 0, 1)},
     false,
     true},
    {"spread along y only, then along z only",
     {ball("p", 7, 0, 0, 4), ball("q", 7, 50, 0, 4), ball("r", 7, 0, 50, 4)},
     {ball("y0", 7, -4, 0, 1), ball("y1", 7, 5, 0, 1), ball("y2", 7, 54, 0, 1), ball("y3", 7, 100, 0, 1),
      ball("z0", 7, 0.5f, 45, 1), ball("z1", 7, 0, 55.0001f, 1)},
     false,
     true},
    {"objects far outside the world",
     {ball("far", 1e30f, 0, 0, 4), ball("max", big, big, big, 4), ball("min", -big, 0, 0, 4), ball("home", 0, 0, 0, 4)},
     {ball("far-same", 1e30f, 0, 0, 1), ball("far-next", std::nextafter(1e30f, inf), 0, 0, 1),
      ball("max-same", big, big, big, 1), ball("opposite", big, 0, 0, 1), ball("min-same", -big, 0, 0, 1),
      ball("home", 0, 0, 0, 1)},
     false,
     true},
    {"NaN and infinite coordinates",
     {ball("nan-x", nan, 0, 0, 4), ball("nan-y", 0, nan, 0, 4), ball("inf-x", inf, 0, 0, 4),
      ball("neg-inf-x", -inf, 0, 0, 4), ball("home", 0, 0, 0, 4), ball("inf-z", 0, 0, inf, 4)},
     {ball("nan-x", nan, 0, 0, 1), ball("inf-x", inf, 0, 0, 1), ball("neg-inf-x", -inf, 0, 0, 1),
      ball("home", 0, 0, 0, 1), ball("inf-y", 0, inf, 0, 1)},
     false,
     true},
    {"infinite and huge reaches accept what is not NaN",
     {ball("inf-radius", 0, 0, 0, inf), ball("huge-radius", 5, 0, 0, 1e20f), ball("nan-radius", 0, 0, 0, nan),
      ball("neg-inf-radius", 0, 0, 0, -inf), ball("home", 0, 0, 0, 1)},
     {ball("far", 1e30f, 0, 0, 1), ball("max", big, 0, 0, 1), ball("inf-x", inf, 0, 0, 1), ball("nan-y", 0, nan, 0, 1),
      ball("inf-radius", -1e38f, 0, 0, inf), ball("home", 0, 0, 0, 1), ball("huge", 0, 1e25f, 0, 1e20f)},
     false,
     true},
    {"negative and tiny radii",
     {ball("neg", 0, 0, 0, -4), ball("tiny", 100, 0, 0, 1e-30f), ball("tiny2", 200, 0, 0, 1e-30f)},
     {ball("neg-reach", 4.5f, 0, 0, -1), ball("pos", -2.5f, 0, 0, -0.5f), ball("underflow", 100 + 1e-23f, 0, 0, 1e-30f),
      ball("same-tiny", 200, 0, 0, 1e-30f), ball("apart", 200, 3e-23f, 0, 1e-30f)},
     false,
     true},
    // 1024 - (-1e-5) rounds to 1024 in float: the test accepts a pair a little beyond its reach.
    {"float rounding accepts a pair just beyond the reach",
     {ball("a", 1024, 0, 0, 1000), ball("b", 2000, 0, 0, 1)},
     {ball("c", -1e-5f, 0, 0, 24), ball("d", 3000, 0, 0, 1)},
     false,
     true},
    // The same along y, while the objects spread farther along x.
    {"float rounding accepts a pair just beyond the reach on another axis",
     {ball("a", 0, 1024, 0, 1000), ball("b", 5000, 0, 0, 1)},
     {ball("c", 0, -1e-5f, 0, 24), ball("d", -5000, 0, 0, 1)},
     false,
     true},
    // Reaches whose square is below float's subnormal range accept distances up to about 5e-23.
    {"reaches too small to square",
     {ball("tiny", 0, 0, 0, 1e-30f), ball("far", 50, 0, 0, 1e-30f)},
     {ball("underflow", 1e-23f, 0, 0, 1e-30f), ball("apart", 3e-23f, 0, 0, 1e-30f), ball("same", 0, 0, 0, 1e-30f),
      ball("other-far", -50, 0, 0, 1e-30f)},
     false,
     true},
    {"entries without a sphere and null entries",
     {ball("p", 0, 0, 0, 4), Placed{"none", 0, 0, 0, 4, Collider::None}, Placed{nullptr, 0, 0, 0, 0, Collider::None},
      Placed{"segment", 0, 0, 0, 4, Collider::Segment}},
     {Placed{nullptr, 0, 0, 0, 0, Collider::None}, Placed{"none", 0, 0, 0, 1, Collider::None}, ball("s", 1, 0, 0, 1),
      Placed{"segment", 0, 0, 0, 1, Collider::Segment}, Placed{nullptr, 0, 0, 0, 0, Collider::None}},
     false,
     true},
    {"both lists empty", {}, {}, false, false},
    {"one list empty", {ball("p", 0, 0, 0, 4)}, {}, false, false},
    {"one list of nulls", {ball("p", 0, 0, 0, 4)}, {Placed{nullptr, 0, 0, 0, 0, Collider::None}}, false, false},
    {"the same list: both orders and self pairs",
     {ball("a", 0, 0, 0, 1), ball("b", 2, 0, 0, 1), ball("c", 1, 1, 0, 1), ball("far", 50, 0, 0, 1),
      ball("nan", nan, 0, 0, 1), ball("inf", inf, 0, 0, 1), ball("inf-radius", 9, 0, 0, inf),
      Placed{nullptr, 0, 0, 0, 0, Collider::None}, ball("max", big, 0, 0, 1)},
     {},
     true,
     true},
};

class CollisionSceneTest : public testing::TestWithParam<SceneCase> {};

TEST_P(CollisionSceneTest, SamePairsInTheSameOrderAsAllPairs) {
    const SceneCase& c = GetParam();
    Scene scene(c.first, c.second, c.sameList);
    const auto [indexed, reference] = scene.run();
    EXPECT_EQ(indexed, reference);
    EXPECT_EQ(!reference.empty(), c.someCollide);
}

INSTANTIATE_TEST_SUITE_P(Scenes, CollisionSceneTest, testing::ValuesIn(scenes), caseName<SceneCase>);

// A crowd on a coarse grid (so that many pairs touch exactly) with a few of every odd kind,
// against shots, then all against all.
TEST(CollisionRandomSceneTest, SamePairsInTheSameOrderAsAllPairs) {
    const unsigned seed = std::random_device{}();
    std::printf("collision scene seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::deque<std::string> names; // the entries' names; a deque keeps them in place
    auto scatter = [&](const char* prefix, int count, int spread, float radius) {
        std::uniform_int_distribution<int> coordinate(-spread, spread);
        std::uniform_int_distribution<int> odd(0, 40);
        std::vector<Placed> placed;
        for (int i = 0; i < count; ++i) {
            names.push_back(prefix + std::to_string(i));
            Placed p = ball(names.back().c_str(), coordinate(random) * 0.5f, coordinate(random) * 0.5f,
                            coordinate(random) * 0.5f, radius);
            switch (odd(random)) {
            case 0:
                p.x = nan;
                break;
            case 1:
                p.y = inf;
                break;
            case 2:
                p.radius = inf;
                break;
            case 3:
                p.collider = Collider::None;
                break;
            case 4:
                p.name = nullptr;
                break;
            case 5:
                p.x = 1e30f;
                break;
            default:
                break;
            }
            placed.push_back(p);
        }
        return placed;
    };
    const std::vector<Placed> players = scatter("p", 300, 60, 4);
    const std::vector<Placed> shots = scatter("s", 600, 60, 1);
    const std::vector<Placed> ships = scatter("m", 6, 60, 40);
    Scene pass(players, shots, false, ships);
    const auto [indexed, reference] = pass.run();
    EXPECT_EQ(indexed, reference);
    EXPECT_GT(reference.size(), 100u);
    // Players and then ships against the shots, as the frame does.
    const auto [indexedBoth, referenceBoth] = pass.runBoth();
    EXPECT_EQ(indexedBoth, referenceBoth);
    EXPECT_GT(referenceBoth.size(), reference.size());
    Scene all(shots, {}, true);
    const auto [indexedAll, referenceAll] = all.run();
    EXPECT_EQ(indexedAll, referenceAll);
    EXPECT_GT(referenceAll.size(), 600u);
}

} // namespace
