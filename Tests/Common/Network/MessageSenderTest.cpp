#include "Common/Network/MessageSender.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Network.h"

namespace {

class MessageSenderPackingTest : public ::testing::Test {
protected:
    void SetUp() override { savedQport = Network::getInstance()->myQport; }

    void TearDown() override {
        Network::getInstance()->myQport = savedQport;
        clear();
    }

    void clear() {
        for (std::string* packet : list)
            delete packet;
        list.clear();
    }

    std::vector<size_t> packetSizes() const {
        std::vector<size_t> sizes;
        for (const std::string* packet : list)
            sizes.push_back(packet->size());
        return sizes;
    }

    bufferList list;
    uint32_t savedQport = 0;
};

struct PackingCase {
    const char* what;
    bool useQport;
    std::vector<size_t> frames;
    std::vector<size_t> packets;
};

TEST_F(MessageSenderPackingTest, FramesJoinAPacketWhileItStaysBelowTheLimit) {
    const PackingCase cases[] = {
        {"700 and 699 share", false, {700, 699}, {1399}},
        {"700 and 700 do not", false, {700, 700}, {700, 700}},
        {"a 1399 frame fits an empty packet", false, {1399}, {1399}},
        {"a 1400 frame leaves an empty packet", false, {1400}, {0, 1400}},
        {"a 1500 frame leaves an empty packet", false, {1500}, {0, 1500}},
        {"behind others it only adds its own", false, {10, 1500, 10}, {10, 1500, 10}},
        {"with qport 700 and 695 share", true, {700, 695}, {1399}},
        {"with qport 700 and 696 do not", true, {700, 696}, {704, 700}},
        {"with qport 1395 fits", true, {1395}, {1399}},
        {"with qport 1396 leaves a qport-only packet", true, {1396}, {4, 1400}},
        {"with qport 1500", true, {1500}, {4, 1504}},
        {"many small frames",
         false,
         {100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100},
         {1300, 200}},
    };
    for (const PackingCase& c : cases) {
        for (size_t frame : c.frames)
            MessageSender::appendMsgToQueue(std::string(frame, 'f'), list, MessageSender::MAX_UDP_PACKET_SIZE,
                                            c.useQport);
        EXPECT_EQ(packetSizes(), c.packets) << c.what;
        clear();
    }
}

TEST_F(MessageSenderPackingTest, FramesKeepTheirOrderBehindTheQport) {
    Network::getInstance()->myQport = 0x00030001;
    const std::string frames[] = {std::string(700, 'a'), std::string(600, 'b'), std::string(200, 'c'), "d"};
    for (const std::string& frame : frames)
        MessageSender::appendMsgToQueue(frame, list, MessageSender::MAX_TCP_PACKET_SIZE, true);
    ASSERT_EQ(list.size(), 2u);
    const std::string qport("\x01\x00\x03\x00", 4);
    EXPECT_EQ(*list.front(), qport + frames[0] + frames[1]);
    EXPECT_EQ(*list.back(), qport + frames[2] + frames[3]);
}

TEST_F(MessageSenderPackingTest, NewPacketHoldsTheQportLeastSignificantByteFirst) {
    Network::getInstance()->myQport = 0xA1B2C3D4;
    std::string* withQport = MessageSender::allocateNewBuffer(true);
    std::string* without = MessageSender::allocateNewBuffer(false);
    EXPECT_EQ(*withQport, std::string("\xD4\xC3\xB2\xA1", 4));
    EXPECT_EQ(*without, "");
    delete withQport;
    delete without;
}

TEST_F(MessageSenderPackingTest, RefusedFrameAddsNothing) {
    MessageSender::appendMsgToQueue("", list, MessageSender::MAX_UDP_PACKET_SIZE, true);
    EXPECT_TRUE(list.empty());
    MessageSender::appendMsgToQueue("xyz", list, MessageSender::MAX_UDP_PACKET_SIZE, false);
    MessageSender::appendMsgToQueue("", list, MessageSender::MAX_UDP_PACKET_SIZE, false);
    EXPECT_EQ(packetSizes(), std::vector<size_t>{3});
}

TEST(MessageSenderQportTest, OnlyClientsGetPacketsWithoutQport) {
    const struct {
        CommEndpointTypes::CommEndpoint type;
        bool useQport;
    } cases[] = {
        {CommEndpointTypes::ClientEndpoint, false}, {CommEndpointTypes::ServerEndpoint, true},
        {CommEndpointTypes::WatcherEndpoint, true}, {CommEndpointTypes::CoordinatorEndpoint, true},
        {CommEndpointTypes::Unknown, true},
    };
    for (const auto& c : cases) {
        CommEndpoint endpoint(c.type);
        EXPECT_EQ(MessageSender::useQport(&endpoint), c.useQport) << c.type;
    }
}

} // namespace
