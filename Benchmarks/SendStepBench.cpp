// One frame's UDP broadcast step: 16 full packets of player updates to N loopback recipients,
// through the real client send queue with the I/O thread running its completions, against a
// sendmmsg loop (the fair limit of a batched path) and a sendto loop of the same datagrams on a
// UDP socket of the same kind. The recipients read as game clients do: reader threads read
// every recipient's socket as datagrams arrive, during the step too.
// Two tables. With the step's clock stopped the 10 ms budget sheds nothing, so every datagram is
// sent: "ours" runs from the start of the step to the last completion on the I/O thread, "main
// thread" until the step returns. With the real clock the budget is in force: the share of the
// datagrams that the step shed, beside a sendmmsg loop under the same budget (tested before each
// packet, as the step does).
// Ours and the raw loops take turns within every round, in an order that changes from round to
// round; each figure is the median of the rounds.
// Usage: bench_send_step [--rounds R] [--recipients "50 200 500"] [--readers T]

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
// The step's budget, and the rule by which it tests it before each packet.
const uint64_t BUDGET_MS = 10;

// The clock the step reads: stopped, or the wall clock. Switched only between phases.
std::atomic<bool> clockStopped{true};

uint64_t benchClock() {
    if (clockStopped.load(std::memory_order_relaxed))
        return 1700000000000ull;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// The loopback sockets that stand for the players' clients, and the threads that read them.
class Recipients {
public:
    Recipients(size_t n, unsigned readerCount) {
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
        readerCount = std::max(1u, std::min<unsigned>(readerCount, static_cast<unsigned>(n)));
        for (unsigned r = 0; r < readerCount; ++r) {
            const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
            for (size_t i = r; i < n; i += readerCount) {
                epoll_event interest{};
                interest.events = EPOLLIN;
                interest.data.fd = fds[i];
                if (epoll < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, fds[i], &interest) != 0) {
                    std::perror("recipient epoll");
                    std::exit(1);
                }
            }
            epolls.push_back(epoll);
            readers.emplace_back([this, epoll] { read(epoll); });
        }
    }
    ~Recipients() {
        stopping = true;
        for (std::thread& reader : readers)
            reader.join();
        for (int fd : epolls)
            ::close(fd);
        for (int fd : fds)
            ::close(fd);
    }

    uint64_t received() const { return got.load(); }

    // Waits until the readers have read `expected` datagrams in all, or until none has come for
    // 50 ms (a datagram the kernel dropped never comes), so that phases do not overlap.
    void settle(uint64_t expected) const {
        uint64_t seen = got.load();
        Clock::time_point progress = Clock::now();
        while (seen < expected && Clock::now() - progress < std::chrono::milliseconds(50)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            const uint64_t now = got.load();
            if (now != seen) {
                seen = now;
                progress = Clock::now();
            }
        }
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

private:
    // A reader thread: whatever its sockets hold, as soon as they hold it, as a client reads.
    void read(int epoll) {
        epoll_event ready[64];
        char buffer[2048];
        while (!stopping.load(std::memory_order_relaxed)) {
            const int n = ::epoll_wait(epoll, ready, 64, 20);
            for (int i = 0; i < n; ++i) {
                uint64_t count = 0;
                while (::recv(ready[i].data.fd, buffer, sizeof(buffer), 0) > 0)
                    ++count;
                got += count;
            }
        }
    }

    std::vector<int> epolls;
    std::vector<std::thread> readers;
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> got{0};
};

// Standard output to /dev/null while it lives: the step's NOTICE line, once for every step the
// budget cut short, would break up the tables. Main thread only.
class QuietOutput {
public:
    QuietOutput() {
        std::fflush(stdout);
        saved = ::dup(STDOUT_FILENO);
        const int nothing = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(nothing, STDOUT_FILENO);
        ::close(nothing);
    }
    ~QuietOutput() {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
    QuietOutput(const QuietOutput&) = delete;
    QuietOutput& operator=(const QuietOutput&) = delete;

private:
    int saved;
};

// One step of ours: queue the frame's updates, send, wait for every completion. Gives the
// datagrams sent; `total` and `mainThread` take the step's seconds to its last completion and
// until it returned.
uint64_t oursOnce(MessageSender& sender, const Recipients& to, double& total, double& mainThread) {
    const int frames = bench::updatesPerPacket() * PACKETS;
    for (int i = 0; i < frames; ++i) {
        Velmor::ObjectUpdate update = bench::playerUpdate(2 + i);
        sender.broadcast(update);
    }
    const std::list<CommEndpoint*> all = to.list();
    Logger* log = Logger::getInstance();
    std::atomic<uint64_t>& sent = log->packages[CS_UDP_SENT];
    const uint64_t sentBefore = sent.load();
    const uint64_t droppedBefore = log->droppedPackages;
    Clock::time_point start;
    {
        const QuietOutput quiet;
        start = Clock::now();
        sender.sendQueuedBroadcastMessages(all);
        mainThread = bench::secondsSince(start);
    }
    const uint64_t toSend = PACKETS * all.size() - (log->droppedPackages - droppedBefore);
    while (sent.load() < sentBefore + toSend)
        std::this_thread::yield();
    total = bench::secondsSince(start);
    return toSend;
}

double sendtoOnce(int fd, const std::vector<std::string>& packets, const Recipients& to) {
    const Clock::time_point start = Clock::now();
    for (const std::string& packet : packets)
        for (const sockaddr_in& address : to.addresses)
            ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return bench::secondsSince(start);
}

// Every packet to every recipient in one sendmmsg batch per packet; under the budget, the
// packets after the clock passed it are not sent. Gives the seconds; `sent` the datagrams.
double sendmmsgOnce(int fd, const std::vector<std::string>& packets, const Recipients& to, bool budget,
                    uint64_t& sent) {
    const size_t n = to.addresses.size();
    std::vector<mmsghdr> messages(n);
    std::vector<iovec> pieces(n);
    sent = 0;
    const Clock::time_point start = Clock::now();
    const uint64_t startMs = Timer::getCurrentTime();
    for (const std::string& packet : packets) {
        if (budget && Timer::getCurrentTime() - startMs > BUDGET_MS)
            break;
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
            const int count = ::sendmmsg(fd, &messages[done], static_cast<unsigned>(n - done), 0);
            if (count <= 0)
                break;
            done += static_cast<size_t>(count);
            sent += static_cast<uint64_t>(count);
        }
    }
    return bench::secondsSince(start);
}

// Each a median of the rounds: rates in million datagrams a second, shares of the datagrams
// offered, the step's time in milliseconds.
struct Figures {
    double ours = 0, oursMain = 0, sendtoLoop = 0, sendmmsgLoop = 0;
    double oursShed = 0, sendmmsgShed = 0, oursStepMs = 0;
    uint64_t sent = 0, read = 0;
};

Figures measure(MessageSender& sender, int rawSocket, size_t n, int rounds, unsigned readers) {
    Recipients to(n, readers);
    const std::vector<std::string> packets(PACKETS, bench::fullUpdatePacket());
    const double offered = double(PACKETS) * n;
    std::vector<double> ours, oursMain, sendtoLoop, sendmmsgLoop, oursShed, sendmmsgShed, oursStepMs;
    uint64_t expected = 0;

    // Clock stopped: nothing is shed. One round of each first, unmeasured, so that caches and
    // the allocator are warm.
    clockStopped = true;
    for (int round = -1; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            switch ((turn + round + 3) % 3) {
            case 0: {
                double total = 0, mainThread = 0;
                expected += oursOnce(sender, to, total, mainThread);
                if (round >= 0) {
                    ours.push_back(offered / total / 1e6);
                    oursMain.push_back(offered / mainThread / 1e6);
                }
                break;
            }
            case 1: {
                const double seconds = sendtoOnce(rawSocket, packets, to);
                expected += PACKETS * n;
                if (round >= 0)
                    sendtoLoop.push_back(offered / seconds / 1e6);
                break;
            }
            default: {
                uint64_t sent = 0;
                const double seconds = sendmmsgOnce(rawSocket, packets, to, false, sent);
                expected += sent;
                if (round >= 0)
                    sendmmsgLoop.push_back(offered / seconds / 1e6);
            }
            }
            to.settle(expected);
        }
    }

    // The real clock: the budget sheds what does not fit.
    clockStopped = false;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + round) % 2 == 0) {
                double total = 0, mainThread = 0;
                const uint64_t sent = oursOnce(sender, to, total, mainThread);
                expected += sent;
                oursShed.push_back(1.0 - sent / offered);
                oursStepMs.push_back(mainThread * 1e3);
            } else {
                uint64_t sent = 0;
                sendmmsgOnce(rawSocket, packets, to, true, sent);
                expected += sent;
                sendmmsgShed.push_back(1.0 - sent / offered);
            }
            to.settle(expected);
        }
    }
    clockStopped = true;

    Figures f;
    f.ours = bench::median(ours);
    f.oursMain = bench::median(oursMain);
    f.sendtoLoop = bench::median(sendtoLoop);
    f.sendmmsgLoop = bench::median(sendmmsgLoop);
    f.oursShed = bench::median(oursShed);
    f.sendmmsgShed = bench::median(sendmmsgShed);
    f.oursStepMs = bench::median(oursStepMs);
    f.sent = expected;
    f.read = to.received();
    return f;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 40;
    unsigned readers = 4;
    std::vector<size_t> counts = {50, 200, 500};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--readers") {
            readers = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
        } else if (option == "--recipients") {
            counts.clear();
            std::istringstream list(argv[i + 1]);
            for (size_t n; list >> n;)
                counts.push_back(std::max<size_t>(1, n));
        } else {
            std::fprintf(stderr, "usage: bench_send_step [--rounds R] [--recipients \"50 200 500\"] [--readers T]\n");
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: bench_send_step [--rounds R] [--recipients \"50 200 500\"] [--readers T]\n");
        return 2;
    }

    Timer::setTimeSource(&benchClock);
    Network* net = bench::startNetwork(freeGamePort());
    const int rawSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ::bind(rawSocket, reinterpret_cast<sockaddr*>(&any), sizeof(any));

    std::vector<Figures> figures;
    for (size_t n : counts)
        figures.push_back(measure(*net->clientMessageSender, rawSocket, n, rounds, readers));

    std::printf("send step: %d broadcast packets of %zu bytes to N loopback recipients read by %u reader threads, "
                "%d rounds, each figure the median of the rounds; %s\n\n",
                PACKETS, bench::fullUpdatePacket().size(), readers, rounds, bench::machine().c_str());
    std::printf("Clock stopped (nothing shed), million datagrams a second:\n\n"
                "| recipients | ours | ours, main thread's step | sendmmsg loop | sendto loop | ours / sendmmsg | "
                "ours / sendto |\n"
                "|---|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < counts.size(); ++i) {
        const Figures& f = figures[i];
        std::printf("| %zu | %.3f | %.3f | %.3f | %.3f | %.2f | %.2f |\n", counts[i], f.ours, f.oursMain,
                    f.sendmmsgLoop, f.sendtoLoop, f.ours / f.sendmmsgLoop, f.ours / f.sendtoLoop);
    }
    std::printf("\nReal clock, the step's 10 ms budget in force: the share of the datagrams shed:\n\n"
                "| recipients | datagrams a step | ours: shed | sendmmsg loop, same budget: shed | ours: step ms |\n"
                "|---|---|---|---|---|\n");
    uint64_t sent = 0, read = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        const Figures& f = figures[i];
        std::printf("| %zu | %zu | %.1f%% | %.1f%% | %.2f |\n", counts[i], PACKETS * counts[i], 100 * f.oursShed,
                    100 * f.sendmmsgShed, f.oursStepMs);
        sent += f.sent;
        read += f.read;
    }
    std::printf("\nThe recipients read %llu of the %llu datagrams sent.\n", static_cast<unsigned long long>(read),
                static_cast<unsigned long long>(sent));
    ::close(rawSocket);
    std::fflush(stdout);
    // The I/O thread runs on; end without tearing down what it uses.
    std::_Exit(0);
}
