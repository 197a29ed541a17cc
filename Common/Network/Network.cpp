#include "Common/Network/Network.h"

Network* Network::getInstance() {
    static Network* instance = nullptr;
    if (!instance)
        instance = new Network();
    return instance;
}

Network::Network()
    : udp_socket(nullptr), coordinator(CommEndpointTypes::CoordinatorEndpoint), myQport(0xFFFFFFFFu), ownId(0),
      networkSender(nullptr), clientMessageSender(nullptr), serverMessageSender(nullptr), packetReceiver(nullptr),
      messageDispatcher(nullptr), watcherManager(nullptr), ios(nullptr) {}
