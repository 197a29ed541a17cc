#include "Common/Network/NetworkEvent.h"

#include <string>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/FakeClock.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;

namespace {

struct NameCase {
    int value;
    const char* name;
};

TEST(NetworkEventNamesTest, MessageTypeNamesCoverTwelveTypes) {
    const NameCase cases[] = {
        {43, "Logout"},
        {44, "ObjectInfo"},
        {45, "ObjectUpdate"},
        {46, "ObjectDestroy"},
        {47, "ClientUpdate"},
        {48, "Welcome"},
        {49, "Login"},
        {50, "ServerWelcome"},
        {51, "ConnectToNearBy"},
        {52, "TransferControl"},
        {53, "Unknown Message Type"},
        {54, "Unknown Message Type"},
        {55, "RegionUpdate"},
        {56, "ServerStatus"},
        {57, "Unknown Message Type"},
        {58, "Unknown Message Type"},
        {42, "Unknown Message Type"},
        {59, "Unknown Message Type"},
        {-1, "Unknown Message Type"},
        {200, "Unknown Message Type"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getMessageTypeString(static_cast<MessageTypes::MessageType>(c.value)), c.name) << c.value;
}

TEST(NetworkEventNamesTest, EventTypeNames) {
    const NameCase cases[] = {
        {0, "Message"},
        {1, "NewConnection"},
        {2, "ClosedConnection"},
        {3, "Unknown Event Type"},
        {-1, "Unknown Event Type"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getEventTypeString(static_cast<EventTypes::EventTypes>(c.value)), c.name) << c.value;
}

class NetworkEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        Network::getInstance()->ownId = 0;
        Timer::sync_clock(0);
    }

    FakeClock clock;
    boost::asio::io_context io;
};

TEST_F(NetworkEventTest, NewEventHoldsNothing) {
    NetworkEvent event;
    EXPECT_EQ(event.qport, 0u);
    EXPECT_EQ(event.message, nullptr);
    EXPECT_EQ(event.getUdpEndpoint(), nullptr);
    EXPECT_EQ(event.getTcpSocket(), nullptr);
    // The fixed value a connection event keeps; it names no message.
    EXPECT_EQ(event.messageType, -1);
    EXPECT_EQ(getMessageTypeString(static_cast<MessageTypes::MessageType>(event.messageType)), "Unknown Message Type");
}

TEST_F(NetworkEventTest, UdpSourceIsReportedOnceSet) {
    NetworkEvent event;
    udp::endpoint source(boost::asio::ip::address_v4::loopback(), 4711);
    event.setUdpEndpoint(source);
    ASSERT_NE(event.getUdpEndpoint(), nullptr);
    EXPECT_EQ(*event.getUdpEndpoint(), source);
}

TEST_F(NetworkEventTest, SecondSocketIsReportedAndKept) {
    tcp::socket first(io), second(io);
    NetworkEvent event;
    testing::internal::CaptureStdout();
    event.setTcpSocket(&first);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    event.setTcpSocket(&second);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "id:0:[0] Error socket is reset\n");
    EXPECT_EQ(event.getTcpSocket(), &second);
}

TEST_F(NetworkEventTest, LastReferenceFreesTheMessageButNeverTheSocket) {
    tcp::socket socket(io);
    socket.open(tcp::v4());
    {
        networkEventPtr closed(new NetworkEvent());
        closed->eventType = EventTypes::ClosedConnection;
        closed->setTcpSocket(&socket);
        networkEventPtr message(new NetworkEvent());
        message->eventType = EventTypes::Message;
        message->messageType = MessageTypes::Ping;
        message->message = new Velmor::Ping();
        message->setTcpSocket(&socket);
        networkEventPtr again = message;
    }
    // The message is freed with the event (the sanitizer build proves it); the socket lives on.
    EXPECT_TRUE(socket.is_open());
}

// The reader makes each event with room for its message; the event still deletes a message
// that is not its own, and never its own (the sanitizer build checks both).
TEST_F(NetworkEventTest, ReadersEventFreesItsOwnMessageWithItAndDeletesAnyOther) {
    Velmor::Ping ping;
    ping.set_ping_serial_num(7);
    const std::string frames = MessageSerializer::serializeMessage(ping) + MessageSerializer::serializeMessage(ping);
    std::string leftovers;
    std::list<networkEventPtr> events =
        MessageSerializer::deserializeMessageArray(frames.data(), frames.size(), &leftovers);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(static_cast<const Velmor::Ping*>(events.front()->message)->ping_serial_num(), 7u);
    events.back()->message = new Velmor::Pong();
    events.clear();
}

} // namespace
