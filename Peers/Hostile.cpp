// A hostile peer for soak runs: one attack a run against a region server's game port, for a
// fixed time, then one "summary:" line of key=value counts. Raw sockets rather than the
// stand-ins' Asio code, so that one process reaches flood rates and holds thousands of
// connections. Valid frames come from the server's own serializer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/program_options.hpp>

#include "Common/Network/MessageSerializer.h"
#include "Common/Network/MessageTypes.h"
#include "Common/Protobuf/Object.pb.h"
#include "Peers/Bot.h"
#include "Peers/PeerSupport.h"

namespace po = boost::program_options;
using Clock = std::chrono::steady_clock;

namespace {

// The server reads at most this many bytes of a datagram.
const size_t DatagramLimit = 2048;
const size_t FrameLimit = 65535;
const int BatchSize = 32;

std::atomic<bool> stopping(false);

void onSignal(int) {
    stopping = true;
}

struct Settings {
    std::string mode;
    std::string host = "127.0.0.1";
    uint16_t port = 21042;
    double seconds = 20.0;
    // Units a second (datagrams, chunks or connections by mode), 0 for as fast as possible.
    double rate = 0.0;
    unsigned int threads = 2;
    unsigned int connections = 0;
    unsigned int shooters = 0;
    // Logins after which a login attack ends (0: only its time ends it).
    uint64_t logins = 0;
    uint64_t seed = 0;
};

// Counts shared by the attack's threads, printed once at the end.
struct Counts {
    std::atomic<uint64_t> datagrams{0}, bytes{0}, frames{0}, connections{0}, connectFailures{0}, sendFailures{0},
        closedByServer{0}, backDatagrams{0}, backBytes{0}, held{0}, logins{0}, logouts{0}, loginFailures{0},
        qportRepeats{0};
    // Milliseconds from the start of holding to the first connection the server closed; -1: none.
    std::atomic<int64_t> firstCloseMs{-1};
};

Settings settings;
Counts counts;
sockaddr_in target;
Clock::time_point deadline;

bool running() {
    return !stopping && Clock::now() < deadline;
}

// Spreads sends evenly over time: before each batch, waits until the batch is due.
class Pacer {
public:
    explicit Pacer(double perSecond) : rate(perSecond), start(Clock::now()) {}
    void wait(uint64_t units) {
        if (rate <= 0)
            return;
        done += units;
        const Clock::time_point due =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(done / rate));
        for (Clock::time_point now = Clock::now(); due > now && running(); now = Clock::now())
            std::this_thread::sleep_for(std::min<Clock::duration>(due - now, std::chrono::milliseconds(100)));
    }

private:
    double rate;
    Clock::time_point start;
    uint64_t done = 0;
};

// 127.0.0.0/8 is all local on Linux: every connection may come from its own address, so that
// thousands of short connections neither use up the ephemeral ports of one address nor share
// the legitimate bot's 127.0.0.1.
in_addr_t sourceAddress(uint64_t index) {
    const uint32_t a = 1 + (index / 62500) % 254, b = (index / 250) % 250, c = 1 + index % 250;
    return htonl((127u << 24) | (a << 16) | (b << 8) | c);
}

std::atomic<uint64_t> nextSource(0);
// Only towards a loopback target; elsewhere the kernel picks the source.
bool spreadSources = false;

// Binds `fd` to the index's source address when sources are spread; false when that fails.
bool bindSource(int fd, uint64_t index) {
    if (!spreadSources)
        return true;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = sourceAddress(index);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
}

int udpSocket(uint64_t sourceIndex) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    if (!bindSource(fd, sourceIndex) ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A non-blocking TCP socket bound to a fresh source address, its connect started; -1 when that
// already failed.
int startConnect(int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one));
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    if (!bindSource(fd, nextSource++) ||
        (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0 && errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool connectFinished(int fd) {
    int error = 0;
    socklen_t length = sizeof(error);
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Up to `count` connections made side by side (a listen backlog drops SYNs beyond its room;
// they are retried by the kernel), each given until `until`. Non-blocking; failures counted.
std::vector<int> connectMany(unsigned int count, Clock::time_point until, int receiveBuffer = 0) {
    std::vector<pollfd> pending;
    for (unsigned int i = 0; i < count; ++i) {
        const int fd = startConnect(receiveBuffer);
        if (fd < 0)
            ++counts.connectFailures;
        else
            pending.push_back(pollfd{fd, POLLOUT, 0});
    }
    std::vector<int> connected;
    while (!pending.empty() && !stopping && Clock::now() < until) {
        if (::poll(pending.data(), pending.size(), 100) <= 0)
            continue;
        std::vector<pollfd> still;
        for (const pollfd& p : pending) {
            if (!p.revents) {
                still.push_back(p);
            } else if (connectFinished(p.fd)) {
                connected.push_back(p.fd);
                ++counts.connections;
            } else {
                ::close(p.fd);
                ++counts.connectFailures;
            }
        }
        pending.swap(still);
    }
    for (const pollfd& p : pending) {
        ::close(p.fd);
        ++counts.connectFailures;
    }
    return connected;
}

// One connection, waited for at most `timeout`; -1 on failure.
int connectOne(std::chrono::milliseconds timeout, int receiveBuffer = 0) {
    const std::vector<int> fds = connectMany(1, Clock::now() + timeout, receiveBuffer);
    return fds.empty() ? -1 : fds.front();
}

// Writes all of `data` while the run lasts, waiting for room at most a second at a time;
// false when the connection fails or the run ends first.
bool sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            counts.bytes += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!running())
                return false;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        ++counts.sendFailures;
        return false;
    }
    return true;
}

// Closing with a reset leaves no TIME_WAIT behind; a plain close is what most clients do.
void closeConnection(int fd, bool reset) {
    if (reset) {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    }
    ::close(fd);
}

// Keeps the connections open until the run ends, counting those the server closes; with
// `refill`, each one closed is replaced by as many as refill(n) makes, so the pressure lasts.
// Unless `read` is set their bytes are never read: only a hang-up or a reset is noticed.
void holdConnections(std::vector<int>& fds, bool read,
                     const std::function<std::vector<int>(size_t)>& refill = nullptr) {
    const short events = static_cast<short>(read ? POLLIN | POLLRDHUP : POLLRDHUP);
    std::vector<pollfd> polled;
    for (int fd : fds)
        polled.push_back(pollfd{fd, events, 0});
    fds.clear();
    counts.held = polled.size();
    const Clock::time_point heldSince = Clock::now();
    char sink[4096];
    while (running()) {
        if (polled.empty() || ::poll(polled.data(), polled.size(), 200) <= 0) {
            if (polled.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        std::vector<pollfd> still;
        size_t closedNow = 0;
        for (const pollfd& p : polled) {
            bool closed = (p.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0;
            if (!closed && (p.revents & POLLIN)) {
                const ssize_t n = ::recv(p.fd, sink, sizeof(sink), 0);
                closed = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            }
            if (closed) {
                ::close(p.fd);
                int64_t none = -1;
                counts.firstCloseMs.compare_exchange_strong(
                    none, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - heldSince).count());
                ++counts.closedByServer;
                ++closedNow;
            } else {
                still.push_back(p);
            }
        }
        polled.swap(still);
        if (refill && closedNow > 0 && running())
            for (int fd : refill(closedNow))
                polled.push_back(pollfd{fd, events, 0});
        counts.held = polled.size();
    }
    for (const pollfd& p : polled)
        ::close(p.fd);
}

void runThreads(unsigned int n, const std::function<void(unsigned int)>& work) {
    std::vector<std::thread> threads;
    for (unsigned int i = 0; i < n; ++i)
        threads.emplace_back(work, i);
    for (std::thread& t : threads)
        t.join();
}

std::string randomBytes(std::mt19937_64& random, size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string lengthField(size_t length) {
    return std::string{static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF)};
}

void setPosition(Velmor::Position* p, float x, float y, float z) {
    p->set_x(x);
    p->set_y(y);
    p->set_z(z);
}

void setOrientation(Velmor::Orientation* o, std::mt19937_64& random) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    o->set_x(unit(random));
    o->set_y(unit(random));
    o->set_z(unit(random));
    o->set_w(unit(random));
}

std::string clientUpdateDatagram(std::mt19937_64& random) {
    Velmor::ClientUpdate update;
    setOrientation(update.mutable_orientation(), random);
    update.set_boosterson(static_cast<uint32_t>(random()) & (Steering::ThrustForward | Steering::Fire));
    // Qports are handed out from 1 upwards: small ones are the plausible ones.
    return qportBytes(1 + random() % 1000) + MessageSerializer::serializeMessage(update);
}

// Datagrams sent as fast as the pacer lets them, in batches of BatchSize, by every thread.
void sendDatagrams(const std::function<std::string(std::mt19937_64&)>& make, unsigned int threads) {
    runThreads(threads, [&](unsigned int index) {
        std::mt19937_64 random(settings.seed + index);
        const int fd = udpSocket(index);
        if (fd < 0) {
            peerSay("cannot open a UDP socket: %s", std::strerror(errno));
            return;
        }
        // A few hundred prepared datagrams sent in turn: the flood costs us less than the server.
        std::vector<std::string> prepared;
        for (int i = 0; i < 256; ++i)
            prepared.push_back(make(random));
        Pacer pacer(settings.rate / threads);
        iovec pieces[BatchSize];
        mmsghdr headers[BatchSize];
        size_t next = 0;
        while (running()) {
            pacer.wait(BatchSize);
            for (int i = 0; i < BatchSize; ++i) {
                std::string& d = prepared[next++ % prepared.size()];
                pieces[i] = iovec{&d[0], d.size()};
                headers[i] = mmsghdr{};
                headers[i].msg_hdr.msg_iov = &pieces[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int sent = ::sendmmsg(fd, headers, BatchSize, 0);
            if (sent < 0) {
                // Loopback refuses nothing for long; a refused datagram (no one listening) is noted.
                ++counts.sendFailures;
                continue;
            }
            counts.datagrams += static_cast<uint64_t>(sent);
            for (int i = 0; i < sent; ++i)
                counts.bytes += pieces[i].iov_len;
        }
        ::close(fd);
    });
}

// One piece of TCP garbage: random bytes, or a length field that lies, or one of zero, or a
// frame of the right length with a random type byte and an encoding that is noise.
std::string garbageChunk(std::mt19937_64& random) {
    switch (random() % 4) {
    case 0:
        return randomBytes(random, 1 + random() % DatagramLimit);
    case 1: {
        const size_t claimed = 1 + random() % FrameLimit;
        return lengthField(claimed) + randomBytes(random, std::min<size_t>(random() % DatagramLimit, claimed));
    }
    case 2:
        return lengthField(0) + randomBytes(random, random() % 64);
    default: {
        const size_t length = 1 + random() % 512;
        return lengthField(length) + randomBytes(random, length);
    }
    }
}

std::string garbageDatagram(std::mt19937_64& random) {
    const size_t size = random() % (DatagramLimit + 1);
    if (random() % 2 || size < 4)
        return randomBytes(random, size);
    std::string datagram = qportBytes(1 + random() % 1000);
    while (datagram.size() < size)
        datagram += garbageChunk(random);
    datagram.resize(size);
    return datagram;
}

void garbage() {
    const unsigned int writers = settings.connections ? settings.connections : 4;
    std::thread udp([] { sendDatagrams(garbageDatagram, 1); });
    runThreads(writers, [&](unsigned int index) {
        std::mt19937_64 random(settings.seed + 100 + index);
        Pacer pacer(settings.rate / writers);
        while (running()) {
            const int fd = connectOne(std::chrono::milliseconds(1000));
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            // A connection carries some garbage, then goes, by reset or by a plain close.
            const size_t budget = 1 + random() % (256 * 1024);
            size_t written = 0;
            bool ok = true;
            while (ok && written < budget && running()) {
                pacer.wait(1);
                const std::string chunk = garbageChunk(random);
                ok = sendAll(fd, chunk);
                written += chunk.size();
                ++counts.frames;
            }
            closeConnection(fd, random() % 2);
        }
    });
    udp.join();
}

// n connections, each sent `opening` (when not empty); those whose sending fails are dropped.
std::vector<int> openConnections(size_t n, const std::string& opening) {
    std::vector<int> fds = connectMany(n, std::min(deadline, Clock::now() + std::chrono::seconds(10)));
    if (opening.empty())
        return fds;
    std::vector<int> kept;
    for (int fd : fds) {
        if (sendAll(fd, opening)) {
            ++counts.frames;
            kept.push_back(fd);
        } else {
            ::close(fd);
        }
    }
    return kept;
}

void partialFrames() {
    const unsigned int n = settings.connections ? settings.connections : 500;
    // The length field claims the largest frame; 65,003 of its 65,535 bytes follow.
    const std::string partial = lengthField(FrameLimit) + std::string(1, static_cast<char>(MessageTypes::ObjectInfo)) +
                                std::string(65002, '\x5a');
    std::vector<int> fds = openConnections(n, partial);
    peerSay("holding %zu connections with a partial frame", fds.size());
    holdConnections(fds, true, [&](size_t closed) { return openConnections(closed, partial); });
}

// Short connections, each thread making up to a few dozen at once: a listen backlog that
// overflows stalls one of them for the kernel's SYN retry, not the whole attack. `use` gets
// each connection once it is made, and closes it.
void shortConnections(const std::function<void(int, std::mt19937_64&, uint64_t)>& use) {
    const size_t inFlight = 32;
    runThreads(settings.threads, [&](unsigned int index) {
        std::mt19937_64 random(settings.seed + index);
        Pacer pacer(settings.rate / settings.threads);
        std::vector<pollfd> polled;
        std::vector<Clock::time_point> started;
        uint64_t made = 0;
        while (running()) {
            while (polled.size() < inFlight && running()) {
                pacer.wait(1);
                const int fd = startConnect();
                if (fd < 0) {
                    ++counts.connectFailures;
                    break;
                }
                polled.push_back(pollfd{fd, POLLOUT, 0});
                started.push_back(Clock::now());
            }
            if (polled.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            ::poll(polled.data(), polled.size(), 10);
            const Clock::time_point now = Clock::now();
            for (size_t i = 0; i < polled.size();) {
                const int fd = polled[i].fd;
                if (polled[i].revents && connectFinished(fd)) {
                    ++counts.connections;
                    use(fd, random, made++);
                } else if (polled[i].revents || now - started[i] > std::chrono::seconds(1)) {
                    ::close(fd);
                    ++counts.connectFailures;
                } else {
                    ++i;
                    continue;
                }
                polled[i] = polled.back();
                polled.pop_back();
                started[i] = started.back();
                started.pop_back();
            }
        }
        for (const pollfd& p : polled)
            ::close(p.fd);
    });
}

void churn() {
    shortConnections([](int fd, std::mt19937_64& random, uint64_t i) {
        if (i % 8 == 0 && sendAll(fd, std::string(1, static_cast<char>(random() & 0xFF))))
            ++counts.frames;
        closeConnection(fd, i % 3 == 0);
    });
}

void idle() {
    const unsigned int n = settings.connections ? settings.connections : 1100;
    std::vector<int> fds = openConnections(n, "");
    peerSay("holding %zu idle connections", fds.size());
    holdConnections(fds, true, [](size_t closed) { return openConnections(closed, ""); });
}

void unknownServerLogins() {
    shortConnections([](int fd, std::mt19937_64& random, uint64_t) {
        Velmor::Login login;
        login.set_logintype(LoginType::NearServer);
        // Ids 0 and 1 are the unset id and the server's own.
        login.set_serverid(2 + static_cast<uint32_t>(random() % 0xFFFFFFF0u));
        login.set_port(std::to_string(1024 + random() % 60000));
        if (sendAll(fd, MessageSerializer::serializeMessage(login)))
            ++counts.frames;
        closeConnection(fd, false);
    });
}

void pingReflection() {
    const int fd = udpSocket(0);
    if (fd < 0) {
        peerSay("cannot open a UDP socket: %s", std::strerror(errno));
        return;
    }
    // Room for the answers to come back, so that what the server sends is what we count.
    const int room = 64 * 1024 * 1024;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    // 407 five-byte Ping frames (serial below 128) and one of nine bytes fill the 2044 bytes
    // behind the qport: the most answers one datagram the server reads whole can ask for.
    std::string datagram = qportBytes(0);
    uint32_t pings = 0;
    for (; pings < 407; ++pings) {
        Velmor::Ping ping;
        ping.set_ping_serial_num(pings % 128);
        datagram += MessageSerializer::serializeMessage(ping);
    }
    Velmor::Ping last;
    last.set_ping_serial_num(0x10000000u);
    datagram += MessageSerializer::serializeMessage(last);
    ++pings;
    if (datagram.size() != DatagramLimit)
        peerSay("ping datagram of %zu bytes, not %zu", datagram.size(), DatagramLimit);
    std::atomic<bool> receiving(true);
    std::thread receiver([&] {
        std::vector<char> data(BatchSize * 64);
        iovec pieces[BatchSize];
        mmsghdr headers[BatchSize];
        while (receiving) {
            for (int i = 0; i < BatchSize; ++i) {
                pieces[i] = iovec{&data[i * 64], 64};
                headers[i] = mmsghdr{};
                headers[i].msg_hdr.msg_iov = &pieces[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            // MSG_TRUNC: each length is the datagram's own, also where our 64-byte piece cut it.
            const int got = ::recvmmsg(fd, headers, BatchSize, MSG_DONTWAIT | MSG_TRUNC, nullptr);
            for (int i = 0; i < got; ++i) {
                ++counts.backDatagrams;
                counts.backBytes += headers[i].msg_len;
            }
        }
    });
    Pacer pacer(settings.rate);
    while (running()) {
        pacer.wait(1);
        if (::send(fd, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size())) {
            ++counts.datagrams;
            counts.bytes += datagram.size();
            counts.frames += pings;
        } else {
            ++counts.sendFailures;
        }
    }
    // Answers still on their way are counted for a second more.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    receiving = false;
    receiver.join();
    ::close(fd);
}

// Game clients that shoot once a second: each shot's ObjectInfo goes to every client by TCP,
// so that the one that never reads has something piling up for it.
class Shooters {
public:
    explicit Shooters(unsigned int n) {
        for (unsigned int i = 0; i < n; ++i) {
            BotSettings s;
            s.host = settings.host;
            s.port = std::to_string(settings.port);
            s.name = "shooter" + std::to_string(i);
            s.wander = true;
            s.fire = true;
            s.verbose = false;
            s.seed = static_cast<unsigned int>(settings.seed + i);
            bots.emplace_back(new Bot(io, s));
            if (!bots.back()->start(std::chrono::milliseconds(50 + i * 37 % 1000)))
                bots.pop_back();
        }
        worker = std::thread([this] { io.run(); });
    }
    ~Shooters() {
        io.stop();
        worker.join();
        for (std::unique_ptr<Bot>& bot : bots)
            bot->finish();
    }
    size_t started() const { return bots.size(); }

private:
    boost::asio::io_context io;
    std::vector<std::unique_ptr<Bot>> bots;
    std::thread worker;
};

// A connection that has sent a player's First login under `name`, or -1 (said) when none
// could be made.
int connectAsPlayer(const char* name, int receiveBuffer = 0) {
    const int fd = connectOne(std::chrono::milliseconds(5000), receiveBuffer);
    if (fd < 0) {
        peerSay("cannot connect");
        return -1;
    }
    Velmor::Login login;
    login.set_logintype(LoginType::First);
    login.set_name(name);
    if (sendAll(fd, MessageSerializer::serializeMessage(login)))
        ++counts.frames;
    return fd;
}

void noReader() {
    // The smallest receive buffer the kernel allows, so that the server's bytes back up soon.
    const int fd = connectAsPlayer("noreader", 1);
    if (fd < 0)
        return;
    Shooters shooters(settings.shooters);
    peerSay("logged in, never reading; %zu shooters", shooters.started());
    std::vector<int> fds{fd};
    holdConnections(fds, false);
}

// Frames only the coordinator or a neighbour may send, aimed at `victim` (an object id seen on
// our connection, or a made-up one), each as its own frame.
std::vector<std::string> forbiddenFrames(std::mt19937_64& random, uint64_t victim) {
    std::vector<std::string> frames;
    {
        Velmor::RegionUpdate update;
        Velmor::NeighbourHost* host = update.add_hosts();
        host->set_serverid(1);
        host->set_host("127.0.0.1");
        host->set_port("9");
        Velmor::Region* region = update.add_regions();
        region->set_regionid(1);
        setPosition(region->mutable_min(), 0, 0, 0);
        setPosition(region->mutable_max(), 1, 1, 1);
        region->set_hostid(2 + random() % 1000);
        frames.push_back(MessageSerializer::serializeMessage(update));
    }
    {
        Velmor::TransferPlayerTo transfer;
        transfer.set_playerid(victim);
        transfer.set_host("127.0.0.1");
        transfer.set_port("9");
        setPosition(transfer.mutable_min(), 0, 0, 0);
        setPosition(transfer.mutable_max(), 1, 1, 1);
        frames.push_back(MessageSerializer::serializeMessage(transfer));
    }
    {
        Velmor::CoordinatorWelcome welcome;
        welcome.set_timestamp(static_cast<uint32_t>(random()));
        welcome.set_overloadedcpuborder(0);
        welcome.set_underloadedcpuborder(0);
        welcome.set_averageloadedcpuborder(0);
        frames.push_back(MessageSerializer::serializeMessage(welcome));
    }
    Velmor::ObjectInfo info;
    info.set_id(random());
    info.set_objecttype(0);
    info.set_timestamp(static_cast<uint32_t>(random()));
    setPosition(info.mutable_position(), 500, 500, 500);
    setOrientation(info.mutable_orientation(), random);
    info.mutable_playerdata()->set_health(100);
    info.mutable_playerdata()->set_name("ghost");
    {
        Velmor::TransferControl transfer;
        transfer.set_id(info.id());
        setPosition(transfer.mutable_data()->mutable_position(), 500, 500, 500);
        setPosition(transfer.mutable_data()->mutable_velocity(), 50, 0, 0);
        *transfer.mutable_objectinfo() = info;
        frames.push_back(MessageSerializer::serializeMessage(transfer));
    }
    frames.push_back(MessageSerializer::serializeMessage(info));
    {
        Velmor::ObjectDestroy destroy;
        destroy.set_id(victim);
        frames.push_back(MessageSerializer::serializeMessage(destroy));
    }
    {
        Velmor::ObjectUpdate update;
        update.set_id(victim);
        update.set_timestamp(static_cast<uint32_t>(random()));
        setPosition(update.mutable_position(), -1e6f, -1e6f, -1e6f);
        setOrientation(update.mutable_orientation(), random);
        frames.push_back(MessageSerializer::serializeMessage(update));
    }
    return frames;
}

void unauthorised() {
    std::mt19937_64 random(settings.seed);
    const int fd = connectAsPlayer("intruder");
    if (fd < 0)
        return;
    // Our stream is read throughout: for the welcome's qport and the ids of the objects we see.
    uint32_t qport = 0;
    std::vector<uint64_t> victims;
    std::string leftovers;
    auto readStream = [&] {
        char data[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, data, sizeof(data), MSG_DONTWAIT);
            if (n <= 0)
                return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            for (const networkEventPtr& event :
                 MessageSerializer::deserializeMessageArray(data, static_cast<size_t>(n), &leftovers)) {
                if (event->messageType == MessageTypes::Welcome) {
                    qport = static_cast<Velmor::Welcome*>(event->message)->qport();
                } else if (event->messageType == MessageTypes::ObjectInfo) {
                    const uint64_t id = static_cast<Velmor::ObjectInfo*>(event->message)->id();
                    if (std::find(victims.begin(), victims.end(), id) == victims.end())
                        victims.push_back(id);
                }
            }
        }
    };
    const Clock::time_point welcomeBy = Clock::now() + std::chrono::seconds(5);
    while (qport == 0 && running() && Clock::now() < welcomeBy) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        if (!readStream())
            break;
    }
    peerSay("welcome %s (qport 0x%x), %zu objects seen", qport ? "came" : "did not come", qport, victims.size());
    const int udp = udpSocket(0);
    Pacer pacer(settings.rate);
    bool tcpOpen = true;
    uint64_t round = 0;
    while (running()) {
        if (tcpOpen && !readStream()) {
            tcpOpen = false;
            ++counts.closedByServer;
        }
        const uint64_t victim = (victims.empty() || round % 2) ? random() : victims[round % victims.size()];
        ++round;
        const std::vector<std::string> frames = forbiddenFrames(random, victim);
        pacer.wait(2 * frames.size());
        std::string stream;
        for (const std::string& frame : frames)
            stream += frame;
        if (tcpOpen && sendAll(fd, stream))
            counts.frames += frames.size();
        // By datagram: behind our own qport, and behind a made-up one.
        for (const std::string& frame : frames) {
            const std::string datagram = qportBytes(round % 2 ? qport : 1 + random() % 1000) + frame;
            if (udp >= 0 && ::send(udp, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size())) {
                ++counts.datagrams;
                ++counts.frames;
                counts.bytes += datagram.size();
            }
        }
    }
    if (udp >= 0)
        ::close(udp);
    ::close(fd);
}

// Qports under a server id no map hands out, so that a made-up qport never names a player.
const uint32_t MadeUpQports = 0xBEEF0000u;

std::string loginFrame(LoginType::LoginType type, uint32_t value, const std::string& name = "") {
    Velmor::Login login;
    login.set_logintype(type);
    if (type == LoginType::First) {
        login.set_name(name);
    } else if (type == LoginType::Additional) {
        login.set_qport(value);
    } else {
        login.set_serverid(value);
        login.set_qport(value << 16 | 1);
        login.set_timestamp(0);
        login.set_port("9");
    }
    return MessageSerializer::serializeMessage(login);
}

std::string watcherLogoutFrame() {
    Velmor::Logout logout;
    logout.set_logoutastype(LogoutType::Watcher);
    return MessageSerializer::serializeMessage(logout);
}

// Reads what waits on `fd` without blocking; false once the connection is closed or failed.
// Frames are parsed only when `welcome` is given: it gets the Welcome's qport.
bool drain(int fd, std::string* leftovers = nullptr, uint32_t* welcome = nullptr) {
    char data[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, data, sizeof(data), MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        if (!welcome)
            continue;
        for (const networkEventPtr& event :
             MessageSerializer::deserializeMessageArray(data, static_cast<size_t>(n), leftovers))
            if (event->messageType == MessageTypes::Welcome && *welcome == 0)
                *welcome = static_cast<Velmor::Welcome*>(event->message)->qport();
        // The Welcome comes first: what follows it is not read.
        if (*welcome)
            return true;
    }
}

// Datagrams as dense in frames as the server reads: behind a made-up qport, 681 empty
// RegionUpdates of three bytes each. The message has no required field, so every frame is an
// event for the UDP queue.
std::string emptyRegionUpdate() {
    Velmor::RegionUpdate update;
    return MessageSerializer::serializeMessage(update);
}

std::string denseDatagram(std::mt19937_64& random) {
    const std::string frame = emptyRegionUpdate();
    std::string datagram = qportBytes(MadeUpQports | (random() & 0xFFFF));
    while (datagram.size() + frame.size() <= DatagramLimit - 1)
        datagram += frame;
    return datagram;
}

void denseDatagrams() {
    if (emptyRegionUpdate().size() != 3)
        peerSay("an empty RegionUpdate is not three bytes");
    std::mt19937_64 sample(settings.seed);
    peerSay("attacking: %u senders of %zu-byte datagrams", settings.threads, denseDatagram(sample).size());
    sendDatagrams(denseDatagram, settings.threads);
}

// Logged-in watchers that stream small valid frames (watcher logouts, five bytes each) as fast
// as loopback takes them, reading what the server sends them meanwhile.
void tcpFrameStream() {
    const unsigned int n = settings.connections ? settings.connections : 4;
    const std::string logout = watcherLogoutFrame();
    std::string block;
    while (block.size() + logout.size() <= FrameLimit)
        block += logout;
    const uint64_t framesPerBlock = block.size() / logout.size();
    std::atomic<unsigned int> streaming(0);
    runThreads(n, [&](unsigned int index) {
        const int fd = connectOne(std::chrono::milliseconds(5000));
        if (fd < 0)
            return;
        if (!sendAll(fd, loginFrame(LoginType::Additional, MadeUpQports | index))) {
            ::close(fd);
            return;
        }
        ++counts.frames;
        if (++streaming == n)
            peerSay("attacking: %u watchers streaming %zu-byte logouts", n, logout.size());
        bool open = true;
        while (open && running()) {
            open = sendAll(fd, block) && drain(fd);
            if (open)
                counts.frames += framesPerBlock;
        }
        if (!open && running())
            ++counts.closedByServer;
        ::close(fd);
    });
}

// Game logins side by side from every thread (each keeps up to 32 in flight, each from a source
// address of its own): connect, a First login, the Welcome read. `welcomed` then owns the
// connection. Ends at `limit` Welcomes in all (0: none) or with the run; a login not welcomed
// within 5 s counts as failed.
void loginChurn(uint64_t limit, unsigned int threads, const std::function<void(int, uint32_t)>& welcomed,
                int receiveBuffer = 0) {
    const size_t inFlight = 32;
    const std::chrono::seconds patience(5);
    struct Pending {
        bool connected;
        Clock::time_point started;
        std::string leftovers;
    };
    // Logins started and not failed by this call, all threads together, against what is left of
    // the limit.
    std::atomic<uint64_t> started(0);
    const uint64_t wanted = limit > counts.logins ? limit - counts.logins : 0;
    if (limit != 0 && wanted == 0)
        return;
    runThreads(threads, [&](unsigned int index) {
        std::vector<pollfd> polled;
        std::vector<Pending> pending;
        auto drop = [&](size_t i) {
            polled[i] = polled.back();
            polled.pop_back();
            pending[i] = std::move(pending.back());
            pending.pop_back();
        };
        while (running() && (limit == 0 || counts.logins < limit)) {
            while (polled.size() < inFlight && running()) {
                // Taken before the connect, so that the threads together start no more than wanted.
                if (started.fetch_add(1) >= wanted && limit != 0) {
                    --started;
                    break;
                }
                const int fd = startConnect(receiveBuffer);
                if (fd < 0) {
                    ++counts.connectFailures;
                    --started;
                    break;
                }
                polled.push_back(pollfd{fd, POLLOUT, 0});
                pending.push_back(Pending{false, Clock::now(), std::string()});
            }
            if (polled.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            ::poll(polled.data(), polled.size(), 10);
            const Clock::time_point now = Clock::now();
            for (size_t i = 0; i < polled.size();) {
                const int fd = polled[i].fd;
                if (polled[i].revents && !pending[i].connected) {
                    if (connectFinished(fd) &&
                        sendAll(fd, loginFrame(LoginType::First, 0, "churn" + std::to_string(index)))) {
                        ++counts.connections;
                        ++counts.frames;
                        pending[i].connected = true;
                        polled[i].events = POLLIN;
                        polled[i].revents = 0;
                        ++i;
                        continue;
                    }
                    ::close(fd);
                    ++counts.connectFailures;
                    --started;
                } else if (polled[i].revents) {
                    uint32_t qport = 0;
                    const bool open = drain(fd, &pending[i].leftovers, &qport);
                    if (qport) {
                        ++counts.logins;
                        welcomed(fd, qport);
                    } else if (!open) {
                        ::close(fd);
                        ++counts.loginFailures;
                        --started;
                    } else {
                        ++i;
                        continue;
                    }
                } else if (now - pending[i].started > patience) {
                    ::close(fd);
                    ++counts.loginFailures;
                    --started;
                } else {
                    ++i;
                    continue;
                }
                drop(i);
            }
        }
        for (const pollfd& p : polled)
            ::close(p.fd);
    });
}

// Logged-in players held open, read and watched: a qport given out again while its first
// holder is still connected is one the server gave twice.
void qportWrap() {
    const unsigned int live = settings.connections ? settings.connections : 50;
    std::mutex lock;
    std::map<uint32_t, int> holders;
    loginChurn(live, 1, [&](int fd, uint32_t qport) {
        std::lock_guard<std::mutex> hold(lock);
        if (!holders.emplace(qport, fd).second)
            ++counts.qportRepeats;
    });
    // Holders the server closed no longer hold their qport. The map's set of keys is fixed
    // from here on; only the flags change.
    std::map<uint32_t, std::unique_ptr<std::atomic<bool>>> alive;
    for (const auto& h : holders)
        alive.emplace(h.first, std::unique_ptr<std::atomic<bool>>(new std::atomic<bool>(true)));
    std::atomic<bool> churning(true);
    std::thread reader([&] {
        while (churning) {
            for (const auto& h : holders) {
                if (*alive[h.first] && !drain(h.second)) {
                    *alive[h.first] = false;
                    ++counts.closedByServer;
                }
            }
            counts.held = static_cast<uint64_t>(
                std::count_if(alive.begin(), alive.end(), [](const auto& a) { return a.second->load(); }));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    peerSay("attacking: %zu players held, login churn from %u threads", holders.size(), settings.threads);
    const uint64_t heldLogins = counts.logins;
    loginChurn(settings.logins ? heldLogins + settings.logins : 0, settings.threads, [&](int fd, uint32_t qport) {
        const auto a = alive.find(qport);
        if (a != alive.end() && *a->second)
            ++counts.qportRepeats;
        closeConnection(fd, true);
    });
    churning = false;
    reader.join();
    for (const auto& h : holders)
        ::close(h.second);
}

// Login, Welcome, a Logout as watcher, close: each cycle leaves a player without a client. The
// close is a clean one (our side shut, the rest read until the server closes too), so that no
// reset can overtake the Logout.
void orphans() {
    std::mutex lock;
    std::vector<std::pair<int, Clock::time_point>> closing;
    std::atomic<bool> cycling(true);
    std::thread closer([&] {
        while (cycling || !closing.empty()) {
            std::vector<std::pair<int, Clock::time_point>> now;
            {
                std::lock_guard<std::mutex> hold(lock);
                now.swap(closing);
            }
            std::vector<std::pair<int, Clock::time_point>> still;
            for (const auto& c : now) {
                if (drain(c.first) && Clock::now() < c.second && (cycling || running()))
                    still.push_back(c);
                else
                    ::close(c.first);
            }
            {
                std::lock_guard<std::mutex> hold(lock);
                closing.insert(closing.end(), still.begin(), still.end());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const std::string logout = watcherLogoutFrame();
    peerSay("attacking: login, logout as watcher and close, from %u threads", settings.threads);
    loginChurn(settings.logins ? settings.logins : 2000, settings.threads, [&](int fd, uint32_t) {
        if (sendAll(fd, logout)) {
            ++counts.logouts;
            ++counts.frames;
        }
        ::shutdown(fd, SHUT_WR);
        std::lock_guard<std::mutex> hold(lock);
        closing.emplace_back(fd, Clock::now() + std::chrono::seconds(3));
    });
    cycling = false;
    closer.join();
}

std::atomic<uint64_t> openings(0);

// n connections, each sent the opening of its index (counted over the whole run).
std::vector<int> openConnectionsWith(size_t n, const std::function<std::string(uint64_t)>& opening) {
    std::vector<int> fds = connectMany(n, std::min(deadline, Clock::now() + std::chrono::seconds(10)));
    std::vector<int> kept;
    for (int fd : fds) {
        if (sendAll(fd, opening(openings++))) {
            ++counts.frames;
            kept.push_back(fd);
        } else {
            ::close(fd);
        }
    }
    return kept;
}

// In turn: a player, a watcher of a made-up qport, a server the map does not name.
std::string holdLogin(uint64_t index) {
    switch (index % 3) {
    case 0:
        return loginFrame(LoginType::First, 0, "hold" + std::to_string(index));
    case 1:
        return loginFrame(LoginType::Additional, MadeUpQports | (index & 0xFFFF));
    default:
        // Ids 0 and 1 are the unset id and the server's own; the soak's map names 1 only.
        return loginFrame(LoginType::NearServer, 1000 + static_cast<uint32_t>(index));
    }
}

void loggedInHold() {
    const unsigned int n = settings.connections ? settings.connections : 1100;
    std::vector<int> fds = openConnectionsWith(n, holdLogin);
    peerSay("holding %zu logged-in connections (players, watchers and servers in turn)", fds.size());
    holdConnections(fds, true, [](size_t closed) { return openConnectionsWith(closed, holdLogin); });
}

// Watchers whose next frame never completes: its length field claims the largest frame, and
// 65,003 of its 65,535 bytes follow. Those the server closes are not replaced, so that the
// time of the first close is the server's.
void loggedInSlowloris() {
    const unsigned int n = settings.connections ? settings.connections : 1000;
    const std::string partial = lengthField(FrameLimit) + std::string(1, static_cast<char>(MessageTypes::ObjectInfo)) +
                                std::string(65002, '\x5a');
    std::vector<int> fds = openConnectionsWith(n, [&](uint64_t index) {
        return loginFrame(LoginType::Additional, MadeUpQports | (index & 0xFFFF)) + partial;
    });
    peerSay("holding %zu watchers with a partial frame", fds.size());
    holdConnections(fds, true);
}

// Players that read their Welcome and then nothing more, through the smallest receive buffer
// the kernel allows; the first `--shooters` of them fire by datagram (from their connection's
// address, behind their qport), so that every shot's ObjectInfo piles up for all of them.
void manyNonReaders() {
    const unsigned int n = settings.connections ? settings.connections : 500;
    const unsigned int firing = settings.shooters ? std::min(settings.shooters, n) : n;
    std::mutex lock;
    std::vector<std::pair<int, uint32_t>> players;
    loginChurn(
        n, settings.threads,
        [&](int fd, uint32_t qport) {
            std::lock_guard<std::mutex> hold(lock);
            players.emplace_back(fd, qport);
        },
        1);
    std::vector<std::pair<int, std::string>> shooters;
    std::mt19937_64 random(settings.seed);
    for (const auto& p : players) {
        if (shooters.size() >= firing)
            break;
        sockaddr_in local{};
        socklen_t length = sizeof(local);
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (udp < 0)
            break;
        const int small = 1;
        ::setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        local.sin_port = 0;
        if (::getsockname(p.first, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            (local.sin_port = 0, ::bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof(local))) != 0 ||
            ::connect(udp, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
            ::close(udp);
            continue;
        }
        Velmor::ClientUpdate update;
        setOrientation(update.mutable_orientation(), random);
        update.set_boosterson(Steering::Fire);
        shooters.emplace_back(udp, qportBytes(p.second) + MessageSerializer::serializeMessage(update));
    }
    peerSay("attacking: %zu players that never read, %zu of them firing", players.size(), shooters.size());
    // Twenty steering datagrams a second each, as a client sends them.
    std::thread fire([&] {
        while (running()) {
            for (const auto& s : shooters)
                if (::send(s.first, s.second.data(), s.second.size(), 0) == static_cast<ssize_t>(s.second.size())) {
                    ++counts.datagrams;
                    counts.bytes += s.second.size();
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::vector<int> fds;
    for (const auto& p : players)
        fds.push_back(p.first);
    holdConnections(fds, false);
    fire.join();
    for (const auto& s : shooters)
        ::close(s.first);
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::map<std::string, std::function<void()>> modes = {
        {"udp-flood", [] { sendDatagrams(clientUpdateDatagram, settings.threads); }},
        {"garbage", garbage},
        {"partial-frames", partialFrames},
        {"churn", churn},
        {"idle", idle},
        {"unknown-server-logins", unknownServerLogins},
        {"ping-reflection", pingReflection},
        {"no-reader", noReader},
        {"unauthorised", unauthorised},
        {"dense-datagrams", denseDatagrams},
        {"tcp-frame-stream", tcpFrameStream},
        {"qport-wrap", qportWrap},
        {"orphans", orphans},
        {"logged-in-hold", loggedInHold},
        {"logged-in-slowloris", loggedInSlowloris},
        {"many-non-readers", manyNonReaders}};
    settings.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
    po::options_description description("hostile-peer options");
    auto add = description.add_options();
    add("help", "print the options");
    std::string modeNames;
    for (const auto& m : modes)
        modeNames += (modeNames.empty() ? "" : ", ") + m.first;
    add("mode", po::value(&settings.mode)->required(), modeNames.c_str());
    add("host", po::value(&settings.host)->default_value(settings.host), "the region server's IPv4 address");
    add("port", po::value(&settings.port)->default_value(settings.port), "its game port");
    add("seconds", po::value(&settings.seconds)->default_value(settings.seconds), "how long to attack");
    add("rate", po::value(&settings.rate)->default_value(settings.rate),
        "datagrams, chunks or connections a second, all threads together (0: as fast as possible)");
    add("threads", po::value(&settings.threads)->default_value(settings.threads), "sending threads");
    add("connections", po::value(&settings.connections)->default_value(settings.connections),
        "connections held (partial-frames, idle, logged-in-hold, logged-in-slowloris, qport-wrap, many-non-readers), "
        "streams (tcp-frame-stream) or garbage writers (0: the mode's default)");
    add("shooters", po::value(&settings.shooters)->default_value(settings.shooters),
        "no-reader: game clients that shoot beside it, so that the server has bytes for it; many-non-readers: how "
        "many of them fire (0: all)");
    add("logins", po::value(&settings.logins)->default_value(settings.logins),
        "qport-wrap: churn logins after the held ones; orphans: cycles (0: the mode's default, qport-wrap none)");
    add("seed", po::value(&settings.seed), "random seed (default: from the clock)");
    po::positional_options_description positional;
    positional.add("mode", 1);
    const char* usage = "usage: hostile-peer <mode> [options]";
    if (const int status = readCommandLine(argc, argv, description, &positional, usage))
        return status;
    const auto mode = modes.find(settings.mode);
    if (mode == modes.end()) {
        peerSay("unknown mode '%s'", settings.mode.c_str());
        return 2;
    }
    if (settings.threads == 0)
        settings.threads = 1;
    target = sockaddr_in{};
    target.sin_family = AF_INET;
    target.sin_port = htons(settings.port);
    if (::inet_pton(AF_INET, settings.host.c_str(), &target.sin_addr) != 1) {
        peerSay("bad IPv4 address '%s'", settings.host.c_str());
        return 2;
    }
    spreadSources = (ntohl(target.sin_addr.s_addr) >> 24) == 127;
    raiseDescriptorLimit();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    peerSay("hostile %s against %s:%u for %g s, seed %llu", settings.mode.c_str(), settings.host.c_str(), settings.port,
            settings.seconds, static_cast<unsigned long long>(settings.seed));
    const Clock::time_point start = Clock::now();
    deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
    mode->second();
    // The attack's own time: answers waited for after it are not part of it.
    const double took = std::min(settings.seconds, std::chrono::duration<double>(Clock::now() - start).count());
    peerSay("summary: mode=%s seconds=%.1f datagrams=%llu bytes=%llu frames=%llu connections=%llu "
            "connect_failures=%llu send_failures=%llu closed_by_server=%llu held_at_end=%llu back_datagrams=%llu "
            "back_bytes=%llu logins=%llu login_failures=%llu logouts=%llu qport_repeats=%llu first_close_s=%.1f",
            settings.mode.c_str(), took, static_cast<unsigned long long>(counts.datagrams.load()),
            static_cast<unsigned long long>(counts.bytes.load()), static_cast<unsigned long long>(counts.frames.load()),
            static_cast<unsigned long long>(counts.connections.load()),
            static_cast<unsigned long long>(counts.connectFailures.load()),
            static_cast<unsigned long long>(counts.sendFailures.load()),
            static_cast<unsigned long long>(counts.closedByServer.load()),
            static_cast<unsigned long long>(counts.held.load()),
            static_cast<unsigned long long>(counts.backDatagrams.load()),
            static_cast<unsigned long long>(counts.backBytes.load()),
            static_cast<unsigned long long>(counts.logins.load()),
            static_cast<unsigned long long>(counts.loginFailures.load()),
            static_cast<unsigned long long>(counts.logouts.load()),
            static_cast<unsigned long long>(counts.qportRepeats.load()),
            counts.firstCloseMs < 0 ? -1.0 : counts.firstCloseMs / 1000.0);
    return 0;
}
