// Floods against the real server: what strangers send as fast as loopback takes it costs the
// server a bounded amount of memory, and it goes on serving.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include "Support/Cluster.h"

namespace e2e {
namespace {

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

} // namespace
} // namespace e2e
