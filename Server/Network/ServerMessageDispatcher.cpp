#include "Server/Network/ServerMessageDispatcher.h"

#include <cstdlib>
#include <list>
#include <vector>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"
#include "Common/Gamelogic/General.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Common/Region/ControllingServer.h"
#include "Common/Scene/SceneGraph.h"
#include "Server/ServerRegionHandler.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;

namespace {

TransformList* scenePlayers() {
    return SceneGraph::getInstance()->getListOfType(SceneGraphType::Player);
}

// Whether a connection may stand for the pool server `entry`: when the coordinator's map gives
// it a numeric address, the connection's peer must have that address. A host given as a name
// is not resolved for every message, and an entry the map does not name is not checked here.
bool connectedFromMapAddress(const ControllingServer& entry, tcp::socket* socket) {
    boost::system::error_code ec;
    const boost::asio::ip::address named = boost::asio::ip::make_address(entry.host, ec);
    if (entry.host.empty() || ec)
        return true;
    boost::asio::ip::address peer;
    return peerAddressOf(socket, &peer) && peer == named;
}

// Whether a player's client is connected from the datagram's source address. Throws when the
// connection broke meanwhile; the receiver's guard reports it.
bool connectedFrom(CommEndpoint* endpoint, const udp::endpoint& from) {
    return endpoint->getTcpSocket() && endpoint->getTcpSocket()->remote_endpoint().address() == from.address();
}

void removeAllRegions(ControllingServer* server) {
    std::list<unsigned int> ids;
    for (Region& region : server->regionList)
        ids.push_back(region.id);
    for (unsigned int id : ids)
        server->RemoveRegion(id);
}

} // namespace

ServerMessageDispatcher::ServerMessageDispatcher(boost::asio::io_context* ios_) : MessageDispatcher(ios_) {}

bool ServerMessageDispatcher::acceptsFrom(int messageType, CommEndpoint* sender) {
    CommEndpoint* coordinator = &Network::getInstance()->coordinator;
    switch (messageType) {
    case MessageTypes::CoordinatorWelcome:
    case MessageTypes::RegionUpdate:
    case MessageTypes::TransferPlayerTo:
        return sender == coordinator && coordinator->getTcpSocket();
    case MessageTypes::TransferControl:
        return (sender == coordinator && coordinator->getTcpSocket()) || isLoggedInServer(sender);
    case MessageTypes::ObjectInfo:
    case MessageTypes::ObjectUpdate:
    case MessageTypes::ObjectDestroy:
        return isLoggedInServer(sender);
    default:
        return true;
    }
}

bool ServerMessageDispatcher::isLoggedInServer(CommEndpoint* sender) {
    if (!sender || sender->endpointType != CommEndpointTypes::ServerEndpoint || !sender->getTcpSocket() ||
        sender->qport == 0)
        return false;
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    ControllingServer* entry = registry->getPoolEntry(sender);
    if (!entry || entry == registry->myself)
        return false;
    // Any connection may send a NearServer login and so become a pool entry: only a server that
    // the coordinator's map names (its host is set from the map), connected from the address
    // the map gives, is trusted.
    return !entry->host.empty() && connectedFromMapAddress(*entry, entry->getTcpSocket());
}

CommEndpoint* ServerMessageDispatcher::lookUpCommEndpointUdp(udp::endpoint* udpEndpoint, unsigned int qport) {
    if (!udpEndpoint)
        return nullptr;
    if (CommEndpoint* watcher = Network::getInstance()->watcherManager->findByUdpEndpoint(udpEndpoint, qport))
        return watcher;
    // The players of that qport in list order, as a walk of the whole list meets them; the
    // walk itself only while the list holds a player twice.
    if (const std::vector<CommEndpoint*>* sameQport = SceneGraph::getInstance()->players().withQport(qport)) {
        for (CommEndpoint* endpoint : *sameQport)
            if (endpoint->qport == qport && connectedFrom(endpoint, *udpEndpoint))
                return endpoint;
    } else if (TransformList* players = scenePlayers()) {
        for (Transform* t : *players) {
            CommEndpoint* endpoint = static_cast<Player*>(t);
            if (endpoint->qport == qport && connectedFrom(endpoint, *udpEndpoint))
                return endpoint;
        }
    }
    return ServerRegionHandler::getInstance()->getServer(udpEndpoint, qport);
}

CommEndpoint* ServerMessageDispatcher::lookUpCommEndpointTcp(tcp::socket* tcpSocket) {
    if (!tcpSocket)
        return nullptr;
    if (CommEndpoint* watcher = Network::getInstance()->watcherManager->findByTcpSocket(tcpSocket))
        return watcher;
    if (Player* player = SceneGraph::getInstance()->players().firstWithTcpSocket(tcpSocket))
        return player;
    if (ControllingServer* server = ServerRegionHandler::getInstance()->getServer(tcpSocket))
        return server;
    CommEndpoint* coordinator = &Network::getInstance()->coordinator;
    if (coordinator->getTcpSocket() == tcpSocket)
        return coordinator;
    return nullptr;
}

void ServerMessageDispatcher::frameDispatched() {
    resolvedThisFrame_.clear();
}

boost::asio::ip::address ServerMessageDispatcher::resolveClientHost(const std::string& host) {
    boost::system::error_code notNumeric;
    boost::asio::ip::make_address(host, notNumeric);
    const bool keep = !notNumeric;
    auto known = keep ? resolvedThisFrame_.find(host) : resolvedThisFrame_.end();
    Resolved answer;
    if (known != resolvedThisFrame_.end()) {
        answer = known->second;
    } else {
        try {
            tcp::resolver resolver(*ios);
            tcp::resolver::results_type addresses = resolver.resolve(host, "12345", tcp::resolver::address_configured);
            if (addresses.empty())
                throw boost::system::system_error(boost::asio::error::host_not_found);
            answer.address = addresses.begin()->endpoint().address();
        } catch (...) {
            answer.failure = std::current_exception();
        }
        if (keep)
            resolvedThisFrame_.emplace(host, answer);
    }
    if (answer.failure)
        std::rethrow_exception(answer.failure);
    return answer.address;
}

bool ServerMessageDispatcher::dispatchClosedConnection(CommEndpoint* sender) {
    // The receiver has closed it already; only its holder deletes it.
    sender->deleteTcpSocket();
    switch (sender->endpointType) {
    case CommEndpointTypes::WatcherEndpoint:
        DebugLogInput(LogType::Info, "Watcher Disconnected.\n");
        Network::getInstance()->watcherManager->removeWatcher(sender);
        break;
    case CommEndpointTypes::ServerEndpoint: {
        // The entry stays; the neighbour check connects again when this server has the lower id.
        DebugLogInput(LogType::Info, "Server closed connection.\n");
        // Except the entry of a server that the coordinator's map has never named: it came only
        // by its own login and lasts as long as its connection, so that logins of made-up
        // servers leave nothing behind.
        ServerRegionHandler* registry = ServerRegionHandler::getInstance();
        ControllingServer* entry = registry->getPoolEntry(sender);
        if (entry && entry != registry->myself && entry->host.empty() && entry->regionList.empty()) {
            DebugLogInput(LogType::Info, "Server %u, which the map does not name, forgotten\n",
                          static_cast<unsigned>(entry->id));
            Network::getInstance()->wantToDeleteEndpoint(entry);
            registry->RemoveServerFromPool(entry);
        }
        break;
    }
    case CommEndpointTypes::ClientEndpoint:
        DebugLogInput(LogType::Info, "Player Disconnected.\n");
        if (Player* player = SceneGraph::getInstance()->players().ofEndpoint(sender)) {
            Network::getInstance()->networkSender->broadcastObjectDestroy(player);
            SceneGraph::getInstance()->addToRemoveList(player);
        }
        break;
    default:
        // Also the coordinator: it is not connected again.
        DebugLogInput(LogType::Error, "Connected Client with unknown type disconnected\n");
        break;
    }
    return true;
}

bool ServerMessageDispatcher::dispatchClientUpdate(CommEndpoint* sender, Velmor::ClientUpdate* message,
                                                   unsigned int qport) {
    if (sender->endpointType == CommEndpointTypes::ClientEndpoint) {
        if (Player* player = SceneGraph::getInstance()->players().ofEndpoint(sender)) {
            if (message->has_orientation())
                ProtobufConversion::orientation(&player->orientation, &message->orientation());
            player->boostersOn = message->boosterson();
        }
    }
    return MessageDispatcher::dispatchClientUpdate(sender, message, qport);
}

bool ServerMessageDispatcher::dispatchServerWelcome(CommEndpoint* sender, Velmor::ServerWelcome* message) {
    ControllingServer* entry = sender->endpointType == CommEndpointTypes::ServerEndpoint
                                   ? ServerRegionHandler::getInstance()->getPoolEntry(sender)
                                   : nullptr;
    if (!entry) {
        DebugLogInput(LogType::Error, "Got a server login from not a server\n");
        return true;
    }
    entry->qport = message->qport();
    learnServerUdpAddress(entry, entry->port);
    return true;
}

bool ServerMessageDispatcher::dispatchConnectToNearBy(CommEndpoint*, Velmor::ConnectToNearBy*) {
    return true;
}

bool ServerMessageDispatcher::dispatchCoordinatorWelcome(CommEndpoint*, Velmor::CoordinatorWelcome* message) {
    DebugLog(LogType::Info, "Got coordinator welcome\n");
    Timer::sync_clock(message->timestamp());
    General* general = General::getInstance();
    general->overloadedCPUBorder = message->overloadedcpuborder();
    general->underloadedCPUBorder = message->underloadedcpuborder();
    general->averageloadedCPUBorder = message->averageloadedcpuborder();
    return true;
}

bool ServerMessageDispatcher::dispatchTransferPlayerTo(CommEndpoint*, Velmor::TransferPlayerTo* message) {
    const unsigned long long playerId = message->playerid();
    DebugLog(LogType::Info, "Got dispatchTransferPlayerTo (id:%llx)\n", playerId);
    Transform* obj = SceneGraph::getInstance()->getOBjectById(static_cast<int64_t>(message->playerid()));
    if (!obj || obj->type != SceneGraphType::Player) {
        DebugLog(LogType::Error, "Did not find player to send change server to. player (id:%llx)\n", playerId);
        return true;
    }
    Player* player = static_cast<Player*>(obj);
    if (!player->getTcpSocket()) {
        DebugLog(LogType::Error,
                 "ERROR IN TRANSFER PLAYER TO: Cannot transfer now as we lack tcpsocket to player to send change "
                 "region to. player (id:%llx)\n",
                 playerId);
        return true;
    }
    Vector3 min;
    Vector3 max;
    ProtobufConversion::position(&min, &message->min());
    ProtobufConversion::position(&max, &message->max());
    Network* network = Network::getInstance();
    network->networkSender->sendChangeActiveRegionTo(message->host(), message->port(), min, max, player);
    // At the end of the frame the connection becomes a watcher and the player a replica here.
    network->watcherManager->playerToWatcher(player, message->host(), message->port(), min, max, -1);
    player->shouldBeDeletedWhenBecommingWatcher = true;
    return true;
}

bool ServerMessageDispatcher::dispatchTransferControl(CommEndpoint* sender, Velmor::TransferControl* message) {
    if (message->has_objectinfo()) {
        Velmor::ObjectInfo info(message->objectinfo());
        dispatchObjectInfo(sender, &info);
    }
    if (message->has_playerinfo())
        DebugPrint("got control (id:%llx)\n", static_cast<unsigned long long>(message->id()));

    Transform* obj = SceneGraph::getInstance()->getOBjectById(static_cast<int64_t>(message->id()));
    if (!obj) {
        if (message->has_objectinfo())
            DebugLogInput(LogType::Error, "AAAAARG: Throwing away transfer control packet (2)\n");
        else
            DebugLogInput(LogType::Error, "Threw away shot\n");
        return true;
    }
    // Only players and projectiles change hands; anything else has no replica state to take over.
    if (obj->type != SceneGraphType::Player && obj->type != SceneGraphType::Projectile) {
        DebugLogInput(LogType::Error, "Transfer control for an object of kind %d ignored (id:%llx)\n",
                      static_cast<int>(obj->type), idOf(obj));
        return true;
    }
    NetworkObject* networked = static_cast<NetworkObject*>(obj);
    networked->setIsReplica(false);
    networked->replicaManager.timeSinceTransfer = 0;
    ProtobufConversion::position(&obj->velocity, &message->data().velocity());
    ProtobufConversion::position(&obj->position, &message->data().position());
    Network* network = Network::getInstance();
    network->networkSender->broadcastCreateObject(obj);

    if (!message->has_playerinfo() || obj->type != SceneGraphType::Player) {
        Logger::getInstance()->gotControlOverProjectile();
        return true;
    }

    Player* player = static_cast<Player*>(obj);
    const Velmor::PlayerConnectInfo& info = message->playerinfo();
    DebugLog(LogType::Info, "got control over player (id:%llx qport:%x)\n", idOf(player), info.qport());
    DebugLog(LogType::Info, "with health (hp:%f)\n", static_cast<double>(player->health));
    DebugLog(LogType::Info, "and host %s\n", DebugEscape(info.host()).c_str());
    player->isDead = false;
    if (info.qport() == 0)
        DebugLogInput(LogType::Error, "ERROR!!!!!! qport 0\n");
    CommEndpoint* endpoint = player;
    endpoint->qport = info.qport();
    SceneGraph::getInstance()->players().qportChanged(player);
    endpoint->temphost = info.host();

    if (!ios) {
        DebugLog(LogType::Error, "Missing io service to resolve the host of player (id:%llx)\n", idOf(player));
        return true;
    }
    // Blocks the main thread; numeric addresses answer at once. A failure throws to the
    // receiver's guard and leaves the player neither bound nor waiting.
    // Lookups never compare ports, so the service's port plays no part.
    udp::endpoint clientAddress(resolveClientHost(info.host()), 12345);
    CommEndpoint* known = lookUpCommEndpointUdp(&clientAddress, endpoint->qport);
    Logger::getInstance()->gotControlOverPlayer();

    if (known && known->endpointType == CommEndpointTypes::WatcherEndpoint) {
        if (endpoint->getTcpSocket())
            DebugLogInput(LogType::Error, "ERROR!!!!!! overwriting tcp socket for (id:%llx)\n", idOf(player));
        endpoint->copyFromOther(known);
        SceneGraph::getInstance()->players().qportChanged(player);
        endpoint->endpointType = CommEndpointTypes::ClientEndpoint;
        network->watcherManager->removeWatcher(known);
        // Bound now: an older wait for a client must not bind it a second time.
        wantToDeleteEndpoint(endpoint);
        return true;
    }
    if (known && known->endpointType == CommEndpointTypes::ClientEndpoint)
        return true;
    waitForClientAfterHandOver(player);
    return true;
}

bool ServerMessageDispatcher::nearServerUserLogin(CommEndpoint* sender, Velmor::Login* message) {
    tcp::socket* socket = sender->getTcpSocket();
    // A login takes over the pool entry it names, with the link that entry holds: one from
    // elsewhere than the map's address of that server would cut a live neighbour off.
    ControllingServer* named = message->has_serverid()
                                   ? ServerRegionHandler::getInstance()->getControllingServer(message->serverid())
                                   : nullptr;
    if (named && socket && !connectedFromMapAddress(*named, socket)) {
        DebugLogInput(LogType::Error, "Server login for server %u not from its address %s ignored\n", named->id,
                      DebugEscape(named->host).c_str());
        return true;
    }
    MessageDispatcher::nearServerUserLogin(sender, message);
    // Bound only when the login was accepted.
    if (ControllingServer* entry = ServerRegionHandler::getInstance()->getServer(socket))
        learnServerUdpAddress(entry, message->has_port() ? message->port() : entry->port);
    return true;
}

bool ServerMessageDispatcher::dispatchLogout(CommEndpoint* sender, Velmor::Logout* message) {
    if (message->logoutastype() != LogoutType::Watcher || sender->endpointType != CommEndpointTypes::ClientEndpoint)
        return true;
    Player* player = SceneGraph::getInstance()->players().ofEndpoint(sender);
    if (!player)
        return true;
    DebugLogInput(LogType::Info, "Client of player (id:%llx) watches only now, the player has no controller\n",
                  idOf(player));
    CommEndpoint* endpoint = player;
    if (endpoint->temphost.empty()) {
        boost::asio::ip::address peer;
        if (peerAddressOf(endpoint->getTcpSocket(), &peer))
            endpoint->temphost = peer.to_string();
        else if (udp::endpoint* udpAddress = endpoint->getUdpEndpoint())
            endpoint->temphost = udpAddress->address().to_string();
        else
            DebugLogInput(LogType::Error, "FATAL ERROR in finding logout's host (id:%llx)\n", idOf(player));
    }
    // The socket stays open, without a time limit: the client's next Additional login on it,
    // whenever it comes, binds the player again; so the player waits for as long as it is open.
    tcp::socket* socket = endpoint->getTcpSocket();
    endpoint->resetEndpoint(CommEndpointTypes::Unknown);
    waitForClient(player, socket);
    return true;
}

bool ServerMessageDispatcher::dispatchRegionUpdate(CommEndpoint*, Velmor::RegionUpdate* message) {
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    DebugLog(LogType::Info, "Got region update\n");
    registry->resetIsUpdated();

    for (const Velmor::NeighbourHost& host : message->hosts()) {
        ControllingServer* entry = registry->AddServerToPool(host.serverid());
        entry->host = host.host();
        entry->port = host.port();
        entry->isUpdated = true;
        // A newly listed server with a higher id is connected at once, while the frame's connect
        // budget lasts; the periodic check tries the rest.
        registry->testConnectionToNeighbours();
        // A listed server's regions are rebuilt from the regions below.
        removeAllRegions(entry);
        DebugLog(LogType::Info, "Adding/Updating server %d\n", static_cast<int>(entry->id));
    }

    for (const Velmor::Region& r : message->regions()) {
        ControllingServer* server = registry->getControllingServer(r.hostid());
        if (!server) {
            DebugLog(LogType::Error, "Error has not found server to add\n");
            continue;
        }
        Vector3 min;
        Vector3 max;
        ProtobufConversion::position(&min, &r.min());
        ProtobufConversion::position(&max, &r.max());
        Region* existing = registry->getRegion(r.regionid());
        if (!existing) {
            DebugLog(LogType::Info, "Adding region %d (min:%s max:%s) to server %d\n", static_cast<int>(r.regionid()),
                     min.toString().c_str(), max.toString().c_str(), static_cast<int>(server->id));
            server->AddRegion(min, max, r.regionid())->isUpdated = true;
        } else if (existing->parent == server) {
            DebugLog(LogType::Info, "Updating region %d (min:%s max:%s)\n", static_cast<int>(r.regionid()),
                     min.toString().c_str(), max.toString().c_str());
            existing->min = min;
            existing->max = max;
            existing->isUpdated = true;
        } else {
            // Left not updated: removed below, and added under its new server by the next update.
            DebugLog(LogType::Error, "Region has moved server hopefully this should not happin\n");
        }
    }

    for (const Velmor::Region& r : message->regions()) {
        Region* region = registry->getRegion(r.regionid());
        if (!region) {
            DebugPrint("Region %d not found\n", static_cast<int>(r.regionid()));
            continue;
        }
        for (unsigned int neighbour : r.neighbourids())
            region->AddNeighbour(neighbour);
    }

    for (ControllingServer* server : registry->getNotUpdatedServers()) {
        if (server == registry->myself) {
            DebugLog(LogType::Error, "Trying to remove our selfs.. NOT GOOD!!!!!\n");
            continue;
        }
        DebugLog(LogType::Info, "Removing server %d\n", static_cast<int>(server->id));
        removeAllRegions(server);
    }

    for (ControllingServer& server : registry->serverList) {
        if (server.regionList.empty())
            continue;
        for (Region* region : server.regionsNotUpdated()) {
            const unsigned int id = region->id;
            DebugLog(LogType::Info, "Removing region %d\n", static_cast<int>(id));
            server.RemoveRegion(id);
        }
    }
    return true;
}

void ServerMessageDispatcher::learnServerUdpAddress(ControllingServer* entry, const std::string& portText) {
    char* end = nullptr;
    const unsigned long port = portText.empty() ? 0 : std::strtoul(portText.c_str(), &end, 10);
    boost::asio::ip::address peer;
    const bool peerKnown = peerAddressOf(entry->getTcpSocket(), &peer);
    if (port == 0 || port > 65535 || *end != '\0' || !peerKnown) {
        DebugLogInput(LogType::Error, "No UDP address for server %u (port \"%s\")\n", static_cast<unsigned>(entry->id),
                      DebugEscape(portText).c_str());
        return;
    }
    udp::endpoint address(peer, static_cast<unsigned short>(port));
    entry->setUdpEndpoint(address);
    DebugLogInput(LogType::Info, "UDP address of server %u is %s:%lu\n", static_cast<unsigned>(entry->id),
                  peer.to_string().c_str(), port);
}
