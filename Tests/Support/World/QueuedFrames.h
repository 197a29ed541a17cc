#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageTypes.h"

// One frame read back from a queued packet: its type byte and its encoding. as<M>() decodes
// it without the required-field check, so a message queued with missing fields can still be
// looked at field by field.
struct QueuedFrame {
    int type;
    std::string encoding;

    template <class M> M as() const {
        M message;
        EXPECT_TRUE(message.ParsePartialFromString(encoding)) << "type " << type;
        return message;
    }
};

// What a send queue holds, read back frame by frame in queue order. A UDP packet for a
// non-client starts with the server's qport; `qports` collects those (one per packet).
class QueuedFrames {
public:
    static std::vector<QueuedFrame> of(const bufferList& packets, bool withQport = false,
                                       std::vector<uint32_t>* qports = nullptr) {
        std::vector<QueuedFrame> frames;
        for (const std::string* packet : packets) {
            size_t at = 0;
            if (withQport) {
                if (packet->size() < 4) {
                    ADD_FAILURE() << "packet shorter than its qport";
                    continue;
                }
                uint32_t qport = 0;
                for (int i = 3; i >= 0; --i)
                    qport = (qport << 8) | static_cast<uint8_t>((*packet)[i]);
                if (qports)
                    qports->push_back(qport);
                at = 4;
            }
            while (at + 3 <= packet->size()) {
                const size_t length =
                    static_cast<uint8_t>((*packet)[at]) | (static_cast<uint8_t>((*packet)[at + 1]) << 8);
                if (length == 0 || at + 2 + length > packet->size()) {
                    ADD_FAILURE() << "broken frame at byte " << at;
                    break;
                }
                frames.push_back(
                    QueuedFrame{static_cast<uint8_t>((*packet)[at + 2]), packet->substr(at + 3, length - 1)});
                at += 2 + length;
            }
        }
        return frames;
    }

    static std::vector<QueuedFrame> tcpFor(MessageSender& sender, CommEndpoint* ep) {
        bufferMap::iterator it = sender.tcpBuffer_.find(ep);
        return it == sender.tcpBuffer_.end() ? std::vector<QueuedFrame>() : of(*it->second);
    }

    static std::vector<QueuedFrame> udpFor(MessageSender& sender, CommEndpoint* ep, bool withQport,
                                           std::vector<uint32_t>* qports = nullptr) {
        bufferMap::iterator it = sender.udpBuffer_.find(ep);
        return it == sender.udpBuffer_.end() ? std::vector<QueuedFrame>() : of(*it->second, withQport, qports);
    }

    static std::vector<QueuedFrame> tcpBroadcasts(MessageSender& sender) { return of(sender.tcpBroadcastBuffer_); }
    static std::vector<QueuedFrame> udpBroadcasts(MessageSender& sender) { return of(sender.udpBroadcastBuffer_); }

    // The frames that have arrived on a connection's other end so far.
    static std::vector<QueuedFrame> arrivedAt(boost::asio::ip::tcp::socket& peer) {
        std::string bytes;
        while (peer.available() > 0) {
            std::string chunk(peer.available(), '\0');
            chunk.resize(peer.read_some(boost::asio::buffer(&chunk[0], chunk.size())));
            bytes += chunk;
        }
        std::string* stream = &bytes;
        return of(bufferList{stream});
    }

    // The only frame queued for `ep` by TCP, decoded; a failure when there is not exactly one.
    template <class M> static M onlyTcp(MessageSender& sender, CommEndpoint* ep, MessageTypes::MessageType type) {
        std::vector<QueuedFrame> frames = tcpFor(sender, ep);
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() != 1)
            return M();
        EXPECT_EQ(frames[0].type, type);
        return frames[0].as<M>();
    }
};
