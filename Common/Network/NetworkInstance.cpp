// The networking singleton's instance, apart from its operations: every diagnostic line
// reads its ownId, so the wire library holds the instance, and the peers and the lower
// layers' tests link without the networking core.
#include "Common/Network/Network.h"

Network* Network::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static Network* instance = new Network();
    return instance;
}

Network::Network()
    : udp_socket(nullptr), udpReceiveBufferGranted(0), udpDatagramsWaiting(0),
      coordinator(CommEndpointTypes::CoordinatorEndpoint), myQport(0xFFFFFFFFu), ownId(0), networkSender(nullptr),
      clientMessageSender(nullptr), serverMessageSender(nullptr), packetReceiver(nullptr), messageDispatcher(nullptr),
      watcherManager(nullptr), ios(nullptr) {}
