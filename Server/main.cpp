#include "Server/main.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <random>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/program_options.hpp>
#include <boost/thread/thread.hpp>

#include "Common/Collision/CollisionHandler.h"
#include "Common/Debug/Debug.h"
#include "Common/Debug/Logger.h"
#include "Common/Engine/Helpers.h"
#include "Common/Network/Limits.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Network/WatcherManager.h"
#include "Common/ReplicaManager/ReplicaManager.h"
#include "Common/Scene/SceneGraph.h"
#include "Common/Scene/SceneObjectFactory.h"
#include "Server/Console.h"
#include "Server/Gamelogic/VelmorEntryPoint.h"
#include "Server/LoadCheck.h"
#include "Server/ServerRegionHandler.h"

namespace po = boost::program_options;

Timer timer;

namespace {

// Who ends the process when the time limit expires. Until the scheduler runs, the main thread
// is only starting up or connecting (possibly blocked in a connect), writes no measurement
// line and runs no frame, so the timer's handler ends the process itself. From then on the
// handler only sets timeLimitExpired and the main thread ends it between two frames.
enum Phase { StartingUp, Running, Ending };
std::atomic<int> phase(StartingUp);
std::atomic<bool> timeLimitExpired(false);

// The I/O service and its thread, so the main thread can stop them before it exits.
boost::asio::io_context* ioService = nullptr;
boost::thread* ioThread = nullptr;

// Main thread, just before the scheduler takes over. False when the time limit has already
// expired and the I/O thread is ending the process.
bool enterRunningPhase() {
    int expected = StartingUp;
    return phase.compare_exchange_strong(expected, Running);
}

// Every connection takes a descriptor: the soft limit of open files goes up to the hard one,
// so the server does not run short long before the system would let it. The limit it runs with.
unsigned long long raiseOpenFilesLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<unsigned long long>(limit.rlim_cur);
}

// Where this run's counters start. A server restarted under its old id must not hand out an
// object id or a qport that a ship of its previous life may still carry on another server, and
// nothing of that life is kept, so both counters start at a random place: the qport counter
// anywhere in its 16 bits (65,536 qports per server id leave no room to space runs apart by the
// clock), the object counter in the lowest quarter of its 32 bits, which leaves every run at
// least three quarters of them before the counter wraps.
struct CounterStarts {
    uint32_t lastId;     // the first id allocated carries lastId + 1, from 2 to 2^30 + 1
    uint16_t firstQport; // the counter of the own qport, the first one handed out
};

CounterStarts drawCounterStarts() {
    uint64_t bits = 0;
    try {
        std::random_device device;
        bits = (static_cast<uint64_t>(device()) << 32) | device();
    } catch (const std::exception&) {
        // No entropy source: the clock and the process id still differ from run to run.
        std::seed_seq seed{static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                           static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
                           static_cast<uint64_t>(::getpid())};
        std::mt19937_64 generator(seed);
        bits = generator();
    }
    return {static_cast<uint32_t>(bits >> 34) + 1, static_cast<uint16_t>(bits)};
}

} // namespace

void cleanupLog() {
    Logger::getInstance()->cleanup();
}

void logToFile() {
    Logger::getInstance()->writeMeasurementToFile();
}

void timeout(const boost::system::error_code& /*error*/) {
    DebugPrint("Timeout expired\n");
    int expected = StartingUp;
    if (phase.compare_exchange_strong(expected, Ending)) {
        std::fflush(stdout);
        std::exit(0);
    }
    timeLimitExpired = true;
}

void endProcessIfTimeLimitExpired() {
    if (!timeLimitExpired)
        return;
    // Ending here rather than on the I/O thread: the main thread is between frames, so
    // nothing writes the measurement file after the exit handler closes it, and the I/O
    // thread is stopped and joined so no completion runs while exit() tears down statics.
    if (ioService)
        ioService->stop();
    if (ioThread && ioThread->get_id() != boost::this_thread::get_id())
        ioThread->join();
    std::fflush(stdout);
    std::exit(0);
}

void checkSurroundingServers() {
    try {
        ServerRegionHandler::getInstance()->testConnectionToNeighbours();
    } catch (...) {
        DebugPrint("check servers got an execption\n");
    }
}

void mainLoop() {
    // Flipped by the console.
    static bool shouldFakeCPUUsage = false;

    endProcessIfTimeLimitExpired();

    // The wall-clock time since the previous frame, but at most maxFrameStep: after a stall
    // (the process stopped, a paused machine, a swap storm) the world slows for one frame
    // rather than carrying every ship through other servers' regions and past its collisions
    // in one step. The clocks run on: the frame clock, the measurement log and the
    // synchronised time read the wall clock, not this step.
    const float dt = static_cast<float>(std::min(timer.getTimeDiff(), maxFrameStep));
    Logger::getInstance()->frameDone(dt);

    // Before anything in this frame can hand over or create copies.
    ReplicaManager::ResetHasTransfered();
    // The neighbour connects of this frame's region maps, and of the periodic check until the
    // next frame, share one budget.
    ServerRegionHandler::getInstance()->resetConnectBudget();

    SceneGraph* scene = SceneGraph::getInstance();
    Network* network = Network::getInstance();
    network->dispatchReceivedMessages(scene);

    TransformList* players = scene->getListOfType(SceneGraphType::Player);
    TransformList* motherShips = scene->getListOfType(SceneGraphType::MotherShip);
    TransformList* projectiles = scene->getListOfType(SceneGraphType::Projectile);
    CollisionHandler::handleCollissionsWith({players, motherShips}, projectiles);
    if (shouldCollideAllObjects) {
        CollisionHandler::handleCollissionsWith({projectiles}, projectiles);
        CollisionHandler::handleCollissionsWith({players}, players);
    }

    try {
        scene->update(dt);
    } catch (...) {
        DebugPrint("scenegraph update got an execption\n");
    }

    try {
        network->networkSender->sendMessages();
    } catch (...) {
        DebugPrint("Network::getInstance()->getSender()->sendMessages() threw an execption\n");
    }

    network->watcherManager->convertPlayersToWatchers();

    try {
        scene->applyRemoveList();
    } catch (...) {
        DebugPrint("apply remove list got an execption\n");
    }

    if (shouldFakeCPUUsage)
        fakeCPUUsage();

    runConsoleCommands(scene->getListOfType(SceneGraphType::Player), scene->getListOfType(SceneGraphType::Projectile),
                       shouldFakeCPUUsage);
}

int serverMain(int argc, char* argv[]) {
    // Line by line also into a pipe or file, so diagnostics show as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        int port = 21042;
        int serverId = 0;
        int timelimit = 0;
        std::string configfile;
        bool enableConsole = true;
        std::string coordHost;
        std::string coordPort;
        std::string stats;
        bool log = true;

        po::options_description desc("Allowed options");
        // One option a line, as the help text lists them.
        // clang-format off
        desc.add_options()
            ("help", "produce help message")
            ("port", po::value<int>(&port)->default_value(21042), "set game server port")
            ("server-id", po::value<int>(&serverId)->default_value(0), "game server id")
            ("timelimit", po::value<int>(&timelimit)->default_value(0),
             "exit after <timelimit> minutes, default (0) is no timeout")
            ("configfile", po::value<std::string>(&configfile)->default_value("server_config.cfg"),
             "config file for server regions  LEGACY NOT USED ANYMORE")
            ("enable-console", po::value<bool>(&enableConsole)->default_value(true),
             "if the interactive console is enabled")
            ("coord-host", po::value<std::string>(&coordHost)->default_value("127.0.0.1"),
             "which address coordinator is listening on")
            ("coord-port", po::value<std::string>(&coordPort)->default_value("21040"),
             "which port the coordinator is listening on")
            ("collide-all", po::value<bool>(&shouldCollideAllObjects)->default_value(false),
             "should projectiles collide with projectiles")
            ("stats", po::value<std::string>(&stats)->default_value("log.csv"), "log to this file")
            ("log", po::value<bool>(&log)->default_value(true), "enable logging");
        // clang-format on

        po::variables_map vm;
        po::store(po::command_line_parser(argc, argv).options(desc).allow_unregistered().run(), vm);
        po::notify(vm);

        if (vm.count("help")) {
            std::cout << desc << "\n";
            return 1;
        }

        Timer::sync_clock(0);

        if (enableConsole) {
            boost::thread console{InputServer()};
            console.detach();
        }

        if (log)
            Logger::getInstance()->setFileToWriteTo(stats);

        std::atexit(cleanupLog);

        boost::asio::io_context service;
        ioService = &service;
        // Keeps the I/O thread's run loop alive while no operation is pending.
        auto work = boost::asio::make_work_guard(service);

        Network::getInstance()->ownId = static_cast<uint64_t>(static_cast<int64_t>(serverId));
        const CounterStarts counterStarts = drawCounterStarts();
        SceneObjectFactory::getInstance()->init(static_cast<uint32_t>(serverId), counterStarts.lastId);
        ServerRegionHandler* registry = ServerRegionHandler::getInstance();
        registry->myself = registry->AddServerToPool(SceneObjectFactory::getInstance()->serverId);
        if (!registry->myself)
            DebugLog(LogType::Error, "Argh myself is NULL\n");

        VelmorEntryPoint entryPoint;
        entryPoint.init();

        // Before the game port is opened; said after the first lines of the start.
        const unsigned long long openFiles = raiseOpenFilesLimit();
        Network* network = Network::getInstance();
        network->init(static_cast<short>(port), &service, counterStarts.firstQport);
        DebugPrint("Listening on port %i\n", port);

        boost::asio::deadline_timer timeLimit(service);
        if (timelimit > 0) {
            DebugPrint("Timelimit is %d minute(s)\n", timelimit);
            timeLimit.expires_from_now(boost::posix_time::microseconds(60000000LL * timelimit));
            timeLimit.async_wait(&timeout);
        }

        boost::thread io([&service]() { service.run(); });
        ioThread = &io;
        // However start-up or the scheduler is left, the I/O thread ends before the service,
        // the timer and the thread object go.
        struct IoThreadStopper {
            boost::asio::io_context& service;
            boost::thread& io;
            ~IoThreadStopper() {
                service.stop();
                io.join();
                ioThread = nullptr;
                ioService = nullptr;
            }
        } stopper{service, io};

        // Each attempt blocks until the connection is made or refused. What the server runs with
        // is said once, after the first attempt's lines: the first lines of a start are the
        // server's entry, the listening port and the first attempt.
        bool connected = network->connectToCoordinator(coordHost, coordPort, &service);
        DebugPrint("Open files: at most %llu\n", openFiles);
        network->reportReceiveBuffer();
        while (!connected) {
            boost::this_thread::sleep(boost::get_system_time() + boost::posix_time::seconds(1));
            connected = network->connectToCoordinator(coordHost, coordPort, &service);
        }

        // Only queued: it leaves with the first frame's send step.
        network->networkSender->sendServerLogin(static_cast<uint32_t>(serverId), &network->coordinator);

        Helpers::registerMainLoopFunction(mainLoop, 30.0f);
        if (log)
            Helpers::registerMainLoopFunction(logToFile, 1.0f);
        Helpers::registerMainLoopFunction(checkSurroundingServers, 1.0f);
        Helpers::registerMainLoopFunction(checkLoad, 1.0f);
        if (!enterRunningPhase()) {
            // The time limit expired during start-up; the I/O thread is ending the process.
            for (;;)
                boost::this_thread::sleep(boost::get_system_time() + boost::posix_time::seconds(1));
        }
        Helpers::run();
        return 0;
    } catch (std::exception& e) {
        DebugPrint("boost error in main %s\n", e.what());
    } catch (...) {
        DebugPrint("Execption in main\n");
    }
    return 0;
}
