#include "Common/Network/MessageSerializer.h"

#include <cassert>
#include <memory>
#include <vector>

#include "Common/Debug/Debug.h"
#include "Common/Protobuf/Object.pb.h"

namespace {

// The frame length at `data` when a whole frame of a non-zero length starts there, else 0.
uint16_t wholeFrameLength(const char* data, size_t size) {
    if (size < 2)
        return 0;
    const uint16_t length =
        static_cast<uint16_t>(static_cast<unsigned char>(data[0]) | (static_cast<unsigned char>(data[1]) << 8));
    return length <= size - 2 ? length : 0;
}

bool startsWithZeroLength(const std::string& buffer) {
    return buffer.size() >= 2 && buffer[0] == 0 && buffer[1] == 0;
}

// A new, empty message of the class that a valid type byte carries; owned by the caller.
google::protobuf::Message* newMessageOfType(MessageTypes::MessageType type) {
    switch (type) {
    case MessageTypes::Logout:
        return new Velmor::Logout();
    case MessageTypes::ObjectInfo:
        return new Velmor::ObjectInfo();
    case MessageTypes::ObjectUpdate:
        return new Velmor::ObjectUpdate();
    case MessageTypes::ObjectDestroy:
        return new Velmor::ObjectDestroy();
    case MessageTypes::ClientUpdate:
        return new Velmor::ClientUpdate();
    case MessageTypes::Welcome:
        return new Velmor::Welcome();
    case MessageTypes::Login:
        return new Velmor::Login();
    case MessageTypes::ServerWelcome:
        return new Velmor::ServerWelcome();
    case MessageTypes::ConnectToNearBy:
        return new Velmor::ConnectToNearBy();
    case MessageTypes::TransferControl:
        return new Velmor::TransferControl();
    case MessageTypes::CoordinatorWelcome:
        return new Velmor::CoordinatorWelcome();
    case MessageTypes::TransferPlayerTo:
        return new Velmor::TransferPlayerTo();
    case MessageTypes::RegionUpdate:
        return new Velmor::RegionUpdate();
    case MessageTypes::ServerStatus:
        return new Velmor::ServerStatus();
    case MessageTypes::Ping:
        return new Velmor::Ping();
    case MessageTypes::Pong:
        return new Velmor::Pong();
    }
    return nullptr;
}

// The paths of the missing required fields, each piece a call of its own.
void printMissingFields(const google::protobuf::Message& message) {
    std::vector<std::string> errors;
    message.FindInitializationErrors(&errors);
    for (const std::string& path : errors)
        DebugPrint("%s,", path.c_str());
    DebugPrint("\n");
}

} // namespace

std::string MessageSerializer::getSerializedMsg(MessageTypes::MessageType packetType,
                                                google::protobuf::Message& message) {
    if (!message.IsInitialized()) {
        DebugPrint("Error in serilazing message %s, fields: ", getMessageTypeString(packetType).c_str());
        printMissingFields(message);
    }
    const size_t encodingLength = message.ByteSizeLong();
    if (encodingLength > MAX_ENCODING_LENGTH) {
        DebugPrint("Error in serilazing message %s, too long for a frame: %zu bytes\n",
                   getMessageTypeString(packetType).c_str(), encodingLength);
        return std::string();
    }
    const size_t length = encodingLength + 1;
    std::string frame;
    frame.reserve(length + 2);
    frame.push_back(static_cast<char>(length & 0xFF));
    frame.push_back(static_cast<char>((length >> 8) & 0xFF));
    frame.push_back(static_cast<char>(packetType & 0xFF));
    // The partial form encodes what is present; a message lacking required fields is sent
    // as it is, and the receiver's own check rejects it.
    message.AppendPartialToString(&frame);
    return frame;
}

std::string MessageSerializer::serializeMessage(Velmor::Logout& message) {
    return getSerializedMsg(MessageTypes::Logout, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ObjectInfo& message) {
    return getSerializedMsg(MessageTypes::ObjectInfo, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ObjectUpdate& message) {
    return getSerializedMsg(MessageTypes::ObjectUpdate, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ObjectDestroy& message) {
    return getSerializedMsg(MessageTypes::ObjectDestroy, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ClientUpdate& message) {
    return getSerializedMsg(MessageTypes::ClientUpdate, message);
}
std::string MessageSerializer::serializeMessage(Velmor::Welcome& message) {
    return getSerializedMsg(MessageTypes::Welcome, message);
}
std::string MessageSerializer::serializeMessage(Velmor::Login& message) {
    return getSerializedMsg(MessageTypes::Login, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ServerWelcome& message) {
    return getSerializedMsg(MessageTypes::ServerWelcome, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ConnectToNearBy& message) {
    return getSerializedMsg(MessageTypes::ConnectToNearBy, message);
}
std::string MessageSerializer::serializeMessage(Velmor::TransferControl& message) {
    return getSerializedMsg(MessageTypes::TransferControl, message);
}
std::string MessageSerializer::serializeMessage(Velmor::CoordinatorWelcome& message) {
    return getSerializedMsg(MessageTypes::CoordinatorWelcome, message);
}
std::string MessageSerializer::serializeMessage(Velmor::TransferPlayerTo& message) {
    return getSerializedMsg(MessageTypes::TransferPlayerTo, message);
}
std::string MessageSerializer::serializeMessage(Velmor::RegionUpdate& message) {
    return getSerializedMsg(MessageTypes::RegionUpdate, message);
}
std::string MessageSerializer::serializeMessage(Velmor::ServerStatus& message) {
    return getSerializedMsg(MessageTypes::ServerStatus, message);
}
std::string MessageSerializer::serializeMessage(Velmor::Ping& message) {
    return getSerializedMsg(MessageTypes::Ping, message);
}
std::string MessageSerializer::serializeMessage(Velmor::Pong& message) {
    return getSerializedMsg(MessageTypes::Pong, message);
}

std::list<networkEventPtr> MessageSerializer::deserializeMessageArray(const char* data, size_t length,
                                                                      std::string* leftovers) {
    assert(leftovers);
    std::list<networkEventPtr> events;
    const size_t leftoverBytes = leftovers->size();

    // Only a stream carries leftovers from one call to the next, and one that stopped at a
    // zero length field can never resynchronise: keep the marker, drop the rest.
    if (startsWithZeroLength(*leftovers)) {
        DebugPrint("Error frame length 0 in stream, dropping %zu bytes\n", leftoverBytes - 2 + length);
        leftovers->resize(2);
        return events;
    }

    std::string buffer;
    buffer.reserve(leftoverBytes + length);
    buffer.append(*leftovers);
    if (length > 0)
        buffer.append(data, length);

    // Walk with an offset rather than erasing from the front for every frame.
    size_t offset = 0;
    uint16_t frameLength = wholeFrameLength(buffer.data(), buffer.size());
    while (frameLength != 0) {
        const char* body = buffer.data() + offset + 2;
        offset += 2 + frameLength;
        const std::string info = "leftovers:" + std::to_string(leftoverBytes) +
                                 " total length:" + std::to_string(length) +
                                 " message length:" + std::to_string(frameLength);
        networkEventPtr event(new NetworkEvent());
        if (realParsePacket(body, frameLength, event, info))
            events.push_back(event);
        else
            DebugPrint("Error in deserializing of message\n");
        frameLength = wholeFrameLength(buffer.data() + offset, buffer.size() - offset);
    }

    leftovers->assign(buffer, offset, std::string::npos);
    return events;
}

uint16_t MessageSerializer::messageIsLongEnough(std::string& buffer) {
    return wholeFrameLength(buffer.data(), buffer.size());
}

bool MessageSerializer::realParsePacket(const char* data, size_t bytes_recvd, networkEventPtr networkEvent,
                                        std::string info) {
    assert(networkEvent && !networkEvent->message);
    if (bytes_recvd == 0) {
        DebugPrint("Error frame without type byte received info %s\n", info.c_str());
        return false;
    }
    const unsigned int typeByte = static_cast<unsigned char>(data[0]);
    if (typeByte < MessageTypes::Logout || typeByte > MessageTypes::Pong) {
        DebugPrint("Unknown message type received (type byte: 0x%x) info %s\n", typeByte, info.c_str());
        return false;
    }
    const MessageTypes::MessageType type = static_cast<MessageTypes::MessageType>(typeByte);
    std::unique_ptr<google::protobuf::Message> message(newMessageOfType(type));
    networkEvent->eventType = EventTypes::Message;
    networkEvent->messageType = type;

    // A frame holds at most 65534 bytes of encoding; a longer body comes from a caller that
    // did not read it from a frame and is refused rather than cut.
    const size_t encodingLength = bytes_recvd - 1;
    if (encodingLength <= MAX_ENCODING_LENGTH && message->ParseFromArray(data + 1, static_cast<int>(encodingLength))) {
        networkEvent->message = message.release();
        return true;
    }
    DebugPrint("Error in parseing message %s with length %d %s, fields: ", getMessageTypeString(type).c_str(),
               static_cast<int>(encodingLength), info.c_str());
    printMissingFields(*message);
    return false;
}
