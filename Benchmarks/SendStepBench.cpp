// One frame's UDP broadcast step: 16 full packets of player updates to N loopback recipients,
// through the real client send queue with the I/O thread running its completions, against a
// sendto loop and a sendmmsg loop of the same datagrams on a UDP socket of the same kind.
// The step's clock is stopped, so the 10 ms budget sheds nothing and every datagram is sent;
// "ours" runs from the start of the step to the last completion on the I/O thread, "main
// thread" until the step returns. Recipients are drained between rounds, outside the timing.
// Usage: bench_send_step [--rounds R] [--recipients "50 200 500"]

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Benchmarks/BenchSupport.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Timer.h"

using Clock = std::chrono::steady_clock;

namespace {

const int PACKETS = 16;

uint64_t stoppedClock() {
    return 1700000000000ull;
}

// The loopback sockets that stand for the players' clients.
class Recipients {
public:
    explicit Recipients(size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof(address);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
                std::perror("recipient socket");
                std::exit(1);
            }
            fds.push_back(fd);
            addresses.push_back(address);
            boost::asio::ip::udp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), ntohs(address.sin_port));
            endpoints.emplace_back(new CommEndpoint(CommEndpointTypes::WatcherEndpoint));
            endpoints.back()->setUdpEndpoint(endpoint);
        }
    }
    ~Recipients() {
        for (int fd : fds)
            ::close(fd);
    }

    // Reads what arrived; the count, so a run can be checked.
    size_t drain() {
        size_t got = 0;
        char buffer[2048];
        for (int fd : fds)
            while (::recv(fd, buffer, sizeof(buffer), 0) > 0)
                ++got;
        return got;
    }

    std::list<CommEndpoint*> list() const {
        std::list<CommEndpoint*> all;
        for (const std::unique_ptr<CommEndpoint>& e : endpoints)
            all.push_back(e.get());
        return all;
    }

    std::vector<int> fds;
    std::vector<sockaddr_in> addresses;
    std::vector<std::unique_ptr<CommEndpoint>> endpoints;
};

struct Rates {
    double ours = 0, oursMain = 0, sendtoLoop = 0, sendmmsgLoop = 0;
};

// Seconds for one step of ours: queue the frame's updates, send, wait for every completion.
void oursOnce(MessageSender& sender, const Recipients& to, double& total, double& mainThread) {
    const int frames = bench::updatesPerPacket() * PACKETS;
    for (int i = 0; i < frames; ++i) {
        Velmor::ObjectUpdate update = bench::playerUpdate(2 + i);
        sender.broadcast(update);
    }
    const std::list<CommEndpoint*> all = to.list();
    std::atomic<uint64_t>& sent = Logger::getInstance()->packages[CS_UDP_SENT];
    const uint64_t expected = sent.load() + PACKETS * all.size();
    const Clock::time_point start = Clock::now();
    sender.sendQueuedBroadcastMessages(all);
    mainThread += bench::secondsSince(start);
    while (sent.load() < expected)
        std::this_thread::yield();
    total += bench::secondsSince(start);
}

double sendtoOnce(int fd, const std::vector<std::string>& packets, const Recipients& to) {
    const Clock::time_point start = Clock::now();
    for (const std::string& packet : packets)
        for (const sockaddr_in& address : to.addresses)
            ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return bench::secondsSince(start);
}

double sendmmsgOnce(int fd, const std::vector<std::string>& packets, const Recipients& to) {
    const size_t n = to.addresses.size();
    std::vector<mmsghdr> messages(n);
    std::vector<iovec> pieces(n);
    const Clock::time_point start = Clock::now();
    for (const std::string& packet : packets) {
        for (size_t i = 0; i < n; ++i) {
            pieces[i].iov_base = const_cast<char*>(packet.data());
            pieces[i].iov_len = packet.size();
            std::memset(&messages[i].msg_hdr, 0, sizeof(msghdr));
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to.addresses[i]);
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        for (size_t done = 0; done < n;) {
            const int sent = ::sendmmsg(fd, &messages[done], static_cast<unsigned>(n - done), 0);
            if (sent <= 0)
                break;
            done += static_cast<size_t>(sent);
        }
    }
    return bench::secondsSince(start);
}

Rates measure(MessageSender& sender, int rawSocket, size_t n, int rounds) {
    Recipients to(n);
    std::vector<std::string> packets(PACKETS, bench::fullUpdatePacket());
    const double datagrams = double(PACKETS) * n * rounds;
    Rates rates;
    double total = 0, mainThread = 0, sendtoTime = 0, sendmmsgTime = 0;
    // One round of each first, unmeasured, so caches and the allocator are warm.
    for (int round = -1; round < rounds; ++round) {
        double t = 0, m = 0;
        oursOnce(sender, to, t, m);
        to.drain();
        const double s = sendtoOnce(rawSocket, packets, to);
        to.drain();
        const double mm = sendmmsgOnce(rawSocket, packets, to);
        to.drain();
        if (round < 0)
            continue;
        total += t;
        mainThread += m;
        sendtoTime += s;
        sendmmsgTime += mm;
    }
    rates.ours = datagrams / total / 1e6;
    rates.oursMain = datagrams / mainThread / 1e6;
    rates.sendtoLoop = datagrams / sendtoTime / 1e6;
    rates.sendmmsgLoop = datagrams / sendmmsgTime / 1e6;
    return rates;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 40;
    std::vector<size_t> counts = {50, 200, 500};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--recipients") {
            counts.clear();
            std::istringstream list(argv[i + 1]);
            for (size_t n; list >> n;)
                counts.push_back(std::max<size_t>(1, n));
        } else {
            std::fprintf(stderr, "usage: bench_send_step [--rounds R] [--recipients \"50 200 500\"]\n");
            return 2;
        }
    }

    Timer::setTimeSource(&stoppedClock);
    Network* net = bench::startNetwork(freeGamePort());
    const int rawSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ::bind(rawSocket, reinterpret_cast<sockaddr*>(&any), sizeof(any));

    std::printf("send step: %d broadcast packets of %zu bytes to N loopback recipients, %d rounds, "
                "million datagrams a second\n\n",
                PACKETS, bench::fullUpdatePacket().size(), rounds);
    std::printf(
        "| recipients | ours | ours, main thread's step | sendto loop | sendmmsg loop | ours / sendto | goal | met |\n"
        "|---|---|---|---|---|---|---|---|\n");
    for (size_t n : counts) {
        const Rates r = measure(*net->clientMessageSender, rawSocket, n, rounds);
        const double ratio = r.ours / r.sendtoLoop;
        std::printf("| %zu | %.3f | %.3f | %.3f | %.3f | %.2f | at least 0.80 | %s |\n", n, r.ours, r.oursMain,
                    r.sendtoLoop, r.sendmmsgLoop, ratio, ratio >= 0.8 ? "yes" : "no");
        std::fflush(stdout);
    }
    ::close(rawSocket);
    std::fflush(stdout);
    // The I/O thread runs on; end without tearing down what it uses.
    std::_Exit(0);
}
