// Stand-in for the coordinator: hands out a fixed region map given on the command line,
// welcomes region servers, sends them the map, hands dead and new players back, logs the
// load reports and, on an operator's "move <playerId> <serverId>", moves a player: its server
// sends the client on, and the new server is handed control of the player.
// One thread runs every socket; a second one only reads standard input and posts lines.

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "Common/Network/MessageSerializer.h"
#include "Common/Network/MessageTypes.h"
#include "Common/Protobuf/Object.pb.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Peers/FrameConnection.h"
#include "Peers/PeerSupport.h"

namespace po = boost::program_options;
using boost::asio::ip::tcp;

namespace {

struct RegionEntry {
    uint32_t id;
    uint32_t serverId;
    Vector3 min;
    Vector3 max;
    // Ids of the regions whose boxes touch or overlap this one.
    std::vector<uint32_t> neighbours;

    // The servers' own rule: min < p <= max on every axis, so a shared face belongs below.
    bool holds(const Vector3& p) const {
        return min.x < p.x && p.x <= max.x && min.y < p.y && p.y <= max.y && min.z < p.z && p.z <= max.z;
    }
    bool touches(const RegionEntry& other) const {
        return min.x <= other.max.x && other.min.x <= max.x && min.y <= other.max.y && other.min.y <= max.y &&
               min.z <= other.max.z && other.min.z <= max.z;
    }
};

// One accepted connection; a region server once its login arrived.
struct Peer {
    std::shared_ptr<FrameConnection> connection;
    bool loggedIn = false;
    uint32_t serverId = 0;
    uint32_t qport = 0;
    // Where the server accepts connections: the address it came from and the port it named.
    std::string port;
};

// What we know of a player: the server that controls it and what we last handed that server.
struct PlayerRecord {
    uint32_t serverId = 0;
    Velmor::TransferControl lastTransfer;
};

struct Options {
    std::string address = "127.0.0.1";
    unsigned short port = 21040;
    std::vector<std::string> regions;
    uint32_t overloaded = 90;
    uint32_t underloaded = 10;
    uint32_t averageloaded = 40;
};

// "<serverId>:<minx>,<miny>,<minz>:<maxx>,<maxy>,<maxz>" with min below max on every axis.
bool parseRegion(const std::string& text, RegionEntry& region) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos)
        return false;
    if (!parseUnsigned(text.substr(0, first), region.serverId) ||
        !parseVector(text.substr(first + 1, second - first - 1), region.min) ||
        !parseVector(text.substr(second + 1), region.max))
        return false;
    return region.min.x < region.max.x && region.min.y < region.max.y && region.min.z < region.max.z;
}

class Coordinator {
public:
    Coordinator(boost::asio::io_context& io_, const Options& options_)
        : options(options_), acceptor(io_), started(std::chrono::steady_clock::now()) {}

    // Starts listening, then builds the map; false when the address cannot be bound.
    bool start();
    void handleLine(const std::string& line);

private:
    void buildMap();
    void accept();
    void handleMessage(Peer& peer, const networkEventPtr& event);
    void handleClosed(FrameConnection& connection);
    void handleLogin(Peer& peer, const Velmor::Login& login);
    void handleTransferControl(Peer& peer, const Velmor::TransferControl& transfer);
    void handleServerStatus(Peer& peer, const Velmor::ServerStatus& status);
    void handleMove(const std::string& playerText, const std::string& serverText);
    void sendMapToAll();
    // Orders `from` to send the player's client to `to`, whose region `region` receives it;
    // false when the order could not be sent.
    bool sendTransferPlayerTo(Peer& from, uint64_t playerId, Peer& to, const RegionEntry& region);
    // Hands `to` control of a moved player, at rest in the centre of `region`.
    void sendHandOver(PlayerRecord& player, Peer& to, const RegionEntry& region);

    Peer* findPeer(FrameConnection& connection);
    Peer* findServer(uint32_t serverId);
    const RegionEntry* firstRegionOf(uint32_t serverId) const;
    // The region holding `position` whose server is logged in, or null.
    const RegionEntry* regionHolding(const Vector3& position);
    uint32_t clock() const;

    Options options;
    tcp::acceptor acceptor;
    std::chrono::steady_clock::time_point started;
    std::vector<RegionEntry> regions;
    std::list<Peer> peers;
    // Each player that was handed to us, by id.
    std::map<uint64_t, PlayerRecord> players;
};

bool Coordinator::start() {
    boost::system::error_code error;
    const boost::asio::ip::address address = boost::asio::ip::make_address(options.address, error);
    if (error) {
        peerSay("bad address '%s': %s", options.address.c_str(), error.message().c_str());
        return false;
    }
    const tcp::endpoint endpoint(address, options.port);
    acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
    if (error) {
        peerSay("cannot listen on %s:%u: %s", options.address.c_str(), options.port, error.message().c_str());
        return false;
    }
    peerSay("coordinator listening on %s:%u", options.address.c_str(), acceptor.local_endpoint().port());
    buildMap();
    for (const RegionEntry& region : regions) {
        std::string neighbours;
        for (uint32_t id : region.neighbours)
            neighbours += " " + std::to_string(id);
        peerSay("region %u of server %u %s-%s neighbours:%s", region.id, region.serverId,
                vectorText(region.min).c_str(), vectorText(region.max).c_str(),
                neighbours.empty() ? " none" : neighbours.c_str());
    }
    accept();
    return true;
}

void Coordinator::buildMap() {
    uint32_t nextId = 1;
    for (const std::string& text : options.regions) {
        RegionEntry region{};
        if (!parseRegion(text, region)) {
            peerSay("bad region '%s' (want <serverId>:<minx>,<miny>,<minz>:<maxx>,<maxy>,<maxz>, min below max), "
                    "skipped",
                    text.c_str());
            continue;
        }
        region.id = nextId++;
        for (RegionEntry& other : regions) {
            if (other.touches(region)) {
                other.neighbours.push_back(region.id);
                region.neighbours.push_back(other.id);
            }
        }
        regions.push_back(region);
    }
}

void Coordinator::accept() {
    acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error) {
            peerSay("accept failed: %s", error.message().c_str());
        } else {
            peers.emplace_back();
            Peer& peer = peers.back();
            peer.connection = std::make_shared<FrameConnection>(std::move(socket));
            peerSay("connection from %s", peer.connection->peerHost().c_str());
            peer.connection->start(
                [this](FrameConnection& connection, const networkEventPtr& event) {
                    if (Peer* from = findPeer(connection))
                        handleMessage(*from, event);
                },
                [this](FrameConnection& connection) { handleClosed(connection); });
        }
        accept();
    });
}

void Coordinator::handleMessage(Peer& peer, const networkEventPtr& event) {
    if (event->messageType == MessageTypes::Login) {
        handleLogin(peer, *static_cast<Velmor::Login*>(event->message));
        return;
    }
    if (!peer.loggedIn) {
        peerSay("%s from %s before its login, skipped", messageName(event->messageType).c_str(),
                peer.connection->peerHost().c_str());
        return;
    }
    switch (event->messageType) {
    case MessageTypes::TransferControl:
        handleTransferControl(peer, *static_cast<Velmor::TransferControl*>(event->message));
        break;
    case MessageTypes::ServerStatus:
        handleServerStatus(peer, *static_cast<Velmor::ServerStatus*>(event->message));
        break;
    default:
        peerSay("unexpected %s from server %u, skipped", messageName(event->messageType).c_str(), peer.serverId);
    }
}

void Coordinator::handleLogin(Peer& peer, const Velmor::Login& login) {
    const std::string& host = peer.connection->peerHost();
    if (peer.loggedIn) {
        peerSay("second login from server %u, skipped", peer.serverId);
        return;
    }
    if (login.logintype() != LoginType::NearServer || !login.has_serverid() || !login.has_port()) {
        peerSay("login from %s is not a region server's (type %u%s%s), skipped", host.c_str(), login.logintype(),
                login.has_serverid() ? "" : ", no server id", login.has_port() ? "" : ", no port");
        return;
    }
    // A server that comes back replaces its old connection.
    if (Peer* old = findServer(login.serverid())) {
        peerSay("server %u logs in again, its old connection is closed", login.serverid());
        old->connection->close();
        FrameConnection& oldConnection = *old->connection;
        peers.remove_if([&oldConnection](const Peer& p) { return p.connection.get() == &oldConnection; });
    }
    peer.loggedIn = true;
    peer.serverId = login.serverid();
    peer.qport = login.qport();
    peer.port = login.port();
    peerSay("login of server %u from %s port %s qport 0x%x", peer.serverId, host.c_str(), peer.port.c_str(),
            peer.qport);
    if (!firstRegionOf(peer.serverId))
        peerSay("server %u has no region in the map", peer.serverId);

    Velmor::CoordinatorWelcome welcome;
    welcome.set_timestamp(clock());
    welcome.set_overloadedcpuborder(options.overloaded);
    welcome.set_underloadedcpuborder(options.underloaded);
    welcome.set_averageloadedcpuborder(options.averageloaded);
    if (peer.connection->send(MessageSerializer::serializeMessage(welcome)))
        peerSay("welcome to server %u: clock %u borders %u/%u/%u", peer.serverId, welcome.timestamp(),
                options.overloaded, options.underloaded, options.averageloaded);
    sendMapToAll();
}

void Coordinator::sendMapToAll() {
    // The map lists the servers that are logged in and their regions; neighbour links name
    // listed regions only.
    Velmor::RegionUpdate update;
    std::vector<uint32_t> listed;
    for (const Peer& peer : peers) {
        if (!peer.loggedIn)
            continue;
        Velmor::NeighbourHost* host = update.add_hosts();
        host->set_serverid(peer.serverId);
        host->set_host(peer.connection->peerHost());
        host->set_port(peer.port);
    }
    auto isListed = [this](uint32_t regionId) {
        for (const RegionEntry& region : regions)
            if (region.id == regionId)
                return findServer(region.serverId) != nullptr;
        return false;
    };
    for (const RegionEntry& region : regions) {
        if (!isListed(region.id))
            continue;
        Velmor::Region* r = update.add_regions();
        r->set_regionid(region.id);
        ProtobufConversion::position(r->mutable_min(), &region.min);
        ProtobufConversion::position(r->mutable_max(), &region.max);
        r->set_hostid(region.serverId);
        for (uint32_t neighbour : region.neighbours)
            if (isListed(neighbour))
                r->add_neighbourids(neighbour);
    }
    const std::string frame = MessageSerializer::serializeMessage(update);
    for (Peer& peer : peers) {
        if (peer.loggedIn && peer.connection->send(frame))
            peerSay("map sent to server %u: %d servers, %d regions", peer.serverId, update.hosts_size(),
                    update.regions_size());
    }
}

void Coordinator::handleTransferControl(Peer& peer, const Velmor::TransferControl& transfer) {
    if (!transfer.has_playerinfo()) {
        peerSay("transfer of object 0x%llx without player from server %u, skipped",
                static_cast<unsigned long long>(transfer.id()), peer.serverId);
        return;
    }
    Vector3 position;
    ProtobufConversion::position(&position, &transfer.data().position());

    // Respawn where the player is: with the server whose region holds that point, else with
    // the server it came from. Another server needs the description to create the player.
    Peer* target = &peer;
    const RegionEntry* region = regionHolding(position);
    if (region && region->serverId != peer.serverId && transfer.has_objectinfo())
        target = findServer(region->serverId);

    Velmor::TransferControl handBack(transfer);
    Vector3 still;
    ProtobufConversion::position(handBack.mutable_data()->mutable_velocity(), &still);
    // A respawned player starts with full health; the description carries it to the server.
    if (handBack.has_objectinfo() && handBack.objectinfo().has_playerdata())
        handBack.mutable_objectinfo()->mutable_playerdata()->set_health(100.0f);

    const std::string name = transfer.objectinfo().playerdata().name();
    const unsigned long long id = transfer.id();
    if (!target->connection->send(MessageSerializer::serializeMessage(handBack)))
        return;
    PlayerRecord& record = players[transfer.id()];
    record.serverId = target->serverId;
    record.lastTransfer.Swap(&handBack);
    peerSay("hand-back of player 0x%llx '%s' (qport 0x%x host %s) from server %u to server %u at %s", id, name.c_str(),
            transfer.playerinfo().qport(), transfer.playerinfo().host().c_str(), peer.serverId, target->serverId,
            vectorText(position).c_str());
    // The client still talks to the server it came from: that server sends it on.
    if (target != &peer)
        sendTransferPlayerTo(peer, transfer.id(), *target, *region);
}

void Coordinator::handleServerStatus(Peer& peer, const Velmor::ServerStatus& status) {
    std::ostringstream line;
    line << "status of server " << peer.serverId << ": "
         << (status.status() == Velmor::ServerStatus::Normal ? "Normal" : "Overloaded") << " cpu " << status.cpuload()
         << "%";
    if (status.existingregionstatus_size() > 0) {
        line << " regions";
        for (const Velmor::ExistingRegion& region : status.existingregionstatus())
            line << " " << region.regionid() << ":" << region.population();
    }
    if (status.has_futureregions()) {
        line << " 2x2x2";
        for (uint32_t count : status.futureregions().twoxtwoxtwo())
            line << " " << count;
        line << " 3x3x3";
        for (uint32_t count : status.futureregions().threexthreexthree())
            line << " " << count;
    }
    peerSay("%s", line.str().c_str());
}

void Coordinator::handleLine(const std::string& line) {
    std::istringstream words(line);
    std::string command, player, server, extra;
    words >> command >> player >> server;
    if (command.empty())
        return;
    if (command != "move" || server.empty() || (words >> extra)) {
        peerSay("bad command '%s' (want: move <playerId> <serverId>), skipped", line.c_str());
        return;
    }
    handleMove(player, server);
}

void Coordinator::handleMove(const std::string& playerText, const std::string& serverText) {
    uint64_t playerId = 0;
    uint32_t serverId = 0;
    if (!parseId(playerText, playerId) || !parseUnsigned(serverText, serverId)) {
        peerSay("bad move '%s %s' (want a player id, 0x... or decimal, and a server id), skipped", playerText.c_str(),
                serverText.c_str());
        return;
    }
    const auto known = players.find(playerId);
    Peer* from = known == players.end() ? nullptr : findServer(known->second.serverId);
    Peer* to = findServer(serverId);
    const RegionEntry* region = firstRegionOf(serverId);
    if (!from) {
        peerSay("move: player 0x%llx is with no server we know, skipped", static_cast<unsigned long long>(playerId));
        return;
    }
    if (!to || !region) {
        peerSay("move: server %u is not logged in or has no region, skipped", serverId);
        return;
    }
    if (from == to) {
        peerSay("move: player 0x%llx is with server %u already, skipped", static_cast<unsigned long long>(playerId),
                serverId);
        return;
    }
    // The new server creates the player from its description; without one it could not.
    if (!known->second.lastTransfer.objectinfo().has_playerdata()) {
        peerSay("move: player 0x%llx came without a player description, skipped",
                static_cast<unsigned long long>(playerId));
        return;
    }
    if (sendTransferPlayerTo(*from, playerId, *to, *region))
        sendHandOver(known->second, *to, *region);
}

bool Coordinator::sendTransferPlayerTo(Peer& from, uint64_t playerId, Peer& to, const RegionEntry& region) {
    Velmor::TransferPlayerTo order;
    order.set_playerid(playerId);
    order.set_host(to.connection->peerHost());
    order.set_port(to.port);
    ProtobufConversion::position(order.mutable_min(), &region.min);
    ProtobufConversion::position(order.mutable_max(), &region.max);
    if (!from.connection->send(MessageSerializer::serializeMessage(order)))
        return false;
    players[playerId].serverId = to.serverId;
    peerSay("move of player 0x%llx ordered: from server %u to server %u (%s:%s, region %u)",
            static_cast<unsigned long long>(playerId), from.serverId, to.serverId, order.host().c_str(),
            order.port().c_str(), region.id);
    return true;
}

void Coordinator::sendHandOver(PlayerRecord& player, Peer& to, const RegionEntry& region) {
    // We do not follow players' flights, so a moved player starts afresh where the new server
    // surely controls it: at rest in the centre of its region, with the health we last knew.
    const Vector3 centre = (region.min + region.max) * 0.5f;
    const Vector3 still;
    Velmor::TransferControl transfer(player.lastTransfer);
    ProtobufConversion::position(transfer.mutable_data()->mutable_position(), &centre);
    ProtobufConversion::position(transfer.mutable_data()->mutable_velocity(), &still);
    Velmor::ObjectInfo* info = transfer.mutable_objectinfo();
    ProtobufConversion::position(info->mutable_position(), &centre);
    info->set_timestamp(clock());
    if (!to.connection->send(MessageSerializer::serializeMessage(transfer)))
        return;
    player.lastTransfer.Swap(&transfer);
    const Velmor::TransferControl& sent = player.lastTransfer;
    peerSay("hand-over of player 0x%llx '%s' (qport 0x%x host %s) to server %u at %s health %g",
            static_cast<unsigned long long>(sent.id()), sent.objectinfo().playerdata().name().c_str(),
            sent.playerinfo().qport(), sent.playerinfo().host().c_str(), to.serverId, vectorText(centre).c_str(),
            static_cast<double>(sent.objectinfo().playerdata().health()));
}

void Coordinator::handleClosed(FrameConnection& connection) {
    Peer* peer = findPeer(connection);
    if (!peer)
        return;
    const bool wasServer = peer->loggedIn;
    if (wasServer)
        peerSay("server %u closed its connection", peer->serverId);
    else
        peerSay("connection from %s closed", connection.peerHost().c_str());
    peers.remove_if([&connection](const Peer& p) { return p.connection.get() == &connection; });
    // The map names logged-in servers only, so it has changed.
    if (wasServer)
        sendMapToAll();
}

Peer* Coordinator::findPeer(FrameConnection& connection) {
    for (Peer& peer : peers)
        if (peer.connection.get() == &connection)
            return &peer;
    return nullptr;
}

Peer* Coordinator::findServer(uint32_t serverId) {
    for (Peer& peer : peers)
        if (peer.loggedIn && peer.serverId == serverId)
            return &peer;
    return nullptr;
}

const RegionEntry* Coordinator::firstRegionOf(uint32_t serverId) const {
    for (const RegionEntry& region : regions)
        if (region.serverId == serverId)
            return &region;
    return nullptr;
}

const RegionEntry* Coordinator::regionHolding(const Vector3& position) {
    for (const RegionEntry& region : regions)
        if (region.holds(position) && findServer(region.serverId))
            return &region;
    return nullptr;
}

uint32_t Coordinator::clock() const {
    const auto elapsed = std::chrono::steady_clock::now() - started;
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    po::options_description description("standin-coordinator options");
    auto add = description.add_options();
    add("help", "print the options");
    add("address", po::value(&options.address)->default_value(options.address), "address to listen on");
    add("port", po::value(&options.port)->default_value(options.port), "port to listen on, 0 for any free one");
    add("region", po::value(&options.regions)->composing(),
        "a region, repeated: <serverId>:<minx>,<miny>,<minz>:<maxx>,<maxy>,<maxz>; ids 1, 2, ... in order");
    add("overloaded", po::value(&options.overloaded)->default_value(options.overloaded), "CPU border, per cent");
    add("underloaded", po::value(&options.underloaded)->default_value(options.underloaded), "CPU border, per cent");
    add("averageloaded", po::value(&options.averageloaded)->default_value(options.averageloaded),
        "CPU border, per cent");
    if (const int status = readCommandLine(argc, argv, description))
        return status;

    boost::asio::io_context io;
    Coordinator coordinator(io, options);
    if (!coordinator.start())
        return 1;

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const boost::system::error_code& error, int) {
        if (!error) {
            peerSay("coordinator stopping");
            io.stop();
        }
    });
    // Only reads lines and posts them to the socket thread; detached, since a blocked read of
    // standard input cannot be interrupted and the process ends around it.
    std::thread([&io, &coordinator] {
        std::string line;
        while (std::getline(std::cin, line))
            boost::asio::post(io, [&coordinator, line] { coordinator.handleLine(line); });
    }).detach();
    io.run();
    // Ends without unwinding main, so the detached reader never posts to a destroyed io_context.
    std::exit(0);
}
