#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "Common/Network/MessageClasses.h"
#include "Common/Network/MessageTypes.h"
#include "Common/Network/NetworkEvent.h"

// Frames: a 16-bit little-endian length (type byte plus encoding), the type byte, then the
// message's protobuf encoding. Keeps no state, so the writer runs on the main thread (and on
// the I/O thread for the Pong answer) and the reader on the I/O thread without locks.
class MessageSerializer {
public:
    // Largest encoding whose length still fits the 16-bit length field with the type byte.
    enum { MAX_ENCODING_LENGTH = 65534 };

    // The frame of `message`. A message lacking required fields is reported and framed all
    // the same, with what it has. One whose encoding exceeds MAX_ENCODING_LENGTH cannot be
    // read back from any frame: it is reported and the result is empty (nothing to send).
    static std::string getSerializedMsg(MessageTypes::MessageType packetType, google::protobuf::Message& message);

    // The two halves of getSerializedMsg, for the send queues, which frame straight into their
    // packets. prepareFrame reports missing required fields as getSerializedMsg does and gives
    // the frame's size, or 0 for a message too long to frame (reported). appendFrame then
    // appends that frame to `packet`; nothing may change the message in between, since the
    // encoding uses the sizes prepareFrame computed.
    static size_t prepareFrame(MessageTypes::MessageType packetType, google::protobuf::Message& message);
    static void appendFrame(MessageTypes::MessageType packetType, const google::protobuf::Message& message,
                            size_t frameSize, std::string& packet);

    // The only way the rest of the system builds frames: one overload per framed class.
    static std::string serializeMessage(Velmor::Logout& message);
    static std::string serializeMessage(Velmor::ObjectInfo& message);
    static std::string serializeMessage(Velmor::ObjectUpdate& message);
    static std::string serializeMessage(Velmor::ObjectDestroy& message);
    static std::string serializeMessage(Velmor::ClientUpdate& message);
    static std::string serializeMessage(Velmor::Welcome& message);
    static std::string serializeMessage(Velmor::Login& message);
    static std::string serializeMessage(Velmor::ServerWelcome& message);
    static std::string serializeMessage(Velmor::ConnectToNearBy& message);
    static std::string serializeMessage(Velmor::TransferControl& message);
    static std::string serializeMessage(Velmor::CoordinatorWelcome& message);
    static std::string serializeMessage(Velmor::TransferPlayerTo& message);
    static std::string serializeMessage(Velmor::RegionUpdate& message);
    static std::string serializeMessage(Velmor::ServerStatus& message);
    static std::string serializeMessage(Velmor::Ping& message);
    static std::string serializeMessage(Velmor::Pong& message);

    // The events of the whole frames in `leftovers` followed by `data`, in stream order; frames
    // that do not parse are reported and skipped. On return `leftovers` (owned by the caller,
    // kept per TCP stream) holds the bytes after the last whole frame. A zero length field
    // stops the reading there; when the next call finds the leftovers still starting with it,
    // the stream cannot be read any further: its new bytes are reported and dropped, and only
    // that zero length field is kept, so a broken peer cannot make the buffer grow.
    static std::list<networkEventPtr> deserializeMessageArray(const char* data, size_t length, std::string* leftovers);
    // The same, with the events appended to `events`, so that a caller reading many packets
    // (the receiver) reuses one container instead of a new list per packet.
    static void deserializeMessageArray(const char* data, size_t length, std::string* leftovers,
                                        std::vector<networkEventPtr>& events);

    // The length field of the first frame in `buffer` when that frame is complete, else 0
    // (also for a length field of 0).
    static uint16_t messageIsLongEnough(std::string& buffer);

    // Parses one frame without its length field (type byte and encoding, `bytes_recvd` bytes)
    // into `networkEvent`, which owns the message on success. `info` goes into the diagnostics.
    static bool realParsePacket(const char* data, size_t bytes_recvd, networkEventPtr networkEvent, std::string info);
};
