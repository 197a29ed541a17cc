#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

class CommEndpoint;

// The endpoints of one list (the scene's players, the watcher registry) by qport, each qport's
// endpoints in the list's order: the first match of a walk of the whole list is then found
// among the few endpoints of one qport. The list's keeper reports every append and removal,
// and every write of a listed endpoint's qport; a write it misses leaves the endpoint under
// its old qport. Holds no ownership. Main thread only.
class QportIndex {
public:
    // ep was appended to the list.
    void added(CommEndpoint* ep);
    // The first occurrence of ep was taken out of the list.
    void removed(CommEndpoint* ep);
    // To be called after ep's qport was written; nothing when ep is not listed.
    void qportChanged(CommEndpoint* ep);

    // The listed endpoints whose qport was last reported as qport, in list order, or null
    // while the list holds some endpoint twice (the order of one of them is then not known, and
    // the caller walks the list). An empty vector when none has that qport. Valid until the
    // index next changes.
    const std::vector<CommEndpoint*>* withQport(uint32_t qport) const;

    void clear();

private:
    struct Place {
        uint64_t sequence; // of its last append: the list keeps only its last occurrence in the end
        uint32_t qport;    // the bucket it is in
        unsigned int held; // occurrences in the list
    };
    typedef std::vector<CommEndpoint*> Bucket;

    void leaveBucket(CommEndpoint* ep, uint32_t qport);
    void enterBucket(CommEndpoint* ep, const Place& place);

    std::unordered_map<const CommEndpoint*, Place> places;
    // Only qports of listed endpoints: an empty bucket is dropped.
    std::unordered_map<uint32_t, Bucket> buckets;
    uint64_t nextSequence = 0;
    unsigned int heldTwice = 0; // endpoints the list holds more than once
};
