#include "Common/GameObjects/Transform.h"

#include "Common/Debug/Debug.h"
#include "Common/Scene/SceneGraph.h"

Transform::Transform(uint32_t serverid, uint32_t objectid)
    : Transform((static_cast<uint64_t>(serverid) << 32) | objectid) {}

Transform::Transform(uint64_t id_) : id(id_), position(), velocity(), orientation() {
    init();
}

Transform::~Transform() {}

void Transform::init() {
    parent = nullptr;
    children.clear();
    curScale = Vector3(1, 1, 1);
    type = SceneGraphType::Undefined;
}

void Transform::realUpdate(float dt) {
    position += velocity * dt;
}

void Transform::update(float dt) {
    realUpdate(dt);
    // std::list keeps iterators valid on append, and end() is re-read every step, so
    // children attached by an earlier child's update are reached too.
    for (TransformList::iterator it = children.begin(); it != children.end(); ++it)
        (*it)->update(dt);
}

void Transform::attach(Transform* t) {
    if (!t) {
        DebugPrint("Trying to attach null transform\n");
        return;
    }
    SceneGraph* root = SceneGraph::getInstance();
    if (this != root)
        DebugPrint("Attaching transform to other transform.. not the scenegraph\n");
    t->parent = this;
    children.push_back(t);
    if (this == root)
        root->childAppended(t);
    root->addTransformToType(t, t->type);
}

void Transform::destroyChildren() {
    for (Transform* child : children) {
        DebugPrint("Destroying child %llu\n", idOf(child));
        child->destroyChildren();
        delete child;
    }
    children.clear();
}
