#include "Support/Process/Cluster.h"

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "Common/Protobuf/ProtobufConversion.h"
#include "Support/Wire/FreePort.h"

namespace e2e {

namespace {

// A text that no process prints: reading "until" it just reads for the given time.
const char* const Nothing = "\x01";

} // namespace

Process::Process(const std::string& name_, const std::vector<std::string>& argv) : name(name_), child(argv) {}

bool Process::readMore(milliseconds timeout) {
    int status = 0;
    if (child.waitForExit(milliseconds(0), &status))
        return false;
    // Reads for at least a moment, then on while more keeps coming, so a full pipe is emptied.
    size_t before = 0;
    do {
        before = child.output().size();
        // Below 2 ms the wait rounds down to none and reads nothing.
        child.waitForOutput(Nothing, std::max(timeout, milliseconds(2)));
        timeout = milliseconds(0);
    } while (child.output().size() != before);
    return true;
}

std::string Process::nextLine(const std::string& text, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (bool running = true;; running = running && readMore(milliseconds(20))) {
        const std::string& out = child.output();
        const size_t at = out.find(text, cursor);
        // A line counts once it is whole, or when the process ended in the middle of it.
        const size_t end = at == std::string::npos ? at : std::min(out.find('\n', at), running ? out.npos : out.size());
        if (end != std::string::npos) {
            const size_t lineEnd = out.rfind('\n', at);
            const size_t begin = lineEnd == std::string::npos || lineEnd < cursor ? cursor : lineEnd + 1;
            cursor = std::min(end + 1, out.size());
            return out.substr(begin, end - begin);
        }
        // A process that has ended prints no more; its last output was drained on the way.
        if (!running || std::chrono::steady_clock::now() >= deadline)
            return "";
    }
}

bool Process::printed(const std::string& text, milliseconds within) {
    readMore(milliseconds(0));
    return child.waitForOutput(text, within);
}

Cluster::~Cluster() {
    // Clients first, so that the servers see them go rather than a server first.
    bots.clear();
    servers.clear();
    coord.reset();
}

uint16_t Cluster::coordinatorPort() {
    if (coordPort == 0)
        coordPort = freeGamePort();
    return coordPort;
}

Process* Cluster::startCoordinator() {
    std::vector<std::string> argv = {STANDIN_COORDINATOR, "--port", std::to_string(coordPort)};
    for (const std::string& region : regions) {
        argv.push_back("--region");
        argv.push_back(region);
    }
    coord.reset(new Process("coordinator", argv));
    const std::string line = coord->nextLine("coordinator listening on 127.0.0.1:");
    if (line.empty()) {
        ADD_FAILURE() << "the coordinator did not start\n" << outputs();
        return nullptr;
    }
    coordPort = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    return coord.get();
}

Process& Cluster::startServer(int id) {
    servers.erase(id);
    if (!ports.count(id))
        ports[id] = freeGamePort();
    const uint16_t port = ports[id];
    std::vector<std::string> argv = serverLauncher;
    argv.insert(argv.end(),
                {REGIONSERVER_BINARY, "--server-id=" + std::to_string(id), "--port=" + std::to_string(port),
                 "--coord-port=" + std::to_string(coordinatorPort()), "--enable-console=false", "--log=false"});
    servers[id].reset(new Process("server " + std::to_string(id), argv));
    return *servers[id];
}

Process& Cluster::startBot(int serverId, const std::string& name, const std::string& velocity, double seconds,
                           const std::vector<std::string>& options) {
    char runTime[32];
    std::snprintf(runTime, sizeof(runTime), "%g", seconds);
    std::vector<std::string> argv = {STANDIN_BOT, "--port", std::to_string(gamePort(serverId)), "--name", name};
    argv.insert(argv.end(), {"--velocity", velocity, "--seconds", runTime});
    argv.insert(argv.end(), options.begin(), options.end());
    bots.emplace_back(new Process("bot " + name, argv));
    return *bots.back();
}

void Cluster::startCoordinatorAndServer1() {
    ASSERT_TRUE(startCoordinator());
    startServer(1);
    ASSERT_NE("", coord->nextLine("map sent to server 1")) << outputs();
}

void Cluster::startServer2Linked() {
    startServer(2);
    ASSERT_NE("", server(1).nextLine("] Connected to server 2 " + addressOf(2))) << outputs();
}

void Cluster::startLinkedServers() {
    ASSERT_NO_FATAL_FAILURE(startCoordinatorAndServer1());
    startServer2Linked();
}

std::string Cluster::outputs() {
    std::string all;
    auto add = [&all](Process& p) { all += "---- " + p.name + ":\n" + p.output() + "\n"; };
    if (coord)
        add(*coord);
    for (const auto& s : servers)
        add(*s.second);
    for (const auto& b : bots)
        add(*b);
    return all;
}

TestClient::TestClient(uint16_t gamePort) {
    boost::asio::ip::tcp::socket s(io);
    s.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), gamePort));
    socket.reset(new peertest::FrameSocket(std::move(s)));
}

std::unique_ptr<Velmor::Welcome> TestClient::loginFirst(const std::string& name) {
    Velmor::Login login;
    login.set_logintype(LoginType::First);
    login.set_name(name);
    socket->send(login);
    for (networkEventPtr e = socket->next(Patience); e; e = socket->next(Patience)) {
        if (e->messageType != MessageTypes::Welcome)
            continue;
        std::unique_ptr<Velmor::Welcome> welcome(new Velmor::Welcome());
        welcome->CopyFrom(*e->message);
        return welcome;
    }
    return nullptr;
}

std::map<uint64_t, Vector3> TestClient::playersDescribedUntil(uint64_t until, milliseconds timeout) {
    std::map<uint64_t, Vector3> players;
    for (networkEventPtr e = socket->next(timeout); e; e = socket->next(timeout)) {
        if (e->messageType != MessageTypes::ObjectInfo)
            continue;
        const Velmor::ObjectInfo& info = *static_cast<Velmor::ObjectInfo*>(e->message);
        if (!info.has_playerdata())
            continue;
        ProtobufConversion::position(&players[info.id()], &info.position());
        if (info.id() == until)
            break;
    }
    return players;
}

uint64_t botIdIn(const std::string& welcomeLine) {
    const size_t at = welcomeLine.find(" id 0x");
    unsigned long long id = 0;
    return at != std::string::npos && std::sscanf(welcomeLine.c_str() + at, " id 0x%llx", &id) == 1 ? id : 0;
}

uint32_t qportIn(const std::string& line) {
    const size_t at = line.find(" qport 0x");
    unsigned int qport = 0;
    return at != std::string::npos && std::sscanf(line.c_str() + at, " qport 0x%x", &qport) == 1 ? qport : 0;
}

std::string hexOf(uint64_t id) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(id));
    return text;
}

bool vectorIn(const std::string& line, float& x, float& y, float& z) {
    const size_t open = line.find('(');
    return open != std::string::npos && std::sscanf(line.c_str() + open, "(%f,%f,%f)", &x, &y, &z) == 3;
}

long long timeOf(const std::string& serverLine) {
    long long ms = -1;
    const size_t open = serverLine.find(":[");
    if (open == std::string::npos || std::sscanf(serverLine.c_str() + open, ":[%lld]", &ms) != 1)
        return -1;
    return ms;
}

} // namespace e2e
