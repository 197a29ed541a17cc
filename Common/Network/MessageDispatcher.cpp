#include "Common/Network/MessageDispatcher.h"

#include <algorithm>
#include <string>
#include <vector>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Limits.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Common/Region/ControllingServer.h"
#include "Common/Scene/SceneGraph.h"
#include "Common/Scene/SceneObjectFactory.h"
#include "Server/ServerRegionHandler.h"

namespace {

// The message of an event as the class its type byte names, or null when the event holds
// none or another class; the reader pairs them, this only keeps a mismatch from being cast.
template <class M> M* messageAs(google::protobuf::Message* message) {
    if (!message || message->GetDescriptor() != M::descriptor())
        return nullptr;
    return static_cast<M*>(message);
}

// The handler's result for the event's message as class M. An event whose message is missing
// or of another class is reported and skipped.
template <class M, class Handler>
bool withMessage(google::protobuf::Message* message, int messageType, Handler handler) {
    if (M* m = messageAs<M>(message))
        return handler(m);
    DebugLogInput(LogType::Error, "Event of message type %d does not carry that message, skipped\n", messageType);
    return true;
}

// Only these kinds are networked objects that take samples.
bool isNetworked(Transform* obj) {
    return obj->type == SceneGraphType::Player || obj->type == SceneGraphType::Projectile ||
           obj->type == SceneGraphType::MotherShip;
}

} // namespace

MessageDispatcher::MessageDispatcher(boost::asio::io_context* ios_) : lastQPort(1), ios(ios_) {}

MessageDispatcher::~MessageDispatcher() {}

bool MessageDispatcher::acceptsFrom(int /*messageType*/, CommEndpoint* /*sender*/) {
    return true;
}

bool MessageDispatcher::dispatchEvent(networkEventPtr netEvent) {
    // What this event makes the server print counts against its peer's allowance.
    boost::asio::ip::udp::endpoint* source = netEvent->getUdpEndpoint();
    const DebugInputSource peer(netEvent->getTcpSocket(), source ? source->data() : nullptr);
    CommEndpoint* sender = lookUpCommEndpoint(netEvent);
    // Stands in for a sender that matches no endpoint; ends with this dispatch, and with it
    // nothing but what a handler copied out of it.
    CommEndpoint temporary(CommEndpointTypes::Unknown);
    if (!sender) {
        sender = &temporary;
        if (boost::asio::ip::udp::endpoint* udpEndpoint = netEvent->getUdpEndpoint()) {
            temporary.setUdpEndpoint(*udpEndpoint);
            temporary.qport = netEvent->qport;
        }
        if (boost::asio::ip::tcp::socket* tcpSocket = netEvent->getTcpSocket())
            temporary.setTcpSocket(tcpSocket);
    }
    if (netEvent->eventType == EventTypes::Message && !acceptsFrom(netEvent->messageType, sender)) {
        DebugLogInput(LogType::Error, "Message of type %d from a peer that may not send it dropped\n",
                      netEvent->messageType);
        return true;
    }
    updateUdpEndpoint(sender, netEvent);

    switch (netEvent->eventType) {
    case EventTypes::NewConnection:
        return dispatchNewConnection(sender);
    case EventTypes::ClosedConnection:
        admission_.closed(netEvent->getTcpSocket());
        graceStarts(netEvent->getTcpSocket());
        return dispatchClosedConnection(sender);
    case EventTypes::Message:
        break;
    default:
        return true;
    }

    // A datagram speaks for the connection of the endpoint it was matched to.
    admission_.heardFrom(netEvent->getTcpSocket() ? netEvent->getTcpSocket() : sender->getTcpSocket());

    google::protobuf::Message* message = netEvent->message;
    const int type = netEvent->messageType;
    switch (type) {
    case MessageTypes::Logout:
        return withMessage<Velmor::Logout>(message, type, [&](Velmor::Logout* m) { return dispatchLogout(sender, m); });
    case MessageTypes::ObjectInfo:
        return withMessage<Velmor::ObjectInfo>(message, type,
                                               [&](Velmor::ObjectInfo* m) { return dispatchObjectInfo(sender, m); });
    case MessageTypes::ObjectUpdate:
        return withMessage<Velmor::ObjectUpdate>(
            message, type, [&](Velmor::ObjectUpdate* m) { return dispatchObjectUpdate(sender, m); });
    case MessageTypes::ObjectDestroy:
        return withMessage<Velmor::ObjectDestroy>(
            message, type, [&](Velmor::ObjectDestroy* m) { return dispatchObjectDestroy(sender, m); });
    case MessageTypes::ClientUpdate:
        return withMessage<Velmor::ClientUpdate>(
            message, type, [&](Velmor::ClientUpdate* m) { return dispatchClientUpdate(sender, m, netEvent->qport); });
    case MessageTypes::Welcome:
        return withMessage<Velmor::Welcome>(message, type,
                                            [&](Velmor::Welcome* m) { return dispatchWelcome(sender, m); });
    case MessageTypes::Login:
        return withMessage<Velmor::Login>(message, type,
                                          [&](Velmor::Login* m) { return dispatchClientLogin(sender, m); });
    case MessageTypes::ServerWelcome:
        return withMessage<Velmor::ServerWelcome>(
            message, type, [&](Velmor::ServerWelcome* m) { return dispatchServerWelcome(sender, m); });
    case MessageTypes::ConnectToNearBy:
        return withMessage<Velmor::ConnectToNearBy>(
            message, type, [&](Velmor::ConnectToNearBy* m) { return dispatchConnectToNearBy(sender, m); });
    case MessageTypes::TransferControl:
        return withMessage<Velmor::TransferControl>(
            message, type, [&](Velmor::TransferControl* m) { return dispatchTransferControl(sender, m); });
    case MessageTypes::CoordinatorWelcome:
        return withMessage<Velmor::CoordinatorWelcome>(
            message, type, [&](Velmor::CoordinatorWelcome* m) { return dispatchCoordinatorWelcome(sender, m); });
    case MessageTypes::TransferPlayerTo:
        return withMessage<Velmor::TransferPlayerTo>(
            message, type, [&](Velmor::TransferPlayerTo* m) { return dispatchTransferPlayerTo(sender, m); });
    case MessageTypes::RegionUpdate:
        return withMessage<Velmor::RegionUpdate>(
            message, type, [&](Velmor::RegionUpdate* m) { return dispatchRegionUpdate(sender, m); });
    case MessageTypes::ServerStatus:
        return withMessage<Velmor::ServerStatus>(
            message, type, [&](Velmor::ServerStatus* m) { return dispatchServerStatus(sender, m); });
    default:
        // Ping and Pong over TCP, and any other type: ignored.
        return true;
    }
}

CommEndpoint* MessageDispatcher::lookUpCommEndpoint(networkEventPtr netEvent) {
    if (boost::asio::ip::udp::endpoint* udpEndpoint = netEvent->getUdpEndpoint())
        if (CommEndpoint* found = lookUpCommEndpointUdp(udpEndpoint, netEvent->qport))
            return found;
    if (boost::asio::ip::tcp::socket* tcpSocket = netEvent->getTcpSocket())
        return lookUpCommEndpointTcp(tcpSocket);
    return nullptr;
}

CommEndpoint* MessageDispatcher::lookUpCommEndpointUdp(boost::asio::ip::udp::endpoint*, unsigned int) {
    return nullptr;
}

CommEndpoint* MessageDispatcher::lookUpCommEndpointTcp(boost::asio::ip::tcp::socket*) {
    return nullptr;
}

bool MessageDispatcher::dispatchLogout() {
    return true;
}

bool MessageDispatcher::dispatchNewConnection(CommEndpoint* sender) {
    boost::asio::ip::tcp::socket* socket = sender->getTcpSocket();
    if (!socket)
        return true;
    // Kept even when it broke meanwhile: its close forgets it.
    const boost::system::error_code ec = admission_.awaitLogin(socket);
    // The receiver's guard reports a connection that broke meanwhile.
    if (ec)
        throw boost::system::system_error(ec);
    DebugLogInput(LogType::Info, "New connection from %s\n", admission_.connectionsWithoutLogin().back().host.c_str());
    return true;
}

void MessageDispatcher::waitForClient(Player* p, boost::asio::ip::tcp::socket* heldOpen) {
    wantToDeleteEndpoint(p);
    playersWhoLackAClient.push_back(p);
    waits_[p] = Wait{nullptr, Timer::getMonotonicTime(), false};
    if (heldOpen) {
        // One player per connection waits without a time limit: only a login on it comes
        // between two logouts on it, and that started the earlier one's grace already.
        graceStarts(heldOpen);
        waits_[p].heldOpen = heldOpen;
        waitingOn_[heldOpen] = p;
    }
}

void MessageDispatcher::waitForClientAfterHandOver(Player* p) {
    waitForClient(p);
    waits_[p].handedOver = true;
}

void MessageDispatcher::stopWaiting(std::list<Player*>::iterator it) {
    auto wait = waits_.find(*it);
    if (wait != waits_.end()) {
        if (wait->second.heldOpen)
            waitingOn_.erase(wait->second.heldOpen);
        waits_.erase(wait);
    }
    playersWhoLackAClient.erase(it);
}

void MessageDispatcher::graceStarts(boost::asio::ip::tcp::socket* socket) {
    if (!socket)
        return;
    auto waiting = waitingOn_.find(socket);
    if (waiting == waitingOn_.end())
        return;
    auto wait = waits_.find(waiting->second);
    if (wait != waits_.end()) {
        wait->second.heldOpen = nullptr;
        wait->second.graceSince = Timer::getMonotonicTime();
    }
    waitingOn_.erase(waiting);
}

void MessageDispatcher::removePlayersWithoutClient() {
    const uint64_t now = Timer::getMonotonicTime();
    for (std::list<Player*>::iterator it = playersWhoLackAClient.begin(); it != playersWhoLackAClient.end();) {
        Player* player = *it;
        // A player put on the list by other means waits from now.
        const Wait& wait = waits_.emplace(player, Wait{nullptr, now, false}).first->second;
        if (wait.heldOpen || now - wait.graceSince < CLIENT_GRACE_MS) {
            ++it;
            continue;
        }
        stopWaiting(it++);
        DebugLogInput(LogType::Info, "Player (id:%llx) removed: no client logged in for it within %d seconds\n",
                      idOf(player), CLIENT_GRACE_MS / 1000);
        if (Sender* sender = Network::getInstance()->networkSender)
            sender->broadcastObjectDestroy(player);
        SceneGraph::getInstance()->addToRemoveList(player);
    }
}

bool MessageDispatcher::dispatchClosedConnection(CommEndpoint*) {
    return true;
}

bool MessageDispatcher::dispatchWelcome(CommEndpoint*, Velmor::Welcome*) {
    return true;
}

bool MessageDispatcher::dispatchObjectInfo(CommEndpoint*, Velmor::ObjectInfo* message) {
    Vector3 position;
    Quaternion orientation;
    ProtobufConversion::position(&position, &message->position());
    ProtobufConversion::orientation(&orientation, &message->orientation());

    const uint64_t id = message->id();
    if (id == 0)
        DebugLog(LogType::Error, "Error id in object info is 0 !!!!!!!!!!!!!!!!!######\n");

    Transform* obj = SceneGraph::getInstance()->getOBjectById(static_cast<int64_t>(id));
    if (obj) {
        if (obj->type == SceneGraphType::Player && message->has_playerdata())
            static_cast<Player*>(obj)->health = message->playerdata().health();
        return true;
    }
    // The factory reads id 0 as "allocate one of ours": a replica must never get one.
    if (id == 0)
        return true;

    SceneObjectFactory* factory = SceneObjectFactory::getInstance();
    switch (message->objecttype()) {
    case SceneGraphType::Player: {
        if (!message->has_playerdata())
            break;
        const Velmor::PlayerData& data = message->playerdata();
        if (!data.has_blueteam() || !data.has_name())
            break;
        Player* player = factory->createAndAttachPlayer(data.name(), position, orientation, data.health(),
                                                        data.blueteam() ? Team::Blue : Team::Red, id);
        player->newUpdateMessage(message->timestamp(), position, orientation, true);
        player->setIsReplica(true);
        // The player's construction gives it full health.
        player->health = data.health();
        break;
    }
    case SceneGraphType::Projectile: {
        if (!message->has_projectiledata())
            break;
        const Velmor::ProjectileData& data = message->projectiledata();
        Vector3 velocity;
        ProtobufConversion::position(&velocity, &data.velocity());
        const uint64_t shooter = data.has_shooterid() ? data.shooterid() : 0;
        Projectile* projectile = factory->createAndAttachProjectile(
            position, orientation, velocity, data.blueteam() ? Team::Blue : Team::Red, id, shooter);
        projectile->startEstimateFromOwnPose(message->timestamp());
        projectile->setIsReplica(true);
        break;
    }
    default:
        break;
    }
    return true;
}

bool MessageDispatcher::dispatchObjectUpdate(CommEndpoint*, Velmor::ObjectUpdate* message) {
    Transform* obj = SceneGraph::getInstance()->getOBjectById(static_cast<int64_t>(message->id()));
    if (!obj || !isNetworked(obj))
        return true;
    Quaternion orientation;
    Vector3 position;
    if (message->has_orientation())
        ProtobufConversion::orientation(&orientation, &message->orientation());
    if (message->has_position())
        ProtobufConversion::position(&position, &message->position());
    static_cast<NetworkObject*>(obj)->newUpdateMessage(message->timestamp(), position, orientation, false);
    if (message->has_latency_serial_num() && obj->id == Network::getInstance()->ownId)
        Logger::getInstance()->received_latency_serial(message->latency_serial_num());
    return true;
}

bool MessageDispatcher::dispatchObjectDestroy(CommEndpoint*, Velmor::ObjectDestroy* message) {
    if (Transform* obj = SceneGraph::getInstance()->getOBjectById(static_cast<int64_t>(message->id())))
        SceneGraph::getInstance()->addToRemoveList(obj);
    return true;
}

bool MessageDispatcher::dispatchClientUpdate(CommEndpoint* sender, Velmor::ClientUpdate*, unsigned int) {
    if (sender->endpointType != CommEndpointTypes::ClientEndpoint)
        return true;
    if (Player* player = SceneGraph::getInstance()->players().ofEndpoint(sender))
        player->timeSinceLastHeardFromPlayer = 0;
    return true;
}

bool MessageDispatcher::dispatchClientLogin(CommEndpoint* sender, Velmor::Login* message) {
    // Every login binds a TCP connection that nothing holds yet. One without a connection (a
    // datagram) would leave an entity that no closed connection ever removes, and one on a
    // bound connection would give its socket a second holder.
    if (!sender->getTcpSocket()) {
        DebugLogInput(LogType::Error, "Login of type %u without a TCP connection ignored\n", message->logintype());
        return true;
    }
    if (sender->endpointType != CommEndpointTypes::Unknown) {
        DebugLogInput(LogType::Error, "Login of type %u on a connection that is already logged in ignored\n",
                      message->logintype());
        return true;
    }
    boost::asio::ip::tcp::socket* socket = sender->getTcpSocket();
    // Logged in once the connection belongs to a player, a watcher or a server; also when a
    // handler failed after binding it. A player left waiting on it by a logout, and not bound
    // by this login, has lost its client's connection.
    const auto forgetOnceLoggedIn = [this, socket] {
        if (lookUpCommEndpointTcp(socket)) {
            admission_.loggedIn(socket);
            graceStarts(socket);
        }
    };
    bool result = true;
    try {
        switch (message->logintype()) {
        case LoginType::First:
            result = newUserLogin(sender, message);
            break;
        case LoginType::Additional:
            result = additionalUserLogin(sender, message);
            break;
        case LoginType::NearServer:
            result = nearServerUserLogin(sender, message);
            break;
        default:
            break;
        }
    } catch (...) {
        forgetOnceLoggedIn();
        throw;
    }
    forgetOnceLoggedIn();
    return result;
}

bool MessageDispatcher::dispatchServerWelcome(CommEndpoint*, Velmor::ServerWelcome*) {
    return true;
}

bool MessageDispatcher::dispatchConnectToNearBy(CommEndpoint*, Velmor::ConnectToNearBy*) {
    return true;
}

bool MessageDispatcher::dispatchCoordinatorWelcome(CommEndpoint*, Velmor::CoordinatorWelcome*) {
    return true;
}

bool MessageDispatcher::dispatchTransferPlayerTo(CommEndpoint*, Velmor::TransferPlayerTo*) {
    return true;
}

bool MessageDispatcher::dispatchTransferControl(CommEndpoint*, Velmor::TransferControl*) {
    return true;
}

bool MessageDispatcher::newUserLogin(CommEndpoint* sender, Velmor::Login* message) {
    const uint32_t qport = getNextQport();
    if (qport == 0) {
        DebugLogInput(LogType::Error, "Login refused: every qport of this server is in use\n");
        if (boost::asio::ip::tcp::socket* socket = sender->getTcpSocket())
            Network::getInstance()->closeConnection(socket);
        return true;
    }
    const std::string name = message->has_name() ? message->name() : "Player";
    Player* player =
        SceneObjectFactory::getInstance()->createAndAttachPlayer(name, Vector3(), Quaternion(), 100.0f, Team::None, 0);
    CommEndpoint* endpoint = player;
    endpoint->copyFromOther(sender);
    endpoint->endpointType = CommEndpointTypes::ClientEndpoint;
    endpoint->qport = qport;
    SceneGraph::getInstance()->players().qportChanged(player);

    player->respawn();
    player->justDied();
    DebugLogInput(LogType::ReceivedMessage, "Player connected qport:%x (id:%llx)\n", endpoint->qport, idOf(player));

    Sender* sender_ = Network::getInstance()->networkSender;
    sender_->sendWelcome(player);
    sender_->sendPlayerUpdateAboutExistingPlayers(endpoint);
    sender_->broadcastCreateObject(player);
    return true;
}

bool MessageDispatcher::additionalUserLogin(CommEndpoint* sender, Velmor::Login* message) {
    uint32_t qport = message->has_qport() ? message->qport() : 0;
    if (qport == 0)
        DebugLogInput(LogType::Error, "argh watcher did not send qport\n");

    // Read once, at the first waiting player with this qport; throws when the connection
    // broke meanwhile, before anything has changed.
    bool peerRead = false;
    std::string peerHost;
    for (std::list<Player*>::iterator it = playersWhoLackAClient.begin(); it != playersWhoLackAClient.end(); ++it) {
        Player* player = *it;
        CommEndpoint* endpoint = player;
        if (endpoint->qport != qport)
            continue;
        if (!peerRead) {
            peerHost = sender->getTcpSocket()->remote_endpoint().address().to_string();
            peerRead = true;
        }
        if (peerHost != endpoint->temphost)
            continue;
        endpoint->copyFromOther(sender);
        endpoint->qport = qport;
        SceneGraph::getInstance()->players().qportChanged(player);
        endpoint->endpointType = CommEndpointTypes::ClientEndpoint;
        // A client that logged out as a watcher and in again does so at will: bounded as input.
        const auto wait = waits_.find(player);
        if ((wait != waits_.end() && wait->second.handedOver) ||
            DebugInputAllowed("Yay we found a client for a player"))
            DebugPrint("Yay we found a client for a player (id:%llx) (qport: %x %s)\n", idOf(player), qport,
                       DebugEscape(endpoint->temphost).c_str());
        stopWaiting(it);
        Network::getInstance()->networkSender->sendPlayerUpdateAboutExistingPlayers(endpoint);
        return true;
    }

    DebugLogInput(LogType::Info, "Adding Watcher (qport:%x )\n", qport);
    CommEndpoint* watcher = sender->getEndpointCopy();
    watcher->endpointType = CommEndpointTypes::WatcherEndpoint;
    watcher->qport = qport;
    Network::getInstance()->watcherManager->addNewWatcher(watcher);
    Network::getInstance()->networkSender->sendPlayerUpdateAboutExistingPlayers(watcher);
    return true;
}

bool MessageDispatcher::nearServerUserLogin(CommEndpoint* sender, Velmor::Login* message) {
    if (!message->has_serverid()) {
        DebugLogInput(LogType::Error, "Server login without a server id ignored\n");
        return true;
    }
    const unsigned int serverId = message->serverid();
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    // Binding this server's own entry to a peer would make it a neighbour of itself.
    if (registry->myself && registry->myself->id == serverId) {
        DebugLogInput(LogType::Error, "Server login with this server's own id %u ignored\n", serverId);
        return true;
    }
    DebugLogInput(LogType::Info, "Server %u has connected to us\n", serverId);

    ControllingServer* entry = registry->getControllingServer(serverId);
    if (!entry)
        entry = registry->AddServerToPool(serverId);
    // A server's newest connection is its connection. The one it replaces (broken without a
    // close seen yet, or a peer's login under the same id) would otherwise stay open with
    // nothing holding it; it ends with its ClosedConnection event.
    if (boost::asio::ip::tcp::socket* previous = entry->getTcpSocket()) {
        DebugLogInput(LogType::Info, "Server %u logged in again, its earlier connection closed\n", serverId);
        Network::getInstance()->closeConnection(previous);
    }
    CommEndpoint* endpoint = entry;
    endpoint->copyFromOther(sender);
    endpoint->endpointType = CommEndpointTypes::ServerEndpoint;
    endpoint->qport = message->has_qport() ? message->qport() : 0;

    Network::getInstance()->networkSender->sendServerWelcome(Network::getInstance()->myQport, endpoint);
    return true;
}

bool MessageDispatcher::dispatchLogout(CommEndpoint*, Velmor::Logout*) {
    return true;
}

bool MessageDispatcher::dispatchRegionUpdate(CommEndpoint*, Velmor::RegionUpdate*) {
    return true;
}

bool MessageDispatcher::dispatchServerStatus(CommEndpoint*, Velmor::ServerStatus*) {
    return true;
}

void MessageDispatcher::updateUdpEndpoint(CommEndpoint* commEndpoint, networkEventPtr netEvent) {
    if (boost::asio::ip::udp::endpoint* udpEndpoint = netEvent->getUdpEndpoint())
        commEndpoint->setUdpEndpoint(*udpEndpoint);
}

uint32_t MessageDispatcher::getNextQport() {
    ControllingServer* myself = ServerRegionHandler::getInstance()->myself;
    const uint32_t serverId = myself ? myself->id : 0;
    // Every qport a datagram could be matched by: the scene's players (controlled, waiting or
    // replicas, whose clients may watch here), the watchers and this server's own, each found
    // through the indexes by qport that the sender lookups use.
    Network* network = Network::getInstance();
    SceneGraph* scene = SceneGraph::getInstance();
    const auto inUse = [network, scene](uint32_t qport) {
        if (qport == network->myQport || (network->watcherManager && network->watcherManager->holdsQport(qport)))
            return true;
        if (const std::vector<CommEndpoint*>* players = scene->players().withQport(qport))
            return !players->empty();
        TransformList* players = scene->getListOfType(SceneGraphType::Player);
        return players && std::any_of(players->begin(), players->end(),
                                      [qport](Transform* t) { return static_cast<Player*>(t)->qport == qport; });
    };
    for (unsigned int tried = 0; tried <= 0xFFFF; ++tried) {
        const uint32_t qport = (serverId << 16) | lastQPort;
        ++lastQPort;
        if (qport != 0 && !inUse(qport))
            return qport;
    }
    return 0;
}

void MessageDispatcher::wantToDeleteEndpoint(CommEndpoint* ep) {
    for (std::list<Player*>::iterator it = playersWhoLackAClient.begin(); it != playersWhoLackAClient.end(); ++it) {
        if (static_cast<CommEndpoint*>(*it) == ep) {
            stopWaiting(it);
            return;
        }
    }
}
