#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Common/Math/Vector3.h"
#include "Common/Network/MessageClasses.h"

class CommEndpoint;
class MessageSender;
class Player;
class Transform;

// Composes every message the server sends and hands it to one of the two send queues:
// clientSender (clients, watchers, every broadcast) or serverSender (region servers and
// the coordinator). Keeps no state of its own between calls. Main thread only.
class Sender {
public:
    // Neither queue is owned: the networking singleton owns both.
    Sender(MessageSender* clientSender, MessageSender* serverSender);
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // The server queue for ServerEndpoint and CoordinatorEndpoint, else the client queue;
    // an Unknown endpoint is reported first.
    MessageSender* getCorrectSender(CommEndpoint* ep);

    // The frame's send step: broadcasts to every player and watcher, then the messages for
    // servers and the coordinator, then those for clients and watchers.
    void sendMessages();

    // Drops everything still queued for an endpoint that is about to go away.
    void wantToDeleteEndpoint(CommEndpoint* endpoint);

    void sendServerLogin(uint32_t myServerId, CommEndpoint* receiver);
    void sendServerWelcome(unsigned int qport, CommEndpoint* receiver);
    void sendWelcome(Player* p);
    // Every player of the scene, this one and the replicas included, in scene order.
    void sendPlayerUpdateAboutExistingPlayers(CommEndpoint* p);
    void sendCreateObject(Transform* obj, CommEndpoint* receiver);
    void broadcastCreateObject(Transform* obj);
    void sendUpdateObject(Transform* obj, CommEndpoint* receiver);
    void broadcastUpdateObject(Transform* obj);
    // Whether the last send step dropped the broadcast of obj's state for every recipient.
    bool broadcastUpdateDropped(Transform* obj) const;
    void sendObjectDestroy(Transform* obj, CommEndpoint* receiver);
    // By UDP for a projectile, by TCP for anything else.
    void broadcastObjectDestroy(Transform* obj);
    // Throws the socket library's error, queueing nothing, when a player's connection has
    // no readable IPv4 peer.
    void sendTransferControl(Transform* obj, CommEndpoint* receiver, bool shouldSendObjectInfo);
    void sendConnectToAsWatcher(std::string host, std::string port, Vector3 min, Vector3 max, CommEndpoint* receiver);
    void sendChangeActiveRegionTo(std::string host, std::string port, Vector3 min, Vector3 max, CommEndpoint* receiver);
    // `two` and `three` must hold at least 8 and 27 counts; read only when overloaded and
    // no region map is given.
    void sendServerStatus(unsigned int cpuLoad, bool isOverLoaded, std::vector<unsigned int>* two,
                          std::vector<unsigned int>* three, std::map<unsigned int, unsigned int>* infoAboutExisting,
                          CommEndpoint* receiver);
    // Sends nothing: a kill is not reported to anyone.
    void sendIWasKilled(Player* deadPlayer, CommEndpoint* receiver);

    // The full description of a player or projectile; any other kind keeps the common fields.
    void fillInObjectInfo(Velmor::ObjectInfo* info, Transform* obj);

    MessageSender* clientSender;
    MessageSender* serverSender;
};
