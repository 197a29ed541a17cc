#include "Common/Scene/PlayerDirectory.h"

#include <cassert>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>

#include "Common/GameObjects/Player.h"
#include "Common/Network/CommEndpoint.h"

// The sockets the players hold are what firstWithTcpSocket's template takes.
static_assert(std::is_same_v<boost::asio::ip::tcp::socket,
                             boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::any_io_executor>>,
              "a player's TCP socket is not the stream socket the directory declares");

void PlayerDirectory::added(Player* p, const TransformList& list) {
    list_ = &list;
    std::pair<Player*, unsigned int>& entry = byEndpoint_[p];
    entry.first = p;
    ++entry.second;
    byQport_.added(p);
    ++listChanges_;
}

void PlayerDirectory::removed(Player* p) {
    auto entry = byEndpoint_.find(p);
    if (entry != byEndpoint_.end() && --entry->second.second == 0)
        byEndpoint_.erase(entry);
    byQport_.removed(p);
    ++listChanges_;
}

void PlayerDirectory::clear() {
    list_ = nullptr;
    byEndpoint_.clear();
    byQport_.clear();
    ++listChanges_;
}

Player* PlayerDirectory::ofEndpoint(const CommEndpoint* ep) const {
    auto it = byEndpoint_.find(ep);
    return it == byEndpoint_.end() ? nullptr : it->second.first;
}

void PlayerDirectory::qportChanged(Player* p) {
    byQport_.qportChanged(p);
}

const std::vector<CommEndpoint*>* PlayerDirectory::withQport(uint32_t qport) const {
    const std::vector<CommEndpoint*>* found = byQport_.withQport(qport);
#ifndef NDEBUG
    if (found) {
        std::vector<CommEndpoint*> walked;
        if (list_)
            for (Transform* t : *list_) {
                CommEndpoint* endpoint = static_cast<Player*>(t);
                if (endpoint->qport == qport)
                    walked.push_back(endpoint);
            }
        assert(walked == *found && "a write of a player's qport was not reported to the scene");
    }
#endif
    return found;
}

Player* PlayerDirectory::firstWithSocketAt(const void* socket) {
    if (!socket || !list_)
        return nullptr;
    const uint64_t writes = CommEndpoint::socketWrites();
    if (socketIndexListAt_ != listChanges_ || socketIndexWritesAt_ != writes) {
        bySocket_.clear();
        for (Transform* t : *list_) {
            Player* player = static_cast<Player*>(t);
            if (const boost::asio::ip::tcp::socket* held = player->getTcpSocket())
                bySocket_.emplace(held, player); // the first in list order stays
        }
        socketIndexListAt_ = listChanges_;
        socketIndexWritesAt_ = writes;
    }
    auto it = bySocket_.find(socket);
    Player* found = it == bySocket_.end() ? nullptr : it->second;
#ifndef NDEBUG
    Player* walked = nullptr;
    for (Transform* t : *list_)
        if (static_cast<Player*>(t)->getTcpSocket() == socket) {
            walked = static_cast<Player*>(t);
            break;
        }
    assert(walked == found && "a player's socket changed past CommEndpoint");
#endif
    return found;
}
