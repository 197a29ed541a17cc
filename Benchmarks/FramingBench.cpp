// The frame writer and reader against bare protobuf on the same messages, in one run:
//   writer: MessageSender::broadcast(ObjectUpdate&), stamp included, and the framing and packing
//           of a steering input behind a qport, against stamping the message (where ours does)
//           and AppendToString into one reused packet;
//   reader: deserializeMessageArray of a full broadcast packet of ObjectUpdates and of a game
//           client's steering datagram, events made and released, against new + ParseFromArray
//           + delete of each frame's message.
// Prints Google Benchmark's rows, then one table: ours, raw, their ratio and the goal.
// Usage: bench_framing [Google Benchmark options, e.g. --benchmark_min_time=0.5]

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Benchmarks/BenchSupport.h"
#include "Common/Engine/Timer.h"
#include "Common/Network/CommEndpoint.h"
#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Protobuf/Object.pb.h"

namespace {

using namespace bench;

const unsigned PACKET_LIMIT = MessageSender::MAX_UDP_PACKET_SIZE;

// The frames of a packet: where each body (type byte and encoding) starts, and its length.
std::vector<std::pair<size_t, size_t>> frameBodies(const std::string& packet, size_t from) {
    std::vector<std::pair<size_t, size_t>> bodies;
    while (from + 2 <= packet.size()) {
        const size_t length =
            static_cast<unsigned char>(packet[from]) | (static_cast<unsigned char>(packet[from + 1]) << 8);
        bodies.emplace_back(from + 2, length);
        from += 2 + length;
    }
    return bodies;
}

void freePackets(bufferList& list) {
    for (std::string* p : list)
        delete p;
    list.clear();
}

void freePackets(bufferMap& map) {
    for (bufferMap::value_type& entry : map) {
        freePackets(*entry.second);
        delete entry.second;
    }
    map.clear();
}

uint64_t stoppedClock() {
    return 1700000000000ull;
}

// The packets are freed after every so many messages, so memory stays flat as in the server,
// where every send step frees them.
const size_t MESSAGES_KEPT = 2048;

void writerBroadcastOurs(benchmark::State& state, bool stopClock) {
    Timer::setTimeSource(stopClock ? &stoppedClock : nullptr);
    boost::asio::io_context io;
    MessageSender sender(&io);
    Velmor::ObjectUpdate update = playerUpdate(42);
    size_t queued = 0;
    for (auto _ : state) {
        sender.broadcast(update);
        if (++queued % MESSAGES_KEPT == 0) {
            // As the send step does: the packets go, and with them what was noted of the
            // states in them.
            freePackets(sender.udpBroadcastBuffer_);
            sender.udpBroadcastUpdates_.clear();
        }
    }
    freePackets(sender.udpBroadcastBuffer_);
    Timer::setTimeSource(nullptr);
}

void writerBroadcastRaw(benchmark::State& state, bool stopClock) {
    Timer::setTimeSource(stopClock ? &stoppedClock : nullptr);
    Velmor::ObjectUpdate update = playerUpdate(42);
    std::string packet;
    packet.reserve(PACKET_LIMIT);
    for (auto _ : state) {
        update.set_timestamp(Timer::getCurSyncedTime());
        if (packet.size() + 64 >= PACKET_LIMIT)
            packet.clear();
        update.AppendToString(&packet);
        benchmark::DoNotOptimize(packet.data());
    }
    Timer::setTimeSource(nullptr);
}

// Framing and packing of the steering input, qport in front, as every queue operation packs.
void writerQportOurs(benchmark::State& state) {
    Velmor::ClientUpdate update = steering();
    bufferList packets;
    size_t queued = 0;
    for (auto _ : state) {
        MessageSender::packFrame(MessageTypes::ClientUpdate, update, packets, PACKET_LIMIT, true);
        if (++queued % MESSAGES_KEPT == 0)
            freePackets(packets);
    }
    freePackets(packets);
}

// The whole queue operation for a region server, its list looked up by the endpoint.
void writerQportQueued(benchmark::State& state) {
    boost::asio::io_context io;
    MessageSender sender(&io);
    CommEndpoint neighbour(CommEndpointTypes::ServerEndpoint);
    Velmor::ClientUpdate update = steering();
    size_t queued = 0;
    for (auto _ : state) {
        sender.queue(update, &neighbour);
        if (++queued % MESSAGES_KEPT == 0)
            freePackets(sender.udpBuffer_);
    }
    freePackets(sender.udpBuffer_);
}

void writerQportRaw(benchmark::State& state) {
    Velmor::ClientUpdate update = steering();
    std::string packet(4, '\x11');
    packet.reserve(PACKET_LIMIT);
    for (auto _ : state) {
        if (packet.size() + 32 >= PACKET_LIMIT)
            packet.resize(4);
        update.AppendToString(&packet);
        benchmark::DoNotOptimize(packet.data());
    }
}

// As the receiver reads: into one container that it reuses, emptied before each packet.
void readerPacketOurs(benchmark::State& state) {
    const int frames = updatesPerPacket();
    const std::string packet = fullUpdatePacket();
    std::string leftovers;
    std::vector<networkEventPtr> events;
    for (auto _ : state) {
        events.clear();
        MessageSerializer::deserializeMessageArray(packet.data(), packet.size(), &leftovers, events);
        benchmark::DoNotOptimize(events.back().get());
    }
    state.counters["frames"] = frames;
}

void readerPacketRaw(benchmark::State& state) {
    const int frames = updatesPerPacket();
    const std::string packet = fullUpdatePacket();
    const std::vector<std::pair<size_t, size_t>> bodies = frameBodies(packet, 0);
    for (auto _ : state) {
        for (const std::pair<size_t, size_t>& body : bodies) {
            Velmor::ObjectUpdate* message = new Velmor::ObjectUpdate();
            benchmark::DoNotOptimize(message->ParseFromArray(packet.data() + body.first + 1, body.second - 1));
            delete message;
        }
    }
    state.counters["frames"] = frames;
}

// As the receiver reads: the frames after the qport into its reused container, each event given
// the datagram's qport and source.
void readerDatagramOurs(benchmark::State& state) {
    const std::string datagram = steeringDatagram();
    boost::asio::ip::udp::endpoint source(boost::asio::ip::address_v4::loopback(), 40000);
    std::vector<networkEventPtr> events;
    for (auto _ : state) {
        events.clear();
        std::string leftovers;
        MessageSerializer::deserializeMessageArray(datagram.data() + 4, datagram.size() - 4, &leftovers, events);
        for (networkEventPtr& event : events) {
            event->qport = 0x30011;
            event->setUdpEndpoint(source);
        }
        benchmark::DoNotOptimize(events.back().get());
    }
}

// The form that returns a new list, as the stand-in peers and tests read.
void readerDatagramAsList(benchmark::State& state) {
    const std::string datagram = steeringDatagram();
    for (auto _ : state) {
        std::string leftovers;
        std::list<networkEventPtr> events =
            MessageSerializer::deserializeMessageArray(datagram.data() + 4, datagram.size() - 4, &leftovers);
        benchmark::DoNotOptimize(events.back().get());
    }
}

void readerDatagramRaw(benchmark::State& state) {
    const std::string datagram = steeringDatagram();
    const std::vector<std::pair<size_t, size_t>> bodies = frameBodies(datagram, 4);
    for (auto _ : state) {
        Velmor::ClientUpdate* message = new Velmor::ClientUpdate();
        benchmark::DoNotOptimize(message->ParseFromArray(datagram.data() + bodies[0].first + 1, bodies[0].second - 1));
        delete message;
    }
}

// One line of the summary: our benchmark against the raw one, both per message.
struct Comparison {
    const char* path;
    const char* ours;
    const char* raw;
    const char* goal;
    double maxRatio; // 0: no goal
};

const Comparison comparisons[] = {
    {"writer: broadcast(ObjectUpdate&), clock stopped", "writer/broadcast/ours/stopped-clock",
     "writer/broadcast/raw/stopped-clock", "at most 1.5x", 1.5},
    {"writer: broadcast(ObjectUpdate&), system clock", "writer/broadcast/ours/system-clock",
     "writer/broadcast/raw/system-clock", "-", 0},
    {"writer: ClientUpdate framed and packed behind a qport", "writer/qport/ours", "writer/qport/raw", "at most 1.5x",
     1.5},
    {"writer: queue(ClientUpdate&) to a server, list lookup included", "writer/qport/queued", "writer/qport/raw", "-",
     0},
    {"reader: packet of ObjectUpdates, per frame", "reader/packet/ours", "reader/packet/raw", "at most 1.5x", 1.5},
    {"reader: client datagram", "reader/datagram/ours", "reader/datagram/raw", "at most 1.5x", 1.5},
    {"reader: client datagram into a new list", "reader/datagram/as-list", "reader/datagram/raw", "-", 0},
};

// Google Benchmark's console rows, and each run's time per message kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so the output can be kept in a file.
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // One run each, or the fastest of the repetitions: noise on a shared machine only
            // ever adds time.
            const bool fastest = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !fastest))
                continue;
            double perMessage = run.GetAdjustedRealTime();
            const auto frames = run.counters.find("frames");
            if (frames != run.counters.end() && frames->second.value > 0)
                perMessage /= frames->second.value;
            nanoseconds[run.run_name.str()] = perMessage;
        }
    }

    void printSummary() const {
        std::printf("\nEach figure the fastest of the repetitions; %s\n", machine().c_str());
        std::printf("\n| path | ours ns | raw ns | ratio | goal | met |\n|---|---|---|---|---|---|\n");
        for (const Comparison& c : comparisons) {
            const auto ours = nanoseconds.find(c.ours);
            const auto raw = nanoseconds.find(c.raw);
            if (ours == nanoseconds.end() || raw == nanoseconds.end())
                continue;
            const double ratio = ours->second / raw->second;
            const char* met = c.maxRatio == 0 ? "-" : (ratio <= c.maxRatio ? "yes" : "no");
            std::printf("| %s | %.1f | %.1f | %.2fx | %s | %s |\n", c.path, ours->second, raw->second, ratio, c.goal,
                        met);
        }
    }

private:
    std::map<std::string, double> nanoseconds;
};

} // namespace

double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

template <class... Args> void add(const std::string& name, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)->ComputeStatistics("min", fastest);
}

int main(int argc, char** argv) {
    for (bool stopped : {true, false}) {
        const std::string clock = stopped ? "stopped-clock" : "system-clock";
        add("writer/broadcast/ours/" + clock, writerBroadcastOurs, stopped);
        add("writer/broadcast/raw/" + clock, writerBroadcastRaw, stopped);
    }
    add("writer/qport/ours", writerQportOurs);
    add("writer/qport/raw", writerQportRaw);
    add("writer/qport/queued", writerQportQueued);
    add("reader/packet/ours", readerPacketOurs);
    add("reader/packet/raw", readerPacketRaw);
    add("reader/datagram/ours", readerDatagramOurs);
    add("reader/datagram/raw", readerDatagramRaw);
    add("reader/datagram/as-list", readerDatagramAsList);

    // Unless told otherwise: ten short repetitions of each, ours and raw interleaved at random,
    // so that a stretch of noise on a shared machine does not hit one side only.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=10", aggregates = "--benchmark_report_aggregates_only=true",
                interleave = "--benchmark_enable_random_interleaving=true", minTime = "--benchmark_min_time=0.1";
    bool repetitionsGiven = false;
    for (char* arg : args)
        repetitionsGiven = repetitionsGiven || std::string(arg).rfind("--benchmark_repetitions", 0) == 0;
    if (!repetitionsGiven)
        for (std::string* option : {&repetitions, &aggregates, &interleave, &minTime})
            args.push_back(&(*option)[0]);
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    return 0;
}
