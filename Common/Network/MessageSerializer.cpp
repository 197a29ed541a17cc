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

// An event and the message the reader parses into it, in one allocation.
template <class M> struct EventWithMessage : NetworkEvent {
    ~EventWithMessage() {
        // The body goes with the event; the event deletes only a message that is not its own.
        if (message == &body)
            message = nullptr;
    }
    M body;
};

template <class M> google::protobuf::Message* newMessage() {
    return new M();
}

template <class M> networkEventPtr newEventWith(google::protobuf::Message*& body) {
    std::shared_ptr<EventWithMessage<M>> event = std::make_shared<EventWithMessage<M>>();
    body = &event->body;
    return event;
}

// What each valid type byte carries, from Logout (43) to Pong (58): a new message of its class
// on the heap, owned by the caller, or a new event with room for one.
struct MessageKind {
    google::protobuf::Message* (*newMessage)();
    networkEventPtr (*newEvent)(google::protobuf::Message*& body);
};

const MessageKind messageKinds[] = {
    {&newMessage<Velmor::Logout>, &newEventWith<Velmor::Logout>},
    {&newMessage<Velmor::ObjectInfo>, &newEventWith<Velmor::ObjectInfo>},
    {&newMessage<Velmor::ObjectUpdate>, &newEventWith<Velmor::ObjectUpdate>},
    {&newMessage<Velmor::ObjectDestroy>, &newEventWith<Velmor::ObjectDestroy>},
    {&newMessage<Velmor::ClientUpdate>, &newEventWith<Velmor::ClientUpdate>},
    {&newMessage<Velmor::Welcome>, &newEventWith<Velmor::Welcome>},
    {&newMessage<Velmor::Login>, &newEventWith<Velmor::Login>},
    {&newMessage<Velmor::ServerWelcome>, &newEventWith<Velmor::ServerWelcome>},
    {&newMessage<Velmor::ConnectToNearBy>, &newEventWith<Velmor::ConnectToNearBy>},
    {&newMessage<Velmor::TransferControl>, &newEventWith<Velmor::TransferControl>},
    {&newMessage<Velmor::CoordinatorWelcome>, &newEventWith<Velmor::CoordinatorWelcome>},
    {&newMessage<Velmor::TransferPlayerTo>, &newEventWith<Velmor::TransferPlayerTo>},
    {&newMessage<Velmor::RegionUpdate>, &newEventWith<Velmor::RegionUpdate>},
    {&newMessage<Velmor::ServerStatus>, &newEventWith<Velmor::ServerStatus>},
    {&newMessage<Velmor::Ping>, &newEventWith<Velmor::Ping>},
    {&newMessage<Velmor::Pong>, &newEventWith<Velmor::Pong>},
};
static_assert(sizeof(messageKinds) / sizeof(messageKinds[0]) == MessageTypes::Pong - MessageTypes::Logout + 1,
              "one kind per type byte");

const MessageKind& kindOf(MessageTypes::MessageType type) {
    return messageKinds[type - MessageTypes::Logout];
}

// The paths of the missing required fields, each piece a call of its own.
void printMissingFields(const google::protobuf::Message& message) {
    std::vector<std::string> errors;
    message.FindInitializationErrors(&errors);
    for (const std::string& path : errors)
        DebugPrint("%s,", path.c_str());
    DebugPrint("\n");
}

// Where a frame came from, for its diagnostics: the leftovers the read began with, the bytes
// it handed in and the frame's length. The text is built only when a frame fails.
struct FrameInfo {
    size_t leftovers;
    size_t total;
    size_t frameLength;
};

std::string infoText(const FrameInfo& info) {
    return "leftovers:" + std::to_string(info.leftovers) + " total length:" + std::to_string(info.total) +
           " message length:" + std::to_string(info.frameLength);
}

const std::string& infoText(const std::string& info) {
    return info;
}

// The message type of a frame body (type byte and encoding, `bytes` bytes), or false after
// the line that says why it has none. `info` is a FrameInfo or a ready text.
template <class Info>
bool typeOfFrame(const char* data, size_t bytes, const Info& info, MessageTypes::MessageType& type) {
    if (bytes == 0) {
        DebugPrintInput("Error frame without type byte received info %s\n", infoText(info).c_str());
        return false;
    }
    const unsigned int typeByte = static_cast<unsigned char>(data[0]);
    if (typeByte < MessageTypes::Logout || typeByte > MessageTypes::Pong) {
        DebugPrintInput("Unknown message type received (type byte: 0x%x) info %s\n", typeByte, infoText(info).c_str());
        return false;
    }
    type = static_cast<MessageTypes::MessageType>(typeByte);
    return true;
}

// Parses the encoding of a frame body of that type into the empty `message`; false after the
// lines that say why it does not parse.
template <class Info>
bool parseEncoding(const char* data, size_t bytes, MessageTypes::MessageType type, google::protobuf::Message& message,
                   const Info& info) {
    // A frame holds at most 65534 bytes of encoding; a longer body comes from a caller that
    // did not read it from a frame and is refused rather than cut.
    const size_t encodingLength = bytes - 1;
    if (encodingLength <= MessageSerializer::MAX_ENCODING_LENGTH &&
        message.ParseFromArray(data + 1, static_cast<int>(encodingLength)))
        return true;
    // One line in pieces: all of them or none.
    if (DebugInputAllowed("Error in parseing message")) {
        DebugPrint("Error in parseing message %s with length %d %s, fields: ", getMessageTypeString(type).c_str(),
                   static_cast<int>(encodingLength), infoText(info).c_str());
        printMissingFields(message);
    }
    return false;
}

} // namespace

size_t MessageSerializer::prepareFrame(MessageTypes::MessageType packetType, google::protobuf::Message& message) {
    if (!message.IsInitialized()) {
        DebugPrint("Error in serilazing message %s, fields: ", getMessageTypeString(packetType).c_str());
        printMissingFields(message);
    }
    const size_t encodingLength = message.ByteSizeLong();
    if (encodingLength > MAX_ENCODING_LENGTH) {
        DebugPrint("Error in serilazing message %s, too long for a frame: %zu bytes\n",
                   getMessageTypeString(packetType).c_str(), encodingLength);
        return 0;
    }
    return encodingLength + 3;
}

void MessageSerializer::appendFrame(MessageTypes::MessageType packetType, const google::protobuf::Message& message,
                                    size_t frameSize, std::string& packet) {
    assert(frameSize >= 3);
    const size_t length = frameSize - 2;
    const size_t start = packet.size();
    packet.resize(start + frameSize);
    uint8_t* out = reinterpret_cast<uint8_t*>(&packet[start]);
    out[0] = static_cast<uint8_t>(length & 0xFF);
    out[1] = static_cast<uint8_t>((length >> 8) & 0xFF);
    out[2] = static_cast<uint8_t>(packetType & 0xFF);
    // Encodes what is present, with the sizes prepareFrame computed; a message lacking required
    // fields is sent as it is, and the receiver's own check rejects it.
    uint8_t* end = message.SerializeWithCachedSizesToArray(out + 3);
    assert(end == out + frameSize); // the message did not change since prepareFrame
    (void)end;
}

std::string MessageSerializer::getSerializedMsg(MessageTypes::MessageType packetType,
                                                google::protobuf::Message& message) {
    std::string frame;
    const size_t frameSize = prepareFrame(packetType, message);
    if (frameSize != 0)
        appendFrame(packetType, message, frameSize, frame);
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

namespace {

// The event of one frame body, appended to `events`; false after the lines that say why there
// is none.
template <class Events> bool readFrame(const char* body, size_t length, const FrameInfo& info, Events& events) {
    MessageTypes::MessageType type;
    if (!typeOfFrame(body, length, info, type))
        return false;
    // The event is made with room for its message: one allocation for both.
    google::protobuf::Message* message = nullptr;
    networkEventPtr event = kindOf(type).newEvent(message);
    event->eventType = EventTypes::Message;
    event->messageType = type;
    if (!parseEncoding(body, length, type, *message, info))
        return false;
    event->message = message;
    events.push_back(std::move(event));
    return true;
}

// Both forms of deserializeMessageArray: the events are appended to `events`.
template <class Events> void readFrames(const char* data, size_t length, std::string* leftovers, Events& events) {
    assert(leftovers);
    const size_t leftoverBytes = leftovers->size();

    // Only a stream carries leftovers from one call to the next, and one that stopped at a
    // zero length field can never resynchronise: keep the marker, drop the rest.
    if (startsWithZeroLength(*leftovers)) {
        DebugPrintInput("Error frame length 0 in stream, dropping %zu bytes\n", leftoverBytes - 2 + length);
        leftovers->resize(2);
        return;
    }

    // A datagram, and most reads of a stream, start on a frame: read them where they lie. Only
    // a stream's leftovers are joined with the new bytes first.
    std::string joined;
    const char* buffer = data;
    size_t size = length;
    if (leftoverBytes > 0) {
        joined.reserve(leftoverBytes + length);
        joined.append(*leftovers);
        if (length > 0)
            joined.append(data, length);
        buffer = joined.data();
        size = joined.size();
    }

    size_t offset = 0;
    uint16_t frameLength = wholeFrameLength(buffer, size);
    while (frameLength != 0) {
        const char* body = buffer + offset + 2;
        offset += 2 + frameLength;
        // The info text is only printed when the frame fails, so it is only built then.
        const FrameInfo info = {leftoverBytes, length, frameLength};
        if (!readFrame(body, frameLength, info, events))
            DebugPrintInput("Error in deserializing of message\n");
        frameLength = wholeFrameLength(buffer + offset, size - offset);
    }

    if (leftoverBytes > 0)
        leftovers->assign(joined, offset, std::string::npos);
    else if (offset < length)
        leftovers->assign(data + offset, length - offset);
}

} // namespace

std::list<networkEventPtr> MessageSerializer::deserializeMessageArray(const char* data, size_t length,
                                                                      std::string* leftovers) {
    std::list<networkEventPtr> events;
    readFrames(data, length, leftovers, events);
    return events;
}

void MessageSerializer::deserializeMessageArray(const char* data, size_t length, std::string* leftovers,
                                                std::vector<networkEventPtr>& events) {
    readFrames(data, length, leftovers, events);
}

uint16_t MessageSerializer::messageIsLongEnough(std::string& buffer) {
    return wholeFrameLength(buffer.data(), buffer.size());
}

bool MessageSerializer::realParsePacket(const char* data, size_t bytes_recvd, networkEventPtr networkEvent,
                                        std::string info) {
    assert(networkEvent && !networkEvent->message);
    MessageTypes::MessageType type;
    if (!typeOfFrame(data, bytes_recvd, info, type))
        return false;
    std::unique_ptr<google::protobuf::Message> message(kindOf(type).newMessage());
    networkEvent->eventType = EventTypes::Message;
    networkEvent->messageType = type;
    if (!parseEncoding(data, bytes_recvd, type, *message, info))
        return false;
    networkEvent->message = message.release();
    return true;
}
