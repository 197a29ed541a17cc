#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/thread/thread.hpp>

#include "Common/Network/MessageDispatcher.h"
#include "Common/Network/Network.h"
#include "Server/ServerRegionHandler.h"
#include "Support/Wire/FakeClock.h"
#include "Support/Wire/FreePort.h"
#include "Support/Wire/Patience.h"
#include "Support/Wire/RunOn.h"

// The networking singleton built once per test process, as start-up builds it: on a free game
// port, with server id 3 in the registry while the own qport is taken, and an I/O thread that
// runs every completion until the process ends.
class LiveNetwork {
public:
    static Network* get() {
        static Network* net = start();
        return net;
    }

    static uint16_t port() {
        get();
        return portNumber();
    }

    static boost::asio::ip::udp::endpoint udpAddress() {
        return boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), port());
    }

    static boost::asio::ip::tcp::endpoint tcpAddress() {
        return boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), port());
    }

    // What the test wrote so far happens before the I/O thread's next completions. A datagram
    // or stream write already orders it in fact, through the kernel, but ThreadSanitizer cannot
    // see that: call this between writing state the I/O thread reads and sending what makes it read.
    static void syncWithIoThread() {
        get();
        runOn(*service(), [] {});
    }

private:
    typedef boost::asio::executor_work_guard<boost::asio::io_context::executor_type> WorkGuard;

    static uint16_t& portNumber() {
        static uint16_t number = 0;
        return number;
    }
    static boost::asio::io_context*& service() {
        static boost::asio::io_context* io = nullptr;
        return io;
    }
    static boost::thread*& thread() {
        static boost::thread* t = nullptr;
        return t;
    }

    static Network* start() {
        ServerRegionHandler* registry = ServerRegionHandler::getInstance();
        registry->clearForTesting();
        registry->myself = registry->AddServerToPool(3);
        portNumber() = freeGamePort();
        service() = new boost::asio::io_context();
        Network* net = Network::getInstance();
        net->init(static_cast<short>(portNumber()), service());
        registry->clearForTesting();
        static WorkGuard* keepRunning = new WorkGuard(service()->get_executor());
        (void)keepRunning;
        FakeClock::alsoReadOn(service());
        thread() = new boost::thread([] { service()->run(); });
        std::atexit(stop);
        return net;
    }

    // Before the statics go, so no completion runs while they are destroyed.
    static void stop() {
        service()->stop();
        thread()->join();
    }
};

// Records what the receiver hands it; `action` may throw to stand for a failing handler.
class RecordingDispatcher : public MessageDispatcher {
public:
    RecordingDispatcher() : MessageDispatcher(nullptr) {}

    bool dispatchEvent(networkEventPtr event) override {
        events.push_back(event);
        if (action)
            action(event);
        return true;
    }

    std::vector<networkEventPtr> events;
    std::function<void(networkEventPtr)> action;
};

// Dispatches the live network's queues into `recorder` until `done` holds or `limit` passes.
inline bool dispatchUntil(RecordingDispatcher& recorder, std::function<bool()> done,
                          std::chrono::milliseconds limit = Patience) {
    Network* net = LiveNetwork::get();
    MessageDispatcher* saved = net->messageDispatcher;
    net->messageDispatcher = &recorder;
    const bool reached = waitUntil(
        [&] {
            net->dispatchReceivedMessages(nullptr);
            return done();
        },
        limit);
    net->messageDispatcher = saved;
    return reached;
}
