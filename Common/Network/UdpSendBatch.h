#pragma once

// The datagram batch of a send queue: main thread only, and internal to the send queue (only
// MessageSender's own files include it). Each datagram in it owns its packet or one share of a
// broadcast packet until sendDatagrams hands that on to its completion or releases it.

#include <sys/socket.h>
#include <sys/uio.h>

#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

class BroadcastBuffer;
class CommEndpoint;

// The datagrams of one part of a send step, started together: handed to the kernel in batches
// on the main thread, the way an asynchronous send is first tried on the thread that starts it,
// and completed on the I/O thread by one posted handler for the lot, instead of one wake-up
// and one operation allocated here and freed there per datagram. Main thread only; reused
// from step to step, so its arrays are allocated once.
struct UdpSendBatch {
    struct Datagram {
        const std::string* bytes;
        boost::asio::ip::udp::endpoint to;
        std::string* packet;     // owned until completed, or null for a broadcast share
        BroadcastBuffer* share;  // one share of a broadcast packet, or null
        CommEndpoint* recipient; // for the diagnostics of a send that cannot be started
    };
    std::vector<Datagram> datagrams;
    std::vector<mmsghdr> headers;
    std::vector<iovec> pieces;
};
