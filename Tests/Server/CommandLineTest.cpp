// The command line, tried on the real binary.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/Process/ChildProcess.h"
#include "Support/Wire/FreePort.h"
#include "Support/Wire/Patience.h"

namespace {

using namespace std::chrono_literals;

// The binary, on a free game port unless the case names one.
std::vector<std::string> server(std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--port") == args.end())
        args.insert(args.begin(), {"--port", std::to_string(freeGamePort())});
    args.insert(args.begin(), REGIONSERVER_BINARY);
    return args;
}

struct EndingCase {
    std::vector<std::string> args;
    int status;
    std::string output;
};

TEST(CommandLineTest, HelpAndUnreadableValuesEndStartUp) {
    const EndingCase cases[] = {
        {{"--help"}, 1, "Allowed options:\n"},
        {{"--port", "21042", "--help", "--log", "true"}, 1, "  --log arg (=1)"},
        {{"--help"}, 1, "config file for server regions  LEGACY"},
        {{"--port", "notanumber"},
         0,
         "boost error in main the argument ('notanumber') for option '--port' is invalid\n"},
        {{"--log"}, 0, "boost error in main the required argument for option '--log' is missing\n"},
        {{"--collide-all", "maybe"}, 0, "boost error in main"},
    };
    for (const EndingCase& c : cases) {
        ChildProcess p(server(c.args));
        int status = -1;
        ASSERT_TRUE(p.waitForExit(Patience, &status));
        EXPECT_EQ(status, c.status) << c.args[0];
        EXPECT_NE(p.output().find(c.output), std::string::npos) << p.output();
    }
}

TEST(CommandLineTest, HelpCreatesNoMeasurementFile) {
    char dir[] = "/tmp/rs-helpXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ChildProcess p(server({"--help", "--stats", "m.csv"}), dir);
    int status = -1;
    ASSERT_TRUE(p.waitForExit(Patience, &status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(access((std::string(dir) + "/m.csv").c_str(), F_OK), 0);
    rmdir(dir);
}

TEST(CommandLineTest, UnknownOptionsAreIgnoredAndBoolValuesParseInBothForms) {
    ChildProcess p(
        server({"--foo", "3", "--timelimit=1", "--enable-console", "false", "--log=false", "--collide-all", "true"}));
    EXPECT_TRUE(p.waitForOutput("Timelimit is 1 minute(s)\n", Patience)) << p.output();
    EXPECT_EQ(p.output().find("boost error"), std::string::npos) << p.output();
    EXPECT_EQ(p.output().find("foo"), std::string::npos) << p.output();
}

TEST(CommandLineTest, TimeLimitEndsTheProcessWithStatusZero) {
    ChildProcess p(server({"--timelimit", "1", "--enable-console", "false", "--log", "false"}));
    ASSERT_TRUE(p.waitForOutput("Timelimit is 1 minute(s)\n", Patience)) << p.output();
    int status = -1;
    ASSERT_TRUE(p.waitForExit(90s, &status)) << p.output();
    EXPECT_EQ(status, 0);
    EXPECT_NE(p.output().find("Timeout expired\n"), std::string::npos) << p.output();
}

// The lines of `text`, each without the prefix up to the first "] ".
std::vector<std::string> unprefixedLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        const size_t prefix = line.find("] ");
        lines.push_back(prefix == std::string::npos ? line : line.substr(prefix + 2));
    }
    return lines;
}

// The first lines of a default start are the server's entry, the listening port and the first
// attempt to reach the coordinator. What the server runs with comes after them, once: the soft
// limit of open files, raised to the hard one, and the UDP receive buffer when the kernel granted
// less than asked for.
TEST(CommandLineTest, TheFirstLinesOfAStartComeFirstAndTheLimitsItRunsWithAfterThem) {
    const struct {
        const char* limits; // for prlimit, or null
        const char* line;
    } cases[] = {
        {nullptr, "Open files: at most "},
        {"--nofile=256:1024", "Open files: at most 1024\n"},
        {"--nofile=300:300", "Open files: at most 300\n"},
    };
    for (const auto& c : cases) {
        const std::string port = std::to_string(freeGamePort());
        std::vector<std::string> args = server({"--port", port, "--enable-console", "false", "--log", "false"});
        if (c.limits)
            args.insert(args.begin(), {"/usr/bin/prlimit", c.limits});
        ChildProcess p(args);
        ASSERT_TRUE(p.waitForOutput("Open files", Patience)) << p.output();
        const std::string& out = p.output();
        const std::vector<std::string> lines = unprefixedLines(out);
        ASSERT_GE(lines.size(), 4u) << out;
        EXPECT_EQ(lines[0], "Server 0 added.") << out;
        EXPECT_EQ(lines[1], "Listening on port " + port) << out;
        EXPECT_EQ(lines[2], "Attempting to connect the coordinator at 127.0.0.1:21040") << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(out.find("Open files"), out.rfind("Open files")) << out;
        const size_t receiveBuffer = out.find("UDP receive buffer");
        if (receiveBuffer != std::string::npos) {
            EXPECT_LT(out.find("Attempting to connect"), receiveBuffer) << out;
        }
    }
}

// The stand-in coordinator's port, once it listens; empty when it does not.
std::string portOf(ChildProcess& coordinator) {
    const std::string listening = "coordinator listening on 127.0.0.1:";
    if (!coordinator.waitForOutput(listening, Patience))
        return "";
    const size_t at = coordinator.output().find(listening) + listening.size();
    return coordinator.output().substr(at, coordinator.output().find('\n', at) - at);
}

const std::vector<std::string> OneRegion = {STANDIN_COORDINATOR, "--port", "0", "--region", "1:0,0,0:100,100,100"};

// Once frames run, the time limit is acted on by the main thread between two frames.
TEST(CommandLineTest, TimeLimitEndsARunningServerWithStatusZero) {
    ChildProcess coordinator(OneRegion);
    const std::string coordPort = portOf(coordinator);
    ASSERT_NE(coordPort, "") << coordinator.output();

    ChildProcess p(server({"--server-id", "1", "--coord-port", coordPort, "--timelimit", "1", "--enable-console",
                           "false", "--log", "false"}));
    // The login leaves with the first frame's send step.
    ASSERT_TRUE(coordinator.waitForOutput("login of server 1", Patience)) << coordinator.output() << p.output();
    int status = -1;
    ASSERT_TRUE(p.waitForExit(90s, &status)) << p.output();
    EXPECT_EQ(status, 0);
    EXPECT_NE(p.output().find("Timeout expired\n"), std::string::npos) << p.output();
}

// A running server writes its measurement file only with --log true: a header line, then a
// line of 42 columns a second. Without a time limit it prints no time-limit line.
TEST(CommandLineTest, RunningServerWritesItsMeasurementFileOnlyWithLog) {
    for (const bool log : {true, false}) {
        SCOPED_TRACE(log ? "log" : "no log");
        char dir[] = "/tmp/rs-statsXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string file = std::string(dir) + "/m.csv";
        ChildProcess coordinator(OneRegion);
        const std::string coordPort = portOf(coordinator);
        ASSERT_NE(coordPort, "") << coordinator.output();
        ChildProcess p(server({"--server-id", "1", "--coord-port", coordPort, "--enable-console", "false", "--log",
                               log ? "true" : "false", "--stats", "m.csv"}),
                       dir);
        // The load report comes once a second, as the measurement line does.
        ASSERT_TRUE(coordinator.waitForOutput("status of server 1", Patience)) << coordinator.output() << p.output();
        if (log) {
            std::vector<std::string> lines;
            waitUntil(
                [&] {
                    std::ifstream in(file);
                    lines.clear();
                    for (std::string line; std::getline(in, line);)
                        lines.push_back(line);
                    return lines.size() >= 3;
                },
                Patience);
            ASSERT_GE(lines.size(), 3u);
            EXPECT_EQ(lines[0].substr(0, 32), "Timestamp      ,TCP pkg sent CS,");
            EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), ','), 42);
            for (size_t i = 1; i < lines.size(); ++i)
                EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 41) << lines[i];
        } else {
            EXPECT_NE(access(file.c_str(), F_OK), 0);
        }
        EXPECT_EQ(p.output().find("Timelimit"), std::string::npos) << p.output();
        unlink(file.c_str());
        rmdir(dir);
    }
}

} // namespace
