#include "Common/Region/Region.h"

#include <algorithm>

#include "Common/Debug/Debug.h"
#include "Server/ServerRegionHandler.h"

Region::Region(Vector3 min_, Vector3 max_, unsigned int id_, ControllingServer* parent_)
    : id(id_), localID(0), min(min_), max(max_), parent(parent_), isUpdated(false), population(0) {}

Region::~Region() {
    // RemoveNeighbour edits the list, so walk a copy.
    std::list<uint32_t> neighbours = neighbourList;
    for (uint32_t neighbour : neighbours)
        RemoveNeighbour(neighbour);
}

// Each pass adds one link, then moves to the other side to add the mirror; the pass that
// finds its link already present ends the walk.
void Region::AddNeighbour(unsigned int neighbourId) {
    Region* region = this;
    unsigned int linkTo = neighbourId;
    for (;;) {
        std::list<uint32_t>& list = region->neighbourList;
        if (std::find(list.begin(), list.end(), linkTo) != list.end() || linkTo == region->id)
            return;
        list.push_back(linkTo);
        Region* other = region->GetNeighbour(linkTo);
        if (!other) {
            DebugLog(LogType::Error, "Error adding neighbour which does not exists\n");
            return;
        }
        linkTo = region->id;
        region = other;
    }
}

void Region::RemoveNeighbour(unsigned int neighbourId) {
    Region* region = this;
    unsigned int unlink = neighbourId;
    for (;;) {
        std::list<uint32_t>& list = region->neighbourList;
        auto found = std::find(list.begin(), list.end(), unlink);
        if (found == list.end())
            return;
        list.erase(found);
        Region* other = region->GetNeighbour(unlink);
        if (!other)
            return;
        unlink = region->id;
        region = other;
    }
}

Region* Region::GetNeighbour(unsigned int neighbourId) {
    return ServerRegionHandler::getInstance()->getRegion(neighbourId);
}

bool Region::PointIn(Vector3 p, float padding) {
    return min.x - padding < p.x && p.x <= max.x + padding && min.y - padding < p.y && p.y <= max.y + padding &&
           min.z - padding < p.z && p.z <= max.z + padding;
}
