#pragma once

// What the micro-benchmarks share: the messages of the hot paths, a full broadcast packet, a
// steering datagram, the networking singleton built as start-up builds it, the machine's line
// and the median of a phase's rounds.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Network/MessageSender.h"
#include "Common/Network/MessageSerializer.h"
#include "Common/Network/Network.h"
#include "Common/Protobuf/Object.pb.h"
#include "Server/ServerRegionHandler.h"
#include "Tests/Support/Wire/FreePort.h"

namespace bench {

// A player's state as the replica manager broadcasts it: an id of server 7, the clock of a
// long-running coordinator, a position, an orientation and the latency serial.
inline Velmor::ObjectUpdate playerUpdate(uint64_t counter) {
    Velmor::ObjectUpdate update;
    update.set_id((uint64_t(7) << 32) | counter);
    update.set_timestamp(912345678u);
    Velmor::Position* p = update.mutable_position();
    p->set_x(412.5f);
    p->set_y(-87.25f);
    p->set_z(903.125f);
    Velmor::Orientation* o = update.mutable_orientation();
    o->set_x(0.1f);
    o->set_y(0.7f);
    o->set_z(-0.1f);
    o->set_w(0.7f);
    update.set_latency_serial_num(1234);
    return update;
}

// A game client's steering input.
inline Velmor::ClientUpdate steering() {
    Velmor::ClientUpdate update;
    Velmor::Orientation* o = update.mutable_orientation();
    o->set_x(0.0f);
    o->set_y(0.38f);
    o->set_z(0.0f);
    o->set_w(0.92f);
    update.set_boosterson(Steering::ThrustForward);
    return update;
}

// How many player updates one broadcast packet holds.
inline int updatesPerPacket() {
    bufferList list;
    int frames = 0;
    for (uint64_t counter = 2; list.size() < 2; ++counter) {
        Velmor::ObjectUpdate update = playerUpdate(counter);
        MessageSender::appendMsgToQueue(MessageSerializer::serializeMessage(update), list,
                                        MessageSender::MAX_UDP_PACKET_SIZE, false);
        frames += list.size() == 1;
    }
    for (std::string* p : list)
        delete p;
    return frames;
}

// A broadcast packet as the send step sends it: player updates packed until the next would
// not fit.
inline std::string fullUpdatePacket() {
    std::string packet;
    const int frames = updatesPerPacket();
    for (int i = 0; i < frames; ++i) {
        Velmor::ObjectUpdate update = playerUpdate(2 + i);
        packet += MessageSerializer::serializeMessage(update);
    }
    return packet;
}

// The datagram of a game client: its qport, then its steering frame.
inline std::string steeringDatagram() {
    Velmor::ClientUpdate update = steering();
    const uint32_t qport = (3u << 16) | 17u;
    std::string datagram;
    for (int shift = 0; shift < 32; shift += 8)
        datagram.push_back(static_cast<char>((qport >> shift) & 0xFF));
    return datagram + MessageSerializer::serializeMessage(update);
}

// The networking singleton on `port`, built as start-up builds it (server 1), with an I/O
// thread that runs its completions until the process ends.
inline Network* startNetwork(uint16_t port) {
    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    registry->myself = registry->AddServerToPool(1);
    boost::asio::io_context* io = new boost::asio::io_context();
    Network* net = Network::getInstance();
    net->ownId = 1;
    net->init(static_cast<short>(port), io);
    new boost::asio::executor_work_guard<boost::asio::io_context::executor_type>(io->get_executor());
    std::thread([io] { io->run(); }).detach();
    return net;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "8 cores, <model>", so that a table says where it was measured.
inline std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model = "CPU model unknown";
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            model = line.substr(line.find(':') + 1);
            model.erase(0, model.find_first_not_of(' '));
            break;
        }
    }
    return std::to_string(std::thread::hardware_concurrency()) + " cores, " + model;
}

// The median of the rounds' figures (the mean of the middle two for an even count); 0 for none.
inline double median(std::vector<double> figures) {
    if (figures.empty())
        return 0;
    std::sort(figures.begin(), figures.end());
    const size_t middle = figures.size() / 2;
    return figures.size() % 2 ? figures[middle] : (figures[middle - 1] + figures[middle]) / 2;
}

} // namespace bench
