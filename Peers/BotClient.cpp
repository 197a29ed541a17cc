// Many stand-in game clients in one process, for load measurements: each bot logs in as its
// own player, wanders between random points (or flies a fixed velocity), pings once a second
// and follows its hand-overs. At the end one line sums up what the bots saw, with the median
// and 99th percentile of their round trips, the share of their pings answered, and what they
// saw of the ships: per bot and ship told of, the longest time without a state update after the
// warm-up (the median, 99th percentile and maximum of those, and the pairs never updated). Bots are
// shared out over a few threads; each bot lives on one thread only.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/program_options.hpp>

#include "Peers/Bot.h"
#include "Peers/PeerSupport.h"

namespace po = boost::program_options;
using Clock = std::chrono::steady_clock;

namespace {

// "minx,miny,minz:maxx,maxy,maxz" into two corners, each at most the other on every axis.
bool parseArea(const std::string& text, Vector3& min, Vector3& max) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || !parseVector(text.substr(0, colon), min) ||
        !parseVector(text.substr(colon + 1), max))
        return false;
    return min.x <= max.x && min.y <= max.y && min.z <= max.z;
}

// The value below which `share` of the sorted samples lie (nearest rank).
double percentile(const std::vector<double>& sorted, double share) {
    const size_t rank = static_cast<size_t>(std::ceil(share * sorted.size()));
    return sorted[rank == 0 ? 0 : rank - 1];
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

int main(int argc, char** argv) {
    BotSettings settings;
    settings.wander = true;
    settings.verbose = false;
    unsigned int bots = 10;
    unsigned int threads = 2;
    double runSeconds = 30.0;
    double warmUp = 0.0;
    double haltSeconds = 0.0;
    std::string portList = settings.port;
    std::string velocity;
    std::string area;
    po::options_description description("botclient options");
    auto add = description.add_options();
    add("help", "print the options");
    add("bots", po::value(&bots)->default_value(bots), "number of bots, each its own player");
    add("host", po::value(&settings.host)->default_value(settings.host), "host of the first region server");
    add("port", po::value(&portList)->default_value(portList),
        "game port of the first region server; with several (p1,p2,...) the bots are shared out over them in turn");
    add("name", po::value(&settings.name)->default_value(settings.name), "name prefix; bot i is <name>-<i>");
    add("speed", po::value(&settings.speed)->default_value(settings.speed), "wandering speed (units per second)");
    add("area", po::value(&area),
        "minx,miny,minz:maxx,maxy,maxz to wander in (default: the first server's region, less a margin)");
    add("velocity", po::value(&velocity), "x,y,z: fly this fixed velocity instead of wandering");
    add("seconds", po::value(&runSeconds)->default_value(runSeconds), "run time");
    add("warmup", po::value(&warmUp)->default_value(warmUp), "seconds at the start whose round trips are not counted");
    add("halt", po::value(&haltSeconds)->default_value(haltSeconds),
        "for the last seconds of the run the bots brake to a stop and hold fire");
    add("threads", po::value(&threads)->default_value(threads), "threads to share the bots out over");
    add("fire", po::bool_switch(&settings.fire), "every bot shoots once a second");
    add("verbose", po::bool_switch(&settings.verbose), "one line per event of every bot");
    if (const int status = readCommandLine(argc, argv, description))
        return status;
    if (!velocity.empty()) {
        settings.wander = false;
        if (!parseVector(velocity, settings.velocity)) {
            peerSay("bad velocity '%s' (want x,y,z)", velocity.c_str());
            return 2;
        }
    }
    if (!area.empty() && !parseArea(area, settings.areaMin, settings.areaMax)) {
        peerSay("bad area '%s' (want minx,miny,minz:maxx,maxy,maxz)", area.c_str());
        return 2;
    }
    if (bots == 0 || threads == 0 || !(runSeconds > 0) || !(warmUp >= 0) || warmUp >= runSeconds ||
        !(haltSeconds >= 0) || haltSeconds > runSeconds) {
        peerSay("bad counts or times (want bots and threads above 0, 0 <= warmup < seconds, 0 <= halt <= seconds)");
        return 2;
    }
    threads = std::min(threads, bots);
    std::vector<std::string> ports;
    for (size_t at = 0; at <= portList.size();) {
        const size_t comma = std::min(portList.find(',', at), portList.size());
        ports.push_back(portList.substr(at, comma - at));
        at = comma + 1;
    }

    std::vector<std::unique_ptr<boost::asio::io_context>> contexts;
    for (unsigned int t = 0; t < threads; ++t)
        contexts.emplace_back(new boost::asio::io_context);
    std::vector<std::unique_ptr<Bot>> fleet;
    std::vector<std::vector<Bot*>> botsOfThread(threads);
    const std::string prefix = settings.name;
    for (unsigned int i = 0; i < bots; ++i) {
        settings.name = prefix + "-" + std::to_string(i + 1);
        settings.seed = i + 1;
        settings.port = ports[i % ports.size()];
        fleet.emplace_back(new Bot(*contexts[i % threads], settings));
        // Spread the bots' ticks over the tick interval.
        if (!fleet.back()->start(std::chrono::milliseconds(1 + i % 50))) {
            peerSay("bot %u of %u could not start; stopping", i + 1, bots);
            return 1;
        }
        botsOfThread[i % threads].push_back(fleet.back().get());
    }
    peerSay("%u bots started on %u threads", bots, threads);

    std::vector<std::thread> runners;
    for (unsigned int t = 0; t < threads; ++t) {
        runners.emplace_back([&, t] {
            boost::asio::io_context& io = *contexts[t];
            boost::asio::steady_timer warmUpEnd(io);
            boost::asio::steady_timer halting(io);
            boost::asio::steady_timer ending(io);
            warmUpEnd.expires_after(seconds(warmUp));
            warmUpEnd.async_wait([&](const boost::system::error_code&) {
                for (Bot* bot : botsOfThread[t]) {
                    bot->forgetRoundTrips();
                    bot->startViewWindow();
                }
            });
            if (haltSeconds > 0) {
                halting.expires_after(seconds(runSeconds - haltSeconds));
                halting.async_wait([&](const boost::system::error_code&) {
                    for (Bot* bot : botsOfThread[t])
                        bot->halt();
                });
            }
            ending.expires_after(seconds(runSeconds));
            ending.async_wait([&](const boost::system::error_code&) {
                for (Bot* bot : botsOfThread[t])
                    bot->finish();
                io.stop();
            });
            io.run();
        });
    }
    for (std::thread& runner : runners)
        runner.join();

    unsigned int welcomed = 0, controlled = 0, handOvers = 0;
    unsigned long pings = 0, answered = 0;
    std::vector<double> roundTrips, longestGaps;
    unsigned long neverUpdated = 0;
    for (const std::unique_ptr<Bot>& bot : fleet) {
        bot->view().collect(longestGaps, neverUpdated);
        welcomed += bot->isWelcomed();
        controlled += bot->isControlled();
        handOvers += bot->handOverCount();
        pings += bot->pingCount();
        answered += bot->answeredPingCount();
        roundTrips.insert(roundTrips.end(), bot->roundTrips().begin(), bot->roundTrips().end());
    }
    std::sort(roundTrips.begin(), roundTrips.end());
    char figures[128] = "none";
    if (!roundTrips.empty())
        std::snprintf(figures, sizeof(figures), "median %.2f ms, 99th percentile %.2f ms", percentile(roundTrips, 0.5),
                      percentile(roundTrips, 0.99));
    char share[32] = "none";
    if (pings > 0)
        std::snprintf(share, sizeof(share), "%.2f%%", 100.0 * answered / pings);
    std::sort(longestGaps.begin(), longestGaps.end());
    char gaps[128] = "none";
    if (!longestGaps.empty())
        std::snprintf(gaps, sizeof(gaps), "median %.2f s, 99th percentile %.2f s, max %.2f s",
                      percentile(longestGaps, 0.5), percentile(longestGaps, 0.99), longestGaps.back());
    peerSay("summary: %u bots, %u welcomed, %u controlled at the end, %u hand-overs; %zu round trips, %s; %lu pings, "
            "%lu answered (%s); view: %zu ship pairs, %lu never updated, longest gap between updates %s",
            bots, welcomed, controlled, handOvers, roundTrips.size(), figures, pings, answered, share,
            longestGaps.size(), neverUpdated, gaps);
    return 0;
}
