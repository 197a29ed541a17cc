// Stand-in for a game client: logs in to its first region server, steers its ship by UDP
// towards a chosen velocity, pings, follows the servers it is sent to (as their controlled
// player or as a watcher) and prints what it sees. Everything runs on one thread.

#include <array>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/program_options.hpp>

#include "Common/Network/MessageSerializer.h"
#include "Common/Protobuf/Object.pb.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Peers/FrameConnection.h"
#include "Peers/PeerSupport.h"

namespace po = boost::program_options;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

enum { LoginFirst = 0, LoginAdditional = 1 };
enum SteeringBits : uint32_t { Forward = 0x1, Brake = 0x20000000, Fire = 0x40000000 };

// Steering input goes out 20 times a second; every 20th datagram also carries a Ping.
const std::chrono::milliseconds TickInterval(50);
const int TicksPerSecond = 20;
// Thrust or brake only when the speed along the wanted direction is this far off.
const float SpeedTolerance = 0.5f;

struct Options {
    std::string host = "127.0.0.1";
    std::string port = "21042";
    std::string name = "bot";
    std::string velocity = "0,0,0";
    double seconds = 10.0;
    bool fire = false;
};

// One region server the bot is connected to: its controlling server or one it watches.
struct ServerLink {
    // "host:port" as it was named to us.
    std::string name;
    tcp::endpoint tcpEndpoint;
    // Region servers take datagrams on their game port.
    udp::endpoint udpEndpoint;
    std::shared_ptr<FrameConnection> connection;
};

class Bot {
public:
    Bot(boost::asio::io_context& io_, const Options& options_, const Vector3& velocity_)
        : io(io_), options(options_), wantedVelocity(velocity_), udpSocket(io_), ticker(io_), ending(io_) {}

    // Connects to the first server and logs in; false when that fails.
    bool start();

private:
    // Resolves and connects (blocking); null, after one line, when that fails.
    ServerLink* connect(const std::string& host, const std::string& port);
    void sendLogin(ServerLink& link, uint32_t loginType);
    void handleMessage(ServerLink* link, const networkEventPtr& event);
    void handleClosed(FrameConnection& connection);
    void handleWelcome(ServerLink& link, const Velmor::Welcome& welcome);
    void handleObjectInfo(const char* via, const Velmor::ObjectInfo& info);
    void handleObjectUpdate(const char* via, const Velmor::ObjectUpdate& update);
    void handleConnectToNearBy(ServerLink& link, const Velmor::ConnectToNearBy& order);
    void handlePong(const Velmor::Pong& pong);
    void becomeControlledBy(ServerLink& link);
    void receiveDatagram();
    void tick();
    // The booster bits of this tick, and the orientation to fly with.
    uint32_t steer(Quaternion& orientation);
    void finish();

    ServerLink* findLink(const tcp::endpoint& endpoint);
    ServerLink* findLink(const udp::endpoint& endpoint);

    boost::asio::io_context& io;
    Options options;
    Vector3 wantedVelocity;
    udp::socket udpSocket;
    std::array<char, 2048> datagram;
    udp::endpoint datagramSource;
    boost::asio::steady_timer ticker;
    boost::asio::steady_timer ending;
    std::list<ServerLink> links;
    ServerLink* master = nullptr;

    bool welcomed = false;
    uint64_t ownId = 0;
    uint32_t qport = 0;
    unsigned long ticks = 0;

    // Own ship, from the updates of our own id: the last sample taken as the base of the
    // velocity estimate, and when the position was last printed.
    bool haveBase = false;
    Vector3 basePosition;
    uint32_t baseTime = 0;
    bool haveEstimate = false;
    Vector3 estimatedVelocity;
    Clock::time_point lastPositionLine;

    uint32_t nextPingSerial = 1;
    std::map<uint32_t, Clock::time_point> pingsSent;
    double roundTripTotalMs = 0;
    unsigned long pongs = 0;

    std::vector<std::string> controlledBy;
    unsigned int handOvers = 0;
};

bool Bot::start() {
    ServerLink* first = connect(options.host, options.port);
    if (!first)
        return false;
    boost::system::error_code error;
    udpSocket.open(udp::v4(), error);
    if (!error)
        udpSocket.bind(udp::endpoint(udp::v4(), 0), error);
    if (error) {
        peerSay("cannot open a UDP socket: %s", error.message().c_str());
        return false;
    }
    master = first;
    controlledBy.push_back(first->name);
    sendLogin(*first, LoginFirst);
    receiveDatagram();
    ticker.expires_after(TickInterval);
    ticker.async_wait([this](const boost::system::error_code& e) {
        if (!e)
            tick();
    });
    ending.expires_after(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds)));
    ending.async_wait([this](const boost::system::error_code& e) {
        if (!e)
            finish();
    });
    return true;
}

ServerLink* Bot::connect(const std::string& host, const std::string& port) {
    const std::string name = host + ":" + port;
    boost::system::error_code error;
    tcp::resolver resolver(io);
    const tcp::resolver::results_type results = resolver.resolve(tcp::v4(), host, port, error);
    if (error || results.empty()) {
        peerSay("cannot resolve %s: %s", name.c_str(), error ? error.message().c_str() : "no address");
        return nullptr;
    }
    tcp::socket socket(io);
    const tcp::endpoint endpoint = *results.begin();
    socket.connect(endpoint, error);
    if (error) {
        peerSay("cannot connect to %s: %s", name.c_str(), error.message().c_str());
        return nullptr;
    }
    links.push_back(ServerLink{name, endpoint, udp::endpoint(endpoint.address(), endpoint.port()),
                               std::make_shared<FrameConnection>(std::move(socket))});
    ServerLink& link = links.back();
    link.connection->start(
        [this](FrameConnection& connection, const networkEventPtr& event) {
            handleMessage(findLink(connection.peerEndpoint()), event);
        },
        [this](FrameConnection& connection) { handleClosed(connection); });
    peerSay("connected to %s", name.c_str());
    return &link;
}

void Bot::sendLogin(ServerLink& link, uint32_t loginType) {
    Velmor::Login login;
    login.set_logintype(loginType);
    if (loginType == LoginFirst)
        login.set_name(options.name);
    else
        login.set_qport(qport);
    if (!link.connection->send(MessageSerializer::serializeMessage(login)))
        return;
    if (loginType == LoginFirst)
        peerSay("logged in First at %s as '%s'", link.name.c_str(), options.name.c_str());
    else
        peerSay("logged in Additional at %s with qport 0x%x", link.name.c_str(), qport);
}

void Bot::handleMessage(ServerLink* link, const networkEventPtr& event) {
    const char* via = link ? link->name.c_str() : "an unknown sender";
    switch (event->messageType) {
    case MessageTypes::Welcome:
        if (link && link == master && !welcomed)
            handleWelcome(*link, *static_cast<Velmor::Welcome*>(event->message));
        else
            peerSay("unexpected Welcome via %s, skipped", via);
        break;
    case MessageTypes::ObjectInfo:
        handleObjectInfo(via, *static_cast<Velmor::ObjectInfo*>(event->message));
        break;
    case MessageTypes::ObjectUpdate:
        handleObjectUpdate(via, *static_cast<Velmor::ObjectUpdate*>(event->message));
        break;
    case MessageTypes::ObjectDestroy: {
        const uint64_t id = static_cast<Velmor::ObjectDestroy*>(event->message)->id();
        peerSay("%s 0x%llx destroyed via %s", id == ownId ? "own ship" : "object", static_cast<unsigned long long>(id),
                via);
        break;
    }
    case MessageTypes::ConnectToNearBy:
        if (link)
            handleConnectToNearBy(*link, *static_cast<Velmor::ConnectToNearBy*>(event->message));
        else
            peerSay("ConnectToNearBy via %s, skipped", via);
        break;
    case MessageTypes::Pong:
        handlePong(*static_cast<Velmor::Pong*>(event->message));
        break;
    default:
        peerSay("unexpected %s via %s, skipped", messageName(event->messageType).c_str(), via);
    }
}

void Bot::handleWelcome(ServerLink& link, const Velmor::Welcome& welcome) {
    welcomed = true;
    ownId = welcome.id();
    qport = welcome.qport();
    Vector3 min, max;
    ProtobufConversion::position(&min, &welcome.min());
    ProtobufConversion::position(&max, &welcome.max());
    peerSay("welcome via %s: id 0x%llx qport 0x%x name '%s' health %g region %s-%s", link.name.c_str(),
            static_cast<unsigned long long>(ownId), qport, welcome.playerdata().name().c_str(),
            welcome.playerdata().health(), vectorText(min).c_str(), vectorText(max).c_str());
}

void Bot::handleObjectInfo(const char* via, const Velmor::ObjectInfo& info) {
    Vector3 position;
    ProtobufConversion::position(&position, &info.position());
    const unsigned long long id = info.id();
    if (welcomed && info.id() == ownId) {
        peerSay("own ship 0x%llx described via %s: at %s health %g", id, via, vectorText(position).c_str(),
                info.playerdata().health());
    } else if (info.has_playerdata()) {
        peerSay("object 0x%llx: player '%s' team %s health %g at %s via %s", id, info.playerdata().name().c_str(),
                info.playerdata().blueteam() ? "blue" : "red", info.playerdata().health(), vectorText(position).c_str(),
                via);
    } else if (info.has_projectiledata()) {
        peerSay("object 0x%llx: projectile of 0x%llx at %s via %s", id,
                static_cast<unsigned long long>(info.projectiledata().shooterid()), vectorText(position).c_str(), via);
    } else {
        peerSay("object 0x%llx: kind %u at %s via %s", id, info.objecttype(), vectorText(position).c_str(), via);
    }
}

void Bot::handleObjectUpdate(const char* via, const Velmor::ObjectUpdate& update) {
    if (!welcomed || update.id() != ownId || !update.has_position())
        return;
    Vector3 position;
    ProtobufConversion::position(&position, &update.position());
    if (!haveBase) {
        haveBase = true;
        basePosition = position;
        baseTime = update.timestamp();
    } else {
        // Unsigned difference: right across a wrap of the clock too.
        const float seconds = static_cast<uint32_t>(update.timestamp() - baseTime) / 1000.0f;
        if (seconds >= 0.2f) {
            estimatedVelocity = (position - basePosition) * (1.0f / seconds);
            haveEstimate = true;
            basePosition = position;
            baseTime = update.timestamp();
        }
    }
    const Clock::time_point now = Clock::now();
    if (now - lastPositionLine >= std::chrono::seconds(1)) {
        lastPositionLine = now;
        peerSay("own ship at %s via %s", vectorText(position).c_str(), via);
    }
}

void Bot::handleConnectToNearBy(ServerLink& from, const Velmor::ConnectToNearBy& order) {
    const std::string name = order.host() + ":" + order.port();
    const bool newMaster = order.isyournewmaster();
    peerSay("told via %s to %s %s", from.name.c_str(), newMaster ? "go to" : "watch", name.c_str());
    if (!welcomed) {
        peerSay("no qport yet, skipped");
        return;
    }
    boost::system::error_code error;
    tcp::resolver resolver(io);
    const tcp::resolver::results_type results = resolver.resolve(tcp::v4(), order.host(), order.port(), error);
    ServerLink* link = error || results.empty() ? nullptr : findLink(results.begin()->endpoint());
    if (link && !newMaster) {
        peerSay("connected to %s already", link->name.c_str());
        return;
    }
    if (link && link == master) {
        peerSay("controlled by %s already", link->name.c_str());
        return;
    }
    // A connection that watches the new server already becomes the player's there, when
    // the server takes control; a new one logs in and waits for the player.
    if (!link) {
        link = connect(order.host(), order.port());
        if (!link)
            return;
        sendLogin(*link, LoginAdditional);
    }
    if (newMaster)
        becomeControlledBy(*link);
}

void Bot::becomeControlledBy(ServerLink& link) {
    master = &link;
    ++handOvers;
    haveBase = false;
    haveEstimate = false;
    bool known = false;
    for (const std::string& name : controlledBy)
        known = known || name == link.name;
    if (!known)
        controlledBy.push_back(link.name);
    peerSay("controlled by %s now (hand-over %u)", link.name.c_str(), handOvers);
}

void Bot::handlePong(const Velmor::Pong& pong) {
    const auto sent = pingsSent.find(pong.ping_serial_num());
    if (sent == pingsSent.end()) {
        peerSay("pong %u answers no ping of ours, skipped", pong.ping_serial_num());
        return;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent->second).count();
    pingsSent.erase(sent);
    roundTripTotalMs += ms;
    ++pongs;
    peerSay("round trip %.2f ms (ping %u)", ms, pong.ping_serial_num());
}

void Bot::handleClosed(FrameConnection& connection) {
    for (auto it = links.begin(); it != links.end(); ++it) {
        if (it->connection.get() != &connection)
            continue;
        peerSay("connection to %s closed%s", it->name.c_str(), &*it == master ? "; no server controls us now" : "");
        if (&*it == master)
            master = nullptr;
        links.erase(it);
        return;
    }
}

void Bot::receiveDatagram() {
    udpSocket.async_receive_from(
        boost::asio::buffer(datagram), datagramSource, [this](const boost::system::error_code& error, size_t bytes) {
            if (error == boost::asio::error::operation_aborted)
                return;
            if (error) {
                peerSay("datagram receive failed: %s", error.message().c_str());
            } else {
                // Packets to clients carry no qport: frames only,
                // whole ones in every datagram.
                std::string rest;
                for (const networkEventPtr& event :
                     MessageSerializer::deserializeMessageArray(datagram.data(), bytes, &rest))
                    handleMessage(findLink(datagramSource), event);
                if (!rest.empty())
                    peerSay("datagram with %zu bytes of an incomplete frame, dropped", rest.size());
            }
            receiveDatagram();
        });
}

void Bot::tick() {
    ++ticks;
    if (welcomed && master) {
        Velmor::ClientUpdate update;
        Quaternion orientation;
        update.set_boosterson(steer(orientation));
        ProtobufConversion::orientation(update.mutable_orientation(), &orientation);
        std::string packet = qportBytes(qport) + MessageSerializer::serializeMessage(update);
        if (ticks % TicksPerSecond == 1) {
            Velmor::Ping ping;
            ping.set_ping_serial_num(nextPingSerial);
            pingsSent[nextPingSerial] = Clock::now();
            // Pings that were never answered are forgotten after half a minute.
            pingsSent.erase(pingsSent.begin(), pingsSent.lower_bound(nextPingSerial > 30 ? nextPingSerial - 30 : 0));
            ++nextPingSerial;
            packet += MessageSerializer::serializeMessage(ping);
        }
        boost::system::error_code error;
        udpSocket.send_to(boost::asio::buffer(packet), master->udpEndpoint, 0, error);
        if (error)
            peerSay("datagram to %s failed: %s", master->name.c_str(), error.message().c_str());
    }
    ticker.expires_after(TickInterval);
    ticker.async_wait([this](const boost::system::error_code& e) {
        if (!e)
            tick();
    });
}

uint32_t Bot::steer(Quaternion& orientation) {
    uint32_t bits = 0;
    if (options.fire && ticks % TicksPerSecond == 0)
        bits |= Fire;
    const float wantedSpeed = wantedVelocity.length();
    if (wantedSpeed == 0.0f) {
        orientation = Quaternion();
        return bits | Brake;
    }
    orientation = rotationFromForward(wantedVelocity);
    // Until two samples of our own ship have come, we cannot tell how fast we fly: thrust.
    Vector3 direction = wantedVelocity;
    direction.normalise();
    const float speed = haveEstimate ? estimatedVelocity.dotProduct(direction) : 0.0f;
    if (speed < wantedSpeed - SpeedTolerance)
        bits |= Forward;
    else if (speed > wantedSpeed + SpeedTolerance)
        bits |= Brake;
    return bits;
}

void Bot::finish() {
    std::string servers;
    for (const std::string& name : controlledBy)
        servers += (servers.empty() ? "" : ", ") + name;
    char roundTrip[64] = "none";
    if (pongs > 0)
        std::snprintf(roundTrip, sizeof(roundTrip), "%.2f ms over %lu pongs", roundTripTotalMs / pongs, pongs);
    peerSay("summary: '%s' id 0x%llx controlled by %s; hand-overs %u; average round trip %s", options.name.c_str(),
            static_cast<unsigned long long>(ownId), servers.c_str(), handOvers, roundTrip);
    for (ServerLink& link : links)
        link.connection->close();
    boost::system::error_code ignored;
    udpSocket.close(ignored);
    ticker.cancel();
    io.stop();
}

ServerLink* Bot::findLink(const tcp::endpoint& endpoint) {
    for (ServerLink& link : links)
        if (link.tcpEndpoint == endpoint)
            return &link;
    return nullptr;
}

ServerLink* Bot::findLink(const udp::endpoint& endpoint) {
    for (ServerLink& link : links)
        if (link.udpEndpoint == endpoint)
            return &link;
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    po::options_description description("standin-bot options");
    auto add = description.add_options();
    add("help", "print the options");
    add("host", po::value(&options.host)->default_value(options.host), "host of the first region server");
    add("port", po::value(&options.port)->default_value(options.port), "game port of the first region server");
    add("name", po::value(&options.name)->default_value(options.name), "the player's name");
    add("velocity", po::value(&options.velocity)->default_value(options.velocity),
        "x,y,z: the velocity to fly with (units per second; the servers cap the speed at 50)");
    add("seconds", po::value(&options.seconds)->default_value(options.seconds), "run time");
    add("fire", po::bool_switch(&options.fire), "shoot once a second");
    if (const int status = readCommandLine(argc, argv, description))
        return status;
    Vector3 velocity;
    if (!parseVector(options.velocity, velocity)) {
        peerSay("bad velocity '%s' (want x,y,z)", options.velocity.c_str());
        return 2;
    }
    if (!(options.seconds > 0)) {
        peerSay("bad run time %g (want more than 0 seconds)", options.seconds);
        return 2;
    }

    boost::asio::io_context io;
    Bot bot(io, options, velocity);
    if (!bot.start())
        return 1;
    io.run();
    return 0;
}
