// Floods against the real server: what strangers send as fast as loopback takes it costs the
// server a bounded amount of memory, and it goes on serving.
#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "Common/Network/MessageSerializer.h"
#include "Common/Network/MessageTypes.h"
#include "Support/Process/Cluster.h"

namespace e2e {
namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;

// A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS"); -1 when it cannot be read.
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Memory figures of a sanitized process mean nothing.
bool memoryFiguresMeanSomething() {
    const std::string type = REGIONSERVER_BUILD_TYPE;
    return type != "Asan" && type != "Tsan";
}

std::string qportBytes(uint32_t qport) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((qport >> shift) & 0xFF));
    return bytes;
}

// Three senders, no login, each datagram as many empty RegionUpdate frames (3 bytes, no
// required field: one event each) as a read takes. The server holds at most its two UDP rings
// (the one the I/O thread fills and the one the main thread dispatches, each 50,000 events of
// about 150 bytes with their messages, so some 15 MB), a read's buffers and one datagram's
// events; 40 MB leaves room for the allocator. Before each datagram's events went into the
// ring as it was read, one wake-up could hold 700,000 events, some 130 MB.
TEST(FloodTest, FrameDenseDatagramsKeepTheServerWithinItsEventRings) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
    const pid_t server = cluster.server(1).processId();
    const long before = statusKb(server, "VmRSS");
    ASSERT_GT(before, 0);

    std::string frames;
    for (int i = 0; i < (2048 - 4) / 3; ++i)
        frames += std::string("\x01\x00\x37", 3);
    boost::asio::io_context io;
    const udp::endpoint to(boost::asio::ip::address_v4::loopback(), cluster.gamePort(1));
    std::vector<udp::socket> senders;
    for (int i = 0; i < 3; ++i)
        senders.emplace_back(io, udp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    const std::string datagram = qportBytes(7) + frames;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end)
        for (udp::socket& s : senders)
            s.send_to(boost::asio::buffer(datagram), to);

    // Still serving: a fresh client is welcomed.
    TestClient client(cluster.gamePort(1));
    EXPECT_NE(client.loginFirst("after the flood"), nullptr) << cluster.outputs();
    const long peak = statusKb(server, "VmHWM");
    ASSERT_GT(peak, 0);
    RecordProperty("VmRSS before (kB)", static_cast<int>(before));
    RecordProperty("VmHWM after (kB)", static_cast<int>(peak));
    if (memoryFiguresMeanSomething()) {
        EXPECT_LT(peak - before, 40 * 1024) << "resident before " << before << " kB, peak " << peak << " kB";
    }
}

// Four watchers (an Additional login of a qport nobody holds) stream 5-byte Logout frames as
// fast as loopback takes them. Each connection holds at most its share of the TCP queue (1,000
// events or 256 KiB) and is read again only once the main thread has taken its events, so the
// memory does not follow the senders' rate, and the frames keep running: a fresh client is
// welcomed within a second. The four shares in the two TCP queues (the one filled and the one
// being dispatched) come to about a megabyte; 20 MB leaves room for the allocator and the
// fresh client. Before, the queue grew by the senders' rate, some 12 MB a second here.
TEST(FloodTest, FastTcpStreamsOfWatchersKeepTheServerSmallAndServing) {
    Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
    const pid_t server = cluster.server(1).processId();
    boost::asio::io_context io;
    const tcp::endpoint to(boost::asio::ip::address_v4::loopback(), cluster.gamePort(1));
    std::vector<std::unique_ptr<tcp::socket>> watchers;
    Velmor::Login login;
    login.set_logintype(LoginType::Additional);
    login.set_qport(0x7777);
    for (int i = 0; i < 4; ++i) {
        watchers.emplace_back(new tcp::socket(io));
        watchers.back()->connect(to);
        boost::asio::write(*watchers.back(), boost::asio::buffer(MessageSerializer::serializeMessage(login)));
    }
    ASSERT_NE("", cluster.server(1).nextLine("Adding Watcher")) << cluster.outputs();
    const long before = statusKb(server, "VmRSS");
    ASSERT_GT(before, 0);

    Velmor::Logout logout;
    logout.set_logoutastype(LogoutType::Watcher);
    std::string frames;
    for (int i = 0; i < 4096; ++i)
        frames += MessageSerializer::serializeMessage(logout);
    std::atomic<bool> streaming(true);
    std::atomic<uint64_t> sent(0);
    std::thread writer([&] {
        std::vector<size_t> offsets(watchers.size(), 0);
        std::vector<pollfd> ready;
        for (std::unique_ptr<tcp::socket>& w : watchers) {
            w->non_blocking(true);
            ready.push_back(pollfd{w->native_handle(), POLLOUT, 0});
        }
        while (streaming) {
            ::poll(ready.data(), ready.size(), 10);
            for (size_t i = 0; i < watchers.size(); ++i) {
                boost::system::error_code ec;
                const size_t n = watchers[i]->write_some(
                    boost::asio::buffer(frames.data() + offsets[i], frames.size() - offsets[i]), ec);
                offsets[i] = (offsets[i] + n) % frames.size();
                sent += n;
            }
        }
    });
    const auto streamFor = std::chrono::seconds(4);
    const auto end = std::chrono::steady_clock::now() + streamFor;
    std::this_thread::sleep_until(end - std::chrono::seconds(1));
    const auto asked = std::chrono::steady_clock::now();
    TestClient fresh(cluster.gamePort(1));
    const bool welcomed = fresh.loginFirst("fresh") != nullptr;
    const auto waited = std::chrono::steady_clock::now() - asked;
    std::this_thread::sleep_until(end);
    streaming = false;
    writer.join();

    EXPECT_TRUE(welcomed) << cluster.outputs();
    EXPECT_LT(waited, std::chrono::seconds(1));
    EXPECT_GT(sent.load(), 1000000u) << "the streams hardly ran";
    const long peak = statusKb(server, "VmHWM");
    RecordProperty("VmRSS before (kB)", static_cast<int>(before));
    RecordProperty("VmHWM after (kB)", static_cast<int>(peak));
    RecordProperty("bytes streamed", static_cast<int>(sent.load()));
    if (memoryFiguresMeanSomething()) {
        EXPECT_LT(peak - before, 20 * 1024) << "resident before " << before << " kB, peak " << peak << " kB";
    }
}

} // namespace
} // namespace e2e
