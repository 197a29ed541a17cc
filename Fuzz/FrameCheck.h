#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <google/protobuf/stubs/logging.h>

#include "Common/Network/MessageSerializer.h"
#include "Common/Protobuf/Object.pb.h"

// What the fuzz targets require of every event the frame reader hands out.
namespace fuzz {

// The protobuf library reports every message that does not parse on standard error, where
// libFuzzer reports; the server's own lines say the same on standard output.
inline void quietProtobuf() {
    google::protobuf::SetLogHandler(nullptr);
}

// Ends the run; libFuzzer keeps the input that got here.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline const google::protobuf::Descriptor* descriptorOf(int type) {
    switch (type) {
    case MessageTypes::Logout:
        return Velmor::Logout::descriptor();
    case MessageTypes::ObjectInfo:
        return Velmor::ObjectInfo::descriptor();
    case MessageTypes::ObjectUpdate:
        return Velmor::ObjectUpdate::descriptor();
    case MessageTypes::ObjectDestroy:
        return Velmor::ObjectDestroy::descriptor();
    case MessageTypes::ClientUpdate:
        return Velmor::ClientUpdate::descriptor();
    case MessageTypes::Welcome:
        return Velmor::Welcome::descriptor();
    case MessageTypes::Login:
        return Velmor::Login::descriptor();
    case MessageTypes::ServerWelcome:
        return Velmor::ServerWelcome::descriptor();
    case MessageTypes::ConnectToNearBy:
        return Velmor::ConnectToNearBy::descriptor();
    case MessageTypes::TransferControl:
        return Velmor::TransferControl::descriptor();
    case MessageTypes::CoordinatorWelcome:
        return Velmor::CoordinatorWelcome::descriptor();
    case MessageTypes::TransferPlayerTo:
        return Velmor::TransferPlayerTo::descriptor();
    case MessageTypes::RegionUpdate:
        return Velmor::RegionUpdate::descriptor();
    case MessageTypes::ServerStatus:
        return Velmor::ServerStatus::descriptor();
    case MessageTypes::Ping:
        return Velmor::Ping::descriptor();
    case MessageTypes::Pong:
        return Velmor::Pong::descriptor();
    default:
        return nullptr;
    }
}

// One event as the stream comparison sees it: its type and its message's encoding.
struct ReadMessage {
    int type;
    std::string encoding;
    bool operator==(const ReadMessage& other) const { return type == other.type && encoding == other.encoding; }
};

// Checks a read event and returns what it carries. The event must be a message of a valid type
// holding a complete message of that type's class; reading every field (the encoding) lets
// the sanitizers see a bad pointer, and framing it again must read back as the same message.
inline ReadMessage checkEvent(const networkEventPtr& event) {
    if (!event || event->eventType != EventTypes::Message || !event->message)
        fail("the reader handed out an event without a message");
    if (event->getTcpSocket() || event->getUdpEndpoint() || event->qport != 0)
        fail("the reader filled in a source");
    const google::protobuf::Descriptor* expected = descriptorOf(event->messageType);
    if (!expected || event->message->GetDescriptor() != expected)
        fail("the message's class is not the one its type byte names");
    if (!event->message->IsInitialized())
        fail("the reader accepted a message without its required fields");

    const ReadMessage read{event->messageType, event->message->SerializeAsString()};

    // A message whose canonical encoding outgrows a frame cannot be framed again.
    const std::string frame =
        MessageSerializer::getSerializedMsg(static_cast<MessageTypes::MessageType>(read.type), *event->message);
    if (frame.empty())
        return read;
    std::string leftovers;
    std::vector<networkEventPtr> again;
    MessageSerializer::deserializeMessageArray(frame.data(), frame.size(), &leftovers, again);
    if (again.size() != 1 || !leftovers.empty() || again[0]->messageType != read.type ||
        again[0]->message->SerializeAsString() != read.encoding)
        fail("a message framed again does not read back the same");
    return read;
}

} // namespace fuzz
