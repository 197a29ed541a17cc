#include "Common/Network/MessageSerializer.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Network/Network.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/Bytes.h"
#include "Support/Wire/FakeClock.h"

namespace {

// Every diagnostic piece carries this prefix: server id 0, synchronised time 0.
std::string line(const std::string& text) {
    return "id:0:[0] " + text;
}

class MessageSerializerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Network::getInstance()->ownId = 0;
        Timer::sync_clock(0);
    }

    // Reads `data` as one more read of a stream whose leftovers are `leftovers`; stdout is kept in `printed`.
    std::list<networkEventPtr> read(const std::string& data) {
        testing::internal::CaptureStdout();
        std::list<networkEventPtr> events =
            MessageSerializer::deserializeMessageArray(data.data(), data.size(), &leftovers);
        printed = testing::internal::GetCapturedStdout();
        return events;
    }

    static Velmor::Ping ping(unsigned int serial) {
        Velmor::Ping message;
        message.set_ping_serial_num(serial);
        return message;
    }

    static unsigned int serialOf(const networkEventPtr& event) {
        return static_cast<const Velmor::Ping*>(event->message)->ping_serial_num();
    }

    FakeClock clock;
    std::string leftovers;
    std::string printed;
};

TEST_F(MessageSerializerTest, FramesAreLengthTypeAndEncoding) {
    Velmor::Ping pingFive = ping(5);
    Velmor::RegionUpdate emptyUpdate;
    Velmor::ObjectDestroy destroy;
    destroy.set_id(300);
    Velmor::Login login;
    login.set_logintype(LoginType::First);
    login.set_name(std::string(300, 'n'));
    const std::string loginEncoding = bytes({0x08, 0, 0x12, 0xac, 0x02}) + std::string(300, 'n');

    EXPECT_EQ(MessageSerializer::serializeMessage(pingFive), bytes({0x03, 0x00, 0x39, 0x08, 0x05}));
    EXPECT_EQ(MessageSerializer::serializeMessage(emptyUpdate), bytes({0x01, 0x00, 0x37}));
    EXPECT_EQ(MessageSerializer::serializeMessage(destroy), bytes({0x04, 0x00, 0x2e, 0x08, 0xac, 0x02}));
    // 1 + 305 = 306 = 0x132, low byte first.
    EXPECT_EQ(MessageSerializer::serializeMessage(login), bytes({0x32, 0x01, 0x31}) + loginEncoding);
}

TEST_F(MessageSerializerTest, EachOverloadWritesItsTypeByte) {
    Velmor::Logout logout;
    Velmor::ObjectInfo objectInfo;
    Velmor::ObjectUpdate objectUpdate;
    Velmor::ObjectDestroy objectDestroy;
    Velmor::ClientUpdate clientUpdate;
    Velmor::Welcome welcome;
    Velmor::Login login;
    Velmor::ServerWelcome serverWelcome;
    Velmor::ConnectToNearBy connectToNearBy;
    Velmor::TransferControl transferControl;
    Velmor::CoordinatorWelcome coordinatorWelcome;
    Velmor::TransferPlayerTo transferPlayerTo;
    Velmor::RegionUpdate regionUpdate;
    Velmor::ServerStatus serverStatus;
    Velmor::Ping pingMessage;
    Velmor::Pong pong;
    const std::vector<std::pair<int, std::function<std::string()>>> cases = {
        {43, [&] { return MessageSerializer::serializeMessage(logout); }},
        {44, [&] { return MessageSerializer::serializeMessage(objectInfo); }},
        {45, [&] { return MessageSerializer::serializeMessage(objectUpdate); }},
        {46, [&] { return MessageSerializer::serializeMessage(objectDestroy); }},
        {47, [&] { return MessageSerializer::serializeMessage(clientUpdate); }},
        {48, [&] { return MessageSerializer::serializeMessage(welcome); }},
        {49, [&] { return MessageSerializer::serializeMessage(login); }},
        {50, [&] { return MessageSerializer::serializeMessage(serverWelcome); }},
        {51, [&] { return MessageSerializer::serializeMessage(connectToNearBy); }},
        {52, [&] { return MessageSerializer::serializeMessage(transferControl); }},
        {53, [&] { return MessageSerializer::serializeMessage(coordinatorWelcome); }},
        {54, [&] { return MessageSerializer::serializeMessage(transferPlayerTo); }},
        {55, [&] { return MessageSerializer::serializeMessage(regionUpdate); }},
        {56, [&] { return MessageSerializer::serializeMessage(serverStatus); }},
        {57, [&] { return MessageSerializer::serializeMessage(pingMessage); }},
        {58, [&] { return MessageSerializer::serializeMessage(pong); }},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout(); // the empty messages lack their required fields
        const std::string frame = c.second();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(frame, bytes({0x01, 0x00, c.first})) << c.first;
    }
}

TEST_F(MessageSerializerTest, MessageLackingRequiredFieldsIsReportedAndFramedAllTheSame) {
    Velmor::ServerStatus status;
    status.set_cpuload(7);
    testing::internal::CaptureStdout();
    const std::string frame = MessageSerializer::serializeMessage(status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              line("Error in serilazing message ServerStatus, fields: ") + line("status,") + line("\n"));
    EXPECT_EQ(frame, bytes({0x03, 0x00, 0x38, 0x10, 0x07}));

    // A type without a name of its own, and a path into a sub-message.
    Velmor::Pong pong;
    Velmor::TransferControl control;
    control.set_id(1);
    control.mutable_data()->mutable_position()->set_x(0);
    testing::internal::CaptureStdout();
    MessageSerializer::serializeMessage(pong);
    MessageSerializer::serializeMessage(control);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              line("Error in serilazing message Unknown Message Type, fields: ") + line("ping_serial_num,") +
                  line("\n") + line("Error in serilazing message TransferControl, fields: ") + line("data.velocity,") +
                  line("data.position.y,") + line("data.position.z,") + line("\n"));
}

TEST_F(MessageSerializerTest, LongestEncodingIsFramedAndOneByteMoreIsRefused) {
    // loginType (2 bytes) + name tag and 3-byte length (4 bytes) + the name.
    Velmor::Login login;
    login.set_logintype(LoginType::Additional);
    login.set_name(std::string(MessageSerializer::MAX_ENCODING_LENGTH - 6, 'n'));
    ASSERT_EQ(login.ByteSizeLong(), 65534u);
    const std::string frame = MessageSerializer::serializeMessage(login);
    ASSERT_EQ(frame.size(), 65537u);
    EXPECT_EQ(frame.substr(0, 3), bytes({0xff, 0xff, 0x31}));
    std::list<networkEventPtr> events = read(frame);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(static_cast<const Velmor::Login*>(events.front()->message)->name(), login.name());

    login.mutable_name()->push_back('n');
    testing::internal::CaptureStdout();
    EXPECT_EQ(MessageSerializer::serializeMessage(login), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              line("Error in serilazing message Login, too long for a frame: 65535 bytes\n"));
}

TEST_F(MessageSerializerTest, EventsCarryTheParsedMessageInStreamOrder) {
    Velmor::ObjectUpdate update;
    update.set_id(0x100000002ull);
    update.set_timestamp(77);
    update.mutable_position()->set_x(1);
    update.mutable_position()->set_y(2);
    update.mutable_position()->set_z(3);
    Velmor::Ping pingSeven = ping(7);
    const std::string stream = MessageSerializer::serializeMessage(pingSeven) +
                               MessageSerializer::serializeMessage(update) +
                               MessageSerializer::serializeMessage(pingSeven);
    std::list<networkEventPtr> events = read(stream);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(leftovers, "");
    ASSERT_EQ(events.size(), 3u);
    const int types[] = {MessageTypes::Ping, MessageTypes::ObjectUpdate, MessageTypes::Ping};
    int i = 0;
    for (const networkEventPtr& event : events) {
        EXPECT_EQ(event->eventType, EventTypes::Message);
        EXPECT_EQ(event->messageType, types[i++]);
        EXPECT_EQ(event->qport, 0u);
        EXPECT_EQ(event->getUdpEndpoint(), nullptr);
        EXPECT_EQ(event->getTcpSocket(), nullptr);
    }
    const networkEventPtr& second = *std::next(events.begin());
    ASSERT_EQ(second->message->GetDescriptor()->name(), "ObjectUpdate");
    EXPECT_EQ(second->message->SerializeAsString(), update.SerializeAsString());
}

TEST_F(MessageSerializerTest, StreamSplitAnywhereYieldsEachFrameOnce) {
    Velmor::Ping a = ping(1), b = ping(300), c = ping(70000);
    const std::string stream = MessageSerializer::serializeMessage(a) + MessageSerializer::serializeMessage(b) +
                               MessageSerializer::serializeMessage(c);
    for (size_t split = 0; split <= stream.size(); ++split) {
        leftovers.clear();
        std::list<networkEventPtr> events = read(stream.substr(0, split));
        std::list<networkEventPtr> rest = read(stream.substr(split));
        events.splice(events.end(), rest);
        ASSERT_EQ(events.size(), 3u) << split;
        EXPECT_EQ(serialOf(events.front()), 1u);
        EXPECT_EQ(serialOf(*std::next(events.begin())), 300u);
        EXPECT_EQ(serialOf(events.back()), 70000u);
        EXPECT_EQ(leftovers, "") << split;
    }

    // Byte by byte: a frame appears only with its last byte; before that everything stays buffered.
    leftovers.clear();
    std::vector<size_t> completedAt;
    for (size_t i = 0; i < stream.size(); ++i) {
        if (!read(stream.substr(i, 1)).empty())
            completedAt.push_back(i);
        EXPECT_EQ(leftovers.size(), completedAt.empty() ? i + 1 : i - completedAt.back()) << i;
    }
    EXPECT_EQ(completedAt, (std::vector<size_t>{4, 10, 17}));
}

TEST_F(MessageSerializerTest, InfoTextNamesLeftoversReadAndFrameLengths) {
    leftovers = bytes({0x01, 0x00});
    EXPECT_TRUE(read(bytes({0xc8})).empty());
    EXPECT_EQ(printed, line("Unknown message type received (type byte: 0xc8) info leftovers:2 total length:1 message "
                            "length:1\n") +
                           line("Error in deserializing of message\n"));
}

struct BadFrameCase {
    const char* what;
    std::string frame;
    std::string printed;
};

TEST_F(MessageSerializerTest, BadFramesAreReportedAndSkipped) {
    const std::string at = " leftovers:0 total length:";
    const std::string info = " info" + at;
    const BadFrameCase cases[] = {
        {"type 200", bytes({0x01, 0x00, 0xc8}),
         line("Unknown message type received (type byte: 0xc8)" + info + "8 message length:1\n")},
        {"type 42", bytes({0x02, 0x00, 0x2a, 0x08}),
         line("Unknown message type received (type byte: 0x2a)" + info + "9 message length:2\n")},
        {"type 59", bytes({0x01, 0x00, 0x3b}),
         line("Unknown message type received (type byte: 0x3b)" + info + "8 message length:1\n")},
        {"type 0", bytes({0x01, 0x00, 0x00}),
         line("Unknown message type received (type byte: 0x0)" + info + "8 message length:1\n")},
        {"status missing", bytes({0x03, 0x00, 0x38, 0x10, 0x32}),
         line("Error in parseing message ServerStatus with length 2" + at + "10 message length:3, fields: ") +
             line("status,") + line("\n")},
        {"status 3", bytes({0x05, 0x00, 0x38, 0x08, 0x03, 0x10, 0x32}),
         line("Error in parseing message ServerStatus with length 4" + at + "12 message length:5, fields: ") +
             line("status,") + line("\n")},
        // The runtime's partial result of a malformed encoding lists no missing field.
        {"truncated varint", bytes({0x04, 0x00, 0x2e, 0x08, 0xac, 0x82}),
         line("Error in parseing message ObjectDestroy with length 3" + at + "11 message length:4, fields: ") +
             line("\n")},
        {"required field in a sub-message", bytes({0x05, 0x00, 0x2f, 0x0a, 0x00, 0x10, 0x01}),
         line("Error in parseing message ClientUpdate with length 4" + at + "12 message length:5, fields: ") +
             line("orientation.x,") + line("orientation.y,") + line("orientation.z,") + line("orientation.w,") +
             line("\n")},
    };
    Velmor::Ping after = ping(9);
    const std::string next = MessageSerializer::serializeMessage(after);
    for (const BadFrameCase& c : cases) {
        leftovers.clear();
        std::list<networkEventPtr> events = read(c.frame + next);
        EXPECT_EQ(printed, c.printed + line("Error in deserializing of message\n")) << c.what;
        ASSERT_EQ(events.size(), 1u) << c.what;
        EXPECT_EQ(serialOf(events.front()), 9u) << c.what;
        EXPECT_EQ(leftovers, "") << c.what;
    }
}

TEST_F(MessageSerializerTest, FrameWithoutTypeByteIsRefused) {
    networkEventPtr event(new NetworkEvent());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(MessageSerializer::realParsePacket("", 0, event, "here"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line("Error frame without type byte received info here\n"));
    EXPECT_EQ(event->message, nullptr);
}

TEST_F(MessageSerializerTest, LengthOfFirstWholeFrame) {
    const struct {
        std::string buffer;
        uint16_t length;
    } cases[] = {
        {"", 0},
        {bytes({0x03}), 0},
        {bytes({0x03, 0x00, 0x39, 0x08}), 0},
        {bytes({0x03, 0x00, 0x39, 0x08, 0x05}), 3},
        {bytes({0x03, 0x00, 0x39, 0x08, 0x05, 0x01}), 3},
        {bytes({0x00, 0x00, 0x39}), 0},
        {bytes({0x00, 0x01}) + std::string(255, 'x'), 0},
        {bytes({0x00, 0x01}) + std::string(256, 'x'), 256},
    };
    for (auto c : cases)
        EXPECT_EQ(MessageSerializer::messageIsLongEnough(c.buffer), c.length) << c.buffer.size();
}

TEST_F(MessageSerializerTest, ZeroLengthStopsReadingAndAStalledStreamStaysBounded) {
    Velmor::Ping one = ping(1);
    const std::string frame = MessageSerializer::serializeMessage(one);
    // As in a datagram: the frames before it are read, the rest is left for the caller to report.
    std::list<networkEventPtr> events = read(frame + bytes({0x00, 0x00}) + frame);
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(leftovers, bytes({0x00, 0x00}) + frame);

    // On a stream the next reads can never get past it: they are dropped, the buffer stays small.
    EXPECT_TRUE(read(std::string(2048, 'x')).empty());
    EXPECT_EQ(printed, line("Error frame length 0 in stream, dropping 2053 bytes\n"));
    EXPECT_TRUE(read(std::string(2048, 'x')).empty());
    EXPECT_EQ(printed, line("Error frame length 0 in stream, dropping 2048 bytes\n"));
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(read(std::string(2048, 'x')).empty());
    EXPECT_EQ(leftovers, bytes({0x00, 0x00}));
}

} // namespace
