#include "Common/Network/AbstractPacketReceiver.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Protobuf/Object.pb.h"
#include "Support/Wire/FakeClock.h"
#include "Support/World/LiveNetwork.h"
#include "Support/World/OwnReceiver.h"
#include "Support/Wire/Patience.h"
#include "Support/World/TrafficCounts.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::address_v6;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;

namespace {

std::string qportBytes(uint32_t qport) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((qport >> shift) & 0xFF));
    return bytes;
}

std::string updateFrame(uint64_t id) {
    Velmor::ObjectUpdate update;
    update.set_id(id);
    update.set_timestamp(1);
    return MessageSerializer::serializeMessage(update);
}

std::string pingFrame(uint32_t serial) {
    Velmor::Ping ping;
    ping.set_ping_serial_num(serial);
    return MessageSerializer::serializeMessage(ping);
}

std::string pongFrame(uint32_t serial) {
    Velmor::Pong pong;
    pong.set_ping_serial_num(serial);
    return MessageSerializer::serializeMessage(pong);
}

std::string loginFrame(const std::string& name) {
    Velmor::Login login;
    login.set_logintype(LoginType::First);
    login.set_name(name);
    return MessageSerializer::serializeMessage(login);
}

// Sends `payload` as one datagram from 127.0.0.1 port 0, which no answer can reach, through a
// raw socket; false when the process may not open one.
bool sendFromPortZero(const std::string& payload, uint16_t toPort) {
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (fd < 0)
        return false;
    std::string datagram(8, '\0');
    const uint16_t length = static_cast<uint16_t>(8 + payload.size());
    datagram[2] = static_cast<char>(toPort >> 8);
    datagram[3] = static_cast<char>(toPort & 0xFF);
    datagram[4] = static_cast<char>(length >> 8);
    datagram[5] = static_cast<char>(length & 0xFF);
    datagram += payload; // source port and checksum 0: no checksum
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool sent = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
                      static_cast<ssize_t>(datagram.size());
    ::close(fd);
    return sent;
}

// A Logout frame of 5 bytes whose field carries `tag` (below 128), so a stream of them can be
// checked for order.
std::string logoutFrame(uint32_t tag) {
    Velmor::Logout logout;
    logout.set_logoutastype(tag);
    return MessageSerializer::serializeMessage(logout);
}

// The Login that makes a connection a watcher: an Additional login of a qport nobody holds.
std::string watcherLoginFrame() {
    Velmor::Login login;
    login.set_logintype(LoginType::Additional);
    login.set_qport(0x7777);
    return MessageSerializer::serializeMessage(login);
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The process's live networking with its I/O thread; whatever earlier tests left queued is
// taken out first.
class PacketReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        LiveNetwork::get();
        RecordingDispatcher stale;
        dispatchUntil(stale, [] { return true; });
        LiveNetwork::get()->packetReceiver->resetHeldPeaksForTesting();
    }

    // The server side of a connection may only go once its ClosedConnection was taken: until
    // then the receiver still reads from it.
    void TearDown() override {
        for (tcp::socket* socket : accepted) {
            RecordingDispatcher closing;
            EXPECT_TRUE(dispatchUntil(closing, [&] {
                for (const networkEventPtr& event : closing.events)
                    if (event->eventType == EventTypes::ClosedConnection && event->getTcpSocket() == socket)
                        return true;
                return socket->is_open() == false;
            }));
            delete socket;
        }
    }

    // Waits until the recorder holds `n` events.
    bool receive(size_t n) {
        return dispatchUntil(recorder, [&] { return recorder.events.size() >= n; });
    }

    // Waits for the next datagram the server sends back to `client`: its length, 0 when none came.
    size_t answer(char* into, size_t size, udp::endpoint* from = nullptr) {
        udp::endpoint source;
        client.non_blocking(true);
        boost::system::error_code ec = boost::asio::error::would_block;
        size_t n = 0;
        waitUntil([&] {
            n = client.receive_from(boost::asio::buffer(into, size), source, 0, ec);
            return ec != boost::asio::error::would_block;
        });
        if (from)
            *from = source;
        return ec ? 0 : n;
    }

    // The server-side socket of a connection the test opened, once its NewConnection arrived.
    tcp::socket* acceptedSocket(tcp::socket& peer) {
        peer.connect(LiveNetwork::tcpAddress());
        EXPECT_TRUE(receive(1));
        EXPECT_EQ(recorder.events.front()->eventType, EventTypes::NewConnection);
        tcp::socket* socket = recorder.events.front()->getTcpSocket();
        accepted.push_back(socket);
        recorder.events.clear();
        return socket;
    }

    boost::asio::io_context io;
    udp::socket client{io, udp::endpoint(address_v4::loopback(), 0)};
    RecordingDispatcher recorder;
    std::vector<tcp::socket*> accepted;
};

TEST_F(PacketReceiverTest, DatagramsWithoutFramesQueueNothingAndOneTooShortIsReported) {
    testing::internal::CaptureStdout();
    client.send_to(boost::asio::buffer(std::string("\x01\x02", 2)), LiveNetwork::udpAddress());
    client.send_to(boost::asio::buffer(qportBytes(7)), LiveNetwork::udpAddress());
    client.send_to(boost::asio::buffer(qportBytes(0x30005) + updateFrame(11)), LiveNetwork::udpAddress());
    ASSERT_TRUE(receive(1));
    const std::string out = testing::internal::GetCapturedStdout();

    ASSERT_EQ(recorder.events.size(), 1u);
    const networkEventPtr& event = recorder.events.front();
    EXPECT_EQ(event->messageType, MessageTypes::ObjectUpdate);
    EXPECT_EQ(event->qport, 0x30005u);
    ASSERT_NE(event->getUdpEndpoint(), nullptr);
    EXPECT_EQ(*event->getUdpEndpoint(), client.local_endpoint());
    EXPECT_EQ(event->getTcpSocket(), nullptr);
    EXPECT_EQ(count(out, "Error datagram of 2 bytes is too short for a qport\n"), 1u);
    EXPECT_EQ(out.find("leftovers"), std::string::npos);
}

TEST_F(PacketReceiverTest, PingIsAnsweredAtOnceWithoutQportAndNeitherPingNorPongIsQueued) {
    Velmor::Pong pong;
    pong.set_ping_serial_num(7);
    client.send_to(
        boost::asio::buffer(qportBytes(9) + pingFrame(5) + updateFrame(12) + MessageSerializer::serializeMessage(pong)),
        LiveNetwork::udpAddress());

    char pongs[64];
    udp::endpoint from;
    const size_t n = answer(pongs, sizeof(pongs), &from);
    ASSERT_NE(n, 0u);
    EXPECT_EQ(std::string(pongs, n), std::string("\x03\x00\x3a\x08\x05", 5));
    EXPECT_EQ(from.port(), LiveNetwork::port());

    ASSERT_TRUE(receive(1));
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(20));
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events.front()->messageType, MessageTypes::ObjectUpdate);
    EXPECT_EQ(recorder.events.front()->qport, 9u);
}

// A datagram of many pings brings back one datagram holding their pongs, no longer than itself,
// so a sender that fakes its source cannot use the server to multiply its traffic.
TEST_F(PacketReceiverTest, ThePingsOfOneDatagramAreAnsweredInOneDatagramNoLongerThanIt) {
    std::string datagram = qportBytes(9);
    std::string pongs;
    for (uint32_t serial = 1; datagram.size() + pingFrame(serial).size() <= 2048; serial += 97) {
        datagram += pingFrame(serial);
        pongs += pongFrame(serial);
    }
    client.send_to(boost::asio::buffer(datagram), LiveNetwork::udpAddress());
    char back[4096];
    const size_t n = answer(back, sizeof(back));
    ASSERT_NE(n, 0u);
    EXPECT_EQ(std::string(back, n), pongs);
    EXPECT_LE(n, datagram.size());
    // Nothing else comes back: datagrams are handled in arrival order, and a datagram's answer
    // leaves before the next datagram is read, so once the next one's event is here any further
    // answer would be waiting.
    client.send_to(boost::asio::buffer(qportBytes(9) + updateFrame(16)), LiveNetwork::udpAddress());
    ASSERT_TRUE(receive(1));
    boost::system::error_code ec;
    client.receive(boost::asio::buffer(back), 0, ec);
    EXPECT_EQ(ec, boost::asio::error::would_block);
}

// The Pongs of a datagram leave together after its frames are read; when that send fails (no
// answer can reach source port 0), what came from the first Ping on is not queued, as if each
// Ping had been answered in turn and the first answer had failed.
TEST_F(PacketReceiverTest, AFailedAnswerToAPingQueuesOnlyTheEventsBeforeIt) {
    testing::internal::CaptureStdout();
    const bool sent = sendFromPortZero(qportBytes(9) + updateFrame(31) + pingFrame(1) + updateFrame(32) + pingFrame(2) +
                                           updateFrame(33),
                                       LiveNetwork::port());
    if (!sent) {
        testing::internal::GetCapturedStdout();
        GTEST_SKIP() << "needs a raw socket (CAP_NET_RAW) to send from port 0";
    }
    // Handled in arrival order: once the next datagram's event is here, the first was handled.
    client.send_to(boost::asio::buffer(qportBytes(9) + updateFrame(34)), LiveNetwork::udpAddress());
    const bool received = dispatchUntil(recorder, [&] {
        return !recorder.events.empty() &&
               static_cast<const Velmor::ObjectUpdate*>(recorder.events.back()->message)->id() == 34;
    });
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(received) << out;
    std::vector<uint64_t> ids;
    for (const networkEventPtr& event : recorder.events)
        ids.push_back(static_cast<const Velmor::ObjectUpdate*>(event->message)->id());
    EXPECT_EQ(ids, (std::vector<uint64_t>{31, 34}));
    EXPECT_EQ(recorder.events.front()->getUdpEndpoint()->port(), 0);
    EXPECT_EQ(count(out, "Argh execption in handle udp recive error\n"), 1u) << out;
}

// Every line that a datagram can cause is bounded like the other input lines: at most 10 of
// a kind a second, then one line with the count of those left out.
TEST_F(PacketReceiverTest, LinesThatDatagramsCauseAreBoundedPerKind) {
    const struct {
        const char* what;
        std::string frames;
        bool fromPortZero;
        std::string line;
        std::string kind;
    } cases[] = {
        {"a ping that cannot be answered", pingFrame(1), true, "Argh execption in handle udp recive error\n",
         "Argh execption in handle udp recive error"},
        {"an unknown type byte", std::string("\x01\x00\x07", 3), false,
         "Unknown message type received (type byte: 0x7)", "Unknown message type received (type byte: 0x%x) info %s"},
        {"a frame that does not parse", std::string("\x01\x00\x31", 3), false, "Error in parseing message Login",
         "Error in parseing message"},
        {"leftovers", std::string("\x09\x00\x31", 3), false, "Error has leftovers after UDP 3 of 3 - ",
         "Error has leftovers after UDP %d of %d - %s"},
    };
    const int sent = 30;
    FakeClock clock;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DebugResetInputLimitsForTesting();
        testing::internal::CaptureStdout();
        bool raw = true;
        for (int i = 0; i < sent && raw; ++i) {
            if (c.fromPortZero)
                raw = sendFromPortZero(qportBytes(9) + c.frames, LiveNetwork::port());
            else
                client.send_to(boost::asio::buffer(qportBytes(9) + c.frames), LiveNetwork::udpAddress());
        }
        // Handled in arrival order: once the next datagram's event is here, all were handled.
        client.send_to(boost::asio::buffer(qportBytes(9) + updateFrame(40)), LiveNetwork::udpAddress());
        recorder.events.clear();
        const bool received = receive(1);
        clock.advance(1001);
        DebugReportLeftOutInput();
        const std::string out = testing::internal::GetCapturedStdout();
        if (!raw) {
            ADD_FAILURE() << "needs a raw socket (CAP_NET_RAW) to send from port 0";
            continue;
        }
        ASSERT_TRUE(received);
        EXPECT_EQ(count(out, c.line), static_cast<size_t>(INPUT_LINES_PER_SECOND)) << out;
        EXPECT_EQ(count(out, "Left out " + std::to_string(sent - INPUT_LINES_PER_SECOND) + " more lines \"" + c.kind +
                                 "\" in one second\n"),
                  1u)
            << out;
    }
}

// A peer's bytes are printed escaped: they cannot forge a diagnostic line or a terminal's state.
TEST_F(PacketReceiverTest, LeftoverBytesOfADatagramArePrintedEscaped) {
    // A frame that claims more bytes than follow it: its bytes are left over.
    const std::string datagram = qportBytes(3) + "\xff\x7f\nid:1:[4242] Server 7 has connected to us\x1b[2J";
    testing::internal::CaptureStdout();
    client.send_to(boost::asio::buffer(datagram), LiveNetwork::udpAddress());
    // Handled in arrival order: once the next datagram's event is here, the line was printed.
    client.send_to(boost::asio::buffer(qportBytes(3) + updateFrame(15)), LiveNetwork::udpAddress());
    const bool received = receive(1);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(received);
    const std::string size = std::to_string(datagram.size() - 4);
    EXPECT_NE(out.find("Error has leftovers after UDP " + size + " of " + size +
                       " - \\xff\\x7f\\x0aid:1:[4242] Server 7 has connected to us\\x1b[2J\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("\nid:1:[4242]"), std::string::npos) << out;
}

// A length field of 0 cannot be read past: the connection fails, with its one ClosedConnection
// event after the frames before it, instead of reporting every later read.
TEST_F(PacketReceiverTest, ALengthOfZeroFailsATcpConnection) {
    tcp::socket peer(io);
    tcp::socket* socket = acceptedSocket(peer);
    testing::internal::CaptureStdout();
    boost::asio::write(peer, boost::asio::buffer(updateFrame(21) + std::string("\x00\x00", 2) + updateFrame(22)));
    ASSERT_TRUE(receive(2));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0]->messageType, MessageTypes::ObjectUpdate);
    EXPECT_EQ(static_cast<const Velmor::ObjectUpdate*>(recorder.events[0]->message)->id(), 21u);
    EXPECT_EQ(recorder.events[1]->eventType, EventTypes::ClosedConnection);
    EXPECT_EQ(recorder.events[1]->getTcpSocket(), socket);
    EXPECT_NE(
        out.find("TCP Error: " + boost::system::errc::make_error_code(boost::system::errc::bad_message).message()),
        std::string::npos);
    // Closed by the main thread as it takes the event: the peer sees the end of the stream.
    char byte;
    boost::system::error_code ec;
    peer.read_some(boost::asio::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, boost::asio::error::eof);
}

// Whatever a datagram or a read holds, and whoever sent it, it is received client traffic;
// the Pong sent back is no counted send.
TEST_F(PacketReceiverTest, EveryDatagramAndEveryReadCountsAsReceivedClientTraffic) {
    const std::string datagrams[] = {std::string("\x01\x02", 2), qportBytes(7), qportBytes(8) + pingFrame(2),
                                     qportBytes(9) + updateFrame(13)};
    TrafficCounts overUdp;
    uint64_t bytes = 0;
    testing::internal::CaptureStdout();
    for (const std::string& datagram : datagrams) {
        client.send_to(boost::asio::buffer(datagram), LiveNetwork::udpAddress());
        bytes += datagram.size();
    }
    // Handled in arrival order: once the last one's event is here, every datagram was counted.
    const bool received = receive(1);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(received);
    EXPECT_EQ(overUdp.packages(), TrafficCounts::inSlot(CS_UDP_RCVD, 4));
    EXPECT_EQ(overUdp.bandwidth(), TrafficCounts::inSlot(CS_UDP_RCVD, bytes));

    recorder.events.clear();
    tcp::socket peer(io);
    acceptedSocket(peer);
    TrafficCounts overTcp;
    const std::string frame = loginFrame("counted");
    boost::asio::write(peer, boost::asio::buffer(frame));
    ASSERT_TRUE(receive(1));
    EXPECT_EQ(overTcp.packages(), TrafficCounts::inSlot(CS_TCP_RCVD, 1));
    EXPECT_EQ(overTcp.bandwidth(), TrafficCounts::inSlot(CS_TCP_RCVD, frame.size()));

    // The end of the stream is one more read, of no bytes.
    testing::internal::CaptureStdout();
    peer.close();
    const bool closed = receive(2);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(closed);
    EXPECT_EQ(recorder.events.back()->eventType, EventTypes::ClosedConnection);
    EXPECT_EQ(overTcp.packages(), TrafficCounts::inSlot(CS_TCP_RCVD, 2));
    EXPECT_EQ(overTcp.bandwidth(), TrafficCounts::inSlot(CS_TCP_RCVD, frame.size()));
}

// The answer to a ping of this server's own: measured on the I/O thread when it came by UDP;
// over TCP it is queued and the dispatcher ignores it.
TEST_F(PacketReceiverTest, OnlyAPongByUdpWithItsSerialTakesALatencySample) {
    const struct {
        const char* what;
        bool byUdp;
        uint64_t latency;
    } cases[] = {
        {"by UDP", true, 40},
        {"over TCP", false, 0},
    };
    FakeClock clock;
    Logger* log = Logger::getInstance();
    tcp::socket peer(io);
    acceptedSocket(peer);
    MessageDispatcher dispatcher(nullptr);
    for (const auto& c : cases) {
        log->resetForTesting();
        log->sending_latency_serial(21);
        clock.advance(40);
        LiveNetwork::syncWithIoThread(); // the I/O thread reads the ring
        Velmor::Pong pong;
        pong.set_ping_serial_num(21);
        // The update behind the Pong shows that the Pong was handled.
        const std::string frames = MessageSerializer::serializeMessage(pong) + updateFrame(14);
        if (c.byUdp)
            client.send_to(boost::asio::buffer(qportBytes(5) + frames), LiveNetwork::udpAddress());
        else
            boost::asio::write(peer, boost::asio::buffer(frames));
        recorder.events.clear();
        ASSERT_TRUE(dispatchUntil(recorder, [&] {
            return !recorder.events.empty() && recorder.events.back()->messageType == MessageTypes::ObjectUpdate;
        })) << c.what;
        for (const networkEventPtr& event : recorder.events)
            dispatcher.dispatchEvent(event);
        EXPECT_EQ(log->lastLatency.load(), c.latency) << c.what;
    }
    log->resetForTesting();
    peer.close();
}

TEST_F(PacketReceiverTest, TcpFramesSplitAcrossReadsAreQueuedOnceWithTheirConnection) {
    tcp::socket peer(io);
    tcp::socket* socket = acceptedSocket(peer);
    const std::string stream = loginFrame("split") + pingFrame(3);

    boost::asio::write(peer, boost::asio::buffer(stream.substr(0, 1)));
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(recorder.events.empty());
    boost::asio::write(peer, boost::asio::buffer(stream.substr(1, 5)));
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(recorder.events.empty());
    boost::asio::write(peer, boost::asio::buffer(stream.substr(6)));

    // The Ping came by TCP, so it is queued like any other message.
    ASSERT_TRUE(receive(2));
    EXPECT_EQ(recorder.events[0]->messageType, MessageTypes::Login);
    EXPECT_EQ(static_cast<Velmor::Login*>(recorder.events[0]->message)->name(), "split");
    EXPECT_EQ(recorder.events[1]->messageType, MessageTypes::Ping);
    for (const networkEventPtr& event : recorder.events) {
        EXPECT_EQ(event->getTcpSocket(), socket);
        EXPECT_EQ(event->getUdpEndpoint(), nullptr);
        EXPECT_EQ(event->qport, 0u);
    }
    peer.close();
}

TEST_F(PacketReceiverTest, PeerClosingInsideAFrameEndsInOneClosedConnectionAndAClosedSocket) {
    tcp::socket peer(io);
    tcp::socket* socket = acceptedSocket(peer);
    testing::internal::CaptureStdout();
    boost::asio::write(peer, boost::asio::buffer(loginFrame("cut").substr(0, 4)));
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(50));
    peer.close();
    ASSERT_TRUE(receive(1));
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(20));
    const std::string out = testing::internal::GetCapturedStdout();

    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events.front()->eventType, EventTypes::ClosedConnection);
    EXPECT_EQ(recorder.events.front()->getTcpSocket(), socket);
    EXPECT_EQ(recorder.events.front()->message, nullptr);
    EXPECT_NE(out.find("TCP Error: "), std::string::npos);
    EXPECT_LT(out.find("TCP Error: "), out.find("Cleaning Leftovers\n"));
    // Closed on this thread as the event was taken; deleting it is the dispatcher's part.
    EXPECT_FALSE(socket->is_open());
}

// Connections that stream small frames as fast as loopback takes them are each held back at
// their share of the TCP queue until the main thread takes it: every frame is dispatched, in
// order, and none of them holds more than its share at any moment.
TEST_F(PacketReceiverTest, FastTcpStreamsAreHeldToTheirShareAndLoseNothing) {
    const size_t connections = 3;
    const uint32_t frames = 20000;
    std::vector<std::unique_ptr<tcp::socket>> peers;
    std::vector<tcp::socket*> sockets;
    for (size_t c = 0; c < connections; ++c) {
        peers.emplace_back(new tcp::socket(io));
        sockets.push_back(acceptedSocket(*peers.back()));
    }
    std::string stream = watcherLoginFrame();
    for (uint32_t i = 0; i < frames; ++i)
        stream += logoutFrame(i % 128);
    std::vector<std::thread> writers;
    for (size_t c = 0; c < connections; ++c)
        writers.emplace_back([&, c] { boost::asio::write(*peers[c], boost::asio::buffer(stream)); });

    std::vector<std::vector<networkEventPtr>> received(connections);
    size_t total = 0;
    recorder.action = [&](networkEventPtr event) {
        for (size_t c = 0; c < connections; ++c)
            if (event->getTcpSocket() == sockets[c])
                received[c].push_back(event);
        ++total;
    };
    const bool all = dispatchUntil(recorder, [&] {
        recorder.events.clear();
        return total >= connections * (frames + 1);
    });
    for (std::thread& writer : writers)
        writer.join();
    ASSERT_TRUE(all) << total << " of " << connections * (frames + 1);
    for (size_t c = 0; c < connections; ++c) {
        ASSERT_EQ(received[c].size(), frames + 1u) << c;
        EXPECT_EQ(received[c][0]->messageType, MessageTypes::Login);
        for (uint32_t i = 0; i < frames; ++i) {
            ASSERT_EQ(received[c][i + 1]->messageType, MessageTypes::Logout);
            ASSERT_EQ(static_cast<const Velmor::Logout*>(received[c][i + 1]->message)->logoutastype(), i % 128)
                << c << " " << i;
        }
    }
    AbstractPacketReceiver* receiver = LiveNetwork::get()->packetReceiver;
    EXPECT_LE(receiver->tcpEventsHeldPeak(), static_cast<size_t>(TCP_SHARE_EVENTS));
    EXPECT_LE(receiver->tcpBytesHeldPeak(), static_cast<size_t>(TCP_SHARE_BYTES));
    for (std::unique_ptr<tcp::socket>& peer : peers)
        peer->close();
}

// A connection held back at its share has no read pending that its close could end: closed by
// the main thread, it still ends in exactly one ClosedConnection, after the frames it brought.
TEST_F(PacketReceiverTest, AConnectionHeldBackAtItsShareClosesInOneClosedConnection) {
    tcp::socket peer(io);
    tcp::socket* socket = acceptedSocket(peer);
    std::string stream;
    for (uint32_t i = 0; i < 4000; ++i)
        stream += logoutFrame(i % 128);
    boost::asio::write(peer, boost::asio::buffer(stream));
    AbstractPacketReceiver* receiver = LiveNetwork::get()->packetReceiver;
    // Nothing is taken meanwhile: the connection fills its share and is held back there.
    ASSERT_TRUE(waitUntil([&] { return receiver->tcpEventsHeldPeak() + 1 >= TCP_SHARE_EVENTS; }));
    EXPECT_LE(receiver->tcpEventsHeldPeak(), static_cast<size_t>(TCP_SHARE_EVENTS));
    testing::internal::CaptureStdout();
    LiveNetwork::get()->closeConnection(socket);
    size_t closed = 0;
    recorder.action = [&](networkEventPtr event) { closed += event->eventType == EventTypes::ClosedConnection; };
    ASSERT_TRUE(dispatchUntil(recorder, [&] { return closed > 0; }));
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(50));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(closed, 1u);
    ASSERT_GE(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events.back()->eventType, EventTypes::ClosedConnection);
    EXPECT_EQ(recorder.events.back()->getTcpSocket(), socket);
    for (size_t i = 0; i + 1 < recorder.events.size(); ++i)
        ASSERT_EQ(static_cast<const Velmor::Logout*>(recorder.events[i]->message)->logoutastype(), i % 128) << i;
}

// A connection whose incomplete frame has had no new byte for 30 s has failed: closed by the
// main thread with one line, it ends in its one ClosedConnection. One without leftovers may be
// silent for as long as it likes. The wall clock set an hour forward ends no wait.
TEST_F(PacketReceiverTest, AnIncompleteFrameWithoutANewByteFor30SecondsFailsItsConnection) {
    FakeClock clock;
    tcp::socket stuck(io);
    tcp::socket* stuckSocket = acceptedSocket(stuck);
    tcp::socket quiet(io);
    tcp::socket* quietSocket = acceptedSocket(quiet);
    // In one write, so one read: once the whole frame is here, the leftovers are held.
    boost::asio::write(stuck, boost::asio::buffer(updateFrame(51) + loginFrame("never ends").substr(0, 4)));
    boost::asio::write(quiet, boost::asio::buffer(updateFrame(52)));
    ASSERT_TRUE(receive(2));
    recorder.events.clear();

    const auto closedEvents = [&](tcp::socket* socket) {
        size_t n = 0;
        for (const networkEventPtr& event : recorder.events)
            n += event->eventType == EventTypes::ClosedConnection && event->getTcpSocket() == socket;
        return n;
    };
    testing::internal::CaptureStdout();
    clock.stepWallClock(3600 * 1000);
    clock.advance(INCOMPLETE_FRAME_TIMEOUT_MS - 1);
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(recorder.events.empty());
    clock.advance(1);
    const bool closed = dispatchUntil(recorder, [&] { return closedEvents(stuckSocket) > 0; });
    dispatchUntil(
        recorder, [] { return false; }, std::chrono::milliseconds(50));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(closed) << out;
    EXPECT_EQ(closedEvents(stuckSocket), 1u);
    EXPECT_EQ(closedEvents(quietSocket), 0u);
    EXPECT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(count(out, "Connection from 127.0.0.1 closed: its incomplete frame had no new byte for 30 seconds\n"), 1u)
        << out;
    char byte;
    boost::system::error_code ec;
    stuck.read_some(boost::asio::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, boost::asio::error::eof);
    quiet.close();
}

TEST_F(PacketReceiverTest, UdpEventsGoFirstAndAThrowingDispatchStopsNeitherQueue) {
    AbstractPacketReceiver* receiver = LiveNetwork::get()->packetReceiver;
    const auto event = [](MessageTypes::MessageType type, uint32_t tag) {
        networkEventPtr e(new NetworkEvent());
        e->eventType = EventTypes::Message;
        e->messageType = type;
        e->qport = tag;
        return e;
    };
    receiver->addTCPNetworkEvent(event(MessageTypes::Login, 3));
    receiver->addTCPNetworkEvent(event(MessageTypes::Login, 4));
    receiver->addUDPNetworkEvent(event(MessageTypes::ObjectUpdate, 1));
    receiver->addUDPNetworkEvent(event(MessageTypes::ObjectUpdate, 2));
    recorder.action = [](networkEventPtr e) {
        if (e->qport == 1)
            throw boost::asio::error::make_error_code(boost::asio::error::not_connected);
        if (e->qport == 3)
            throw std::runtime_error("handler failed");
    };

    testing::internal::CaptureStdout();
    // Only what the test added: nothing else reaches the port meanwhile.
    dispatchUntil(recorder, [] { return true; });
    const std::string out = testing::internal::GetCapturedStdout();

    std::vector<uint32_t> order;
    for (const networkEventPtr& e : recorder.events)
        order.push_back(e->qport);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3, 4}));
    const std::string errorCodeLines = "Error in dispatch messages et:0 mt:45 \n";
    EXPECT_EQ(count(out, errorCodeLines), 1u);
    EXPECT_EQ(count(out, "Message: " +
                             boost::asio::error::make_error_code(boost::asio::error::not_connected).message() + "\n"),
              1u);
    EXPECT_EQ(count(out, "Error in dispatch messages et:0 mt:49 \n"), 1u);
    EXPECT_EQ(count(out, "Message: "), 1u);

    recorder.events.clear();
    dispatchUntil(recorder, [] { return true; });
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(PacketReceiverTest, FullUdpRingGivesUpItsOldestEvent) {
    AbstractPacketReceiver* receiver = LiveNetwork::get()->packetReceiver;
    for (uint32_t i = 0; i < 50001; ++i) {
        networkEventPtr e(new NetworkEvent());
        e->qport = i;
        receiver->addUDPNetworkEvent(e);
    }
    dispatchUntil(recorder, [] { return true; });
    ASSERT_EQ(recorder.events.size(), 50000u);
    for (uint32_t i = 0; i < 50000; ++i)
        ASSERT_EQ(recorder.events[i]->qport, i + 1);
}

// The queue's lock is held only while its events are taken, so an event queued during the
// dispatch, even by a handler, waits for the next one instead of for the lock.
TEST_F(PacketReceiverTest, EventsQueuedDuringADispatchWaitForTheNext) {
    AbstractPacketReceiver* receiver = LiveNetwork::get()->packetReceiver;
    const auto event = [](uint32_t tag) {
        networkEventPtr e = std::make_shared<NetworkEvent>();
        e->qport = tag;
        return e;
    };
    receiver->addUDPNetworkEvent(event(1));
    receiver->addTCPNetworkEvent(event(2));
    recorder.action = [&](networkEventPtr e) {
        if (e->qport == 1)
            receiver->addUDPNetworkEvent(event(11));
        if (e->qport == 2)
            receiver->addTCPNetworkEvent(event(12));
    };
    dispatchUntil(recorder, [] { return true; });
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0]->qport, 1u);
    EXPECT_EQ(recorder.events[1]->qport, 2u);

    recorder.events.clear();
    recorder.action = nullptr;
    dispatchUntil(recorder, [] { return true; });
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0]->qport, 11u);
    EXPECT_EQ(recorder.events[1]->qport, 12u);
}

// A receiver of its own on a socket of its own, driven by the test thread.
class OwnReceiverTest : public ::testing::Test {
protected:
    void SetUp() override { receiver = receiverOn<AbstractPacketReceiver>(socket, &io); }

    void TearDown() override {
        // The pending receive ends with the socket and frees its buffer.
        socket.close();
        io.restart();
        io.run();
    }

    boost::asio::io_context io;
    udp::socket socket{io, udp::endpoint(address_v4::loopback(), 0)};
    std::unique_ptr<AbstractPacketReceiver> receiver;
    RecordingDispatcher recorder;
};

// The Pong cannot go to an IPv6 source through an IPv4 socket: the send throws inside the
// handler, which reports it and receives on all the same.
TEST_F(OwnReceiverTest, UdpReceptionGoesOnAfterAnExceptionInTheHandler) {
    socket.cancel();
    testing::internal::CaptureStdout();
    io.run(); // the receive armed at construction ends; a cancelled socket is not received on again
    receiver->sender_endpoint_ = udp::endpoint(address_v6::loopback(), 9);
    const std::string datagram = qportBytes(1) + pingFrame(1);
    char* data = new char[AbstractPacketReceiver::max_length];
    datagram.copy(data, datagram.size());
    receiver->handleUDPReceive(boost::system::error_code(), data, datagram.size(), &socket);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count(out, "Argh execption in handle udp recive error\n"), 1u);

    udp::socket sender(io, udp::endpoint(address_v4::loopback(), 0));
    sender.send_to(boost::asio::buffer(qportBytes(2) + updateFrame(4)), socket.local_endpoint());
    io.restart();
    io.run_one_for(Patience);
    receiver->dispatch(&recorder);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events.front()->qport, 2u);
}

TEST_F(OwnReceiverTest, AFailedReceiveIsCountedBeforeItsErrorIsLookedAt) {
    TrafficCounts counted;
    testing::internal::CaptureStdout();
    receiver->handleUDPReceive(boost::asio::error::make_error_code(boost::asio::error::operation_aborted),
                               new char[AbstractPacketReceiver::max_length], 0, &socket);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_RCVD, 1));
    EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_RCVD, 0));
}

// What waits in the socket when a receive completes is read behind it and handled as the
// completed one is: each datagram with its own qport and source, a ping answered to where it
// came from, every datagram counted with its bytes.
TEST_F(OwnReceiverTest, DatagramsReadBehindACompletedReceiveAreHandledAsItIs) {
    udp::socket first(io, udp::endpoint(address_v4::loopback(), 0));
    udp::socket second(io, udp::endpoint(address_v4::loopback(), 0));
    const std::string datagrams[] = {qportBytes(1) + updateFrame(1), qportBytes(2) + updateFrame(2) + pingFrame(7),
                                     qportBytes(3) + updateFrame(3), qportBytes(4) + updateFrame(4)};
    TrafficCounts counted;
    size_t bytes = 0;
    for (size_t i = 0; i < 4; ++i) {
        (i % 2 ? second : first).send_to(boost::asio::buffer(datagrams[i]), socket.local_endpoint());
        bytes += datagrams[i].size();
    }
    ASSERT_EQ(io.run_one(), 1u);
    receiver->dispatch(&recorder);
    ASSERT_EQ(recorder.events.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(recorder.events[i]->qport, i + 1);
        EXPECT_EQ(static_cast<const Velmor::ObjectUpdate*>(recorder.events[i]->message)->id(), i + 1);
        EXPECT_EQ(*recorder.events[i]->getUdpEndpoint(), (i % 2 ? second : first).local_endpoint());
    }
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_RCVD, 4));
    EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_RCVD, bytes));
    second.non_blocking(true);
    char answer[64];
    boost::system::error_code ec;
    const size_t n = second.receive(boost::asio::buffer(answer), 0, ec);
    ASSERT_FALSE(ec);
    EXPECT_EQ(std::string(answer, n), pongFrame(7));
}

// A datagram too short for a qport, and one longer than a read takes (cut to 2048 bytes, its
// incomplete frame reported), are handled alike whether a completed receive brings them or
// they are read behind it.
TEST_F(OwnReceiverTest, ShortAndOverlongDatagramsAreHandledAlikeEitherWay) {
    udp::socket client(io, udp::endpoint(address_v4::loopback(), 0));
    const struct {
        std::string datagram;
        std::string line;
        size_t counted;
    } cases[] = {
        {"", "Error datagram of 0 bytes is too short for a qport\n", 0},
        {"abc", "Error datagram of 3 bytes is too short for a qport\n", 3},
        {qportBytes(9) + loginFrame(std::string(2990, 'n')), "Error has leftovers after UDP 2044 of 2044 - ", 2048},
    };
    const std::string good = qportBytes(5) + updateFrame(5);
    for (const auto& c : cases) {
        TrafficCounts counted;
        for (const std::string* datagram : {&c.datagram, &good, &c.datagram})
            client.send_to(boost::asio::buffer(*datagram), socket.local_endpoint());
        testing::internal::CaptureStdout();
        ASSERT_EQ(io.run_one(), 1u);
        const std::string out = testing::internal::GetCapturedStdout();
        recorder.events.clear();
        receiver->dispatch(&recorder);
        EXPECT_EQ(count(out, c.line), 2u) << c.line;
        ASSERT_EQ(recorder.events.size(), 1u) << c.line;
        EXPECT_EQ(recorder.events.front()->qport, 5u);
        EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_RCVD, 3)) << c.line;
        EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_RCVD, 2 * c.counted + good.size())) << c.line;
    }
}

// Datagrams already waiting when a receive completes are handled with it, up to the bound of
// one wake-up; the rest come with the next completions. Every datagram becomes its events in
// arrival order with its own qport and source, its pings are answered, and all are counted.
TEST_F(OwnReceiverTest, DatagramsWaitingInTheSocketAreHandledInOrderABoundedNumberAWakeUp) {
    const uint32_t datagrams = MAX_DATAGRAMS_PER_WAKE + 300;
    if (Network::setReceiveBuffer(socket, 4 << 20) < (4 << 20))
        GTEST_SKIP() << "needs a 4 MiB receive buffer: run as root or raise net.core.rmem_max";
    udp::socket first(io, udp::endpoint(address_v4::loopback(), 0));
    udp::socket second(io, udp::endpoint(address_v4::loopback(), 0));
    TrafficCounts counted;
    size_t bytes = 0;
    for (uint32_t i = 0; i < datagrams; ++i) {
        std::string datagram = qportBytes(i) + updateFrame(i);
        if (i % 100 == 0)
            datagram += pingFrame(i);
        bytes += datagram.size();
        (i % 2 ? second : first).send_to(boost::asio::buffer(datagram), socket.local_endpoint());
    }

    // The receive armed at construction takes the first; the socket holds the rest.
    ASSERT_EQ(io.run_one(), 1u);
    receiver->dispatch(&recorder);
    EXPECT_EQ(recorder.events.size(), 1u + MAX_DATAGRAMS_PER_WAKE);
    while (recorder.events.size() < datagrams && io.run_one_for(Patience) == 1)
        receiver->dispatch(&recorder);
    ASSERT_EQ(recorder.events.size(), datagrams);
    for (uint32_t i = 0; i < datagrams; ++i) {
        const networkEventPtr& event = recorder.events[i];
        ASSERT_EQ(event->qport, i);
        ASSERT_EQ(static_cast<const Velmor::ObjectUpdate*>(event->message)->id(), i);
        ASSERT_EQ(*event->getUdpEndpoint(), (i % 2 ? second : first).local_endpoint()) << i;
    }
    EXPECT_EQ(counted.packages(), TrafficCounts::inSlot(CS_UDP_RCVD, datagrams));
    EXPECT_EQ(counted.bandwidth(), TrafficCounts::inSlot(CS_UDP_RCVD, bytes));

    // Every 100th datagram carried a ping, all from the first socket: each answered there, in order.
    first.non_blocking(true);
    std::vector<uint32_t> answered;
    char answer[64];
    boost::system::error_code ec;
    for (size_t n; (n = first.receive(boost::asio::buffer(answer), 0, ec)) > 0 && !ec;) {
        std::string leftovers;
        for (const networkEventPtr& e : MessageSerializer::deserializeMessageArray(answer, n, &leftovers))
            answered.push_back(static_cast<const Velmor::Pong*>(e->message)->ping_serial_num());
    }
    std::vector<uint32_t> pinged;
    for (uint32_t i = 0; i < datagrams; i += 100)
        pinged.push_back(i);
    EXPECT_EQ(answered, pinged);
}

// Datagrams of empty RegionUpdate frames (3 bytes each, no required field) make the most events
// a datagram can: one wake-up reading many of them leaves the newest events of a full ring, in
// order, and at no moment holds more than the ring and one datagram's events.
TEST_F(OwnReceiverTest, AWakeUpOfFrameDenseDatagramsHoldsAtMostTheRingAndOneDatagram) {
    if (Network::setReceiveBuffer(socket, 4 << 20) < (4 << 20))
        GTEST_SKIP() << "needs a 4 MiB receive buffer: run as root or raise net.core.rmem_max";
    const size_t perDatagram = (AbstractPacketReceiver::max_length - 4) / 3;
    const size_t datagrams = 100;
    std::string frames;
    for (size_t i = 0; i < perDatagram; ++i)
        frames += std::string("\x01\x00\x37", 3);
    udp::socket client(io, udp::endpoint(address_v4::loopback(), 0));
    for (uint32_t d = 0; d < datagrams; ++d)
        client.send_to(boost::asio::buffer(qportBytes(d) + frames), socket.local_endpoint());

    // One wake-up: the completed receive and the datagrams waiting behind it.
    ASSERT_EQ(io.run_one(), 1u);
    receiver->dispatch(&recorder);
    const size_t capacity = AbstractPacketReceiver::UDP_QUEUE_CAPACITY;
    ASSERT_EQ(recorder.events.size(), capacity);
    const size_t lost = datagrams * perDatagram - capacity;
    for (size_t i = 0; i < capacity; ++i) {
        ASSERT_EQ(recorder.events[i]->messageType, MessageTypes::RegionUpdate);
        ASSERT_EQ(recorder.events[i]->qport, (lost + i) / perDatagram) << i;
    }
    EXPECT_LE(receiver->udpEventsHeldPeak(), capacity + perDatagram);
}

// A datagram receive that cannot be armed again (no socket to receive on stands for any
// failure) is tried again after a pause, not at once and not never, with one line each time.
TEST_F(OwnReceiverTest, ADatagramReceiveThatCannotBeArmedIsTriedAgainAfterAPause) {
    const std::string line = "Argh execption in restarting udp recive, trying again in 100 ms\n";
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    receiver->handleUDPReceive(boost::asio::error::make_error_code(boost::asio::error::connection_refused),
                               new char[AbstractPacketReceiver::max_length], 0, nullptr);
    std::string out;
    const bool again = waitUntil([&] {
        io.run_for(std::chrono::milliseconds(10));
        out += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return count(out, line) >= 3;
    });
    const auto waited = std::chrono::steady_clock::now() - start;
    receiver->udpReceiveRetry_.cancel();
    io.run_for(std::chrono::milliseconds(10));
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(again) << out;
    EXPECT_GE(waited, std::chrono::milliseconds(2 * UDP_RECEIVE_RETRY_MS));
}

// Stands for a failure inside the handlers: the TCP error step throws.
class FailingErrorReceiver : public AbstractPacketReceiver {
public:
    using AbstractPacketReceiver::AbstractPacketReceiver;
    void handleTCPError(const boost::system::error_code&, tcp::socket*) override {
        throw std::runtime_error("error step failed");
    }
};

TEST_F(OwnReceiverTest, AnExceptionInTheTcpReadHandlerStaysInside) {
    const std::unique_ptr<FailingErrorReceiver> owned = receiverOn<FailingErrorReceiver>(socket, &io);
    FailingErrorReceiver& failing = *owned;

    tcp::socket unconnected(io);
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(failing.handleTCPReceive(boost::asio::error::make_error_code(boost::asio::error::eof),
                                             new char[AbstractPacketReceiver::max_length], 0, &unconnected));
    EXPECT_EQ(count(testing::internal::GetCapturedStdout(), "Argh execption in handle tcp receive\n"), 1u);

    // Bounded like the other input lines.
    FakeClock clock;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 30; ++i)
        failing.handleTCPReceive(boost::asio::error::make_error_code(boost::asio::error::eof),
                                 new char[AbstractPacketReceiver::max_length], 0, &unconnected);
    EXPECT_EQ(count(testing::internal::GetCapturedStdout(), "Argh execption in handle tcp receive\n"),
              static_cast<size_t>(INPUT_LINES_PER_SECOND));
    socket.close();
    io.restart();
    io.run();
}

} // namespace
