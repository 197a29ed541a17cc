// Bytes from every kind of peer through the server's real receive path into the dispatcher's
// handlers and on through whole frames. The networking singleton is built once as start-up
// builds it; each input gets a fresh world (this server 5, its two mother ships, servers 3 and 7
// as neighbours on the coordinator's map) and fresh loopback connections: two clients that
// the server accepted, the coordinator, and neighbour 7, which the server connected to itself
// and which has welcomed it. No I/O thread runs: the input's steps call the completion handlers
// (directly, or by polling the I/O service) and the frame on this one thread.
//
// The input is a script of steps, each starting with a byte b:
//   b % 8 = 0..3  bytes for connection b % 4 (two clients, coordinator, neighbour): a 16-bit
//                 little-endian length (at most one read's 2048), then the bytes, which the
//                 connection's pending read receives in one piece
//   b % 8 = 4     a datagram from client address (b >> 3) % 2: length and bytes as above
//   b % 8 = 5     the frame's dispatch of everything received
//   b % 8 = 6     a whole frame (dispatch, collisions, scene update, send step, ...), 33 ms on
//   b % 8 = 7     connection (b >> 3) % 4 is reset from its end
// After the script one more frame runs; then every connection is reset, and each close must be
// reported exactly once, leaving no endpoint with a socket and no leftovers behind.
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Engine/Timer.h"
#include "Common/GameObjects/Player.h"
#include "Common/Network/AbstractPacketReceiver.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Protobuf/Object.pb.h"
#include "Common/ReplicaManager/ReplicaManager.h"
#include "Common/Scene/SceneGraph.h"
#include "Common/Scene/SceneObjectFactory.h"
#include "Fuzz/FrameCheck.h"
#include "Server/Gamelogic/VelmorEntryPoint.h"
#include "Server/Network/ServerMessageDispatcher.h"
#include "Server/Network/ServerPacketReceiver.h"
#include "Server/ServerRegionHandler.h"
#include "Server/main.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;

namespace {

// Nothing an input names may leave this machine or reach another program on it: name lookups
// take numeric addresses only, connections are opened only while the set-up opens its own,
// and the send queues' datagrams (to addresses learned from the input) are counted as sent.
bool connectsAllowed = false;
// Why the last connection the harness let through failed, for its own set-up's report.
int lastConnectError = 0;

} // namespace

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    using Connect = int (*)(int, const sockaddr*, socklen_t);
    static const Connect real = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    if (!connectsAllowed) {
        errno = ECONNREFUSED;
        return -1;
    }
    const int result = real(fd, address, length);
    lastConnectError = result == 0 ? 0 : errno;
    return result;
}

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const GetAddrInfo real = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
    addrinfo numeric = hints ? *hints : addrinfo();
    numeric.ai_flags |= AI_NUMERICHOST;
    return real(node, service, &numeric, result);
}

namespace {

int countAsSent(int, mmsghdr* datagrams, unsigned int count, int) {
    for (unsigned int i = 0; i < count; ++i) {
        size_t bytes = 0;
        for (size_t piece = 0; piece < datagrams[i].msg_hdr.msg_iovlen; ++piece)
            bytes += datagrams[i].msg_hdr.msg_iov[piece].iov_len;
        datagrams[i].msg_len = static_cast<unsigned int>(bytes);
    }
    return static_cast<int>(count);
}

// The clock of every frame: it moves only when a frame runs, so an input replays exactly.
uint64_t now = 0;
uint64_t fakeTime() {
    return now;
}

const unsigned int Myself = 5;
const unsigned int Neighbour = 7;
const unsigned int LowerNeighbour = 3;
const uint32_t NeighbourQport = (Neighbour << 16) | 1;

const std::chrono::milliseconds Patience(2000);

boost::asio::io_context* io = nullptr;
Network* net = nullptr;
ServerPacketReceiver* receiver = nullptr;
int listener = -1; // where the coordinator and neighbour 7 are reached
uint16_t listenerPort = 0;
udp::endpoint clientAddresses[2]; // the sources of the datagrams; the replies to them land here
int clientSockets[2] = {-1, -1};
std::string greeting; // the coordinator's welcome and map
std::string welcomeFromNeighbour;

int available(int fd) {
    int bytes = 0;
    if (::ioctl(fd, FIONREAD, &bytes) != 0)
        return -1;
    return bytes;
}

// Loopback hands bytes over at once, but not always before send returns.
void waitUnread(int fd, int bytes) {
    const auto end = std::chrono::steady_clock::now() + Patience;
    while (available(fd) < bytes && std::chrono::steady_clock::now() < end)
        ::usleep(10);
}

bool waitReadable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(Patience.count())) > 0;
}

void drain(int fd) {
    char scrap[4096];
    while (::recv(fd, scrap, sizeof(scrap), MSG_DONTWAIT) > 0) {
    }
}

// The harness's end of a connection goes with a reset: an orderly close would leave its port
// in TIME_WAIT for a minute, and at hundreds of connections a second the machine's ephemeral
// ports would run out. The server takes a reset as it takes an end of file.
void resetConnection(int& fd) {
    const linger abortive = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    ::close(fd);
    fd = -1;
}

void runReadyHandlers() {
    io->restart();
    io->poll();
}

template <class Condition> bool pollUntil(Condition done) {
    const auto end = std::chrono::steady_clock::now() + Patience;
    for (;;) {
        runReadyHandlers();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        ::usleep(100);
    }
}

int acceptOne() {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0)
        fuzz::fail("the harness could not accept the server's connection");
    return fd;
}

// One connection: the harness's end and the server's socket (by descriptor only: the server
// frees the object when it takes the connection's close).
struct Connection {
    int peer = -1;
    tcp::socket* server = nullptr;
    int serverFd = -1;
    bool reportedClosed = false;
};
Connection connections[4];
enum { FirstClient = 0, SecondClient = 1, Coordinator = 2, NeighbourLink = 3 };

std::list<networkEventPtr>& tcpQueue() {
    return *receiver->tcp_write_buffer_;
}

// Marks every connection whose close waits in the queue; a close reported twice means two
// reads were pending on one connection, or a freed socket was read again.
void noteReportedCloses() {
    for (const networkEventPtr& event : tcpQueue()) {
        if (event->eventType != EventTypes::ClosedConnection)
            continue;
        for (Connection& c : connections) {
            if (c.server != event->getTcpSocket())
                continue;
            if (c.reportedClosed)
                fuzz::fail("a connection was reported closed twice");
            c.reportedClosed = true;
        }
    }
}

std::vector<std::pair<CommEndpoint*, tcp::socket*>> socketHolders() {
    std::vector<std::pair<CommEndpoint*, tcp::socket*>> holders;
    auto add = [&holders](CommEndpoint* ep) {
        if (ep->getTcpSocket())
            holders.emplace_back(ep, ep->getTcpSocket());
    };
    if (TransformList* players = SceneGraph::getInstance()->getListOfType(SceneGraphType::Player))
        for (Transform* t : *players)
            add(static_cast<Player*>(t));
    for (CommEndpoint* w : net->watcherManager->watchers)
        add(w);
    for (ControllingServer& s : ServerRegionHandler::getInstance()->serverList)
        add(&s);
    add(&net->coordinator);
    return holders;
}

// A socket belongs to exactly one endpoint; a second holder would free it a second time.
void checkOneHolderPerSocket() {
    std::set<tcp::socket*> seen;
    for (const auto& holder : socketHolders())
        if (!seen.insert(holder.second).second)
            fuzz::fail("two endpoints hold one socket");
}

void dispatch() {
    noteReportedCloses();
    net->dispatchReceivedMessages(nullptr);
    checkOneHolderPerSocket();
}

void frame() {
    noteReportedCloses();
    now += 33;
    mainLoop();
    checkOneHolderPerSocket();
    runReadyHandlers();
}

bool isOpen(const Connection& c) {
    return c.peer >= 0 && !c.reportedClosed;
}

// The bytes arrive whole before the connection's one pending read runs, so the read takes
// exactly them (at most 2048, the receiver's buffer).
void tcpBytes(Connection& c, const uint8_t* bytes, size_t n) {
    if (!isOpen(c) || n == 0)
        return;
    const ssize_t sent = ::send(c.peer, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0)
        return;
    waitUnread(c.serverFd, static_cast<int>(sent));
    runReadyHandlers();
}

void datagram(const udp::endpoint& from, const uint8_t* bytes, size_t n) {
    // The receiver frees the buffer; the pending receive is the one it would have come from.
    char* data = new char[AbstractPacketReceiver::max_length];
    std::memcpy(data, bytes, n);
    receiver->sender_endpoint_ = from;
    receiver->handleUDPReceive(boost::system::error_code(), data, n, net->udp_socket);
}

void closeFromPeer(Connection& c) {
    if (c.peer < 0)
        return;
    resetConnection(c.peer);
    if (!c.reportedClosed) {
        waitReadable(c.serverFd);
        runReadyHandlers();
    }
}

// Set-up bytes that the server must have read before the input starts.
void deliver(int peer, int serverFd, const std::string& bytes) {
    if (::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        fuzz::fail("the harness could not write its set-up");
    waitUnread(serverFd, static_cast<int>(bytes.size()));
    if (!pollUntil([=] { return available(serverFd) == 0; }))
        fuzz::fail("the server did not read the set-up");
}

void setPosition(Velmor::Position* p, float x, float y, float z) {
    p->set_x(x);
    p->set_y(y);
    p->set_z(z);
}

// The coordinator's welcome and map: this server between server 3 (lower id: it connects to
// us) and server 7 (higher id: we connect to it, at the harness's listener).
std::string coordinatorGreeting() {
    Velmor::CoordinatorWelcome welcome;
    welcome.set_timestamp(100000);
    welcome.set_overloadedcpuborder(90);
    welcome.set_underloadedcpuborder(10);
    welcome.set_averageloadedcpuborder(40);

    Velmor::RegionUpdate map;
    const std::string gamePort = std::to_string(receiver->acceptor_.local_endpoint().port());
    const struct {
        unsigned int id;
        std::string port;
        float minX;
    } servers[] = {
        {LowerNeighbour, "1", -3000}, {Myself, gamePort, -1000}, {Neighbour, std::to_string(listenerPort), 1000}};
    for (const auto& s : servers) {
        Velmor::NeighbourHost* host = map.add_hosts();
        host->set_serverid(s.id);
        host->set_host("127.0.0.1");
        host->set_port(s.port);
        Velmor::Region* region = map.add_regions();
        region->set_regionid(s.id);
        region->set_hostid(s.id);
        setPosition(region->mutable_min(), s.minX, -1000, -1000);
        setPosition(region->mutable_max(), s.minX + 2000, 1000, 1000);
        if (s.id != LowerNeighbour)
            region->add_neighbourids(s.id == Myself ? Neighbour : Myself);
        if (s.id != Neighbour)
            region->add_neighbourids(s.id == Myself ? LowerNeighbour : Myself);
    }
    return MessageSerializer::serializeMessage(welcome) + MessageSerializer::serializeMessage(map);
}

std::string neighbourWelcome() {
    Velmor::ServerWelcome welcome;
    welcome.set_qport(NeighbourQport);
    return MessageSerializer::serializeMessage(welcome);
}

void freeParts() {
    delete net->networkSender;
    delete net->clientMessageSender;
    delete net->serverMessageSender;
    delete net->messageDispatcher;
    delete net->watcherManager;
    net->networkSender = nullptr;
    net->clientMessageSender = nullptr;
    net->serverMessageSender = nullptr;
    net->messageDispatcher = nullptr;
    net->watcherManager = nullptr;
}

void newWorld() {
    now = 1000000;
    Timer::sync_clock(0);
    timer.getTimeDiff();
    SceneObjectFactory::getInstance()->init(Myself);
    ReplicaManager::ResetHasTransfered();
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    registry->myself = registry->AddServerToPool(Myself);
    VelmorEntryPoint entryPoint;
    entryPoint.init();
    // The parts that hold per-run state, built again for every input.
    net->buildParts();
}

// libFuzzer's timeout alarm would interrupt the set-up's blocking connects.
class AlarmHeldBack {
public:
    AlarmHeldBack() {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    }
    ~AlarmHeldBack() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

private:
    sigset_t previous;
};

void connectEveryone() {
    const AlarmHeldBack alarmHeldBack;
    for (Connection& c : connections)
        c = Connection();
    connectsAllowed = true;

    if (!net->connectToCoordinator("127.0.0.1", std::to_string(listenerPort), io)) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(lastConnectError));
        fuzz::fail("the server did not reach the harness as its coordinator");
    }
    connections[Coordinator].peer = acceptOne();
    connections[Coordinator].server = net->coordinator.getTcpSocket();

    // Two clients through the server's own acceptor: their NewConnection events name the
    // sockets the server made for them.
    const tcp::endpoint game(boost::asio::ip::address_v4::loopback(), receiver->acceptor_.local_endpoint().port());
    std::map<uint16_t, Connection*> byPort;
    for (Connection* c : {&connections[FirstClient], &connections[SecondClient]}) {
        c->peer = ::socket(AF_INET, SOCK_STREAM, 0);
        if (c->peer < 0 || ::connect(c->peer, game.data(), game.size()) != 0)
            fuzz::fail("the harness could not connect to the server");
        sockaddr_in local;
        socklen_t length = sizeof(local);
        ::getsockname(c->peer, reinterpret_cast<sockaddr*>(&local), &length);
        byPort[ntohs(local.sin_port)] = c;
    }
    const bool accepted = pollUntil([&] {
        for (const networkEventPtr& event : tcpQueue()) {
            if (event->eventType != EventTypes::NewConnection)
                continue;
            boost::system::error_code ec;
            const tcp::endpoint from = event->getTcpSocket()->remote_endpoint(ec);
            if (!ec && byPort.count(from.port()))
                byPort[from.port()]->server = event->getTcpSocket();
        }
        return connections[FirstClient].server && connections[SecondClient].server;
    });
    if (!accepted)
        fuzz::fail("the server did not accept the harness's clients");

    // The map makes the server connect to server 7 at once.
    deliver(connections[Coordinator].peer, connections[Coordinator].server->native_handle(), greeting);
    dispatch();
    ControllingServer* neighbour = ServerRegionHandler::getInstance()->getControllingServer(Neighbour);
    if (!neighbour || !neighbour->getTcpSocket())
        fuzz::fail("the server did not connect to its neighbour");
    connections[NeighbourLink].peer = acceptOne();
    connections[NeighbourLink].server = neighbour->getTcpSocket();
    connectsAllowed = false;

    for (Connection& c : connections)
        c.serverFd = c.server->native_handle();
    deliver(connections[NeighbourLink].peer, connections[NeighbourLink].serverFd, welcomeFromNeighbour);
    dispatch();
    if (!ServerMessageDispatcher::isLoggedInServer(neighbour))
        fuzz::fail("the neighbour did not become a logged-in server");
}

// Every connection closes from its end; the server must take each close once, and afterwards
// no endpoint may hold a socket (every one was freed) and no connection's leftovers may stay.
void closeEveryone() {
    for (Connection& c : connections)
        if (c.peer >= 0)
            resetConnection(c.peer);
    const bool reported = pollUntil([] {
        std::set<tcp::socket*> closing;
        for (const networkEventPtr& event : tcpQueue())
            if (event->eventType == EventTypes::ClosedConnection)
                closing.insert(event->getTcpSocket());
        for (const Connection& c : connections)
            if (!c.reportedClosed && !closing.count(c.server))
                return false;
        return true;
    });
    if (!reported)
        fuzz::fail("a connection closed by its peer was never reported closed");
    dispatch();
    runReadyHandlers();
    if (!socketHolders().empty())
        fuzz::fail("an endpoint still holds a socket after every connection was closed and freed");
    if (!receiver->restTcpBuffer.empty())
        fuzz::fail("leftovers of a closed connection stayed");

    // The datagram receives the input's datagrams armed, cancelled.
    net->udp_socket->cancel();
    runReadyHandlers();
    for (int fd : clientSockets)
        drain(fd);
}

void resetWorld() {
    SceneGraph::getInstance()->clearForTesting();
    ServerRegionHandler::getInstance()->clearForTesting();
    net->coordinator.resetEndpoint(CommEndpointTypes::CoordinatorEndpoint);
    net->coordinator.qport = 0;
    net->coordinator.temphost.clear();
    freeParts();
}

void startOnce() {
    fuzz::quietProtobuf();
    std::signal(SIGPIPE, SIG_IGN);
    MessageSender::sendBatchCall = &countAsSent;
    Timer::setTimeSource(&fakeTime);
    Timer::setMonotonicSource(&fakeTime);
    now = 1000000;

    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = sockaddr_in();
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fuzz::fail("the harness could not listen");
    listenerPort = ntohs(address.sin_port);

    for (int i = 0; i < 2; ++i) {
        clientSockets[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in client = sockaddr_in();
        client.sin_family = AF_INET;
        client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(client);
        if (::bind(clientSockets[i], reinterpret_cast<sockaddr*>(&client), size) != 0 ||
            ::getsockname(clientSockets[i], reinterpret_cast<sockaddr*>(&client), &size) != 0)
            fuzz::fail("the harness could not bind its client addresses");
        clientAddresses[i] = udp::endpoint(boost::asio::ip::address_v4::loopback(), ntohs(client.sin_port));
    }

    // As start-up does it, on any free port.
    io = new boost::asio::io_context();
    net = Network::getInstance();
    net->ownId = Myself;
    SceneObjectFactory::getInstance()->init(Myself);
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    registry->myself = registry->AddServerToPool(Myself);
    net->init(0, io);
    receiver = static_cast<ServerPacketReceiver*>(net->packetReceiver);
    greeting = coordinatorGreeting();
    welcomeFromNeighbour = neighbourWelcome();
    // The world and the parts come fresh with every input.
    registry->clearForTesting();
    freeParts();
}

// The next step's length and bytes: a 16-bit length, cut to one read and to what is left.
size_t takeBytes(const uint8_t*& data, size_t& size, const uint8_t*& bytes) {
    size_t n = 0;
    if (size >= 2) {
        n = data[0] | data[1] << 8;
        data += 2;
        size -= 2;
    } else if (size == 1) {
        // Too short for a length: the step takes the byte and reads nothing.
        data += 1;
        size -= 1;
    }
    n %= AbstractPacketReceiver::max_length + 1;
    if (n > size)
        n = size;
    bytes = data;
    data += n;
    size -= n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startOnce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    newWorld();
    connectEveryone();

    while (size > 0) {
        const uint8_t step = *data++;
        --size;
        const uint8_t* bytes = nullptr;
        switch (step % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            const size_t n = takeBytes(data, size, bytes);
            tcpBytes(connections[step % 4], bytes, n);
            break;
        }
        case 4: {
            const size_t n = takeBytes(data, size, bytes);
            datagram(clientAddresses[(step >> 3) % 2], bytes, n);
            break;
        }
        case 5:
            dispatch();
            break;
        case 6:
            frame();
            break;
        default:
            closeFromPeer(connections[(step >> 3) % 4]);
            break;
        }
    }
    frame();

    closeEveryone();
    resetWorld();
    return 0;
}
