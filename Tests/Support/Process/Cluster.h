#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Math/Vector3.h"
#include "Support/Process/ChildProcess.h"
#include "Support/Wire/Patience.h"
#include "Support/Process/PeerProcesses.h"

// A small cluster of real processes for the end-to-end tests: the stand-in coordinator, region
// servers started as an operator starts them, and stand-in bots. Every process is killed when
// the cluster goes, also when a test fails half-way. Output is only ever awaited with a
// deadline, never by sleeping.

namespace e2e {

using std::chrono::milliseconds;

// One started program and how far the test has read its output.
class Process {
public:
    Process(const std::string& name, const std::vector<std::string>& argv);

    // The next line, after the last one this returned, that contains `text`; whole, without its
    // line end. "" when none comes within `timeout` or the process ends without printing it.
    std::string nextLine(const std::string& text, milliseconds timeout = Patience);

    // Whether any line, read or not, contains `text`; waits up to `within` for it to come.
    bool printed(const std::string& text, milliseconds within = milliseconds(0));

    // Writes `text` to the process's standard input, as an operator types it.
    void writeInput(const std::string& text) { child.writeInput(text); }
    // The process id, for reading its /proc entries.
    pid_t processId() const { return child.processId(); }

    // Everything printed so far.
    const std::string& output() {
        readMore(milliseconds(0));
        return child.output();
    }
    const std::string name;

private:
    // Reads what has arrived within `timeout`; false once the process has ended.
    bool readMore(milliseconds timeout);

    ChildProcess child;
    // Where the next search starts: just past the last line returned.
    size_t cursor = 0;
};

// Two regions that touch at x = 100: region 1 of server 1 and region 2 of server 2.
const std::vector<std::string> TwoTouchingRegions = {"1:0,0,0:100,100,100", "2:100,0,0:200,100,100"};

class Cluster {
public:
    // Each region as "<serverId>:<minx>,<miny>,<minz>:<maxx>,<maxy>,<maxz>", ids 1, 2, ... in order.
    explicit Cluster(std::vector<std::string> regionMap = TwoTouchingRegions) : regions(std::move(regionMap)) {}
    ~Cluster();
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    // Starts the coordinator on the port that servers were already pointed at, else on one the
    // kernel picks; null (the test failed) when it does not say where it listens.
    Process* startCoordinator();

    // Starts region server `id` on a free game port, pointed at the coordinator; again on the
    // same port when the server was started before (the old process is killed first).
    Process& startServer(int id);

    // The set-ups the tests share. A step that does not show fails the test fatally: call them
    // inside ASSERT_NO_FATAL_FAILURE. The coordinator, then server 1 until it has had its map:
    void startCoordinatorAndServer1();
    // ...then server 2, until server 1 has connected to it:
    void startServer2Linked();
    // ...or both: the coordinator and two linked servers.
    void startLinkedServers();

    // Kills a process as a crash or an operator would.
    void stopServer(int id) { servers.erase(id); }
    void stopCoordinator() { coord.reset(); }

    // Starts a bot at server `serverId` that flies with `velocity` ("x,y,z") for `seconds`, with
    // further standin-bot `options`.
    Process& startBot(int serverId, const std::string& name, const std::string& velocity, double seconds,
                      const std::vector<std::string>& options = {});

    uint16_t gamePort(int serverId) const { return ports.at(serverId); }
    // "127.0.0.1:<game port>", as the processes print where a server is.
    std::string addressOf(int serverId) const { return "127.0.0.1:" + std::to_string(gamePort(serverId)); }
    Process& server(int id) { return *servers.at(id); }
    uint16_t coordinatorPort();
    Process* coordinator() { return coord.get(); }

    // Everything every process printed, for the message of a failed check.
    std::string outputs();

    // Words put before every server's command line, such as a prlimit that lowers its limits.
    std::vector<std::string> serverLauncher;

private:
    std::vector<std::string> regions;
    uint16_t coordPort = 0;
    std::unique_ptr<Process> coord;
    std::map<int, std::unique_ptr<Process>> servers;
    std::map<int, uint16_t> ports;
    std::vector<std::unique_ptr<Process>> bots;
};

// A game client played by the test over one TCP connection: for what a real client would never
// send, such as orders that only the coordinator or a region server may give.
class TestClient {
public:
    explicit TestClient(uint16_t gamePort);

    // Logs in as a new player; the Welcome, or null when none comes.
    std::unique_ptr<Velmor::Welcome> loginFirst(const std::string& name);

    // Where the players described to us (ObjectInfo with player data) are, by id, until `until`
    // is described or nothing more comes within `timeout`.
    std::map<uint64_t, Vector3> playersDescribedUntil(uint64_t until, milliseconds timeout = Patience);

    template <class Message> void send(Message& message) { socket->send(message); }

private:
    boost::asio::io_context io;
    std::unique_ptr<peertest::FrameSocket> socket;
};

// The bot's id from its welcome line ("... id 0x<hex> qport ..."); 0 when it was not welcomed.
uint64_t botIdIn(const std::string& welcomeLine);

// The qport of a line that names one as " qport 0x<hex>" (a bot's welcome line, the
// coordinator's login line of a server); 0 when there is none.
uint32_t qportIn(const std::string& line);

// "%llx" of `id`, as servers and bots print ids (bots put "0x" before it).
std::string hexOf(uint64_t id);

// The three numbers of the first "(x,y,z)" in `line`; false when there is none.
bool vectorIn(const std::string& line, float& x, float& y, float& z);

// The number behind "[" in a server's line prefix "id:<id>:[<ms>] "; -1 when there is none.
long long timeOf(const std::string& serverLine);

} // namespace e2e
