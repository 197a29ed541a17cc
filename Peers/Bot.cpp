#include "Peers/Bot.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>

#include "Common/Network/MessageSerializer.h"
#include "Common/Protobuf/ProtobufConversion.h"
#include "Peers/PeerSupport.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

// Steering input goes out 20 times a second; every 20th datagram also carries a Ping, and with
// it every watched server gets one datagram.
const std::chrono::milliseconds TickInterval(50);
const int TicksPerSecond = 20;
// How long the bot stays logged out when it steps back from the controls.
const std::chrono::seconds LogoutPause(1);
// Thrust or brake only when the velocity is this far off the wanted one.
const float SpeedTolerance = 0.5f;
// A waypoint counts as reached this close; the default wandering area keeps this far inside
// the first region, so that wandering bots stay clear of its faces.
const float WaypointReach = 20.0f;
const float AreaMargin = 50.0f;
// A ping younger than this at the end may still be answered: it is not counted.
const std::chrono::seconds PingInFlight(1);

} // namespace

Bot::Bot(boost::asio::io_context& io_, const BotSettings& settings_)
    : io(io_), settings(settings_), udpSocket(io_), ticker(io_), logoutTimer(io_), randomState(settings_.seed) {}

void Bot::say(const char* format, ...) {
    if (!settings.verbose)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    peerSay("%s", line);
}

bool Bot::start(std::chrono::milliseconds firstTick) {
    ServerLink* first = connect(settings.host, settings.port);
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
    sendLogin(*first, LoginType::First);
    receiveDatagram();
    scheduleTick(firstTick);
    if (settings.logoutAfter > 0) {
        logoutTimer.expires_after(
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.logoutAfter)));
        logoutTimer.async_wait([this](const boost::system::error_code& e) {
            if (!e && !finished)
                logOutAsWatcher();
        });
    }
    return true;
}

Bot::ServerLink* Bot::connect(const std::string& host, const std::string& port) {
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
            handleMessage(findLink(connection.peerEndpoint()), event, false);
        },
        [this](FrameConnection& connection) { handleClosed(connection); });
    say("connected to %s", name.c_str());
    return &link;
}

void Bot::sendLogin(ServerLink& link, LoginType::LoginType loginType) {
    Velmor::Login login;
    login.set_logintype(loginType);
    if (loginType == LoginType::First)
        login.set_name(settings.name);
    else
        login.set_qport(qport);
    if (!link.connection->send(MessageSerializer::serializeMessage(login)))
        return;
    if (loginType == LoginType::First)
        say("logged in First at %s as '%s'", link.name.c_str(), settings.name.c_str());
    else
        say("logged in Additional at %s with qport 0x%x", link.name.c_str(), qport);
}

void Bot::handleMessage(ServerLink* link, const networkEventPtr& event, bool byDatagram) {
    const char* via = link ? link->name.c_str() : "an unknown sender";
    switch (event->messageType) {
    case MessageTypes::Welcome:
        if (link && link == master && !welcomed)
            handleWelcome(*link, *static_cast<Velmor::Welcome*>(event->message));
        else
            say("unexpected Welcome via %s, skipped", via);
        break;
    case MessageTypes::ObjectInfo:
        handleObjectInfo(via, *static_cast<Velmor::ObjectInfo*>(event->message));
        break;
    case MessageTypes::ObjectUpdate:
        handleObjectUpdate(via, byDatagram, *static_cast<Velmor::ObjectUpdate*>(event->message));
        break;
    case MessageTypes::ObjectDestroy: {
        const uint64_t id = static_cast<Velmor::ObjectDestroy*>(event->message)->id();
        shipView.destroyed(id, Clock::now());
        say("%s 0x%llx destroyed via %s", id == ownId ? "own ship" : "object", static_cast<unsigned long long>(id),
            via);
        break;
    }
    case MessageTypes::ConnectToNearBy:
        if (link)
            handleConnectToNearBy(*link, *static_cast<Velmor::ConnectToNearBy*>(event->message));
        else
            say("ConnectToNearBy via %s, skipped", via);
        break;
    case MessageTypes::Pong:
        handlePong(*static_cast<Velmor::Pong*>(event->message));
        break;
    default:
        say("unexpected %s via %s, skipped", messageName(event->messageType).c_str(), via);
    }
}

void Bot::handleWelcome(ServerLink& link, const Velmor::Welcome& welcome) {
    // The seconds count from the first welcome, so the first steering datagram carries a Ping
    // also when the welcome took longer than the first tick.
    if (!welcomed)
        ticks = 0;
    welcomed = true;
    ownId = welcome.id();
    qport = welcome.qport();
    shipView.toldOf(ownId, Clock::now());
    Vector3 min, max;
    ProtobufConversion::position(&min, &welcome.min());
    ProtobufConversion::position(&max, &welcome.max());
    say("welcome via %s: id 0x%llx qport 0x%x name '%s' health %g region %s-%s", link.name.c_str(),
        static_cast<unsigned long long>(ownId), qport, welcome.playerdata().name().c_str(),
        welcome.playerdata().health(), vectorText(min).c_str(), vectorText(max).c_str());
    if (settings.wander && settings.areaMin.x == settings.areaMax.x && settings.areaMin.y == settings.areaMax.y &&
        settings.areaMin.z == settings.areaMax.z) {
        // Per axis the margin, or a fifth of the region's size where that is smaller.
        for (float Vector3::*axis : {&Vector3::x, &Vector3::y, &Vector3::z}) {
            const float margin = std::min(AreaMargin, (max.*axis - min.*axis) / 5);
            settings.areaMin.*axis = min.*axis + margin;
            settings.areaMax.*axis = max.*axis - margin;
        }
    }
}

void Bot::handleObjectInfo(const char* via, const Velmor::ObjectInfo& info) {
    if (info.has_playerdata())
        shipView.toldOf(info.id(), Clock::now());
    if (!settings.verbose)
        return;
    Vector3 position;
    ProtobufConversion::position(&position, &info.position());
    const unsigned long long id = info.id();
    if (welcomed && info.id() == ownId) {
        say("own ship 0x%llx described via %s: at %s health %g", id, via, vectorText(position).c_str(),
            info.playerdata().health());
    } else if (info.has_playerdata()) {
        say("object 0x%llx: player '%s' team %s health %g at %s via %s", id, info.playerdata().name().c_str(),
            info.playerdata().blueteam() ? "blue" : "red", info.playerdata().health(), vectorText(position).c_str(),
            via);
    } else if (info.has_projectiledata()) {
        say("object 0x%llx: projectile of 0x%llx at %s via %s", id,
            static_cast<unsigned long long>(info.projectiledata().shooterid()), vectorText(position).c_str(), via);
    } else {
        say("object 0x%llx: kind %u at %s via %s", id, info.objecttype(), vectorText(position).c_str(), via);
    }
}

void Bot::handleObjectUpdate(const char* via, bool byDatagram, const Velmor::ObjectUpdate& update) {
    if (!welcomed)
        return;
    // Only ships are updated: shots fly on their description.
    shipView.updated(update.id(), Clock::now());
    if (update.id() != ownId) {
        // Once per object and link: enough to show who sends us what, without a line per frame.
        if (settings.verbose && objectsUpdated.insert({via, update.id()}).second)
            say("first update of object 0x%llx by %s via %s", static_cast<unsigned long long>(update.id()),
                byDatagram ? "UDP" : "TCP", via);
        return;
    }
    if (!update.has_position())
        return;
    Vector3 position;
    ProtobufConversion::position(&position, &update.position());
    havePosition = true;
    lastPosition = position;
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
        say("own ship at %s via %s", vectorText(position).c_str(), via);
    }
}

void Bot::handleConnectToNearBy(ServerLink& from, const Velmor::ConnectToNearBy& order) {
    const std::string name = order.host() + ":" + order.port();
    const bool newMaster = order.isyournewmaster();
    say("told via %s to %s %s", from.name.c_str(), newMaster ? "go to" : "watch", name.c_str());
    if (!welcomed) {
        say("no qport yet, skipped");
        return;
    }
    boost::system::error_code error;
    tcp::resolver resolver(io);
    const tcp::resolver::results_type results = resolver.resolve(tcp::v4(), order.host(), order.port(), error);
    ServerLink* link = error || results.empty() ? nullptr : findLink(results.begin()->endpoint());
    if (link && !newMaster) {
        say("connected to %s already", link->name.c_str());
        return;
    }
    if (link && link == master) {
        say("controlled by %s already", link->name.c_str());
        return;
    }
    // A connection that watches the new server already becomes the player's there, when
    // the server takes control; a new one logs in and waits for the player.
    if (!link) {
        link = connect(order.host(), order.port());
        if (!link)
            return;
        sendLogin(*link, LoginType::Additional);
    }
    if (newMaster)
        becomeControlledBy(*link);
}

void Bot::becomeControlledBy(ServerLink& link) {
    master = &link;
    // A new master has bound a connection of ours to the player already: steer there.
    loggedOut = false;
    ++handOvers;
    haveBase = false;
    haveEstimate = false;
    bool known = false;
    for (const std::string& name : controlledBy)
        known = known || name == link.name;
    if (!known)
        controlledBy.push_back(link.name);
    say("controlled by %s now (hand-over %u)", link.name.c_str(), handOvers);
}

void Bot::logOutAsWatcher() {
    if (!welcomed || !master || loggedOut) {
        say("no controlling server to log out of");
        return;
    }
    Velmor::Logout logout;
    logout.set_logoutastype(LogoutType::Watcher);
    if (!master->connection->send(MessageSerializer::serializeMessage(logout)))
        return;
    // The server keeps the player waiting for our next Additional login; until then it takes
    // no steering from us, so we send none.
    loggedOut = true;
    say("logged out as a watcher at %s", master->name.c_str());
    logoutTimer.expires_after(LogoutPause);
    logoutTimer.async_wait([this](const boost::system::error_code& e) {
        if (!e && !finished)
            logInAgain();
    });
}

void Bot::logInAgain() {
    // The master gone or replaced meanwhile: nothing waits for this login.
    if (!loggedOut)
        return;
    loggedOut = false;
    // On the same connection, which the server left open.
    sendLogin(*master, LoginType::Additional);
}

void Bot::handlePong(const Velmor::Pong& pong) {
    // By serial, so that an answer to a ping `pingsSent` has forgotten still counts.
    const uint32_t serial = pong.ping_serial_num();
    if (serial >= firstCountedPing && serial - firstCountedPing < countedPings.size())
        countedPings[serial - firstCountedPing].answered = true;
    const auto sent = pingsSent.find(serial);
    if (sent == pingsSent.end()) {
        say("pong %u answers no ping of ours, skipped", serial);
        return;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent->second).count();
    pingsSent.erase(sent);
    roundTripsMs.push_back(ms);
    say("round trip %.2f ms (ping %u)", ms, serial);
}

void Bot::handleClosed(FrameConnection& connection) {
    for (auto it = links.begin(); it != links.end(); ++it) {
        if (it->connection.get() != &connection)
            continue;
        say("connection to %s closed%s", it->name.c_str(), &*it == master ? "; no server controls us now" : "");
        if (&*it == master) {
            master = nullptr;
            loggedOut = false;
        }
        links.erase(it);
        return;
    }
}

void Bot::receiveDatagram() {
    udpSocket.async_receive_from(
        boost::asio::buffer(datagram), datagramSource, [this](const boost::system::error_code& error, size_t bytes) {
            if (error == boost::asio::error::operation_aborted || finished)
                return;
            if (error) {
                peerSay("datagram receive failed: %s", error.message().c_str());
            } else {
                // Packets to clients carry no qport: frames only,
                // whole ones in every datagram.
                std::string rest;
                for (const networkEventPtr& event :
                     MessageSerializer::deserializeMessageArray(datagram.data(), bytes, &rest))
                    handleMessage(findLink(datagramSource), event, true);
                if (!rest.empty())
                    say("datagram with %zu bytes of an incomplete frame, dropped", rest.size());
            }
            receiveDatagram();
        });
}

void Bot::scheduleTick(std::chrono::milliseconds after) {
    ticker.expires_after(after);
    ticker.async_wait([this](const boost::system::error_code& e) {
        if (!e && !finished)
            tick();
    });
}

void Bot::tick() {
    ++ticks;
    const bool steering = welcomed && master && !loggedOut;
    const bool watching = welcomed && ticks % TicksPerSecond == 1 && links.size() > (master ? 1u : 0u);
    if (steering || watching) {
        Velmor::ClientUpdate update;
        Quaternion orientation;
        update.set_boosterson(steer(orientation));
        ProtobufConversion::orientation(update.mutable_orientation(), &orientation);
        const std::string input = qportBytes(qport) + MessageSerializer::serializeMessage(update);
        if (steering) {
            std::string packet = input;
            if (ticks % TicksPerSecond == 1) {
                Velmor::Ping ping;
                ping.set_ping_serial_num(nextPingSerial);
                const Clock::time_point now = Clock::now();
                pingsSent[nextPingSerial] = now;
                assert(countedPings.size() == nextPingSerial - firstCountedPing);
                countedPings.push_back(CountedPing{now, false});
                // Pings that were never answered are forgotten after half a minute.
                pingsSent.erase(pingsSent.begin(),
                                pingsSent.lower_bound(nextPingSerial > 30 ? nextPingSerial - 30 : 0));
                ++nextPingSerial;
                packet += MessageSerializer::serializeMessage(ping);
            }
            sendDatagram(*master, packet);
        }
        // A watched server learns our UDP address only from a datagram that it dispatches (a Ping
        // is answered and dropped before that), and sends us nothing until then. Input is ignored
        // from a watcher, and right for a server that has just bound this connection to our player.
        if (watching)
            for (ServerLink& link : links)
                if (&link != master)
                    sendDatagram(link, input);
    }
    scheduleTick(TickInterval);
}

void Bot::sendDatagram(ServerLink& link, const std::string& packet) {
    boost::system::error_code error;
    udpSocket.send_to(boost::asio::buffer(packet), link.udpEndpoint, 0, error);
    if (error)
        peerSay("datagram to %s failed: %s", link.name.c_str(), error.message().c_str());
}

Vector3 Bot::wantedVelocity() {
    if (halted)
        return Vector3();
    if (!settings.wander)
        return settings.velocity;
    // Until the server has told us where we are, we wait.
    if (!havePosition)
        return Vector3();
    if (!haveWaypoint || (waypoint - lastPosition).length() < WaypointReach) {
        waypoint = randomPointOfArea();
        haveWaypoint = true;
    }
    Vector3 direction = waypoint - lastPosition;
    direction.normalise();
    return direction * settings.speed;
}

Vector3 Bot::randomPointOfArea() {
    Vector3 point;
    for (float Vector3::*axis : {&Vector3::x, &Vector3::y, &Vector3::z}) {
        // A small linear congruential generator: the same seed gives the same flight.
        randomState = randomState * 1103515245u + 12345u;
        const float share = static_cast<float>((randomState >> 8) & 0xFFFF) / 65535.0f;
        point.*axis = settings.areaMin.*axis + share * (settings.areaMax.*axis - settings.areaMin.*axis);
    }
    return point;
}

uint32_t Bot::steer(Quaternion& orientation) {
    uint32_t bits = 0;
    if (settings.fire && !halted && ticks % TicksPerSecond == 0)
        bits |= Steering::Fire;
    const Vector3 wanted = wantedVelocity();
    const float wantedSpeed = wanted.length();
    if (settings.wander) {
        // Thrust along what is missing, so a turn also takes out the old sideways speed.
        const Vector3 missing = haveEstimate ? wanted - estimatedVelocity : wanted;
        if (wantedSpeed == 0.0f) {
            orientation = Quaternion();
            return bits | Steering::Brake;
        }
        if (missing.length() <= SpeedTolerance) {
            orientation = rotationFromForward(wanted);
            return bits;
        }
        orientation = rotationFromForward(missing);
        return bits | Steering::ThrustForward;
    }
    if (wantedSpeed == 0.0f) {
        orientation = Quaternion();
        return bits | Steering::Brake;
    }
    orientation = rotationFromForward(wanted);
    // Until two samples of our own ship have come, we cannot tell how fast we fly: thrust.
    Vector3 direction = wanted;
    direction.normalise();
    const float speed = haveEstimate ? estimatedVelocity.dotProduct(direction) : 0.0f;
    if (speed < wantedSpeed - SpeedTolerance)
        bits |= Steering::ThrustForward;
    else if (speed > wantedSpeed + SpeedTolerance)
        bits |= Steering::Brake;
    return bits;
}

void Bot::finish() {
    if (finished)
        return;
    finished = true;
    finishedAt = Clock::now();
    shipView.endWindow(finishedAt);
    std::string servers;
    for (const std::string& name : controlledBy)
        servers += (servers.empty() ? "" : ", ") + name;
    char roundTrip[64] = "none";
    if (!roundTripsMs.empty()) {
        double total = 0;
        for (double ms : roundTripsMs)
            total += ms;
        std::snprintf(roundTrip, sizeof(roundTrip), "%.2f ms over %zu pongs", total / roundTripsMs.size(),
                      roundTripsMs.size());
    }
    say("summary: '%s' id 0x%llx controlled by %s; hand-overs %u; average round trip %s", settings.name.c_str(),
        static_cast<unsigned long long>(ownId), servers.c_str(), handOvers, roundTrip);
    for (ServerLink& link : links)
        link.connection->close();
    boost::system::error_code ignored;
    udpSocket.close(ignored);
    ticker.cancel();
    logoutTimer.cancel();
}

void Bot::forgetRoundTrips() {
    roundTripsMs.clear();
    firstCountedPing = nextPingSerial;
    countedPings.clear();
}

void Bot::startViewWindow() {
    shipView.startWindow(Clock::now());
}

void Bot::countPings(unsigned long& sent, unsigned long& answered) const {
    const Clock::time_point end = (finished ? finishedAt : Clock::now()) - PingInFlight;
    sent = answered = 0;
    for (const CountedPing& ping : countedPings) {
        if (ping.sentAt > end)
            break;
        ++sent;
        answered += ping.answered;
    }
}

unsigned long Bot::pingCount() const {
    unsigned long sent, answered;
    countPings(sent, answered);
    return sent;
}

unsigned long Bot::answeredPingCount() const {
    unsigned long sent, answered;
    countPings(sent, answered);
    return answered;
}

Bot::ServerLink* Bot::findLink(const tcp::endpoint& endpoint) {
    for (ServerLink& link : links)
        if (link.tcpEndpoint == endpoint)
            return &link;
    return nullptr;
}

Bot::ServerLink* Bot::findLink(const udp::endpoint& endpoint) {
    for (ServerLink& link : links)
        if (link.udpEndpoint == endpoint)
            return &link;
    return nullptr;
}
