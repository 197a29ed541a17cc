#include "Common/Network/Network.h"

Network* Network::getInstance() {
    static Network* instance = nullptr;
    if (!instance)
        instance = new Network();
    return instance;
}

Network::Network() : ownId(0), myQport(0) {}
