// The frame's index look-ups at the size of a big battle, each beside the plain code it
// replaced: a scene of 1000 players (each with its client's TCP connection on 127.0.0.1) and
// 4000 shots in a 1000-unit cube, moving as in a battle. Per frame it times
// - the collision passes of the frame (players and mother ships against shots) against a test
//   of all pairs,
// - a wave of 1000 shot removals (queued, then the end of the frame) against a walk of the two
//   lists each shot leaves,
// - 30,000 datagram sender look-ups (30 datagrams a player, in a shuffled order) against a walk
//   of the players,
// - 1,000 TCP sender look-ups against a walk of the players.
// Between the timed steps, untimed: the shots the wave took are fired again and hit players
// healed, so that every frame sees the same load. Each figure is the median of the rounds, each
// round the mean of its frames; ours and the reference run alternately within every frame, each
// after 64 MB were written through the caches.
// Usage: bench_frame [--frames F] [--rounds R]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Benchmarks/BenchSupport.h"
#include "Common/Collision/CollisionHandler.h"
#include "Common/Collision/CollisionObject.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Common/Network/MessageDispatcher.h"
#include "Common/Network/NetworkEvent.h"
#include "Common/Scene/SceneGraph.h"
#include "Common/Scene/SceneObjectFactory.h"
#include "Tests/Support/Wire/FreePort.h"

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

const int PLAYERS = 1000;
const int SHOTS = 4000;
const int WAVE = 1000;
const int DATAGRAMS_PER_PLAYER = 30;
const float CUBE = 1000.0f;
const float FRAME_SECONDS = 1.0f / 30;
const float PLAYER_SPEED = 40.0f;
const float SHOT_SPEED = 150.0f;

std::mt19937 rng(20261211);

float uniform(float low, float high) {
    return std::uniform_real_distribution<float>(low, high)(rng);
}

Vector3 randomPoint() {
    return Vector3(uniform(0, CUBE), uniform(0, CUBE), uniform(0, CUBE));
}

Vector3 randomDirection(float speed) {
    Vector3 d(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1));
    const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    return length < 1e-3f ? Vector3(speed, 0, 0)
                          : Vector3(d.x * speed / length, d.y * speed / length, d.z * speed / length);
}

// Moves by velocity over one frame, bouncing off the cube's walls.
void move(Transform* t) {
    float* p[3] = {&t->position.x, &t->position.y, &t->position.z};
    float* v[3] = {&t->velocity.x, &t->velocity.y, &t->velocity.z};
    for (int a = 0; a < 3; ++a) {
        *p[a] += *v[a] * FRAME_SECONDS;
        if (*p[a] < 0 || *p[a] > CUBE) {
            *v[a] = -*v[a];
            *p[a] = std::clamp(*p[a], 0.0f, CUBE);
        }
    }
}

// The plain code each index replaced, over the same objects.
struct Reference {
    static void allPairs(TransformList* l1, TransformList* l2) {
        if (!l1 || !l2)
            return;
        for (Transform* a : *l1)
            for (Transform* b : *l2) {
                CollisionObject* e1 = static_cast<CollisionObject*>(a);
                CollisionObject* e2 = static_cast<CollisionObject*>(b);
                if (e1->collidesWith(*e2)) {
                    e1->collisionResponse(e2);
                    e2->collisionResponse(e1);
                }
            }
    }

    static CommEndpoint* datagramSender(TransformList* players, const udp::endpoint& from, uint32_t qport) {
        for (Transform* t : *players) {
            CommEndpoint* endpoint = static_cast<Player*>(t);
            if (endpoint->qport == qport && endpoint->getTcpSocket() &&
                endpoint->getTcpSocket()->remote_endpoint().address() == from.address())
                return endpoint;
        }
        return nullptr;
    }

    static Player* tcpSender(TransformList* players, const tcp::socket* socket) {
        for (Transform* t : *players)
            if (static_cast<Player*>(t)->getTcpSocket() == socket)
                return static_cast<Player*>(t);
        return nullptr;
    }
};

class Battle {
public:
    Battle() : acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
        SceneObjectFactory::getInstance()->init(1);
        SceneGraph* scene = SceneGraph::getInstance();
        for (int i = 0; i < PLAYERS; ++i) {
            Player* p = SceneObjectFactory::getInstance()->createAndAttachPlayer(
                "pilot" + std::to_string(i), randomPoint(), Quaternion(), 100, Team::None, 0);
            p->velocity = randomDirection(PLAYER_SPEED);
            tcp::socket* held = new tcp::socket(io);
            held->connect(acceptor.local_endpoint());
            farSides.push_back(std::make_unique<tcp::socket>(io));
            acceptor.accept(*farSides.back());
            p->setTcpSocket(held);
            p->qport = (1u << 16) | static_cast<uint32_t>(i + 2);
            scene->players().qportChanged(p);
            players.push_back(p);
            sources.emplace_back(boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(20000 + i));
        }
        fire(SHOTS);
        for (int i = 0; i < PLAYERS; ++i)
            for (int d = 0; d < DATAGRAMS_PER_PLAYER; ++d)
                datagrams.push_back(i);
        std::shuffle(datagrams.begin(), datagrams.end(), rng);
    }

    // Shots from random players, in their flight.
    void fire(int count) {
        for (int i = 0; i < count; ++i) {
            Player* shooter = players[std::uniform_int_distribution<int>(0, PLAYERS - 1)(rng)];
            Projectile* shot = SceneObjectFactory::getInstance()->createAndAttachProjectile(
                randomPoint(), Quaternion(), randomDirection(SHOT_SPEED), shooter->team, 0, shooter->id);
            shots.push_back(shot);
        }
    }

    // The scene again holds SHOTS shots (the last frame's wave and hits gone), and the world
    // moves.
    void step() {
        SceneGraph* scene = SceneGraph::getInstance();
        scene->applyRemoveList();
        shots.clear();
        for (Transform* t : *scene->getListOfType(SceneGraphType::Projectile))
            shots.push_back(static_cast<Projectile*>(t));
        fire(SHOTS - static_cast<int>(shots.size()));
        for (Player* p : players)
            move(p);
        for (Projectile* s : shots)
            move(s);
    }

    // Before every timed collision pass: no player dies of the hits of the frame's several passes.
    void heal() {
        for (Player* p : players) {
            p->health = 100;
            p->isDead = false;
        }
    }

    // A frame's datagrams as the receiver hands them over: 30 a player in a shuffled order.
    std::vector<networkEventPtr> receive() {
        std::vector<networkEventPtr> events;
        events.reserve(datagrams.size());
        for (int i : datagrams) {
            networkEventPtr e(new NetworkEvent());
            e->eventType = EventTypes::Message;
            e->setUdpEndpoint(sources[i]);
            e->qport = players[i]->qport;
            events.push_back(e);
        }
        return events;
    }

    // 1000 shots anywhere in the list, in no order, as a wave of hits in one frame (the oldest
    // ones, which expire, stand first in the list, where a walk finds them at once).
    std::vector<Projectile*> wave() const {
        std::vector<Projectile*> hit;
        std::sample(shots.begin(), shots.end(), std::back_inserter(hit), WAVE, rng);
        std::shuffle(hit.begin(), hit.end(), rng);
        return hit;
    }

    boost::asio::io_context io;
    tcp::acceptor acceptor;
    std::vector<std::unique_ptr<tcp::socket>> farSides;
    std::vector<Player*> players;
    std::vector<Projectile*> shots;
    std::vector<udp::endpoint> sources;
    std::vector<int> datagrams; // player indexes, one per datagram of a frame
};

// Writes a buffer twice one core complex's last-level cache, so that every timed step starts as
// a frame's step does after the send step has pushed megabytes through them, whatever ran just
// before it.
void evictCaches() {
    static std::vector<char> scratch(64 << 20);
    static char value = 0;
    ++value;
    for (std::size_t at = 0; at < scratch.size(); at += 64)
        scratch[at] = value;
}

double millisecondsOf(const std::function<void()>& f) {
    const Clock::time_point start = Clock::now();
    f();
    return bench::secondsSince(start) * 1000;
}

// One row: the mean milliseconds per frame of each round, ours and the reference.
struct Row {
    std::string name;
    std::string reference;
    std::vector<double> ours;
    std::vector<double> plain;
    double oursSum = 0;
    double plainSum = 0;
};

bool raiseOpenFiles(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= wanted)
        return true;
    if (limit.rlim_max < wanted)
        return false;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

} // namespace

int main(int argc, char** argv) {
    int frames = 20;
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--frames" || option == "--rounds") && i + 1 < argc) {
            const int value = std::atoi(argv[++i]);
            if (value <= 0) {
                std::fprintf(stderr, "bench_frame: %s wants a whole number above 0\n", option.c_str());
                return 2;
            }
            (option == "--frames" ? frames : rounds) = value;
        } else {
            std::fprintf(stderr, "usage: bench_frame [--frames F] [--rounds R]\n");
            return 2;
        }
    }
    // Both ends of every player's connection, and the server's own sockets.
    if (!raiseOpenFiles(2 * PLAYERS + 256)) {
        std::fprintf(stderr, "bench_frame: needs %d open files; raise the hard limit\n", 2 * PLAYERS + 256);
        return 1;
    }
    Network* net = bench::startNetwork(freeGamePort());
    MessageDispatcher* dispatcher = net->messageDispatcher;
    Battle battle;
    SceneGraph* scene = SceneGraph::getInstance();

    std::vector<Row> rows = {
        {"collision passes", "all pairs", {}, {}},
        {"wave of 1000 shot removals", "walk of the lists", {}, {}},
        {"30,000 datagram sender look-ups", "walk of the players", {}, {}},
        {"1,000 TCP sender look-ups", "walk of the players", {}, {}},
    };
    const CommEndpoint* found = nullptr; // kept, so that no look-up is optimised away
    for (int round = 0; round < rounds; ++round) {
        for (Row& row : rows)
            row.oursSum = row.plainSum = 0;
        for (int frame = 0; frame < frames; ++frame) {
            battle.step();
            TransformList* players = scene->getListOfType(SceneGraphType::Player);
            TransformList* motherShips = scene->getListOfType(SceneGraphType::MotherShip);
            TransformList* projectiles = scene->getListOfType(SceneGraphType::Projectile);
            const bool oursFirst = (round + frame) % 2 == 0;
            auto measure = [&](const std::function<void()>& f) {
                battle.heal();
                evictCaches();
                return millisecondsOf(f);
            };
            auto timeBoth = [&](Row& row, const std::function<void()>& ours, const std::function<void()>& plain) {
                if (oursFirst)
                    row.oursSum += measure(ours);
                row.plainSum += measure(plain);
                if (!oursFirst)
                    row.oursSum += measure(ours);
            };
            auto allPairs = [&] {
                Reference::allPairs(players, projectiles);
                Reference::allPairs(motherShips, projectiles);
            };

            // As a frame runs them: the received datagrams' events first, each with its source
            // address on the heap as the receiver makes it (their allocations shape where the
            // shots fired next lie in memory, as in the server), then the collisions, then the
            // end of the frame.
            std::vector<networkEventPtr> events = battle.receive();
            timeBoth(
                rows[2],
                [&] {
                    for (const networkEventPtr& e : events)
                        found = dispatcher->lookUpCommEndpointUdp(e->getUdpEndpoint(), e->qport);
                },
                [&] {
                    for (const networkEventPtr& e : events)
                        found = Reference::datagramSender(players, *e->getUdpEndpoint(), e->qport);
                });
            events.clear();

            timeBoth(
                rows[3],
                [&] {
                    for (Player* p : battle.players)
                        found = dispatcher->lookUpCommEndpointTcp(p->getTcpSocket());
                },
                [&] {
                    for (Player* p : battle.players)
                        found = Reference::tcpSender(players, p->getTcpSocket());
                });

            timeBoth(
                rows[0],
                [&] {
                    CollisionHandler::handleCollissionsWith({players, motherShips}, projectiles);
                },
                allPairs);

            // The wave: ours on the scene; the reference on copies of the two lists each shot
            // leaves (the root's children and the shots' list), taking out the same shots. Ours
            // also deletes them, which the reference leaves out.
            TransformList children = scene->children;
            TransformList shotList = *projectiles;
            const std::vector<Projectile*> wave = battle.wave();
            timeBoth(
                rows[1],
                [&] {
                    for (Projectile* s : wave)
                        scene->addToRemoveList(s);
                    scene->applyRemoveList();
                },
                [&] {
                    for (Projectile* s : wave) {
                        children.erase(std::find(children.begin(), children.end(), s));
                        shotList.erase(std::find(shotList.begin(), shotList.end(), s));
                    }
                });
        }
        for (Row& row : rows) {
            row.ours.push_back(row.oursSum / frames);
            row.plain.push_back(row.plainSum / frames);
        }
    }
    if (!found)
        std::printf("(no sender found)\n");

    std::printf("Frame benchmark: %d players, %d shots in a %.0f-unit cube, %d frames x %d rounds, %s\n\n", PLAYERS,
                SHOTS, CUBE, frames, rounds, bench::machine().c_str());
    std::printf("| step, per frame | ours ms | reference | reference ms | ours / reference |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        const double ours = bench::median(row.ours);
        const double plain = bench::median(row.plain);
        std::printf("| %s | %.3f | %s | %.3f | %.4f |\n", row.name.c_str(), ours, row.reference.c_str(), plain,
                    plain > 0 ? ours / plain : 0);
    }
    // The spread of ours over the rounds, so that a change can be told from noise.
    std::printf("\nspread of ours over the rounds (min .. max ms):");
    for (const Row& row : rows) {
        const auto [low, high] = std::minmax_element(row.ours.begin(), row.ours.end());
        std::printf(" %.3f..%.3f", *low, *high);
    }
    std::printf("\n");
    std::fflush(stdout);
    // The I/O thread runs on; end without tearing down what it uses.
    std::_Exit(0);
}
