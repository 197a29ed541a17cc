// scripts/cluster.sh as an operator runs it, on the programs of this build: four servers in a
// grid, the stand-in coordinator and bots that cross borders; no fault, so every ship is still
// there at the end, once.
#include <signal.h>

#include <chrono>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "Support/Process/ChildProcess.h"

namespace e2e {
namespace {

using std::chrono::seconds;

TEST(ClusterScriptTest, FourServersKeepEveryShipOfBotsCrossingTheirBorders) {
    // Small cubes, so that 20 bots cross borders within the run. The frame rate is the
    // benchmark's business (and a sanitized build's is lower): here it only has to show the
    // servers were running.
    ChildProcess script({"/bin/bash", CLUSTER_SCRIPT, "--no-build", "--build", PROGRAMS_DIR, "--servers", "4", "--bots",
                         "20", "--seconds", "15", "--warmup", "3", "--size", "300", "--min-fps", "10"});
    int status = -1;
    if (!script.waitForExit(seconds(150), &status)) {
        // Its trap stops the cluster's processes; a kill would leave them running.
        script.kill(SIGTERM);
        script.waitForExit(seconds(10), &status);
        FAIL() << "the script did not end within 150 s:\n" << script.output();
    }
    const std::string& out = script.output();
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("\ncluster: the run held\n")) << out;

    // Counted while the bots are at rest.
    std::smatch players;
    ASSERT_TRUE(std::regex_search(out, players,
                                  std::regex("players summed over the servers, a second before the count and at it: "
                                             "([0-9]+) ([0-9]+), against 20 bots: ([0-9]+) lost, ([0-9]+) duplicated")))
        << out;
    EXPECT_EQ("0", players[3].str()) << out;
    EXPECT_EQ("0", players[4].str()) << out;

    std::smatch bots;
    ASSERT_TRUE(std::regex_search(
        out, bots, std::regex("cluster: bots: ([0-9]+) welcomed, ([0-9]+) controlled at the end, ([0-9]+) hand-overs")))
        << out;
    EXPECT_EQ("20", bots[1].str()) << out;
    EXPECT_EQ("20", bots[2].str()) << out;
    // Ships crossed borders: the sums above held across hand-overs.
    EXPECT_GT(std::stoi(bots[3].str()), 0) << out;
}

} // namespace
} // namespace e2e
