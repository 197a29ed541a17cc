#include "Common/Collision/CollisionHandler.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Common/Collision/CollisionObject.h"

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
