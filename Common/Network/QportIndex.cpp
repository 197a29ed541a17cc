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
    const std::size_t at = find(qport);
    return at == notFound ? &none : &buckets[at].members;
}

void QportIndex::clear() {
    places.clear();
    buckets.clear();
    usedSlots = 0;
    heldTwice = 0;
}

std::size_t QportIndex::home(uint32_t qport) const {
    // Qports of one server differ in their low bits: a multiplicative hash spreads them.
    return (static_cast<uint64_t>(qport) * 0x9E3779B97F4A7C15ull >> 32) & (buckets.size() - 1);
}

std::size_t QportIndex::find(uint32_t qport) const {
    if (buckets.empty())
        return notFound;
    for (std::size_t at = home(qport);; at = (at + 1) & (buckets.size() - 1)) {
        if (!buckets[at].used)
            return notFound;
        if (buckets[at].qport == qport)
            return at;
    }
}

QportIndex::Slot& QportIndex::findOrAdd(uint32_t qport) {
    const std::size_t found = find(qport);
    if (found != notFound)
        return buckets[found];
    if (2 * (usedSlots + 1) > buckets.size()) {
        std::vector<Slot> old(std::max<std::size_t>(16, 2 * buckets.size()));
        old.swap(buckets);
        for (Slot& moved : old)
            if (moved.used) {
                std::size_t at = home(moved.qport);
                while (buckets[at].used)
                    at = (at + 1) & (buckets.size() - 1);
                buckets[at] = std::move(moved);
            }
    }
    std::size_t at = home(qport);
    while (buckets[at].used)
        at = (at + 1) & (buckets.size() - 1);
    ++usedSlots;
    buckets[at].used = true;
    buckets[at].qport = qport;
    return buckets[at];
}

void QportIndex::drop(std::size_t at) {
    // Moves back every later entry of the run that may sit at `at`, so that no entry has an
    // unused slot between its home and itself (a look-up stops at the first unused slot).
    const std::size_t mask = buckets.size() - 1;
    for (std::size_t next = (at + 1) & mask; buckets[next].used; next = (next + 1) & mask) {
        const std::size_t wanted = home(buckets[next].qport);
        // Whether `wanted` lies cyclically in (at, next]: then the entry stays.
        const bool stays = at < next ? (wanted > at && wanted <= next) : (wanted > at || wanted <= next);
        if (!stays) {
            buckets[at] = std::move(buckets[next]);
            at = next;
        }
    }
    buckets[at] = Slot();
    --usedSlots;
}

void QportIndex::leaveBucket(CommEndpoint* ep, uint32_t qport) {
    const std::size_t at = find(qport);
    assert(at != notFound);
    Bucket& members = buckets[at].members;
    members.erase(std::find(members.begin(), members.end(), ep));
    if (members.empty())
        drop(at);
}

void QportIndex::enterBucket(CommEndpoint* ep, const Place& place) {
    // Buckets hold one endpoint or a few: qports carry the server id.
    Bucket& members = findOrAdd(place.qport).members;
    Bucket::iterator at = members.end();
    while (at != members.begin() && places.at(*(at - 1)).sequence > place.sequence)
        --at;
    members.insert(at, ep);
}
