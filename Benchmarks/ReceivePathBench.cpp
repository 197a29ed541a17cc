// The receive path: game clients' steering datagrams from three sender processes, through the
// real packet receiver on its I/O thread into events that the main thread takes once every
// 34 ms, as the server's frame does, against a recvmmsg loop (the fair limit of a batched path)
// and a recvfrom loop on a socket of the same kind. The senders send as fast as they can to the
// port of the phase that runs, so the receiving side is the bottleneck of every phase.
// Ours and the raw loops take turns within every round, in an order that changes from round to
// round; each rate is the median of the rounds. Beside them: the events that the UDP ring lost
// (it holds 50,000 and gives up its oldest) and the datagrams that the kernel dropped at each
// socket, both over all rounds.
// Usage: bench_receive_path [--seconds S] [--rounds R]

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Benchmarks/BenchSupport.h"
#include "Common/Debug/Logger.h"
#include "Common/Network/AbstractPacketReceiver.h"
#include "Common/Network/Limits.h"
#include "Common/Network/MessageDispatcher.h"

using Clock = std::chrono::steady_clock;

namespace {

const int SENDERS = 3;
const int BATCH = 64;
// The server's frame: at most 30 a second, one every 34 ms.
const std::chrono::milliseconds FRAME(34);

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The port the senders send to; 0: they wait. Shared with the sender processes.
std::atomic<uint16_t>* target = nullptr;

// A sender process: the same steering datagram to the target port, in batches, until it is
// killed.
pid_t startSender(const std::string& datagram) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Ends with the benchmark, however that ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = loopback(0);
    std::vector<mmsghdr> messages(BATCH);
    iovec piece{const_cast<char*>(datagram.data()), datagram.size()};
    for (mmsghdr& m : messages) {
        std::memset(&m, 0, sizeof(m));
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof(to);
        m.msg_hdr.msg_iov = &piece;
        m.msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const uint16_t port = target->load(std::memory_order_relaxed);
        if (port == 0) {
            ::usleep(1000);
            continue;
        }
        to.sin_port = htons(port);
        ::sendmmsg(fd, messages.data(), BATCH, 0);
    }
}

// The kernel's count of datagrams dropped at the UDP socket bound to `port` on all addresses
// (the last column of /proc/net/udp).
uint64_t socketDrops(uint16_t port) {
    std::ifstream table("/proc/net/udp");
    char local[32];
    std::snprintf(local, sizeof(local), "00000000:%04X", port);
    uint64_t drops = 0;
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, word, last;
        fields >> slot >> address;
        if (address != local)
            continue;
        while (fields >> word)
            last = word;
        drops += std::strtoull(last.c_str(), nullptr, 10);
    }
    return drops;
}

// What the raw loops read: a socket on its own port with the receive buffer the server's game
// socket asks for, and a short time-out so that a loop sees the end of its phase.
int rawSocket(boost::asio::ip::udp::socket& socket) {
    using boost::asio::ip::udp;
    socket.open(udp::v4());
    socket.bind(udp::endpoint(udp::v4(), 0));
    Network::setReceiveBuffer(socket, UDP_RECEIVE_BUFFER);
    const int fd = socket.native_handle();
    timeval tick{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));
    return fd;
}

// Reads for `seconds` while the senders send to the raw socket; the datagrams a second.
double recvfromLoop(int fd, double seconds) {
    char buffer[2048];
    sockaddr_in from;
    uint64_t got = 0;
    const Clock::time_point start = Clock::now();
    while (bench::secondsSince(start) < seconds) {
        socklen_t length = sizeof(from);
        if (::recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length) > 0)
            ++got;
    }
    return got / bench::secondsSince(start);
}

double recvmmsgLoop(int fd, double seconds) {
    std::vector<char> buffers(BATCH * 2048);
    std::vector<sockaddr_in> from(BATCH);
    std::vector<iovec> pieces(BATCH);
    std::vector<mmsghdr> messages(BATCH);
    uint64_t got = 0;
    const Clock::time_point start = Clock::now();
    while (bench::secondsSince(start) < seconds) {
        for (int i = 0; i < BATCH; ++i) {
            pieces[i] = iovec{&buffers[i * 2048], 2048};
            std::memset(&messages[i], 0, sizeof(mmsghdr));
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(fd, messages.data(), BATCH, 0, nullptr);
        if (n > 0)
            got += static_cast<uint64_t>(n);
    }
    return got / bench::secondsSince(start);
}

// Empties the raw socket once the senders have stopped, so that the next phase starts clean.
void drainRaw(int fd) {
    char buffer[2048];
    while (::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
}

// Counts what the main thread takes from the queues.
class CountingDispatcher : public MessageDispatcher {
public:
    CountingDispatcher() : MessageDispatcher(nullptr) {}
    bool dispatchEvent(networkEventPtr) override {
        ++taken;
        return true;
    }
    uint64_t taken = 0;
};

// Waits until the I/O thread has received nothing more for 20 ms: the senders have stopped and
// what was on its way is in.
void waitForQuiet() {
    std::atomic<uint64_t>& received = Logger::getInstance()->packages[CS_UDP_RCVD];
    uint64_t seen = received.load();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t now = received.load();
        if (now == seen)
            return;
        seen = now;
    }
}

// One phase of ours: the senders send to the server's port for `seconds` while the main thread
// takes the events once a frame; the events taken a second. `lost` grows by the events the ring
// gave up: each datagram carries one event, so what the I/O thread received and the main
// thread never took.
double oursLoop(Network* net, uint16_t port, double seconds, uint64_t& lost) {
    CountingDispatcher counter;
    std::atomic<uint64_t>& received = Logger::getInstance()->packages[CS_UDP_RCVD];
    const uint64_t receivedBefore = received.load();
    target->store(port);
    const Clock::time_point start = Clock::now();
    Clock::time_point frame = start;
    while (bench::secondsSince(start) < seconds) {
        frame += FRAME;
        std::this_thread::sleep_until(frame);
        net->packetReceiver->dispatch(&counter);
    }
    const double rate = counter.taken / bench::secondsSince(start);
    target->store(0);
    waitForQuiet();
    net->packetReceiver->dispatch(&counter);
    lost += received.load() - receivedBefore - counter.taken;
    return rate;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    int rounds = 5;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds" && i + 1 < argc) {
            seconds = std::max(0.2, std::atof(argv[i + 1]));
        } else if (option == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else {
            std::fprintf(stderr, "usage: bench_receive_path [--seconds S] [--rounds R]\n");
            return 2;
        }
    }
    const std::string datagram = bench::steeringDatagram();
    target = static_cast<std::atomic<uint16_t>*>(
        ::mmap(nullptr, sizeof(std::atomic<uint16_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (target == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    new (target) std::atomic<uint16_t>(0);
    // The senders first, while this process has one thread.
    std::vector<pid_t> senders;
    for (int i = 0; i < SENDERS; ++i)
        senders.push_back(startSender(datagram));

    boost::asio::io_context rawIo;
    boost::asio::ip::udp::socket raw(rawIo);
    const int rawFd = rawSocket(raw);
    const uint16_t rawPort = raw.local_endpoint().port();
    const uint16_t port = freeGamePort();
    Network* net = bench::startNetwork(port);
    CountingDispatcher discard;
    // Whatever queued while the I/O thread started is not counted.
    net->packetReceiver->dispatch(&discard);

    std::vector<double> ours, recvfromRates, recvmmsgRates;
    uint64_t lost = 0, oursReceivedBefore = Logger::getInstance()->packages[CS_UDP_RCVD].load();
    const uint64_t oursDropsBefore = socketDrops(port), rawDropsBefore = socketDrops(rawPort);
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            switch ((turn + round) % 3) {
            case 0:
                ours.push_back(oursLoop(net, port, seconds, lost));
                break;
            case 1:
                target->store(rawPort);
                recvmmsgRates.push_back(recvmmsgLoop(rawFd, seconds));
                break;
            default:
                target->store(rawPort);
                recvfromRates.push_back(recvfromLoop(rawFd, seconds));
            }
            target->store(0);
            waitForQuiet();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            drainRaw(rawFd);
        }
    }
    const uint64_t oursReceived = Logger::getInstance()->packages[CS_UDP_RCVD].load() - oursReceivedBefore;
    const uint64_t oursDrops = socketDrops(port) - oursDropsBefore, rawDrops = socketDrops(rawPort) - rawDropsBefore;

    for (pid_t pid : senders) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    const double oursRate = bench::median(ours), recvmmsgRate = bench::median(recvmmsgRates),
                 recvfromRate = bench::median(recvfromRates);
    std::printf("receive path: %zu-byte steering datagrams from %d sender processes, %d rounds of %.1f s a phase, "
                "the main thread taking the events once every %lld ms; rates in million datagrams a second, each the "
                "median of the rounds; %s\n\n",
                datagram.size(), SENDERS, rounds, seconds, static_cast<long long>(FRAME.count()),
                bench::machine().c_str());
    std::printf("| ours (events taken) | recvmmsg loop | recvfrom loop | ours / recvmmsg | ours / recvfrom | "
                "events lost by the ring | socket drops: ours | socket drops: raw |\n"
                "|---|---|---|---|---|---|---|---|\n");
    std::printf("| %.3f | %.3f | %.3f | %.2f | %.2f | %llu of %llu | %llu | %llu |\n", oursRate / 1e6,
                recvmmsgRate / 1e6, recvfromRate / 1e6, oursRate / recvmmsgRate, oursRate / recvfromRate,
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(oursReceived),
                static_cast<unsigned long long>(oursDrops), static_cast<unsigned long long>(rawDrops));
    std::fflush(stdout);
    // The I/O thread runs on; end without tearing down what it uses.
    std::_Exit(0);
}
