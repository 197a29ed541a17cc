#pragma once

#include <cstdint>
#include <list>

#include "Common/Math/Vector3.h"

class ControllingServer;

// One axis-aligned box of space, held by value in its server's regionList and only there.
// Neighbour links are mirrored (A lists B exactly when B lists A) and are looked up by id
// in the registry singleton. Destroying a region unlinks it from every region it lists,
// which is why regions cannot be copied: a destroyed copy would unlink the original.
// Main thread only.
class Region {
public:
    Region(Vector3 min, Vector3 max, unsigned int id, ControllingServer* parent);
    ~Region();
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

    // Links this region and region `id` both ways. An id that names no region yet stays
    // listed here, one-sided, and is mirrored once that region links back.
    void AddNeighbour(unsigned int id);

    // Unlinks this region and region `id` both ways.
    void RemoveNeighbour(unsigned int id);

    // The region with this id anywhere in the registry, or null.
    Region* GetNeighbour(unsigned int id);

    // min - padding < p <= max + padding on each axis: a point on a face shared by two
    // touching regions lies only in the lower one.
    bool PointIn(Vector3 point, float padding);

    uint32_t id;
    uint32_t localID; // the coordinator's; never read here
    Vector3 min;
    Vector3 max;
    ControllingServer* parent; // not owned
    bool isUpdated;            // listed by the latest region update
    uint32_t population;       // the coordinator's; 0 here
    std::list<uint32_t> neighbourList;
};
