#include "Common/Network/MessageSender.h"

#include <cstdint>

#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Network.h"

std::string* MessageSender::allocateNewBuffer(bool useQport) {
    std::string* packet = new std::string();
    if (useQport) {
        const uint32_t qport = Network::getInstance()->myQport;
        for (int shift = 0; shift < 32; shift += 8)
            packet->push_back(static_cast<char>((qport >> shift) & 0xFF));
    }
    return packet;
}

void MessageSender::appendMsgToQueue(std::string msg, bufferList& list, unsigned int maxPacketLength, bool useQport) {
    if (msg.empty())
        return;
    if (list.empty())
        list.push_back(allocateNewBuffer(useQport));
    std::string* last = list.back();
    if (last->size() + msg.size() + 1 > maxPacketLength) {
        last = allocateNewBuffer(useQport);
        list.push_back(last);
    }
    last->append(msg);
}

bool MessageSender::useQport(CommEndpoint* recipient) {
    return recipient->endpointType != CommEndpointTypes::ClientEndpoint;
}
