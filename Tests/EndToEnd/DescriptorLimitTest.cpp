// A server at its limit of open files: connections that logged in and then fell silent give
// way, so that a new client still gets in.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Process/Cluster.h"

namespace e2e {
namespace {

TEST(DescriptorLimitTest, SilentLoggedInConnectionsGiveWaySoThatANewLoginGetsThrough) {
    // The sanitizers' runtime needs descriptors of its own to check memory (a pipe): with none
    // left it reports objects it cannot read as broken.
    if (std::string(REGIONSERVER_BUILD_TYPE) == "Asan" || std::string(REGIONSERVER_BUILD_TYPE) == "Tsan")
        GTEST_SKIP() << "not under a sanitizer: it needs descriptors of its own";
    Cluster cluster({"1:0,0,0:100,100,100"});
    // Few enough that the watchers below take every descriptor the server has left.
    cluster.serverLauncher = {"/usr/bin/prlimit", "--nofile=64:64"};
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());

    // Each logs in as a watcher (a further connection with a qport that no waiting player has)
    // and says nothing more. Those the server cannot accept wait in its listen backlog.
    boost::asio::io_context io;
    std::vector<std::unique_ptr<peertest::FrameSocket>> watchers;
    for (int i = 0; i < 80; ++i) {
        boost::asio::ip::tcp::socket s(io);
        s.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), cluster.gamePort(1)));
        watchers.emplace_back(new peertest::FrameSocket(std::move(s)));
        Velmor::Login watch;
        watch.set_logintype(LoginType::Additional);
        watch.set_qport(0x70000u + static_cast<uint32_t>(i));
        watchers.back()->send(watch);
    }
    Process& server = cluster.server(1);
    ASSERT_NE("", server.nextLine("Error in ServerPacketReceiver::handleTCPConnection: ")) << cluster.outputs();

    TestClient fresh(cluster.gamePort(1));
    EXPECT_TRUE(fresh.loginFirst("fresh")) << cluster.outputs();
    EXPECT_NE("", server.nextLine(" s closed to make room for logins")) << cluster.outputs();
}

} // namespace
} // namespace e2e
