#pragma once

#include <cstdint>
#include <list>

#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"

namespace Team {
enum Team { None = -1, Red = 0, Blue = 1 };
}

// The kind of a scene object; every class test reads it, no RTTI is used.
namespace SceneGraphType {
enum SceneGraphType { Undefined = -1, Player = 0, Projectile = 1, Billboard = 2, MotherShip = 3 };
}

class Transform;
typedef std::list<Transform*> TransformList;

// The scene node every game object derives from: id, kind, pose, motion and its place in
// the tree. Main thread only. The scene (SceneGraph) owns attached nodes; a node never
// deletes its children itself except through destroyChildren().
class Transform {
public:
    uint64_t id; // creating server's id in the high 32 bits, its counter in the low 32; 0: not networked
    SceneGraphType::SceneGraphType type;
    Vector3 position;
    Vector3 curScale;
    Vector3 velocity; // units per second
    Quaternion orientation;
    Transform* parent;      // not owned; null for the root and for a node not attached
    TransformList children; // not owned here; in attach order

    Transform(uint32_t serverid, uint32_t objectid);
    explicit Transform(uint64_t id_);
    // Frees the child list only; the children are the scene's to delete.
    virtual ~Transform();
    Transform(const Transform&) = delete;
    Transform& operator=(const Transform&) = delete;

    virtual void realDraw() {}
    // The object's own step for a frame of dt seconds; here plain motion.
    virtual void realUpdate(float dt);

    // realUpdate on this node, then update on each child in list order. A child appended
    // during the walk (a shot fired in a player's update) is visited in the same walk.
    void update(float dt);

    // Appends t to the children and registers it in the root's type list and id map.
    void attach(Transform* t);

    // Deletes every child (depth first) and empties the list.
    void destroyChildren();

protected:
    // Resets tree links, scale and kind; leaves id, pose and motion alone.
    void init();
};

// The object's id as printf's %llx and %llu take it: uint64_t need not be unsigned long long.
inline unsigned long long idOf(const Transform* obj) {
    return static_cast<unsigned long long>(obj->id);
}
