#include "Common/Network/QportIndex.h"

#include <algorithm>
#include <cassert>

#include "Common/Network/CommEndpoint.h"

void QportIndex::added(CommEndpoint* ep) {
    std::pair<std::unordered_map<const CommEndpoint*, Place>::iterator, bool> slot =
        places.emplace(ep, Place{0, ep->qport, 0});
    Place& place = slot.first->second;
    if (!slot.second) {
        leaveBucket(ep, place.qport);
        if (place.held == 1)
            ++heldTwice;
    }
    ++place.held;
    place.sequence = nextSequence++;
    place.qport = ep->qport;
    enterBucket(ep, place);
}

void QportIndex::removed(CommEndpoint* ep) {
    std::unordered_map<const CommEndpoint*, Place>::iterator it = places.find(ep);
    if (it == places.end())
        return;
    Place& place = it->second;
    if (--place.held == 0) {
        leaveBucket(ep, place.qport);
        places.erase(it);
    } else if (place.held == 1) {
        --heldTwice;
    }
}

void QportIndex::qportChanged(CommEndpoint* ep) {
    std::unordered_map<const CommEndpoint*, Place>::iterator it = places.find(ep);
    if (it == places.end() || it->second.qport == ep->qport)
        return;
    leaveBucket(ep, it->second.qport);
    it->second.qport = ep->qport;
    enterBucket(ep, it->second);
}

const std::vector<CommEndpoint*>* QportIndex::withQport(uint32_t qport) const {
    if (heldTwice != 0)
        return nullptr;
    static const Bucket none;
    const std::unordered_map<uint32_t, Bucket>::const_iterator found = buckets.find(qport);
    return found == buckets.end() ? &none : &found->second;
}

void QportIndex::clear() {
    places.clear();
    buckets.clear();
    heldTwice = 0;
}

void QportIndex::leaveBucket(CommEndpoint* ep, uint32_t qport) {
    const std::unordered_map<uint32_t, Bucket>::iterator found = buckets.find(qport);
    assert(found != buckets.end());
    Bucket& members = found->second;
    members.erase(std::find(members.begin(), members.end(), ep));
    if (members.empty())
        buckets.erase(found);
}

void QportIndex::enterBucket(CommEndpoint* ep, const Place& place) {
    // Buckets hold one endpoint or a few: qports carry the server id.
    Bucket& members = buckets[place.qport];
    Bucket::iterator at = members.end();
    while (at != members.begin() && places.at(*(at - 1)).sequence > place.sequence)
        --at;
    members.insert(at, ep);
}
