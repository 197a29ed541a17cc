#include "Common/Scene/SceneGraph.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "Common/GameObjects/NetworkObject.h"
#include "Common/GameObjects/Player.h"
#include "Support/World/NetworkFixture.h"
#include "Support/World/SceneFixture.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

class SceneGraphTest : public SceneFixture {
protected:
    void SetUp() override {
        SceneFixture::SetUp();
        Probe::log().clear();
    }
    Probe* add(const std::string& name, uint64_t id, SceneGraphType::SceneGraphType kind = SceneGraphType::Billboard) {
        Probe* p = new Probe(name, id, kind);
        scene()->attach(p);
        return p;
    }
    void queue(Transform* t) {
        printedBy([&] { scene()->addToRemoveList(t); });
    }
};

TEST_F(SceneGraphTest, TypeListsAreCreatedOnFirstUseAndOutliveTheirObjects) {
    EXPECT_EQ(scene()->getListOfType(SceneGraphType::Projectile), nullptr);
    Probe* shot = add("shot", 5, SceneGraphType::Projectile);
    Probe* ship = add("ship", 6, SceneGraphType::MotherShip);
    Probe* shot2 = add("shot2", 7, SceneGraphType::Projectile);
    ASSERT_EQ(scene()->typeLists.size(), 2u);
    EXPECT_EQ(scene()->typeLists.front().first, SceneGraphType::Projectile);
    TransformList* shots = scene()->getListOfType(SceneGraphType::Projectile);
    EXPECT_THAT(*shots, ElementsAre(shot, shot2));
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::MotherShip), ElementsAre(ship));

    queue(shot);
    queue(shot2);
    scene()->applyRemoveList();
    EXPECT_EQ(scene()->getListOfType(SceneGraphType::Projectile), shots);
    EXPECT_THAT(*shots, IsEmpty());
}

TEST_F(SceneGraphTest, AttachingAnIdTwiceIndexesTheLaterObject) {
    add("first", 9);
    Probe* second = add("second", 9);
    EXPECT_EQ(scene()->getOBjectById(9), second);
    EXPECT_EQ(scene()->getOBjectById(10), nullptr);
}

TEST_F(SceneGraphTest, QueuedObjectStaysUntilTheEndOfFrameThenLeavesEverywhere) {
    Probe* a = add("a", 1, SceneGraphType::Projectile);
    Probe* b = add("b", 2, SceneGraphType::Projectile);
    queue(a);
    queue(a); // twice in one frame: deleted once
    EXPECT_THAT(scene()->children, ElementsAre(a, b));
    EXPECT_EQ(scene()->getOBjectById(1), a);
    scene()->update(0.1f);
    EXPECT_THAT(Probe::log(), ElementsAre("a", "b"));

    scene()->applyRemoveList();
    EXPECT_THAT(Probe::log(), ElementsAre("a", "b", "~a"));
    EXPECT_THAT(scene()->children, ElementsAre(b));
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Projectile), ElementsAre(b));
    EXPECT_EQ(scene()->getOBjectById(1), nullptr);
    EXPECT_THAT(scene()->removeList, IsEmpty());
    EXPECT_THAT(scene()->removeList2, IsEmpty());
}

TEST_F(SceneGraphTest, IdZeroIsNeverQueued) {
    Probe* ship = add("ship", 0, SceneGraphType::MotherShip);
    EXPECT_THAT(printedBy([&] { scene()->addToRemoveList(ship); }), HasSubstr("trying to remove element with id 0\n"));
    scene()->applyRemoveList();
    EXPECT_THAT(scene()->children, ElementsAre(ship));
    EXPECT_EQ(scene()->getOBjectById(0), ship);
}

TEST_F(SceneGraphTest, OrphanAndGrandchildAreQueuedWithALine) {
    Probe* parent = add("parent", 1);
    Probe* child = new Probe("child", 2);
    printedBy([&] { parent->attach(child); });
    Probe* orphan = new Probe("orphan", 3);
    EXPECT_THAT(printedBy([&] { scene()->addToRemoveList(orphan); }),
                HasSubstr("Trying to remove element without parent\n"));
    EXPECT_THAT(printedBy([&] { scene()->addToRemoveList(child); }),
                HasSubstr("Trying to remove element which is not direct child of the root\n"));
    ASSERT_EQ(scene()->removeList.size(), 2u);
    EXPECT_EQ(scene()->removeList.front().first, &scene()->children);
    EXPECT_EQ(scene()->removeList.back().first, &parent->children);
    EXPECT_THAT(scene()->removeList2, ElementsAre(orphan, child));

    scene()->applyRemoveList();
    EXPECT_THAT(Probe::log(), ElementsAre("~orphan", "~child"));
    EXPECT_THAT(parent->children, IsEmpty());
    EXPECT_EQ(scene()->getOBjectById(2), nullptr);
}

// Deeper trees: a removed node's descendants go with it and leave the lists and the index
// too; a descendant that was queued as well is still deleted only once.
TEST_F(SceneGraphTest, RemovedNodeTakesItsDescendantsOutOfListsAndIndex) {
    Probe* parent = add("parent", 1, SceneGraphType::MotherShip);
    Probe* child = new Probe("child", 2, SceneGraphType::Projectile);
    Probe* grandchild = new Probe("grandchild", 3, SceneGraphType::Projectile);
    Probe* other = add("other", 4, SceneGraphType::Projectile);
    printedBy([&] {
        parent->attach(child);
        child->attach(grandchild);
    });
    queue(parent);
    // Queued against the wrong list, so it stays linked below the parent.
    scene()->addToRemoveList(&scene()->children, grandchild);

    printedBy([&] { scene()->applyRemoveList(); });
    EXPECT_THAT(Probe::log(), ElementsAre("~grandchild", "~child", "~parent"));
    EXPECT_THAT(scene()->children, ElementsAre(other));
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Projectile), ElementsAre(other));
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::MotherShip), IsEmpty());
    EXPECT_EQ(scene()->objectIDMap.size(), 1u);
}

// A descendant queued before its ancestor is deleted first and unlinked from its parent,
// so the ancestor's removal never reaches it again; an object queued against a list it is
// not in still leaves its parent's children.
TEST_F(SceneGraphTest, QueueOrderAndWrongListsNeverLeaveDanglingChildren) {
    Probe* parent = add("parent", 1, SceneGraphType::MotherShip);
    Probe* child = new Probe("child", 2, SceneGraphType::Projectile);
    Probe* loner = add("loner", 3, SceneGraphType::Projectile);
    Probe* other = add("other", 4, SceneGraphType::Projectile);
    printedBy([&] { parent->attach(child); });
    TransformList unrelated;
    scene()->addToRemoveList(&scene()->children, child);
    queue(parent);
    scene()->addToRemoveList(&unrelated, loner);

    printedBy([&] { scene()->applyRemoveList(); });
    EXPECT_THAT(Probe::log(), ElementsAre("~child", "~parent", "~loner"));
    EXPECT_THAT(scene()->children, ElementsAre(other));
    EXPECT_THAT(*scene()->getListOfType(SceneGraphType::Projectile), ElementsAre(other));
}

// The long lists are erased through an index by object: over several frames of attaches and
// removals in mixed order, objects held twice among them, every list ends as erasing the first
// occurrence by a walk would leave it.
TEST_F(SceneGraphTest, RemovalsAmongManyObjectsLeaveTheListsAsAWalkWould) {
    TransformList children;
    TransformList shots;
    const auto eraseFirst = [](TransformList& list, Transform* t) {
        TransformList::iterator it = std::find(list.begin(), list.end(), t);
        if (it != list.end())
            list.erase(it);
    };
    std::vector<Probe*> live;
    uint64_t id = 1;
    for (int frame = 0; frame < 3; ++frame) {
        for (int i = 0; i < 60; ++i) {
            Probe* p = add("p", id++, SceneGraphType::Projectile);
            children.push_back(p);
            shots.push_back(p);
            live.push_back(p);
            if (i % 7 == 0) { // the kind list holds it twice
                scene()->addTransformToType(p, SceneGraphType::Projectile);
                shots.push_back(p);
            }
        }
        // A third of them, taken from the back and from the front alternately.
        std::vector<Probe*> gone;
        for (std::size_t i = 0; i < live.size() / 3; ++i)
            gone.push_back(i % 2 ? live[i] : live[live.size() - 1 - i]);
        for (Probe* p : gone) {
            queue(p);
            eraseFirst(children, p);
            eraseFirst(shots, p);
            live.erase(std::find(live.begin(), live.end(), p));
        }
        scene()->applyRemoveList();
        ASSERT_EQ(scene()->children, children) << "frame " << frame;
        ASSERT_EQ(*scene()->getListOfType(SceneGraphType::Projectile), shots) << "frame " << frame;
    }
}

TEST_F(SceneGraphTest, RemovingAnObjectKeepsTheIndexEntryALaterObjectTookOver) {
    Probe* first = add("first", 9);
    Probe* second = add("second", 9);
    queue(first);
    scene()->applyRemoveList();
    EXPECT_EQ(scene()->getOBjectById(9), second);
}

TEST_F(SceneGraphTest, PlayersAreCountedByReplicaFlag) {
    EXPECT_EQ(scene()->numberOfPlayers(), 0u);
    EXPECT_EQ(scene()->numberOfReplicas(), 0u);
    const bool replica[] = {false, true, false, true, true};
    uint64_t id = 1;
    for (bool r : replica) {
        Player* p = new Player(id++, Team::Red, 100.0f);
        p->setIsReplica(r);
        scene()->attach(p);
    }
    scene()->attach(new NetworkObject(id)); // another kind is not counted
    EXPECT_EQ(scene()->numberOfPlayers(), 2u);
    EXPECT_EQ(scene()->numberOfReplicas(), 3u);
}

// The sender of a message is a bare endpoint, a watcher's copy or a player's own endpoint
// part; only the last is a player, for as long as the player list holds it.
TEST_F(SceneGraphTest, PlayerIsFoundByItsEndpointWhileThePlayerListHoldsIt) {
    Player* p = new Player(static_cast<uint64_t>(3), Team::Red, 100.0f);
    EXPECT_EQ(scene()->players().ofEndpoint(p), nullptr); // not attached yet
    scene()->attach(p);
    EXPECT_EQ(scene()->players().ofEndpoint(p), p);
    std::unique_ptr<CommEndpoint> copy(static_cast<CommEndpoint*>(p)->getEndpointCopy());
    CommEndpoint bare(CommEndpointTypes::ClientEndpoint);
    EXPECT_EQ(scene()->players().ofEndpoint(copy.get()), nullptr);
    EXPECT_EQ(scene()->players().ofEndpoint(&bare), nullptr);

    Player* other = new Player(static_cast<uint64_t>(4), Team::Blue, 100.0f);
    scene()->attach(other);
    queue(p);
    EXPECT_EQ(scene()->players().ofEndpoint(p), p); // until the end of the frame
    scene()->applyRemoveList();
    EXPECT_EQ(scene()->players().ofEndpoint(other), other);
    scene()->clearForTesting();
    EXPECT_EQ(scene()->players().ofEndpoint(other), nullptr);
}

class SceneGraphRemovalTest : public NetworkFixture {};

TEST_F(SceneGraphRemovalTest, RemovedPlayerIsForgottenByTheNetworkBeforeItIsDeleted) {
    Player* gone =
        SceneObjectFactory::getInstance()->createAndAttachPlayer("gone", Vector3(), Quaternion(), 100, Team::Red, 0);
    Player* stays =
        SceneObjectFactory::getInstance()->createAndAttachPlayer("stays", Vector3(), Quaternion(), 100, Team::Red, 0);
    dispatcher->playersWhoLackAClient = {gone, stays};
    sender->sendObjectDestroy(stays, gone);
    sender->sendObjectDestroy(gone, stays);
    scene()->addToRemoveList(gone);
    scene()->applyRemoveList();
    EXPECT_THAT(dispatcher->playersWhoLackAClient, ElementsAre(stays));
    EXPECT_EQ(clientQueue->tcpBuffer_.count(gone), 0u);
    EXPECT_EQ(clientQueue->tcpBuffer_.count(stays), 1u);
}

} // namespace
