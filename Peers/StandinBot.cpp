// Stand-in for a game client: logs in to its first region server, steers its ship by UDP
// towards a chosen velocity, pings, follows the servers it is sent to (as their controlled
// player or as a watcher), may step back from the controls for a second, and prints what it
// sees. Everything runs on one thread.

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/program_options.hpp>

#include "Peers/Bot.h"
#include "Peers/PeerSupport.h"

namespace po = boost::program_options;

int main(int argc, char** argv) {
    BotSettings settings;
    std::string velocity = "0,0,0";
    double seconds = 10.0;
    po::options_description description("standin-bot options");
    auto add = description.add_options();
    add("help", "print the options");
    add("host", po::value(&settings.host)->default_value(settings.host), "host of the first region server");
    add("port", po::value(&settings.port)->default_value(settings.port), "game port of the first region server");
    add("name", po::value(&settings.name)->default_value(settings.name), "the player's name");
    add("velocity", po::value(&velocity)->default_value(velocity),
        "x,y,z: the velocity to fly with (units per second; the servers cap the speed at 50)");
    add("seconds", po::value(&seconds)->default_value(seconds), "run time");
    add("fire", po::bool_switch(&settings.fire), "shoot once a second");
    add("logout-after", po::value(&settings.logoutAfter)->default_value(settings.logoutAfter),
        "seconds after which to log out of the controlling server as a watcher, and in again a second later "
        "(0: never)");
    if (const int status = readCommandLine(argc, argv, description))
        return status;
    if (!parseVector(velocity, settings.velocity)) {
        peerSay("bad velocity '%s' (want x,y,z)", velocity.c_str());
        return 2;
    }
    if (!(settings.logoutAfter >= 0)) {
        peerSay("bad logout time %g (want 0 or more seconds)", settings.logoutAfter);
        return 2;
    }
    if (!(seconds > 0)) {
        peerSay("bad run time %g (want more than 0 seconds)", seconds);
        return 2;
    }

    boost::asio::io_context io;
    Bot bot(io, settings);
    if (!bot.start())
        return 1;
    boost::asio::steady_timer ending(io);
    ending.expires_after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)));
    ending.async_wait([&](const boost::system::error_code&) {
        bot.finish();
        io.stop();
    });
    io.run();
    return 0;
}
