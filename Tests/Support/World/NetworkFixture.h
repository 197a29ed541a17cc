#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Common/GameObjects/Player.h"
#include "Common/Network/MessageDispatcher.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Region/ControllingServer.h"
#include "Server/ServerRegionHandler.h"
#include "Support/World/QueuedFrames.h"
#include "Support/World/SceneFixture.h"
#include "Support/Wire/TcpPair.h"

// The networking parts the composer, the dispatcher and the watcher registry reach through
// the singleton, built here without sockets of their own: two send queues, the Sender, the
// watcher registry and a base dispatcher. The singleton's fields are put back afterwards,
// the scene and the registry emptied, and every socket the test handed out freed.
class NetworkFixture : public SceneFixture {
protected:
    void SetUp() override {
        SceneFixture::SetUp();
        ServerRegionHandler::getInstance()->clearForTesting();
        Network* net = Network::getInstance();
        saved.networkSender = net->networkSender;
        saved.clientMessageSender = net->clientMessageSender;
        saved.serverMessageSender = net->serverMessageSender;
        saved.messageDispatcher = net->messageDispatcher;
        saved.watcherManager = net->watcherManager;
        saved.myQport = net->myQport;
        saved.port = net->port;

        clientQueue.reset(new MessageSender(&pair.io));
        serverQueue.reset(new MessageSender(&pair.io));
        sender.reset(new Sender(clientQueue.get(), serverQueue.get()));
        watchers.reset(new WatcherManager());
        dispatcher.reset(makeDispatcher());
        net->networkSender = sender.get();
        net->clientMessageSender = clientQueue.get();
        net->serverMessageSender = serverQueue.get();
        net->messageDispatcher = dispatcher.get();
        net->watcherManager = watchers.get();
        net->myQport = 0x30001;
        net->port = "21042";
    }

    void TearDown() override {
        if (TransformList* players = scene()->getListOfType(SceneGraphType::Player))
            for (Transform* t : *players)
                static_cast<Player*>(t)->deleteTcpSocket();
        for (CommEndpoint* w : watchers->watchers)
            w->deleteTcpSocket();
        for (ControllingServer& s : ServerRegionHandler::getInstance()->serverList)
            s.deleteTcpSocket();
        Network::getInstance()->coordinator.deleteTcpSocket();
        SceneFixture::TearDown();
        ServerRegionHandler::getInstance()->clearForTesting();

        Network* net = Network::getInstance();
        net->networkSender = saved.networkSender;
        net->clientMessageSender = saved.clientMessageSender;
        net->serverMessageSender = saved.serverMessageSender;
        net->messageDispatcher = saved.messageDispatcher;
        net->watcherManager = saved.watcherManager;
        net->myQport = saved.myQport;
        net->port = saved.port;
        dispatcher.reset();
        watchers.reset();
        sender.reset();
        clientQueue.reset();
        serverQueue.reset();
    }

    // Derived fixtures may test a dispatcher of their own.
    virtual MessageDispatcher* makeDispatcher() { return new MessageDispatcher(&pair.io); }

    // This server's entry, as start-up makes it.
    ControllingServer* becomeServer(unsigned int id) {
        ServerRegionHandler* registry = ServerRegionHandler::getInstance();
        registry->myself = registry->AddServerToPool(id);
        return registry->myself;
    }

    // A player of this server whose client is connected by TCP from 127.0.0.1.
    Player* connectedPlayer(const std::string& name, uint32_t qport) {
        Player* p =
            SceneObjectFactory::getInstance()->createAndAttachPlayer(name, Vector3(), Quaternion(), 100, Team::None, 0);
        p->setTcpSocket(pair.connect());
        p->qport = qport;
        scene()->players().qportChanged(p);
        return p;
    }

    TcpPair pair;
    std::unique_ptr<MessageSender> clientQueue;
    std::unique_ptr<MessageSender> serverQueue;
    std::unique_ptr<Sender> sender;
    std::unique_ptr<WatcherManager> watchers;
    std::unique_ptr<MessageDispatcher> dispatcher;

private:
    struct {
        Sender* networkSender;
        MessageSender* clientMessageSender;
        MessageSender* serverMessageSender;
        MessageDispatcher* messageDispatcher;
        WatcherManager* watcherManager;
        uint32_t myQport;
        std::string port;
    } saved;
};
