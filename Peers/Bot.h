#pragma once

#include <array>
#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"
#include "Common/Network/MessageTypes.h"
#include "Common/Network/NetworkEvent.h"
#include "Common/Protobuf/Object.pb.h"
#include "Peers/FrameConnection.h"
#include "Peers/ShipView.h"

// One stand-in game client: logs in to its first region server, steers its ship by UDP,
// pings, and follows the servers it is sent to (as their controlled player or as a watcher).
// A watched server hears from it once a second, so that it learns where to send its datagrams.
// Any number of bots may share one io_context; each is used only on the thread that runs it.

struct BotSettings {
    std::string host = "127.0.0.1";
    std::string port = "21042";
    std::string name = "bot";
    // Flown towards when `wander` is false (units per second).
    Vector3 velocity;
    // Wandering: fly at `speed` to a random point of [areaMin, areaMax], then to the next.
    // A zero-sized area stands for the first server's region, less a margin.
    bool wander = false;
    float speed = 20.0f;
    Vector3 areaMin;
    Vector3 areaMax;
    unsigned int seed = 1;
    bool fire = false;
    // Seconds after the start at which the bot logs out of its controlling server as a watcher
    // and a second later logs in there again with its qport; 0: never.
    double logoutAfter = 0;
    // One line per event (the stand-in's own view); otherwise failures only.
    bool verbose = true;
};

class Bot {
public:
    Bot(boost::asio::io_context& io, const BotSettings& settings);
    Bot(const Bot&) = delete;
    Bot& operator=(const Bot&) = delete;

    // Connects to the first server and logs in; false, after one line, when that fails.
    // The first tick comes after `firstTick`, so that many bots spread their datagrams.
    bool start(std::chrono::milliseconds firstTick = std::chrono::milliseconds(50));

    // Closes every connection and stops the timers; prints the summary line when verbose.
    void finish();

    bool isWelcomed() const { return welcomed; }
    bool isControlled() const { return master != nullptr; }
    unsigned int handOverCount() const { return handOvers; }
    // Every round trip measured, in milliseconds, in the order the pongs came.
    const std::vector<double>& roundTrips() const { return roundTripsMs; }
    // Drops the round trips measured and the pings counted so far (the end of a warm-up).
    void forgetRoundTrips();
    // From now on the bot brakes to a stop and holds fire, so that the servers' counts taken
    // after it are not blurred by ships crossing borders or dying.
    void halt() { halted = true; }
    // Pings sent since the warm-up, and how many of them a Pong answered. Pings sent within
    // the last second (before finish(), or before now while running) may still be on their
    // way and are left out of both.
    unsigned long pingCount() const;
    unsigned long answeredPingCount() const;
    // The ships this bot was told of and how long each went without a state update, over the
    // window from startViewWindow() to finish().
    void startViewWindow();
    const ShipView& view() const { return shipView; }

private:
    // One region server the bot is connected to: its controlling server or one it watches.
    struct ServerLink {
        // "host:port" as it was named to us.
        std::string name;
        boost::asio::ip::tcp::endpoint tcpEndpoint;
        // Region servers take datagrams on their game port.
        boost::asio::ip::udp::endpoint udpEndpoint;
        std::shared_ptr<FrameConnection> connection;
    };

    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Resolves and connects (blocking); null, after one line, when that fails.
    ServerLink* connect(const std::string& host, const std::string& port);
    void sendLogin(ServerLink& link, LoginType::LoginType loginType);
    void handleMessage(ServerLink* link, const networkEventPtr& event, bool byDatagram);
    void handleClosed(FrameConnection& connection);
    void handleWelcome(ServerLink& link, const Velmor::Welcome& welcome);
    void handleObjectInfo(const char* via, const Velmor::ObjectInfo& info);
    void handleObjectUpdate(const char* via, bool byDatagram, const Velmor::ObjectUpdate& update);
    void handleConnectToNearBy(ServerLink& link, const Velmor::ConnectToNearBy& order);
    void handlePong(const Velmor::Pong& pong);
    void becomeControlledBy(ServerLink& link);
    // Steps back from the controls of the controlling server, and a second later takes them again.
    void logOutAsWatcher();
    void logInAgain();
    void receiveDatagram();
    void scheduleTick(std::chrono::milliseconds after);
    void tick();
    void sendDatagram(ServerLink& link, const std::string& packet);
    // The booster bits of this tick, and the orientation to fly with.
    uint32_t steer(Quaternion& orientation);
    // The velocity wanted now: the fixed one, or towards the current waypoint.
    Vector3 wantedVelocity();
    Vector3 randomPointOfArea();
    // The counted pings sent at least a second before the end (or now), and the answered ones.
    void countPings(unsigned long& sent, unsigned long& answered) const;

    ServerLink* findLink(const boost::asio::ip::tcp::endpoint& endpoint);
    ServerLink* findLink(const boost::asio::ip::udp::endpoint& endpoint);

    boost::asio::io_context& io;
    BotSettings settings;
    boost::asio::ip::udp::socket udpSocket;
    std::array<char, 2048> datagram;
    boost::asio::ip::udp::endpoint datagramSource;
    boost::asio::steady_timer ticker;
    boost::asio::steady_timer logoutTimer;
    std::list<ServerLink> links;
    ServerLink* master = nullptr;
    // Logged out of the master as a watcher and not logged in to it again: it is not steered.
    // Ends with the master (a new one, or its connection closed).
    bool loggedOut = false;
    bool finished = false;
    bool halted = false;
    std::chrono::steady_clock::time_point finishedAt;

    bool welcomed = false;
    uint64_t ownId = 0;
    uint32_t qport = 0;
    unsigned long ticks = 0;

    // Own ship, from the updates of our own id: the last sample taken as the base of the
    // velocity estimate, the newest position, and when the position was last printed.
    bool haveBase = false;
    Vector3 basePosition;
    uint32_t baseTime = 0;
    bool haveEstimate = false;
    Vector3 estimatedVelocity;
    bool havePosition = false;
    Vector3 lastPosition;
    std::chrono::steady_clock::time_point lastPositionLine;
    // Other objects whose first update has been printed, by the name of the link it came by.
    std::set<std::pair<std::string, uint64_t>> objectsUpdated;

    bool haveWaypoint = false;
    Vector3 waypoint;
    unsigned int randomState;

    uint32_t nextPingSerial = 1;
    std::map<uint32_t, std::chrono::steady_clock::time_point> pingsSent;
    std::vector<double> roundTripsMs;
    // Every ping from `firstCountedPing` on, by serial: kept apart from `pingsSent`, which
    // forgets unanswered pings, so that a lost one still counts as sent.
    struct CountedPing {
        std::chrono::steady_clock::time_point sentAt;
        bool answered;
    };
    uint32_t firstCountedPing = 1;
    std::vector<CountedPing> countedPings;

    ShipView shipView;

    std::vector<std::string> controlledBy;
    unsigned int handOvers = 0;
};
