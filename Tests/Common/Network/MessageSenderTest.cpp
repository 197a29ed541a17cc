#include "Common/Network/MessageSender.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/read.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "Common/GameObjects/Player.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/LiveNetwork.h"
#include "Support/Wire/Patience.h"
#include "Support/Wire/TcpPair.h"
#include "Support/World/TrafficCounts.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;

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

// A login whose encoding is `length` bytes long (at least 8): its name fills what is left.
Velmor::Login loginOfLength(size_t length) {
    Velmor::Login login;
    login.set_logintype(LoginType::Additional);
    const size_t lengthBytes = length - 2 - 1 < 128 ? 1 : length - 2 - 1 < 16384 ? 2 : 3;
    login.set_name(std::string(length - 2 - 1 - lengthBytes, 'n'));
    return login;
}

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

// The queues frame straight into their packets: the bytes, and the lines for a message that
// lacks required fields or is too long to frame, are those of serializeMessage and
// appendMsgToQueue.
TEST_F(MessageSenderPackingTest, QueuedPacketsHoldWhatTheWriterAndThePackerGive) {
    FakeClock clock; // one stamp for both ways of framing
    Network::getInstance()->myQport = 0x00050001;
    boost::asio::io_context io;
    MessageSender sender(&io);
    CommEndpoint server(CommEndpointTypes::ServerEndpoint);
    bufferList broadcasts, datagrams, stream;
    const auto both = [](const std::function<void()>& queued, const std::function<void()>& packed) {
        testing::internal::CaptureStdout();
        queued();
        const std::string fromQueue = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        packed();
        EXPECT_EQ(fromQueue, testing::internal::GetCapturedStdout());
    };
    const auto pack = [](bufferList& packets, bool qport, const std::string& frame) {
        MessageSender::appendMsgToQueue(frame, packets, MessageSender::MAX_UDP_PACKET_SIZE, qport);
    };

    for (uint64_t i = 0; i < 100; ++i) {
        Velmor::ObjectUpdate update;
        update.set_id((uint64_t(7) << 32) | i);
        update.mutable_position()->set_x(float(i));
        update.mutable_position()->set_y(2.5f);
        update.mutable_position()->set_z(-3.0f);
        update.set_latency_serial_num(static_cast<uint32_t>(i));
        both([&] { sender.broadcast(update); },
             [&] { pack(broadcasts, false, MessageSerializer::serializeMessage(update)); });
        Velmor::ClientUpdate steering;
        steering.mutable_orientation()->set_x(0.5f);
        steering.mutable_orientation()->set_y(0.5f);
        steering.mutable_orientation()->set_z(0.5f);
        steering.mutable_orientation()->set_w(0.5f);
        steering.set_boosterson(static_cast<uint32_t>(i));
        both([&] { sender.queue(steering, &server); },
             [&] { pack(datagrams, true, MessageSerializer::serializeMessage(steering)); });
    }
    Velmor::ServerStatus lacking;
    lacking.set_cpuload(3);
    Velmor::Login longName = loginOfLength(3000), tooLong = loginOfLength(MessageSerializer::MAX_ENCODING_LENGTH + 1);
    for (Velmor::Login* login : {&longName, &tooLong})
        both([&] { sender.queue(*login, &server); },
             [&] { pack(stream, false, MessageSerializer::serializeMessage(*login)); });
    both([&] { sender.queue(lacking, &server); },
         [&] { pack(stream, false, MessageSerializer::serializeMessage(lacking)); });

    const auto bytes = [](const bufferList& packets) {
        std::vector<std::string> all;
        for (const std::string* packet : packets)
            all.push_back(*packet);
        return all;
    };
    EXPECT_GE(broadcasts.size(), 3u);
    EXPECT_EQ(bytes(sender.udpBroadcastBuffer_), bytes(broadcasts));
    EXPECT_EQ(bytes(*sender.udpBuffer_[&server]), bytes(datagrams));
    EXPECT_EQ(bytes(*sender.tcpBuffer_[&server]), bytes(stream));
    for (bufferList* packets : {&broadcasts, &datagrams, &stream})
        for (std::string* packet : *packets)
            delete packet;
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

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A peer on 127.0.0.1 with a UDP socket and, when asked, a TCP connection from the sender.
struct Peer {
    Peer(TcpPair& pair, CommEndpointTypes::CommEndpoint type, bool withUdp, bool withTcp)
        : endpoint(type), socket(pair.io, udp::endpoint(address_v4::loopback(), 0)) {
        socket.non_blocking(true);
        if (withUdp) {
            udp::endpoint address = socket.local_endpoint();
            endpoint.setUdpEndpoint(address);
        }
        if (withTcp) {
            endpoint.setTcpSocket(pair.connect());
            tcpPeer = &pair.peer();
            tcpPeer->non_blocking(true);
        }
    }
    ~Peer() {
        MessageSender::closeTcpSocket(endpoint.getTcpSocket());
        endpoint.deleteTcpSocket();
    }

    std::vector<std::string> datagrams() {
        std::vector<std::string> result;
        char data[70000];
        boost::system::error_code ec;
        for (;;) {
            udp::endpoint from;
            const size_t n = socket.receive_from(boost::asio::buffer(data), from, 0, ec);
            if (ec)
                return result;
            result.push_back(std::string(data, n));
        }
    }

    // What has arrived on the connection so far.
    std::string stream() {
        std::string result;
        char data[65536];
        boost::system::error_code ec;
        for (;;) {
            const size_t n = tcpPeer->read_some(boost::asio::buffer(data), ec);
            if (ec)
                return result;
            result.append(data, n);
        }
    }

    CommEndpoint endpoint;
    udp::socket socket;
    tcp::socket* tcpPeer = nullptr;
};

std::string frameOf(Velmor::ObjectDestroy message) {
    return MessageSerializer::serializeMessage(message);
}

Velmor::ObjectInfo infoOf(uint64_t id) {
    Velmor::ObjectInfo info;
    info.set_id(id);
    info.set_objecttype(0);
    info.set_timestamp(1);
    Velmor::Position* position = info.mutable_position();
    position->set_x(0);
    position->set_y(0);
    position->set_z(0);
    Velmor::Orientation* orientation = info.mutable_orientation();
    orientation->set_x(0);
    orientation->set_y(0);
    orientation->set_z(0);
    orientation->set_w(1);
    return info;
}

Velmor::ObjectDestroy destroyOf(uint64_t id) {
    Velmor::ObjectDestroy message;
    message.set_id(id);
    return message;
}

// The sender's own UDP socket stands in for the networking singleton's, on the same service
// as the test's connections; completions run when the test runs that service.
class MessageSenderSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        Network* net = Network::getInstance();
        savedSocket = net->udp_socket;
        savedQport = net->myQport;
        net->udp_socket = &serverUdp;
        net->myQport = 0x00070001;
    }

    void TearDown() override {
        Network::getInstance()->udp_socket = savedSocket;
        Network::getInstance()->myQport = savedQport;
        MessageSender::sendBatchCall = &::sendmmsg;
    }

    // Lets every started transmission complete.
    void complete() {
        pair.io.restart();
        pair.io.run();
    }

    TcpPair pair;
    udp::socket serverUdp{pair.io, udp::endpoint(address_v4::loopback(), 0)};
    MessageSender sender{&pair.io};
    udp::socket* savedSocket = nullptr;
    uint32_t savedQport = 0;
};

TEST_F(MessageSenderSendTest, UdpPacketsForAnEndpointWithoutAddressAreFreedWhileItsTcpPacketsLeave) {
    Peer noAddress(pair, CommEndpointTypes::ClientEndpoint, false, true);
    Velmor::ObjectUpdate update;
    update.set_id(5);
    sender.queue(update, &noAddress.endpoint);
    Velmor::ObjectDestroy destroy = destroyOf(6);
    sender.queue(destroy, &noAddress.endpoint);

    testing::internal::CaptureStdout();
    sender.sendQueuedMessages();
    complete();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(sender.udpBuffer_.empty());
    EXPECT_TRUE(sender.tcpBuffer_.empty());
    EXPECT_EQ(noAddress.stream(), frameOf(destroyOf(6)));
    EXPECT_TRUE(noAddress.datagrams().empty());
}

TEST_F(MessageSenderSendTest, OwnQportLeadsUnicastDatagramsForEveryoneButClients) {
    const std::string qport("\x01\x00\x07\x00", 4);
    const struct {
        CommEndpointTypes::CommEndpoint type;
        std::string prefix;
    } cases[] = {
        {CommEndpointTypes::ClientEndpoint, ""},     {CommEndpointTypes::ServerEndpoint, qport},
        {CommEndpointTypes::WatcherEndpoint, qport}, {CommEndpointTypes::CoordinatorEndpoint, qport},
        {CommEndpointTypes::Unknown, qport},
    };
    for (const auto& c : cases) {
        Peer peer(pair, c.type, true, false);
        Velmor::ClientUpdate update;
        update.set_boosterson(3);
        sender.queue(update, &peer.endpoint);
        sender.sendQueuedMessages();
        complete();
        EXPECT_EQ(peer.datagrams(), std::vector<std::string>{c.prefix + MessageSerializer::serializeMessage(update)})
            << c.type;
    }

    Peer server(pair, CommEndpointTypes::ServerEndpoint, true, false);
    Velmor::ObjectDestroy shot = destroyOf(9);
    sender.broadcast(shot, SceneGraphType::Projectile);
    sender.sendQueuedBroadcastMessages({&server.endpoint});
    complete();
    EXPECT_EQ(server.datagrams(), std::vector<std::string>{frameOf(destroyOf(9))});
}

// Which list each queue operation packs into; the stamp is checked separately.
TEST_F(MessageSenderSendTest, EachMessageClassTravelsOnItsTransport) {
    CommEndpoint receiver(CommEndpointTypes::ServerEndpoint);
    const struct {
        const char* what;
        std::function<void()> queue;
        bool udp;
    } cases[] = {
        {"ObjectInfo",
         [&] {
             Velmor::ObjectInfo m;
             sender.queue(m, &receiver);
         },
         false},
        {"ObjectUpdate",
         [&] {
             Velmor::ObjectUpdate m;
             sender.queue(m, &receiver);
         },
         true},
        {"ObjectDestroy",
         [&] {
             Velmor::ObjectDestroy m;
             sender.queue(m, &receiver);
         },
         false},
        {"Welcome",
         [&] {
             Velmor::Welcome m;
             sender.queue(m, &receiver);
         },
         false},
        {"Login",
         [&] {
             Velmor::Login m;
             sender.queue(m, &receiver);
         },
         false},
        {"ServerWelcome",
         [&] {
             Velmor::ServerWelcome m;
             sender.queue(m, &receiver);
         },
         false},
        {"ConnectToNearBy",
         [&] {
             Velmor::ConnectToNearBy m;
             sender.queue(m, &receiver);
         },
         false},
        {"TransferControl",
         [&] {
             Velmor::TransferControl m;
             sender.queue(m, &receiver);
         },
         false},
        {"ServerStatus",
         [&] {
             Velmor::ServerStatus m;
             sender.queue(m, &receiver);
         },
         false},
        {"ClientUpdate",
         [&] {
             Velmor::ClientUpdate m;
             sender.queue(m, &receiver);
         },
         true},
        {"RegionUpdate",
         [&] {
             Velmor::RegionUpdate m;
             sender.queue(m, &receiver);
         },
         false},
        {"CoordinatorWelcome",
         [&] {
             Velmor::CoordinatorWelcome m;
             sender.queue(m, &receiver);
         },
         false},
        {"TransferPlayerTo",
         [&] {
             Velmor::TransferPlayerTo m;
             sender.queue(m, &receiver);
         },
         false},
        {"Logout",
         [&] {
             Velmor::Logout m;
             sender.queue(m, &receiver);
         },
         false},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout(); // empty messages lack required fields
        c.queue();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(sender.udpBuffer_.count(&receiver), c.udp ? 1u : 0u) << c.what;
        EXPECT_EQ(sender.tcpBuffer_.count(&receiver), c.udp ? 0u : 1u) << c.what;
        sender.wantToDeleteEndpoint(&receiver);
    }

    testing::internal::CaptureStdout();
    Velmor::Logout logout;
    logout.set_logoutastype(LogoutType::Primary);
    sender.queue(logout, &receiver);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error Should not be used\n"), std::string::npos);
    sender.wantToDeleteEndpoint(&receiver);

    Velmor::ObjectDestroy destroy = destroyOf(1);
    sender.broadcast(destroy, SceneGraphType::Player);
    EXPECT_EQ(sender.tcpBroadcastBuffer_.size(), 1u);
    sender.broadcast(destroy, SceneGraphType::Projectile);
    EXPECT_EQ(sender.udpBroadcastBuffer_.size(), 1u);
}

TEST_F(MessageSenderSendTest, QueuedInfoAndUpdatesCarryTheSynchronisedTimeOfQueueing) {
    FakeClock clock;
    Timer::sync_clock(777);
    CommEndpoint receiver(CommEndpointTypes::ServerEndpoint);
    Velmor::ObjectUpdate update;
    update.set_id(1);
    update.set_timestamp(1);
    sender.queue(update, &receiver);
    sender.broadcast(update);
    Velmor::ObjectInfo info = infoOf(2);
    sender.broadcast(info);
    clock.advance(5);
    sender.queue(info, &receiver);

    const std::vector<std::pair<std::string, uint32_t>> packets = {
        {sender.udpBuffer_[&receiver]->front()->substr(4), 777},
        {*sender.udpBroadcastBuffer_.front(), 777},
        {*sender.tcpBroadcastBuffer_.front(), 777},
        {*sender.tcpBuffer_[&receiver]->front(), 782},
    };
    for (const auto& packet : packets) {
        std::string leftovers;
        testing::internal::CaptureStdout();
        std::list<networkEventPtr> events =
            MessageSerializer::deserializeMessageArray(packet.first.data(), packet.first.size(), &leftovers);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(events.size(), 1u);
        const google::protobuf::Message* message = events.front()->message;
        const google::protobuf::FieldDescriptor* field = message->GetDescriptor()->FindFieldByName("timestamp");
        EXPECT_EQ(message->GetReflection()->GetUInt32(*message, field), packet.second);
    }
    sender.wantToDeleteEndpoint(&receiver);
    Timer::sync_clock(0);
}

TEST_F(MessageSenderSendTest, BroadcastReachesAddressedRecipientsAndCountsEveryOtherUdpShareAsDropped) {
    Peer player(pair, CommEndpointTypes::ClientEndpoint, true, true);
    Peer replica(pair, CommEndpointTypes::ClientEndpoint, false, false);
    Peer watcher(pair, CommEndpointTypes::WatcherEndpoint, true, true);
    sender.udpBroadcastBuffer_.push_back(new std::string("first"));
    sender.udpBroadcastBuffer_.push_back(new std::string("second"));
    sender.tcpBroadcastBuffer_.push_back(new std::string("reliable"));

    TrafficCounts counted;
    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&player.endpoint, &replica.endpoint, &watcher.endpoint});
    complete();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<std::string> both = {"first", "second"};
    EXPECT_EQ(player.datagrams(), both);
    EXPECT_EQ(watcher.datagrams(), both);
    EXPECT_TRUE(replica.datagrams().empty());
    EXPECT_EQ(counted.dropped(), 2u); // the replica, once per UDP packet
    EXPECT_EQ(player.stream(), "reliable");
    EXPECT_EQ(watcher.stream(), "reliable");
    EXPECT_TRUE(sender.udpBroadcastBuffer_.empty());
    EXPECT_TRUE(sender.tcpBroadcastBuffer_.empty());

    // Nobody to send to: the packets are freed and nothing is counted.
    sender.udpBroadcastBuffer_.push_back(new std::string("lost"));
    sender.tcpBroadcastBuffer_.push_back(new std::string("lost"));
    sender.sendQueuedBroadcastMessages({});
    EXPECT_EQ(counted.dropped(), 2u);
    EXPECT_TRUE(sender.udpBroadcastBuffer_.empty());
    EXPECT_TRUE(sender.tcpBroadcastBuffer_.empty());
}

// The clock is read at the step's start and before each UDP packet until the budget is spent.
uint64_t budgetReadings[] = {5000, 5000, 5010, 5011};
size_t budgetRead = 0;
uint64_t budgetClock() {
    const size_t last = sizeof(budgetReadings) / sizeof(budgetReadings[0]) - 1;
    return budgetReadings[budgetRead < last ? budgetRead++ : last];
}

TEST_F(MessageSenderSendTest, UdpBroadcastsPastTenMillisecondsAreDroppedForEveryRecipient) {
    Peer a(pair, CommEndpointTypes::ClientEndpoint, true, true);
    Peer b(pair, CommEndpointTypes::WatcherEndpoint, true, true);
    for (const char* packet : {"p1", "p2", "p3", "p4"})
        sender.udpBroadcastBuffer_.push_back(new std::string(packet));
    sender.tcpBroadcastBuffer_.push_back(new std::string("t1"));
    sender.tcpBroadcastBuffer_.push_back(new std::string("t2"));

    TrafficCounts counted; // before the scripted clock: a first use of the log reads the clock
    budgetRead = 0;
    Timer::setTimeSource(budgetClock);
    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&a.endpoint, &b.endpoint});
    const std::string out = testing::internal::GetCapturedStdout();
    Timer::setTimeSource(nullptr);
    complete();

    // p2 leaves at exactly 10 ms; p3 finds 11 ms and it and p4 are dropped for both.
    const std::vector<std::string> sent = {"p1", "p2"};
    EXPECT_EQ(a.datagrams(), sent);
    EXPECT_EQ(b.datagrams(), sent);
    EXPECT_EQ(counted.dropped(), 4u);
    const std::string notice = "NOTICE!!!!!!!! has just ignored alot of udp packages to the clients because we "
                               "cannot handle the pressure\n";
    ASSERT_NE(out.find(notice), std::string::npos);
    EXPECT_EQ(out.find(notice), out.rfind(notice));
    EXPECT_EQ(a.stream(), "t1t2");
    EXPECT_EQ(b.stream(), "t1t2");
}

// A step's clock that leaves room for `budgetPackets` packets: the start and the readings
// before them show the start's time, the next one 11 ms later.
size_t budgetPackets = 0;
size_t stepReadings = 0;
uint64_t packetBudgetClock() {
    return stepReadings++ <= budgetPackets ? 5000 : 5011;
}

// Frame after frame the same ten packets are queued (a scene's states, in the scene's order)
// and the budget lets three go: each step begins where the last one's budget ran out, so every
// packet reaches every addressed recipient within four steps, and every packet a step drops is
// counted once per recipient as before.
TEST_F(MessageSenderSendTest, UdpBroadcastsDroppedInOneStepLeadTheNext) {
    Peer a(pair, CommEndpointTypes::ClientEndpoint, true, true);
    Peer b(pair, CommEndpointTypes::WatcherEndpoint, true, true);
    Peer replica(pair, CommEndpointTypes::ClientEndpoint, false, false);
    const size_t packets = 10;
    budgetPackets = 3;
    TrafficCounts counted;
    Timer::setTimeSource(packetBudgetClock);
    std::vector<std::vector<std::string>> sentInStep;
    std::vector<size_t> lastSent(packets, 0);
    size_t longestWait = 0;
    uint64_t dropped = 0;
    for (size_t step = 1; step <= 12; ++step) {
        // A frame with one packet fewer in between: the position wraps round.
        const size_t queued = step == 6 ? packets - 1 : packets;
        for (size_t p = 0; p < queued; ++p)
            sender.udpBroadcastBuffer_.push_back(new std::string("p" + std::to_string(p)));
        stepReadings = 0;
        testing::internal::CaptureStdout();
        sender.sendQueuedBroadcastMessages({&a.endpoint, &replica.endpoint, &b.endpoint});
        const std::string out = testing::internal::GetCapturedStdout();
        complete();
        const std::vector<std::string> stepSent = a.datagrams();
        ASSERT_EQ(budgetPackets, stepSent.size()) << "step " << step;
        EXPECT_EQ(stepSent, b.datagrams()) << "step " << step;
        for (const std::string& packet : stepSent)
            lastSent[std::stoul(packet.substr(1))] = step;
        for (size_t p = 0; p < packets; ++p)
            longestWait = std::max(longestWait, step - lastSent[p]);
        // Dropped: the replica's share of every packet, both others' of each packet not sent.
        dropped += queued + 2 * (queued - budgetPackets);
        EXPECT_EQ(dropped, counted.dropped()) << "step " << step;
        EXPECT_NE(out.find("NOTICE!!!!!!!!"), std::string::npos) << "step " << step;
        sentInStep.push_back(stepSent);
    }
    Timer::setTimeSource(nullptr);
    // Each packet waits at most the steps the budget needs to go round.
    EXPECT_LE(longestWait, 3u);
    const std::vector<std::vector<std::string>> firstSteps = {
        {"p0", "p1", "p2"}, {"p3", "p4", "p5"}, {"p6", "p7", "p8"}, {"p9", "p0", "p1"}};
    EXPECT_EQ(std::vector<std::vector<std::string>>(sentInStep.begin(), sentInStep.begin() + 4), firstSteps);
    // Step 6 queued p0..p8 and began at p5 (step 5 began at p2): p5 p6 p7; step 7 at p8.
    EXPECT_EQ((std::vector<std::string>{"p5", "p6", "p7"}), sentInStep[5]);
    EXPECT_EQ((std::vector<std::string>{"p8", "p9", "p0"}), sentInStep[6]);

    // A step that drops nothing leaves the next one in queue order again.
    budgetPackets = 100;
    for (size_t step = 0; step < 2; ++step) {
        for (const char* packet : {"q0", "q1", "q2"})
            sender.udpBroadcastBuffer_.push_back(new std::string(packet));
        stepReadings = 0;
        Timer::setTimeSource(packetBudgetClock);
        sender.sendQueuedBroadcastMessages({&a.endpoint});
        Timer::setTimeSource(nullptr);
        complete();
    }
    EXPECT_EQ((std::vector<std::string>{"q0", "q1", "q2", "q0", "q1", "q2"}), a.datagrams());
}

// The objects whose state broadcast a step dropped are named until the next step: those of
// the packets past the budget, not those sent nor those of an earlier step.
TEST_F(MessageSenderSendTest, UpdatesOfDroppedBroadcastsAreNamedUntilTheNextStep) {
    Peer a(pair, CommEndpointTypes::ClientEndpoint, true, true);
    const uint64_t Updates = 300; // a few packets' worth
    auto queueUpdates = [&](uint64_t from, uint64_t to) {
        for (uint64_t id = from; id <= to; ++id) {
            Velmor::ObjectUpdate update;
            update.set_id(id);
            sender.broadcast(update);
        }
    };
    auto step = [&](size_t budget) {
        budgetPackets = budget;
        stepReadings = 0;
        Timer::setTimeSource(packetBudgetClock);
        testing::internal::CaptureStdout();
        sender.sendQueuedBroadcastMessages({&a.endpoint});
        testing::internal::GetCapturedStdout();
        Timer::setTimeSource(nullptr);
        complete();
    };
    auto idsIn = [](const std::vector<std::string>& packets) {
        std::vector<uint64_t> ids;
        for (const std::string& packet : packets) {
            std::string rest;
            for (const networkEventPtr& e :
                 MessageSerializer::deserializeMessageArray(packet.data(), packet.size(), &rest))
                ids.push_back(static_cast<Velmor::ObjectUpdate*>(e->message)->id());
        }
        return ids;
    };
    auto dropped = [&] {
        std::vector<uint64_t> ids;
        for (uint64_t id = 1; id <= Updates; ++id)
            if (sender.broadcastUpdateDropped(id))
                ids.push_back(id);
        return ids;
    };

    queueUpdates(1, Updates);
    ASSERT_GT(sender.udpBroadcastBuffer_.size(), 2u);
    step(1);
    const std::vector<uint64_t> sent = idsIn(a.datagrams());
    ASSERT_FALSE(sent.empty());
    std::vector<uint64_t> expected;
    for (uint64_t id = sent.back() + 1; id <= Updates; ++id)
        expected.push_back(id);
    EXPECT_EQ(expected, dropped());

    // The next frame queues the states shed again, as the replica managers do: its step begins
    // with the packet that holds the first state the last one dropped, wherever it now stands.
    // Here only the states shed are due again, so that state's packet is now the first.
    queueUpdates(sent.back() + 1, Updates);
    step(1);
    const std::vector<uint64_t> next = idsIn(a.datagrams());
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(sent.back() + 1, next.front());
    // And, behind others due anew, the next begins where this one ran out, wrapping round.
    queueUpdates(1, next.back());
    queueUpdates(next.back() + 1, Updates);
    step(100);
    const std::vector<uint64_t> last = idsIn(a.datagrams());
    ASSERT_EQ(Updates, last.size());
    EXPECT_EQ(next.back() + 1, last.front());
    // With room for all, none is named.
    EXPECT_TRUE(dropped().empty());
}

// A completed transmission counts one packet and its bytes under its queue (the server queue
// under SS_, any other under CS_) and its transport, a broadcast once per recipient, a failed
// one too. A packet never transmitted counts nothing, except a UDP broadcast share as dropped.
TEST_F(MessageSenderSendTest, TransmissionsAreCountedUnderTheirQueueAndTransport) {
    FakeClock clock; // the broadcast budget never runs out
    Peer client(pair, CommEndpointTypes::ClientEndpoint, true, true);
    Peer watcher(pair, CommEndpointTypes::WatcherEndpoint, true, true);
    Peer replica(pair, CommEndpointTypes::ClientEndpoint, false, false);
    Peer server(pair, CommEndpointTypes::ServerEndpoint, true, true);
    CommEndpoint unreachable(CommEndpointTypes::ClientEndpoint);
    udp::endpoint v6(boost::asio::ip::address_v6::loopback(), 9);
    unreachable.setUdpEndpoint(v6);

    const auto unicast = [&](bufferMap& map, CommEndpoint* to) {
        return [&map, to, this] { sender.getBufferList(map, to)->push_back(new std::string(300, 'u')); };
    };
    const auto broadcast = [](bufferList& list) { return [&list] { list.push_back(new std::string(300, 'b')); }; };
    const struct {
        const char* what;
        bool serverQueue;
        std::function<void()> queue;
        NetworkIndexes slot;
        uint64_t packages;
        uint64_t bytes;
        uint64_t dropped;
    } cases[] = {
        {"UDP to a client", false, unicast(sender.udpBuffer_, &client.endpoint), CS_UDP_SENT, 1, 300, 0},
        {"TCP to a client", false, unicast(sender.tcpBuffer_, &client.endpoint), CS_TCP_SENT, 1, 300, 0},
        {"UDP to a server", true, unicast(sender.udpBuffer_, &server.endpoint), SS_UDP_SENT, 1, 300, 0},
        {"TCP to a server", true, unicast(sender.tcpBuffer_, &server.endpoint), SS_TCP_SENT, 1, 300, 0},
        {"UDP broadcast", false, broadcast(sender.udpBroadcastBuffer_), CS_UDP_SENT, 2, 600, 1},
        {"TCP broadcast", false, broadcast(sender.tcpBroadcastBuffer_), CS_TCP_SENT, 2, 600, 0},
        {"UDP to no address", false, unicast(sender.udpBuffer_, &replica.endpoint), NUMBER_OF_MSG, 0, 0, 0},
        {"UDP that fails", false, unicast(sender.udpBuffer_, &unreachable), CS_UDP_SENT, 1, 0, 0},
    };
    Network* net = Network::getInstance();
    MessageSender* savedServerQueue = net->serverMessageSender;
    for (const auto& c : cases) {
        net->serverMessageSender = c.serverQueue ? &sender : savedServerQueue;
        c.queue();
        TrafficCounts counted;
        testing::internal::CaptureStdout();
        sender.sendQueuedBroadcastMessages({&client.endpoint, &watcher.endpoint, &replica.endpoint});
        sender.sendQueuedMessages();
        complete();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(c.slot, c.packages)) << c.what;
        EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(c.slot, c.bytes)) << c.what;
        EXPECT_EQ(counted.dropped(), c.dropped) << c.what;
    }
    net->serverMessageSender = savedServerQueue;
}

// Larger than the socket buffers, so it is written piece by piece: still one packet, whole.
TEST_F(MessageSenderSendTest, APacketWrittenInPiecesCountsOnceWithAllItsBytes) {
    Peer peer(pair, CommEndpointTypes::ClientEndpoint, false, true);
    peer.tcpPeer->non_blocking(false);
    const size_t size = 8u << 20;
    sender.getBufferList(sender.tcpBuffer_, &peer.endpoint)->push_back(new std::string(size, 'w'));
    TrafficCounts counted;
    size_t received = 0;
    boost::thread reader([&] {
        char data[65536];
        boost::system::error_code ec;
        while (received < size && !ec)
            received += peer.tcpPeer->read_some(boost::asio::buffer(data), ec);
    });
    sender.sendQueuedMessages();
    complete();
    reader.join();
    EXPECT_EQ(received, size);
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_TCP_SENT, 1));
    EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_TCP_SENT, size));
}

TEST_F(MessageSenderSendTest, ForgottenEndpointGetsNothing) {
    Peer peer(pair, CommEndpointTypes::ClientEndpoint, true, true);
    Velmor::ObjectUpdate update;
    update.set_id(3);
    sender.queue(update, &peer.endpoint);
    Velmor::ObjectDestroy destroy = destroyOf(3);
    sender.queue(destroy, &peer.endpoint);
    sender.wantToDeleteEndpoint(&peer.endpoint);
    EXPECT_TRUE(sender.udpBuffer_.empty());
    EXPECT_TRUE(sender.tcpBuffer_.empty());

    sender.sendQueuedMessages();
    complete();
    EXPECT_TRUE(peer.datagrams().empty());
    EXPECT_EQ(peer.stream(), "");
}

// Without a UDP socket no send can start: each packet or share is released on the spot.
TEST_F(MessageSenderSendTest, UdpSendThatCannotStartReleasesItsPacket) {
    Network::getInstance()->udp_socket = nullptr;
    Player player(uint64_t(0x2a), Team::Red, 100.0f);
    udp::endpoint address(address_v4::loopback(), 9);
    player.setUdpEndpoint(address);
    CommEndpoint server(CommEndpointTypes::ServerEndpoint);
    server.setUdpEndpoint(address);
    Velmor::ObjectUpdate update;
    update.set_id(1);
    sender.queue(update, &player);
    sender.queue(update, &server);
    sender.broadcast(update);

    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&server, &player});
    sender.sendQueuedMessages();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string broadcastLine = "Execption in sending async udp in broadcastQueuedMessages\n";
    const std::string unicastLine = "Execption in sending async udp in sendQueuedMessages\n";
    const std::string idLine = " while sending to(id:2a)";
    EXPECT_NE(out.find(broadcastLine), std::string::npos);
    EXPECT_NE(out.find(unicastLine), std::string::npos);
    // Once for the player's broadcast share, once for its own packet; never for the server.
    EXPECT_EQ(occurrences(out, idLine), 2u);
    EXPECT_TRUE(sender.udpBuffer_.empty());
    EXPECT_TRUE(sender.udpBroadcastBuffer_.empty());
}

// An IPv6 address cannot be reached through the IPv4 socket: the sends start and complete
// with an error, which is reported, and the packets are freed all the same.
TEST_F(MessageSenderSendTest, FailedTransmissionsAreReportedAndFreed) {
    CommEndpoint unreachable(CommEndpointTypes::ClientEndpoint);
    boost::asio::ip::udp::endpoint v6(boost::asio::ip::address_v6::loopback(), 9);
    unreachable.setUdpEndpoint(v6);
    Velmor::ObjectDestroy destroy = destroyOf(2);
    Velmor::ObjectUpdate update;
    update.set_id(2);
    sender.queue(update, &unreachable);
    sender.broadcast(destroy, SceneGraphType::Projectile);

    TrafficCounts counted;
    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&unreachable});
    sender.sendQueuedMessages();
    complete();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error while sending: "), std::string::npos);
    EXPECT_NE(out.find("UDP: "), std::string::npos);
    EXPECT_LT(out.find("UDP: "), out.find("Error while broadcasting: "));
    EXPECT_EQ(counted.dropped(), 0u);
}

// A datagram that fails completes with its error; the datagrams started with it go out all
// the same, in their order, and every one is counted.
TEST_F(MessageSenderSendTest, AFailingDatagramHoldsBackNoneOfTheOthers) {
    FakeClock clock; // the broadcast budget never runs out
    Peer a(pair, CommEndpointTypes::WatcherEndpoint, true, false);
    Peer b(pair, CommEndpointTypes::WatcherEndpoint, true, false);
    CommEndpoint unreachable(CommEndpointTypes::WatcherEndpoint);
    udp::endpoint v6(boost::asio::ip::address_v6::loopback(), 9);
    unreachable.setUdpEndpoint(v6);
    sender.udpBroadcastBuffer_.push_back(new std::string("p1"));
    sender.udpBroadcastBuffer_.push_back(new std::string("p2"));
    sender.getBufferList(sender.udpBuffer_, &a.endpoint)->push_back(new std::string("a1"));
    sender.getBufferList(sender.udpBuffer_, &unreachable)->push_back(new std::string("lost"));
    sender.getBufferList(sender.udpBuffer_, &b.endpoint)->push_back(new std::string("b1"));
    sender.getBufferList(sender.udpBuffer_, &b.endpoint)->push_back(new std::string("b2"));

    TrafficCounts counted;
    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&a.endpoint, &unreachable, &b.endpoint});
    sender.sendQueuedMessages();
    // Counting and reporting are the completions' work, on the thread that runs the service.
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(NUMBER_OF_MSG, 0));
    complete();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(a.datagrams(), (std::vector<std::string>{"p1", "p2", "a1"}));
    EXPECT_EQ(b.datagrams(), (std::vector<std::string>{"p1", "p2", "b1", "b2"}));
    EXPECT_EQ(occurrences(out, "UDP: "), 2u) << out;
    EXPECT_EQ(occurrences(out, "Error while broadcasting: "), 2u) << out;
    EXPECT_EQ(occurrences(out, "Error while sending: "), 1u) << out;
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_SENT, 3 * 2 + 4));
    // The failed ones count no bytes.
    EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_SENT, 2 * 2 * 2 + 2 + 2 + 2));
    EXPECT_EQ(counted.dropped(), 0u);
}

// What the kernel's batch call answers, in turn; past the script it answers as the kernel does.
struct KernelAnswer {
    unsigned int takes; // datagrams it takes, or 0 to fail with `error`
    int error;
};
std::vector<KernelAnswer> kernelAnswers;
size_t kernelCalls = 0;

int scriptedKernel(int fd, mmsghdr* datagrams, unsigned int count, int flags) {
    const size_t call = kernelCalls++;
    if (call >= kernelAnswers.size())
        return ::sendmmsg(fd, datagrams, count, flags);
    if (kernelAnswers[call].takes > 0)
        return ::sendmmsg(fd, datagrams, std::min(count, kernelAnswers[call].takes), flags);
    errno = kernelAnswers[call].error;
    return -1;
}

// Whatever the kernel answers (a part taken, no room, an interruption, one datagram refused),
// every datagram leaves once and in its order or completes with its error, is counted once by
// its completion, and its packet or share is released once (the sanitizer build checks that).
TEST_F(MessageSenderSendTest, EveryAnswerOfTheKernelEndsEachDatagramOnce) {
    FakeClock clock;
    const struct {
        const char* what;
        std::vector<KernelAnswer> answers;
        size_t refused; // the datagram of each batch that the kernel refuses, or 5 for none
    } cases[] = {
        {"all at once", {}, 5},
        {"two taken, then no room: the rest wait for it in the service", {{2, 0}, {0, EAGAIN}}, 5},
        {"no room at all", {{0, EWOULDBLOCK}, {0, EAGAIN}}, 5},
        {"interrupted, then all", {{0, EINTR}, {0, EINTR}}, 5},
        {"two taken, the third refused, the rest taken", {{2, 0}, {0, EMSGSIZE}}, 2},
    };
    const std::vector<std::string> packets = {"d1", "d2", "d3", "d4", "d5"};
    MessageSender::sendBatchCall = &scriptedKernel;
    for (const auto& c : cases) {
        Peer a(pair, CommEndpointTypes::WatcherEndpoint, true, false);
        Peer b(pair, CommEndpointTypes::WatcherEndpoint, true, false);
        Peer watcher(pair, CommEndpointTypes::WatcherEndpoint, true, false);
        for (const std::string& packet : packets)
            sender.getBufferList(sender.udpBuffer_, &a.endpoint)->push_back(new std::string(packet));
        sender.udpBroadcastBuffer_.push_back(new std::string("b1"));
        std::vector<std::string> expected;
        for (size_t i = 0; i < packets.size(); ++i)
            if (i != c.refused)
                expected.push_back(packets[i]);

        kernelAnswers = c.answers;
        kernelCalls = 0;
        TrafficCounts counted;
        testing::internal::CaptureStdout();
        sender.sendQueuedMessages();
        complete();
        // The same answers for a broadcast packet's five recipients.
        kernelAnswers = c.answers;
        kernelCalls = 0;
        sender.sendQueuedBroadcastMessages(
            {&b.endpoint, &watcher.endpoint, &b.endpoint, &watcher.endpoint, &b.endpoint});
        complete();
        const std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(a.datagrams(), expected) << c.what;
        const size_t refused = c.refused < packets.size() ? 1 : 0;
        EXPECT_EQ(b.datagrams().size() + watcher.datagrams().size(), 5 - refused) << c.what;
        EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_SENT, 10)) << c.what;
        EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_SENT, 2 * (10 - 2 * refused))) << c.what;
        EXPECT_EQ(occurrences(out, "Error while sending: Message too long"), refused) << c.what;
        EXPECT_EQ(occurrences(out, "Error while broadcasting: Message too long"), refused) << c.what;
        EXPECT_EQ(Network::getInstance()->udpDatagramsWaiting.load(), 0u) << c.what;
    }
}

// While datagrams of one queue wait in the service for room in the socket, the other queue's
// datagrams wait behind them rather than overtake them through the kernel's batch call.
TEST_F(MessageSenderSendTest, DatagramsWaitingForRoomHoldBackBothQueues) {
    MessageSender other(&pair.io);
    Peer a(pair, CommEndpointTypes::WatcherEndpoint, true, false);
    MessageSender::sendBatchCall = &scriptedKernel;
    kernelAnswers = {{0, EAGAIN}};
    kernelCalls = 0;
    sender.getBufferList(sender.udpBuffer_, &a.endpoint)->push_back(new std::string("x1"));
    sender.getBufferList(sender.udpBuffer_, &a.endpoint)->push_back(new std::string("x2"));
    sender.sendQueuedMessages();
    EXPECT_EQ(Network::getInstance()->udpDatagramsWaiting.load(), 2u);
    other.getBufferList(other.udpBuffer_, &a.endpoint)->push_back(new std::string("y1"));
    other.sendQueuedMessages();
    EXPECT_EQ(kernelCalls, 1u);
    complete();
    EXPECT_EQ(a.datagrams(), (std::vector<std::string>{"x1", "x2", "y1"}));

    // Once they have left, batches go to the kernel again.
    other.getBufferList(other.udpBuffer_, &a.endpoint)->push_back(new std::string("y2"));
    other.sendQueuedMessages();
    EXPECT_EQ(kernelCalls, 2u);
    complete();
    EXPECT_EQ(a.datagrams(), std::vector<std::string>{"y2"});
}

// More recipients than one call to the kernel takes (1024): each gets the packet once, every
// share is counted, and the packet is freed once, by the last completion (the sanitizer build
// checks the freeing).
TEST_F(MessageSenderSendTest, ABroadcastToMoreRecipientsThanOneCallTakesReachesEachOnce) {
    FakeClock clock;
    const size_t sockets = 25, recipients = 2600;
    std::vector<std::unique_ptr<Peer>> peers;
    for (size_t i = 0; i < sockets; ++i)
        peers.emplace_back(new Peer(pair, CommEndpointTypes::WatcherEndpoint, true, false));
    std::vector<std::unique_ptr<CommEndpoint>> endpoints;
    std::list<CommEndpoint*> all;
    for (size_t i = 0; i < recipients; ++i) {
        endpoints.emplace_back(new CommEndpoint(CommEndpointTypes::WatcherEndpoint));
        udp::endpoint address = peers[i % sockets]->socket.local_endpoint();
        endpoints.back()->setUdpEndpoint(address);
        all.push_back(endpoints.back().get());
    }
    sender.udpBroadcastBuffer_.push_back(new std::string("x"));
    TrafficCounts counted;
    sender.sendQueuedBroadcastMessages(all);
    complete();
    for (const std::unique_ptr<Peer>& peer : peers)
        EXPECT_EQ(peer->datagrams(), std::vector<std::string>(recipients / sockets, "x"));
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_SENT, recipients));
    EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_SENT, recipients));
}

// A peer that does not take what is sent to it cannot make the server hold ever more: once
// more than MAX_TCP_BYTES_WAITING would wait behind its connection's write, the connection is
// closed (its ClosedConnection follows, as for any failed connection).
TEST_F(MessageSenderSendTest, AConnectionThatTakesNothingIsClosedPastItsBound) {
    Peer stuck(pair, CommEndpointTypes::WatcherEndpoint, false, true);
    const size_t packet = 1400;
    const auto queue = [&](size_t packets) {
        for (size_t i = 0; i < packets; ++i)
            sender.getBufferList(sender.tcpBuffer_, &stuck.endpoint)->push_back(new std::string(packet, 'x'));
    };
    // Nothing completes until the test runs the service: everything after the first waits.
    queue(MAX_TCP_BYTES_WAITING / packet);
    testing::internal::CaptureStdout();
    sender.sendQueuedMessages();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(stuck.endpoint.getTcpSocket()->is_open());

    queue(2);
    testing::internal::CaptureStdout();
    sender.sendQueuedMessages();
    const std::string out = testing::internal::GetCapturedStdout();
    // The one waiting already and the one that would join them.
    const size_t waiting = (MAX_TCP_BYTES_WAITING / packet + 1) * packet;
    EXPECT_NE(out.find("Connection closed with " + std::to_string(waiting) + " bytes waiting to be sent"),
              std::string::npos)
        << out;
    EXPECT_FALSE(stuck.endpoint.getTcpSocket()->is_open());
    testing::internal::CaptureStdout();
    complete();
    testing::internal::GetCapturedStdout();
}

Velmor::Login loginNamed(const std::string& name) {
    Velmor::Login login;
    login.set_logintype(LoginType::First);
    login.set_name(name);
    return login;
}

// Far more than the socket buffers hold, over several steps and mixed with broadcasts: the
// peer still reads every frame whole and in the order queued.
TEST_F(MessageSenderSendTest, TcpPacketsOfAConnectionArriveWholeAndInTheirOrder) {
    Peer peer(pair, CommEndpointTypes::ClientEndpoint, false, true);
    peer.tcpPeer->non_blocking(false);
    std::vector<std::string> expected;
    size_t bytes = 0;
    for (int step = 0; step < 3; ++step) {
        for (int i = 0; i < 20; ++i) {
            const std::string name = std::to_string(step) + "-" + std::to_string(i) + std::string(20000 + i * 517, 'x');
            Velmor::Login login = loginNamed(name);
            if (i % 5 == 0) {
                Velmor::ObjectInfo info = infoOf(i);
                sender.broadcast(info);
                expected.push_back("info");
                bytes += MessageSerializer::serializeMessage(info).size();
            }
            sender.queue(login, &peer.endpoint);
            expected.push_back(name);
            bytes += MessageSerializer::serializeMessage(login).size();
        }
    }

    std::string received;
    boost::thread reader([&] {
        char data[65536];
        boost::system::error_code ec;
        while (received.size() < bytes && !ec)
            received.append(data, peer.tcpPeer->read_some(boost::asio::buffer(data), ec));
    });
    // Broadcasts of a step go before its per-endpoint packets, so send them all up front.
    sender.sendQueuedBroadcastMessages({&peer.endpoint});
    sender.sendQueuedMessages();
    complete();
    reader.join();

    std::string leftovers;
    std::list<networkEventPtr> events =
        MessageSerializer::deserializeMessageArray(received.data(), received.size(), &leftovers);
    EXPECT_TRUE(leftovers.empty());
    std::vector<std::string> got;
    for (const networkEventPtr& event : events)
        got.push_back(event->messageType == MessageTypes::ObjectInfo
                          ? "info"
                          : static_cast<Velmor::Login*>(event->message)->name());
    // Names are compared whole but reported by their leading step and index only.
    const auto tag = [](std::vector<std::string> names) {
        for (std::string& name : names)
            name = name.substr(0, name.find('x'));
        return names;
    };
    std::vector<std::string> expectedOrder;
    for (const std::string& e : expected)
        if (e == "info")
            expectedOrder.push_back(e);
    for (const std::string& e : expected)
        if (e != "info")
            expectedOrder.push_back(e);
    EXPECT_EQ(tag(got), tag(expectedOrder));
    EXPECT_TRUE(got == expectedOrder);
}

// Small socket buffers on both sides of a connection whose peer reads nothing, so that what
// the kernel takes is far less than what may wait behind the connection's write.
void takeLittle(Peer& peer) {
    peer.endpoint.getTcpSocket()->set_option(tcp::socket::send_buffer_size(16384));
    peer.tcpPeer->set_option(tcp::socket::receive_buffer_size(16384));
}

// What each connection must read: every send step's TCP broadcast packets, then the packets
// queued for it alone, in the order queued. Taken from the lists just before the step.
struct StepTraffic {
    std::vector<std::string> streams; // per connection
    uint64_t packets = 0;             // completions to come, a broadcast one per recipient
    uint64_t bytes = 0;
};

void recordStep(MessageSender& sender, const std::vector<Peer*>& peers, StepTraffic& traffic) {
    for (size_t i = 0; i < peers.size(); ++i) {
        for (const std::string* packet : sender.tcpBroadcastBuffer_) {
            traffic.streams[i] += *packet;
            ++traffic.packets;
            traffic.bytes += packet->size();
        }
        bufferMap::iterator own = sender.tcpBuffer_.find(&peers[i]->endpoint);
        if (own == sender.tcpBuffer_.end())
            continue;
        for (const std::string* packet : *own->second)
            if (!packet->empty()) {
                traffic.streams[i] += *packet;
                ++traffic.packets;
                traffic.bytes += packet->size();
            }
    }
}

// The send steps only queue TCP packets on their connections: nothing reaches a peer until the
// I/O service runs, and then every connection reads its packets whole and in order, a step's
// broadcasts before its own packets, each packet completed and counted once. With tiny socket
// buffers and a reader that takes little at a time, the kernel takes only part of most gather
// writes, and the rest follows from where it stopped.
TEST_F(MessageSenderSendTest, TcpPacketsLeaveOnlyWhenTheIoServiceRunsWholeAndInOrder) {
    FakeClock clock;
    const struct {
        const char* what;
        bool tinyBuffers;
        size_t readSize;
    } cases[] = {
        {"roomy sockets", false, 65536},
        {"tiny buffers and a slow reader", true, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Peer a(pair, CommEndpointTypes::ClientEndpoint, false, true);
        Peer b(pair, CommEndpointTypes::WatcherEndpoint, false, true);
        Peer d(pair, CommEndpointTypes::ClientEndpoint, false, true);
        const std::vector<Peer*> peers = {&a, &b, &d};
        if (c.tinyBuffers)
            for (Peer* p : peers)
                takeLittle(*p);
        StepTraffic traffic;
        traffic.streams.resize(peers.size());
        TrafficCounts counted;
        testing::internal::CaptureStdout();
        for (int step = 0; step < 4; ++step) {
            for (int i = 0; i < 150; ++i) {
                if (i % 7 == 0) {
                    Velmor::ObjectInfo info = infoOf(step * 1000 + i);
                    sender.broadcast(info);
                }
                if (i % 31 == 0) {
                    Velmor::ObjectDestroy destroy = destroyOf(step * 1000 + i);
                    sender.broadcast(destroy, SceneGraphType::Player);
                }
                Peer& to = *peers[i % peers.size()];
                // Mostly small frames, packed many to a packet, and now and then one longer
                // than a packet.
                Velmor::Login login = loginNamed(std::to_string(step) + "-" + std::to_string(i) +
                                                 std::string(i % 40 == 0 ? 3000 + i : i % 90, 'n'));
                sender.queue(login, &to.endpoint);
            }
            recordStep(sender, peers, traffic);
            sender.sendQueuedBroadcastMessages({&a.endpoint, &b.endpoint, &d.endpoint});
            sender.sendQueuedMessages();
        }
        std::vector<std::string> received(peers.size());
        for (size_t i = 0; i < peers.size(); ++i) {
            received[i] = peers[i]->stream();
            EXPECT_EQ(received[i].size(), 0u) << i;
        }
        EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(NUMBER_OF_MSG, 0));

        std::vector<std::unique_ptr<boost::thread>> readers;
        for (size_t i = 0; i < peers.size(); ++i) {
            peers[i]->tcpPeer->non_blocking(false);
            readers.emplace_back(new boost::thread([&, i] {
                std::vector<char> data(c.readSize);
                boost::system::error_code ec;
                while (received[i].size() < traffic.streams[i].size() && !ec)
                    received[i].append(data.data(), peers[i]->tcpPeer->read_some(boost::asio::buffer(data), ec));
            }));
        }
        complete();
        for (std::unique_ptr<boost::thread>& reader : readers)
            reader->join();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("Error"), std::string::npos) << out;
        for (size_t i = 0; i < peers.size(); ++i) {
            EXPECT_EQ(received[i].size(), traffic.streams[i].size()) << i;
            EXPECT_TRUE(received[i] == traffic.streams[i]) << i;
        }
        EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_TCP_SENT, traffic.packets));
        EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_TCP_SENT, traffic.bytes));
    }
}

// Connections that end while their packets wait. One the server closes before the I/O service
// has run gets nothing at all, and every packet is freed unsent, silently. One whose peer reset
// it fails the oldest packet's write with the reset; the packets behind it fail or wait until the
// main thread closes the connection (as it does on the connection's ClosedConnection), and each
// is completed and counted at most once. The other recipient of the shared broadcast gets it
// either way (the sanitizer build checks that every packet is freed once).
TEST_F(MessageSenderSendTest, ConnectionsThatEndWhilePacketsWaitReleaseEveryPacketOnce) {
    for (const bool resetByPeer : {false, true}) {
        SCOPED_TRACE(resetByPeer ? "reset by the peer before the step" : "closed here before the service ran");
        Peer reader(pair, CommEndpointTypes::ClientEndpoint, false, true);
        Peer ending(pair, CommEndpointTypes::ClientEndpoint, false, true);
        if (resetByPeer) {
            ending.tcpPeer->set_option(boost::asio::socket_base::linger(true, 0));
            ending.tcpPeer->close();
        }
        Velmor::ObjectDestroy destroy = destroyOf(4);
        sender.broadcast(destroy, SceneGraphType::Player);
        for (size_t i = 0; i < 3; ++i) {
            Velmor::Login login = loginNamed(std::string(1000, 'e'));
            sender.queue(login, &ending.endpoint);
        }
        TrafficCounts counted;
        testing::internal::CaptureStdout();
        sender.sendQueuedBroadcastMessages({&ending.endpoint, &reader.endpoint});
        sender.sendQueuedMessages();
        if (resetByPeer) {
            pair.io.restart();
            while (pair.io.poll() > 0) {
            }
        }
        MessageSender::closeTcpSocket(ending.endpoint.getTcpSocket());
        complete();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(reader.stream(), frameOf(destroyOf(4)));
        EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_TCP_SENT, frameOf(destroyOf(4)).size()));
        if (!resetByPeer) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(ending.stream(), "");
            EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_TCP_SENT, 1));
            continue;
        }
        const std::string reset = boost::system::error_code(boost::asio::error::connection_reset).message();
        EXPECT_EQ(occurrences(out, "TCP: "), 1u) << out;
        EXPECT_EQ(occurrences(out, "Error while broadcasting: " + reset), 1u) << out;
        const size_t failed = occurrences(out, "Error while sending: ");
        EXPECT_GE(failed, 1u) << out;
        EXPECT_LE(failed, 3u) << out;
        EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_TCP_SENT, 2 + failed));
    }
}

// The peer reads nothing, so once the socket buffers are full one write stays outstanding
// and the rest wait behind it; closing the connection frees the waiting ones and cancels the
// outstanding one.
TEST_F(MessageSenderSendTest, ClosingAConnectionReleasesTheWritesWaitingOnIt) {
    Peer reader(pair, CommEndpointTypes::ClientEndpoint, true, true);
    Peer stuck(pair, CommEndpointTypes::ClientEndpoint, true, true);
    takeLittle(stuck);
    std::string destroys;
    // Far below the bound of bytes that may wait for one connection.
    for (int i = 0; i < 30; ++i) {
        Velmor::Login login = loginNamed(std::string(60000, 'y'));
        sender.queue(login, &stuck.endpoint);
        if (i % 10 == 0) {
            Velmor::ObjectDestroy destroy = destroyOf(i);
            sender.broadcast(destroy, SceneGraphType::Player);
            destroys += frameOf(destroy);
        }
    }
    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&stuck.endpoint, &reader.endpoint});
    sender.sendQueuedMessages();
    while (pair.io.poll() > 0) {
    }
    tcp::socket* socket = stuck.endpoint.getTcpSocket();
    MessageSender::closeTcpSocket(socket);
    EXPECT_FALSE(socket->is_open());
    complete();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error while sending: Operation canceled"), std::string::npos);
    EXPECT_NE(out.find("Empty message list\n"), std::string::npos); // in front of the first long frame
    // The endpoint still holds the closed socket until the dispatcher frees it: what is queued
    // for it meanwhile is freed unsent, as for an endpoint without connection.
    Velmor::ObjectDestroy late = destroyOf(1);
    sender.queue(late, &stuck.endpoint);
    sender.broadcast(late, SceneGraphType::Player);
    testing::internal::CaptureStdout();
    sender.sendQueuedBroadcastMessages({&stuck.endpoint});
    sender.sendQueuedMessages();
    complete();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // The other recipient of the shared broadcasts still gets all of them.
    EXPECT_EQ(reader.stream(), destroys);
}

// A packet larger than the socket buffers is written piece by piece; when the connection is
// closed and its socket deleted between two pieces (the dispatcher does so for a closed
// connection), the rest of the packet is never written to the freed socket.
TEST_F(MessageSenderSendTest, PacketCutShortByAClosedConnectionNeverTouchesTheFreedSocket) {
    Peer stuck(pair, CommEndpointTypes::ClientEndpoint, true, true);
    takeLittle(stuck);
    Velmor::Login login = loginNamed(std::string(60000, 'z'));
    for (int i = 0; i < 20; ++i)
        sender.queue(login, &stuck.endpoint);
    testing::internal::CaptureStdout();
    sender.sendQueuedMessages();
    // Until the socket buffers are full and a piece of a packet waits for the peer.
    while (pair.io.poll() > 0) {
    }
    MessageSender::closeTcpSocket(stuck.endpoint.getTcpSocket());
    stuck.endpoint.deleteTcpSocket();
    complete();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error while sending: Operation canceled"),
              std::string::npos);
}

TEST(BroadcastBufferTest, TheLastShareFreesTheRecord) {
    std::string kept("x");
    EXPECT_EQ(BroadcastBuffer::newBuffer(0, &kept), nullptr);

    BroadcastBuffer* b = BroadcastBuffer::newBuffer(3, new std::string("packet"));
    ASSERT_NE(b, nullptr);
    BroadcastBuffer::decrementRecipients(b);
    BroadcastBuffer::decrementRecipients(b);
    EXPECT_EQ(b->recipients.load(), 1u);
    EXPECT_EQ(*b->buffer, "packet");
    BroadcastBuffer::decrementRecipients(b); // frees; the sanitizer build checks nothing is left
}

} // namespace

namespace {

// The live networking with its I/O thread: connections accepted by its receiver, written by its
// client send queue, closed through Network::closeConnection.
class MessageSenderStallTest : public ::testing::Test {
protected:
    void SetUp() override {
        LiveNetwork::get();
        RecordingDispatcher stale;
        dispatchUntil(stale, [] { return true; });
    }

    // A client connection with fixed socket buffers on both sides (the client's large enough for
    // the window to open again as it reads), and its server side.
    tcp::socket* accept(tcp::socket& client) {
        client.open(tcp::v4());
        client.set_option(tcp::socket::receive_buffer_size(128 * 1024));
        client.connect(LiveNetwork::tcpAddress());
        EXPECT_TRUE(dispatchUntil(recorder, [&] { return !recorder.events.empty(); }));
        EXPECT_EQ(recorder.events.front()->eventType, EventTypes::NewConnection);
        tcp::socket* socket = recorder.events.front()->getTcpSocket();
        recorder.events.clear();
        socket->set_option(tcp::socket::send_buffer_size(16384));
        return socket;
    }

    size_t closedEvents(tcp::socket* socket) const {
        size_t n = 0;
        for (const networkEventPtr& event : recorder.events)
            n += event->eventType == EventTypes::ClosedConnection && event->getTcpSocket() == socket;
        return n;
    }

    RecordingDispatcher recorder;
    boost::asio::io_context io;
};

std::string socketText(tcp::socket* socket) {
    char text[32];
    snprintf(text, sizeof(text), "(socket:%lx)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(socket)));
    return text;
}

// A client that never reads has its connection closed once its socket has taken nothing for 30 s
// while bytes wait for it, with one line and its one ClosedConnection; a client that reads some
// every 10 s keeps its connection, however long it takes. The wall clock set an hour forward
// ends no wait.
TEST_F(MessageSenderStallTest, AConnectionWhoseSocketTakesNothingFor30SecondsIsClosed) {
    FakeClock clock;
    tcp::socket never(io), slow(io);
    tcp::socket* neverSide = accept(never);
    tcp::socket* slowSide = accept(slow);
    MessageSender* queue = LiveNetwork::get()->clientMessageSender;
    CommEndpoint neverEndpoint(CommEndpointTypes::ClientEndpoint), slowEndpoint(CommEndpointTypes::ClientEndpoint);
    neverEndpoint.setTcpSocket(neverSide);
    slowEndpoint.setTcpSocket(slowSide);
    // Far more than the socket buffers hold, far less than the bound of the queue.
    for (CommEndpoint* to : {&neverEndpoint, &slowEndpoint})
        for (int i = 0; i < 2500; ++i)
            queue->getBufferList(queue->tcpBuffer_, to)->push_back(new std::string(1400, 'w'));
    testing::internal::CaptureStdout();
    queue->sendQueuedMessages();
    FakeClock::stepWallClock(3600 * 1000);
    dispatchUntil(recorder, [] { return true; });
    EXPECT_TRUE(neverSide->is_open());
    EXPECT_TRUE(slowSide->is_open());

    slow.non_blocking(true);
    char data[16384];
    for (int round = 0; round < 5; ++round) {
        // More than the socket buffers of both sides hold: the server's socket has taken bytes
        // since the last round.
        size_t taken = 0;
        EXPECT_TRUE(waitUntil([&] {
            boost::system::error_code ec;
            for (size_t n; (n = slow.read_some(boost::asio::buffer(data), ec)) > 0;)
                taken += n;
            return taken >= 512 * 1024 || (ec && ec != boost::asio::error::would_block);
        }));
        EXPECT_GE(taken, 512u * 1024);
        clock.advance(10 * 1000);
        dispatchUntil(recorder, [] { return true; });
    }
    const bool neverClosed = dispatchUntil(recorder, [&] { return closedEvents(neverSide) == 1; });
    Network::getInstance()->closeConnection(slowSide);
    EXPECT_TRUE(dispatchUntil(recorder, [&] { return closedEvents(slowSide) == 1; }));
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(neverClosed);
    EXPECT_EQ(closedEvents(neverSide), 1u);
    const std::string line = "Connection closed: nothing sent for 30 seconds ";
    EXPECT_EQ(occurrences(out, line + socketText(neverSide)), 1u) << out;
    EXPECT_EQ(occurrences(out, line), 1u) << out;
    // The receiver reads from a connection until its ClosedConnection was taken.
    if (closedEvents(neverSide) == 0) {
        Network::getInstance()->closeConnection(neverSide);
        dispatchUntil(recorder, [&] { return closedEvents(neverSide) > 0; });
    }
    neverEndpoint.deleteTcpSocket();
    slowEndpoint.deleteTcpSocket();
}

} // namespace
