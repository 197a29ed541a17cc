#pragma once

#include <list>
#include <string>

class CommEndpoint;

// The packets of one destination (or of a broadcast), in queueing order. A packet is a
// heap-allocated byte string: an optional qport, then whole frames. The list owns its packets.
typedef std::list<std::string*> bufferList;

// Holds what the server is about to send and packs each frame into packets as it is queued.
// Main thread only.
class MessageSender {
public:
    // Every packing call uses 1400. A packet that holds more than one frame stays at 1399
    // bytes or less; a single longer frame travels alone in a longer packet.
    enum { MAX_UDP_PACKET_SIZE = 1400, MAX_TCP_PACKET_SIZE = 1400 };

    MessageSender(const MessageSender&) = delete;
    MessageSender& operator=(const MessageSender&) = delete;

    // A new packet, owned by the list it is put into: empty, or holding this server's
    // qport (Network::myQport, set once at start-up), least significant byte first.
    static std::string* allocateNewBuffer(bool useQport);

    // Appends the frame `msg` to the last packet of `list` while that packet, the frame and one
    // byte stay within `maxPacketLength`, else to a new packet. An empty `msg` (a message the
    // writer refused to frame) adds nothing.
    static void appendMsgToQueue(std::string msg, bufferList& list, unsigned int maxPacketLength, bool useQport);

    // Whether a UDP packet queued for `recipient` alone starts with this server's qport:
    // for every endpoint type but ClientEndpoint. Broadcasts and TCP packets never do.
    static bool useQport(CommEndpoint* recipient);
};
