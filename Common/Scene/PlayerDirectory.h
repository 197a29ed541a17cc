#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Common/GameObjects/Transform.h"
#include "Common/Network/QportIndex.h"

class CommEndpoint;
class Player;

// Only the socket's address is used here, so its type is declared, not included: Asio stays out
// of this header and of the scene's. In Boost 1.74 `any_io_executor` is a typedef of a template
// instance and cannot be declared here, so the operation by socket is a template over the
// executor; the .cpp checks that tcp::socket is such an instance.
namespace boost::asio {
template <typename Protocol, typename Executor> class basic_stream_socket;
namespace ip {
class tcp;
}
} // namespace boost::asio

// The scene's Player list indexed by endpoint, by qport and by TCP socket, so that the player
// behind a message's sender is found without walking the list. Owned by the scene, which reports
// every append to and removal from the list; every write of a listed player's qport is reported
// through qportChanged. Holds no ownership. Main thread only.
class PlayerDirectory {
public:
    // p was appended to list, the scene's Player list; the directory reads that list (socket
    // index, debug checks) until clear().
    void added(Player* p, const TransformList& list);
    // The first occurrence of p was taken out of the list.
    void removed(Player* p);
    // The list was emptied and forgotten.
    void clear();

    // The object of the Player list whose endpoint part is ep, or null: found by identity, so
    // an endpoint that only claims to be a client is never read as a player.
    Player* ofEndpoint(const CommEndpoint* ep) const;

    // To be called after every write of the qport of a player that may be attached, so that
    // withQport follows it; nothing for a player not in the list.
    void qportChanged(Player* p);

    // The players of the Player list whose qport is qport, as endpoints, in list order; null
    // when the caller must walk the list itself (the list holds a player twice). Builds with
    // asserts check the answer against that walk, so a write of a qport that was not reported
    // shows in the tests.
    const std::vector<CommEndpoint*>* withQport(uint32_t qport) const;

    // The first player of the Player list that holds socket, or null: the answer of a walk of
    // the list, from an index rebuilt only once the list or some endpoint's socket changed.
    template <typename Executor>
    Player* firstWithTcpSocket(const boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor>* socket) {
        return firstWithSocketAt(socket);
    }

private:
    Player* firstWithSocketAt(const void* socket);

    // Null while the scene has no Player list.
    const TransformList* list_ = nullptr;
    // Each player with the number of times the list holds it.
    std::unordered_map<const CommEndpoint*, std::pair<Player*, unsigned int>> byEndpoint_;
    // The list's endpoints by qport, in list order: bench_frame's 30,000 datagram sender look-ups
    // 46 ms against 121 for a walk (most of ours is the getpeername each look-up makes).
    QportIndex byQport_;
    // For firstWithSocketAt, by the socket's address: built at listChanges_ == socketIndexListAt_
    // and CommEndpoint::socketWrites() == socketIndexWritesAt_. bench_frame's 1,000 TCP sender
    // look-ups: 0.05 ms against 1.1 for a walk.
    std::unordered_map<const void*, Player*> bySocket_;
    uint64_t listChanges_ = 0;
    uint64_t socketIndexListAt_ = UINT64_MAX;
    uint64_t socketIndexWritesAt_ = UINT64_MAX;
};
