// The receive path: game clients' steering datagrams from three sender processes, through the
// real packet receiver on its I/O thread into events that the main thread's dispatch takes,
// against a recvfrom loop and a recvmmsg loop on the same port. The senders send as fast as
// they can for the whole run, so the receiving side is the bottleneck of every phase.
// Usage: bench_receive_path [--seconds S]

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Benchmarks/BenchSupport.h"
#include "Common/Network/AbstractPacketReceiver.h"
#include "Common/Network/MessageDispatcher.h"

using Clock = std::chrono::steady_clock;

namespace {

const int SENDERS = 3;
const int BATCH = 64;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A sender process: the same steering datagram to the port, in batches, until it is killed.
pid_t startSender(uint16_t port, const std::string& datagram) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Ends with the benchmark, however that ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = loopback(port);
    std::vector<mmsghdr> messages(BATCH);
    iovec piece{const_cast<char*>(datagram.data()), datagram.size()};
    for (mmsghdr& m : messages) {
        std::memset(&m, 0, sizeof(m));
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof(to);
        m.msg_hdr.msg_iov = &piece;
        m.msg_hdr.msg_iovlen = 1;
    }
    for (;;)
        ::sendmmsg(fd, messages.data(), BATCH, 0);
}

int boundSocket(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    timeval tick{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));
    return fd;
}

double recvfromLoop(uint16_t port, double seconds) {
    const int fd = boundSocket(port);
    char buffer[2048];
    sockaddr_in from;
    uint64_t got = 0;
    const Clock::time_point start = Clock::now();
    while (bench::secondsSince(start) < seconds) {
        socklen_t length = sizeof(from);
        if (::recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length) > 0)
            ++got;
    }
    const double rate = got / bench::secondsSince(start);
    ::close(fd);
    return rate;
}

double recvmmsgLoop(uint16_t port, double seconds) {
    const int fd = boundSocket(port);
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
    const double rate = got / bench::secondsSince(start);
    ::close(fd);
    return rate;
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

// The server's receiver on `port`, its main thread dispatching as often as it can.
double oursLoop(uint16_t port, double seconds) {
    Network* net = bench::startNetwork(port);
    CountingDispatcher counter;
    // Whatever queued while the I/O thread started is not counted.
    net->packetReceiver->dispatch(&counter);
    counter.taken = 0;
    const Clock::time_point start = Clock::now();
    while (bench::secondsSince(start) < seconds)
        net->packetReceiver->dispatch(&counter);
    return counter.taken / bench::secondsSince(start);
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 3.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--seconds") {
            seconds = std::max(0.5, std::atof(argv[i + 1]));
        } else {
            std::fprintf(stderr, "usage: bench_receive_path [--seconds S]\n");
            return 2;
        }
    }
    const std::string datagram = bench::steeringDatagram();
    const uint16_t port = freeGamePort();
    // The senders first, while this process has one thread.
    std::vector<pid_t> senders;
    for (int i = 0; i < SENDERS; ++i)
        senders.push_back(startSender(port, datagram));

    const double recvfromRate = recvfromLoop(port, seconds);
    const double recvmmsgRate = recvmmsgLoop(port, seconds);
    const double oursRate = oursLoop(port, seconds);

    for (pid_t pid : senders) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    const double ratio = oursRate / recvfromRate;
    std::printf("receive path: %zu-byte steering datagrams from %d sender processes, %.1f s a phase, "
                "million datagrams a second\n\n",
                datagram.size(), SENDERS, seconds);
    std::printf("| ours (events taken) | recvfrom loop | recvmmsg loop | ours / recvfrom | goal | met |\n"
                "|---|---|---|---|---|---|\n");
    std::printf("| %.3f | %.3f | %.3f | %.2f | at least 0.50 | %s |\n", oursRate / 1e6, recvfromRate / 1e6,
                recvmmsgRate / 1e6, ratio, ratio >= 0.5 ? "yes" : "no");
    std::fflush(stdout);
    // The I/O thread runs on; end without tearing down what it uses.
    std::_Exit(0);
}
