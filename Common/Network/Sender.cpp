#include "Common/Network/Sender.h"

#include <algorithm>
#include <cstdint>
#include <list>

#include "Common/Debug/Debug.h"
#include "Common/Engine/Timer.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageTypes.h"
#include "Common/Network/Network.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Protobuf/Object.pb.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Common/Region/ControllingServer.h"
#include "Common/Region/Region.h"
#include "Common/Scene/SceneGraph.h"
#include "Server/ServerRegionHandler.h"

namespace {

// The sub-cell counts of an overloaded server's single region.
const size_t threeCells = 27;
const size_t twoCells = 8;

void fillObjectUpdate(Velmor::ObjectUpdate* update, Transform* obj) {
    update->set_id(obj->id);
    ProtobufConversion::position(update->mutable_position(), &obj->position);
    ProtobufConversion::orientation(update->mutable_orientation(), &obj->orientation);
    if (obj->type == SceneGraphType::Player)
        update->set_latency_serial_num(static_cast<Player*>(obj)->last_latency_serial_number);
}

void fillConnectToNearBy(Velmor::ConnectToNearBy* message, const std::string& host, const std::string& port,
                         const Vector3& min, const Vector3& max, bool isYourNewMaster) {
    message->set_host(host);
    message->set_port(port);
    message->set_isyournewmaster(isYourNewMaster);
    ProtobufConversion::position(message->mutable_min(), &min);
    ProtobufConversion::position(message->mutable_max(), &max);
}

} // namespace

Sender::Sender(MessageSender* clientSender_, MessageSender* serverSender_)
    : clientSender(clientSender_), serverSender(serverSender_) {}

MessageSender* Sender::getCorrectSender(CommEndpoint* ep) {
    switch (ep->endpointType) {
    case CommEndpointTypes::ServerEndpoint:
    case CommEndpointTypes::CoordinatorEndpoint:
        return serverSender;
    case CommEndpointTypes::Unknown:
        DebugLog(LogType::Error, "Error sending to an unknown endpoint type\n");
        return clientSender;
    default:
        return clientSender;
    }
}

void Sender::sendMessages() {
    std::list<CommEndpoint*> recipients;
    if (TransformList* players = SceneGraph::getInstance()->getListOfType(SceneGraphType::Player))
        for (Transform* t : *players)
            recipients.push_back(static_cast<Player*>(t));
    if (WatcherManager* watcherManager = Network::getInstance()->watcherManager)
        recipients.insert(recipients.end(), watcherManager->watchers.begin(), watcherManager->watchers.end());

    clientSender->sendQueuedBroadcastMessages(recipients);
    serverSender->sendQueuedMessages();
    clientSender->sendQueuedMessages();
}

void Sender::wantToDeleteEndpoint(CommEndpoint* endpoint) {
    if (clientSender)
        clientSender->wantToDeleteEndpoint(endpoint);
    if (serverSender)
        serverSender->wantToDeleteEndpoint(endpoint);
}

void Sender::sendServerLogin(uint32_t myServerId, CommEndpoint* receiver) {
    Velmor::Login login;
    login.set_logintype(LoginType::NearServer);
    login.set_serverid(myServerId);
    login.set_qport(Network::getInstance()->myQport);
    login.set_timestamp(Timer::getCurSyncedTime());
    login.set_port(Network::getInstance()->port);
    getCorrectSender(receiver)->queue(login, receiver);
}

void Sender::sendServerWelcome(unsigned int qport, CommEndpoint* receiver) {
    Velmor::ServerWelcome welcome;
    welcome.set_qport(qport);
    getCorrectSender(receiver)->queue(welcome, receiver);
}

void Sender::sendWelcome(Player* p) {
    CommEndpoint* endpoint = p;
    Velmor::Welcome welcome;
    welcome.set_id(p->id);
    welcome.set_qport(endpoint->qport);
    if (endpoint->endpointType != CommEndpointTypes::ClientEndpoint &&
        endpoint->endpointType != CommEndpointTypes::WatcherEndpoint)
        DebugLog(LogType::Error, "Sending welcome to wrong type\n");

    Velmor::PlayerData* data = welcome.mutable_playerdata();
    data->set_blueteam(p->team == Team::Blue);
    data->set_blueteamscore(0);
    data->set_redteamscore(0);
    data->set_health(p->health);
    data->set_name(p->name);
    data->set_score(p->score);

    std::list<Region*> regions = ServerRegionHandler::getInstance()->getRegionsPointIsIn(p->position, 0);
    if (regions.size() == 1) {
        ProtobufConversion::position(welcome.mutable_min(), &regions.front()->min);
        ProtobufConversion::position(welcome.mutable_max(), &regions.front()->max);
    } else {
        // Sent without its required corners all the same: the frame writer reports them.
        DebugLogInput(LogType::Error, "Could not find a region which the players welcome is in\n");
    }
    getCorrectSender(endpoint)->queue(welcome, endpoint);
}

void Sender::sendPlayerUpdateAboutExistingPlayers(CommEndpoint* p) {
    TransformList* players = SceneGraph::getInstance()->getListOfType(SceneGraphType::Player);
    if (!players)
        return;
    for (Transform* t : *players)
        sendCreateObject(t, p);
}

void Sender::fillInObjectInfo(Velmor::ObjectInfo* info, Transform* obj) {
    info->set_id(obj->id);
    info->set_objecttype(static_cast<uint32_t>(obj->type));
    ProtobufConversion::orientation(info->mutable_orientation(), &obj->orientation);
    ProtobufConversion::position(info->mutable_position(), &obj->position);
    info->set_timestamp(Timer::getCurSyncedTime());

    if (obj->type == SceneGraphType::Player) {
        Player* player = static_cast<Player*>(obj);
        Velmor::PlayerData* data = info->mutable_playerdata();
        ProtobufConversion::playerData(data, player);
        data->set_score(player->score);
        data->set_redteamscore(0);
        data->set_blueteamscore(0);
    } else if (obj->type == SceneGraphType::Projectile) {
        Projectile* projectile = static_cast<Projectile*>(obj);
        Velmor::ProjectileData* data = info->mutable_projectiledata();
        ProtobufConversion::position(data->mutable_velocity(), &projectile->velocity);
        data->set_blueteam(projectile->team == Team::Blue);
        data->set_shooterid(projectile->shooterID);
    } else {
        DebugLog(LogType::Error, "Have object which is not player nor projectile\n");
    }
}

void Sender::sendCreateObject(Transform* obj, CommEndpoint* receiver) {
    Velmor::ObjectInfo info;
    fillInObjectInfo(&info, obj);
    getCorrectSender(receiver)->queue(info, receiver);
}

void Sender::broadcastCreateObject(Transform* obj) {
    Velmor::ObjectInfo info;
    fillInObjectInfo(&info, obj);
    clientSender->broadcast(info);
}

void Sender::sendUpdateObject(Transform* obj, CommEndpoint* receiver) {
    Velmor::ObjectUpdate update;
    fillObjectUpdate(&update, obj);
    getCorrectSender(receiver)->queue(update, receiver);
}

void Sender::broadcastUpdateObject(Transform* obj) {
    Velmor::ObjectUpdate update;
    fillObjectUpdate(&update, obj);
    clientSender->broadcast(update);
}

bool Sender::broadcastUpdateDropped(Transform* obj) const {
    return clientSender->broadcastUpdateDropped(obj->id);
}

void Sender::sendObjectDestroy(Transform* obj, CommEndpoint* receiver) {
    Velmor::ObjectDestroy destroy;
    destroy.set_id(obj->id);
    getCorrectSender(receiver)->queue(destroy, receiver);
}

void Sender::broadcastObjectDestroy(Transform* obj) {
    Velmor::ObjectDestroy destroy;
    destroy.set_id(obj->id);
    clientSender->broadcast(destroy, obj->type);
}

void Sender::sendTransferControl(Transform* obj, CommEndpoint* receiver, bool shouldSendObjectInfo) {
    Velmor::TransferControl transfer;
    transfer.set_id(obj->id);
    ProtobufConversion::position(transfer.mutable_data()->mutable_position(), &obj->position);
    ProtobufConversion::position(transfer.mutable_data()->mutable_velocity(), &obj->velocity);

    if (obj->type == SceneGraphType::Player) {
        CommEndpoint* playerEndpoint = static_cast<Player*>(obj);
        Velmor::PlayerConnectInfo* playerInfo = transfer.mutable_playerinfo();
        playerInfo->set_qport(playerEndpoint->qport);
        if (boost::asio::ip::tcp::socket* socket = playerEndpoint->getTcpSocket()) {
            // Throws when the connection is gone or not IPv4; nothing is queued then.
            playerInfo->set_host(socket->remote_endpoint().address().to_v4().to_string());
        } else {
            DebugLogInput(LogType::Error, "Error in finding players host for (id:%llx)\n", idOf(obj));
        }
        if (receiver->endpointType == CommEndpointTypes::ServerEndpoint) {
            ControllingServer* server = ServerRegionHandler::getInstance()->getPoolEntry(receiver);
            DebugPrint("Sending Transfer control of id:%llx to server %d tcpsocket:%llx\n", idOf(obj),
                       server ? static_cast<int>(server->id) : -1,
                       static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(receiver->getTcpSocket())));
        }
    }

    if (shouldSendObjectInfo)
        fillInObjectInfo(transfer.mutable_objectinfo(), obj);
    getCorrectSender(receiver)->queue(transfer, receiver);
}

void Sender::sendConnectToAsWatcher(std::string host, std::string port, Vector3 min, Vector3 max,
                                    CommEndpoint* receiver) {
    Velmor::ConnectToNearBy message;
    fillConnectToNearBy(&message, host, port, min, max, false);
    getCorrectSender(receiver)->queue(message, receiver);
}

void Sender::sendChangeActiveRegionTo(std::string host, std::string port, Vector3 min, Vector3 max,
                                      CommEndpoint* receiver) {
    Velmor::ConnectToNearBy message;
    fillConnectToNearBy(&message, host, port, min, max, true);
    getCorrectSender(receiver)->queue(message, receiver);
}

void Sender::sendServerStatus(unsigned int cpuLoad, bool isOverLoaded, std::vector<unsigned int>* two,
                              std::vector<unsigned int>* three, std::map<unsigned int, unsigned int>* infoAboutExisting,
                              CommEndpoint* receiver) {
    Velmor::ServerStatus status;
    if (!isOverLoaded) {
        status.set_status(Velmor::ServerStatus::Normal);
    } else {
        status.set_status(Velmor::ServerStatus::Overloaded);
        if (infoAboutExisting) {
            for (const std::pair<const unsigned int, unsigned int>& entry : *infoAboutExisting) {
                Velmor::ExistingRegion* region = status.add_existingregionstatus();
                region->set_regionid(entry.first);
                region->set_population(entry.second);
            }
        } else if (three && two) {
            // The caller hands 27 and 8 counts; a shorter array is copied only as far as it
            // goes rather than read past its end.
            Velmor::FutureRegions* future = status.mutable_futureregions();
            for (size_t i = 0; i < std::min(threeCells, three->size()); ++i)
                future->add_threexthreexthree((*three)[i]);
            for (size_t i = 0; i < std::min(twoCells, two->size()); ++i)
                future->add_twoxtwoxtwo((*two)[i]);
        } else {
            DebugLog(LogType::Error, "Missing Information in sending server status\n");
        }
    }
    status.set_cpuload(cpuLoad);
    getCorrectSender(receiver)->queue(status, receiver);
}

void Sender::sendIWasKilled(Player*, CommEndpoint*) {}
