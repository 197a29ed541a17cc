#include "Common/Scene/SceneGraph.h"

#include <algorithm>
#include <cassert>
#include <iterator>

#include "Common/Debug/Debug.h"
#include "Common/GameObjects/NetworkObject.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/Network.h"

namespace {

// Like destroyChildren, without its lines.
void deleteTree(TransformList& list) {
    for (Transform* t : list) {
        deleteTree(t->children);
        delete t;
    }
    list.clear();
}

} // namespace

SceneGraph* SceneGraph::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static SceneGraph* instance = new SceneGraph();
    return instance;
}

SceneGraph::SceneGraph() : Transform(static_cast<uint64_t>(0)) {}

SceneGraph::~SceneGraph() {}

void SceneGraph::addTransformToType(Transform* t, SceneGraphType::SceneGraphType kind) {
    TransformList* list = getListOfType(kind);
    if (!list) {
        typeLists.push_back(TypeEntry(kind, TransformList()));
        list = &typeLists.back().second;
    }
    list->push_back(t);
    appended(list, t);
    objectIDMap[static_cast<int64_t>(t->id)] = t;
    if (kind == SceneGraphType::Player)
        players_.added(static_cast<Player*>(t), *list);
}

void SceneGraph::childAppended(Transform* t) {
    appended(&children, t);
}

void SceneGraph::appended(TransformList* list, Transform* t) {
    const TransformList::iterator node = std::prev(list->end());
    std::pair<Positions::iterator, bool> slot = positions_[list].emplace(t, Places{node, {}});
    if (!slot.second)
        slot.first->second.later.push_back(node);
}

bool SceneGraph::eraseFirst(TransformList& list, Transform* t) {
    std::unordered_map<const TransformList*, Positions>::iterator indexed = positions_.find(&list);
    if (indexed == positions_.end()) {
        // The children of an object below the root, or a list a caller queued against: short.
        TransformList::iterator it = std::find(list.begin(), list.end(), t);
        if (it == list.end())
            return false;
        list.erase(it);
        return true;
    }
    Positions& positions = indexed->second;
    Positions::iterator found = positions.find(t);
    assert((found == positions.end() ? list.end() : found->second.first) == std::find(list.begin(), list.end(), t) &&
           "an indexed scene list was changed past the scene");
    if (found == positions.end())
        return false;
    Places& places = found->second;
    list.erase(places.first);
    if (places.later.empty()) {
        positions.erase(found);
    } else {
        places.first = places.later.front();
        places.later.erase(places.later.begin());
    }
    return true;
}

TransformList* SceneGraph::getListOfType(SceneGraphType::SceneGraphType kind) {
    for (TypeEntry& entry : typeLists)
        if (entry.first == kind)
            return &entry.second;
    return nullptr;
}

Transform* SceneGraph::getOBjectById(int64_t objectId) {
    std::unordered_map<int64_t, Transform*>::iterator it = objectIDMap.find(objectId);
    return it == objectIDMap.end() ? nullptr : it->second;
}

void SceneGraph::addToRemoveList(Transform* t) {
    TransformList* removeFromList;
    if (!t->parent) {
        DebugPrint("Trying to remove element without parent\n");
        removeFromList = &children;
    } else {
        if (t->parent != this)
            DebugPrint("Trying to remove element which is not direct child of the root\n");
        removeFromList = &t->parent->children;
    }
    addToRemoveList(removeFromList, t);
}

void SceneGraph::addToRemoveList(TransformList* removeFromList, Transform* t) {
    if (t->id == 0) {
        DebugPrint("trying to remove element with id 0\n");
        return;
    }
    if (!queuedForDeletion_.insert(t).second)
        return;
    std::list<RemoveEntry>::iterator entry = removeList.begin();
    while (entry != removeList.end() && entry->first != removeFromList)
        ++entry;
    if (entry == removeList.end())
        entry = removeList.insert(removeList.end(), RemoveEntry(removeFromList, TransformList()));
    entry->second.push_back(t);
    removeList2.push_back(t);
}

void SceneGraph::forgetSubtree(Transform* t, TransformList::iterator current) {
    TransformList* list = getListOfType(t->type);
    if (list && eraseFirst(*list, t) && t->type == SceneGraphType::Player)
        players_.removed(static_cast<Player*>(t));
    // Only t's own entry: an entry that a later attach under the same id took over
    // belongs to a live object and must stay findable.
    std::unordered_map<int64_t, Transform*>::iterator it = objectIDMap.find(static_cast<int64_t>(t->id));
    if (it != objectIDMap.end() && it->second == t)
        objectIDMap.erase(it);
    for (Transform* child : t->children) {
        // The child goes with destroyChildren(); a queue entry of its own would free it twice.
        TransformList::iterator queued = std::find(std::next(current), removeList2.end(), child);
        if (queued != removeList2.end())
            removeList2.erase(queued);
        forgetSubtree(child, current);
    }
}

void SceneGraph::applyRemoveList() {
    for (RemoveEntry& entry : removeList)
        for (Transform* t : entry.second)
            eraseFirst(*entry.first, t);
    for (TransformList::iterator it = removeList2.begin(); it != removeList2.end(); ++it) {
        Transform* t = *it;
        // Whatever list the caller queued it for, it must not stay among its parent's
        // children (the parent is alive: a removed ancestor takes its queued descendants out
        // of the queue behind it, and one queued before it is deleted first).
        if (t->parent)
            eraseFirst(t->parent->children, t);
        forgetSubtree(t, it);
        t->destroyChildren();
        // No waiting list or send queue may keep a pointer to a deleted player's endpoint.
        if (t->type == SceneGraphType::Player)
            Network::getInstance()->wantToDeleteEndpoint(static_cast<Player*>(t));
        delete t;
    }
    removeList.clear();
    removeList2.clear();
    queuedForDeletion_.clear();
}

unsigned int SceneGraph::countPlayers(bool replicas) {
    TransformList* players = getListOfType(SceneGraphType::Player);
    if (!players)
        return 0;
    unsigned int count = 0;
    for (Transform* t : *players)
        if (static_cast<NetworkObject*>(t)->isReplica() == replicas)
            ++count;
    return count;
}

unsigned int SceneGraph::numberOfPlayers() {
    return countPlayers(false);
}

unsigned int SceneGraph::numberOfReplicas() {
    return countPlayers(true);
}

void SceneGraph::clearForTesting() {
    deleteTree(children);
    removeList.clear();
    removeList2.clear();
    queuedForDeletion_.clear();
    typeLists.clear();
    objectIDMap.clear();
    players_.clear();
    positions_.clear();
}
