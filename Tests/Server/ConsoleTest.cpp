// The operator console: the line stack, the commands and the end of standard input.
#include "Server/Console.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Debug/ResourceMonitor.h"
#include "Common/Gamelogic/General.h"
#include "Common/GameObjects/Player.h"
#include "Common/GameObjects/Projectile.h"
#include "Support/World/NetworkFixture.h"

namespace {

// Empties the stack and puts the CPU cache and the scores back, before and after each test.
class ConsoleTest : public NetworkFixture {
protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        reset();
    }
    void TearDown() override {
        reset();
        NetworkFixture::TearDown();
    }
    static void reset() {
        std::string line;
        while (pop(line)) {
        }
        ResourceMonitor::getInstance()->SetCPUusageCache(0);
        General::getInstance()->redTeamScore = 0;
        General::getInstance()->blueTeamScore = 0;
    }
    Player* attachPlayer(uint64_t id, bool replica) {
        Player* p = new Player(id, replica ? Team::Blue : Team::Red, 100.0f);
        p->setIsReplica(replica);
        scene()->attach(p);
        return p;
    }
    TransformList* players() { return scene()->getListOfType(SceneGraphType::Player); }
    TransformList* projectiles() { return scene()->getListOfType(SceneGraphType::Projectile); }

    // Runs the stacked lines as the frame's last stage does and returns what they printed.
    std::string runStacked() {
        testing::internal::CaptureStdout();
        runConsoleCommands(players(), projectiles(), fake);
        return testing::internal::GetCapturedStdout();
    }
    std::string run(const std::string& line) {
        push(line);
        return runStacked();
    }
    std::vector<std::string> stacked() {
        std::vector<std::string> lines;
        std::string line;
        while (pop(line))
            lines.push_back(line);
        return lines;
    }

    bool fake = false;
};

TEST_F(ConsoleTest, EachCommandAndAliasAnswersWithItsLineAndEveryOtherLineIsUnknown) {
    attachPlayer(2, false);
    attachPlayer(3, true);
    scene()->attach(new Projectile(4));
    watchers->addNewWatcher(new CommEndpoint(CommEndpointTypes::ClientEndpoint));
    General::getInstance()->redTeamScore = 3;
    General::getInstance()->blueTeamScore = -2;

    struct Case {
        const char* line;
        const char* output;
    };
    const Case cases[] = {
        {"players", "1\n"},
        {"pl", "1\n"},
        {"watchers", "1\n"},
        {"wt", "1\n"},
        {"shots", "1\n"},
        {"sh", "1\n"},
        {"score", "3 - -2\n"},
        {"sc", "3 - -2\n"},
        {"highcpu", ""},
        {"hcpu", ""},
        {"averagecpu", ""},
        {"acpu", ""},
        {"lowcpu", ""},
        {"lcpu", ""},
        {"reset all", ""},
        {"ra", ""},
        {"", "unknown command\n"},
        {"Players", "unknown command\n"},
        {"players ", "unknown command\n"},
        {"players\r", "unknown command\n"},
        {" pl", "unknown command\n"},
        {"reset", "unknown command\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("line \"") + c.line + "\"");
        EXPECT_EQ(run(c.line), c.output);
    }
}

TEST_F(ConsoleTest, CpuCommandsSetTheCachedFigure) {
    const std::pair<const char*, short> cases[] = {{"highcpu", 99}, {"lcpu", 0},  {"averagecpu", 50},
                                                   {"lowcpu", 0},   {"hcpu", 99}, {"acpu", 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        run(c.first);
        EXPECT_EQ(ResourceMonitor::getInstance()->GetCPUusageCached(), c.second);
    }
}

TEST_F(ConsoleTest, LinesOfOneFrameRunNewestFirst) {
    push("highcpu");
    push("lowcpu");
    push("score");
    push("shots");
    EXPECT_EQ(runStacked(), "0\n0 - 0\n");
    EXPECT_EQ(ResourceMonitor::getInstance()->GetCPUusageCached(), 99);
    EXPECT_TRUE(stacked().empty());

    // In different frames the later one wins.
    run("highcpu");
    run("lowcpu");
    EXPECT_EQ(ResourceMonitor::getInstance()->GetCPUusageCached(), 0);
}

TEST_F(ConsoleTest, ToggleFlipsTheFrameSwitchOncePerLine) {
    run("toggleFakeCPU");
    EXPECT_TRUE(fake);
    push("tfc");
    push("toggleFakeCPU");
    runStacked();
    EXPECT_TRUE(fake);
    run("tfc");
    EXPECT_FALSE(fake);
}

TEST_F(ConsoleTest, ResetAllRespawnsEveryListedPlayerReplicasIncluded) {
    Player* own = attachPlayer(2, false);
    Player* replica = attachPlayer(3, true);
    const float full = own->health;
    own->health = 10.0f;
    replica->health = 20.0f;

    EXPECT_EQ(run("reset all"), "");
    EXPECT_EQ(own->health, full);
    EXPECT_EQ(replica->health, full);
}

TEST_F(ConsoleTest, WithoutPlayersOrShotsTheListCommandsDoNothingAndCountZero) {
    ASSERT_EQ(players(), nullptr);
    ASSERT_EQ(projectiles(), nullptr);
    EXPECT_EQ(run("ra"), "");
    EXPECT_EQ(run("sh"), "0\n");
    EXPECT_EQ(run("pl"), "0\n");
    EXPECT_EQ(run("wt"), "0\n");
}

TEST_F(ConsoleTest, MadeUpLoadIsTwentyPerPlayerUnderThisServersControl) {
    fakeCPUUsage();
    EXPECT_EQ(ResourceMonitor::getInstance()->GetCPUusageCached(), 0);
    for (uint64_t id = 2; id < 5; ++id)
        scene()->attach(new Player(id, Team::Red, 100.0f));
    Player* replica = new Player(9, Team::Blue, 100.0f);
    replica->setIsReplica(true);
    scene()->attach(replica);
    fakeCPUUsage();
    EXPECT_EQ(ResourceMonitor::getInstance()->GetCPUusageCached(), 60);
}

TEST_F(ConsoleTest, ReadingStacksEveryLineAsTypedAndStopsAtTheEndOfInput) {
    struct Case {
        const char* input;
        std::vector<std::string> newestFirst;
    };
    const Case cases[] = {
        {"pl\nsc\n", {"sc", "pl"}},
        {"pl\n\n players\r\n", {" players\r", "", "pl"}},
        {"sc\nlast without line end", {"last without line end", "sc"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::istringstream in(c.input);
        readConsoleLines(in);
        // Reading again after the end pushes nothing either.
        readConsoleLines(in);
        EXPECT_EQ(stacked(), c.newestFirst);
    }
}

TEST_F(ConsoleTest, AFailedReadPushesNothing) {
    std::istringstream in("pl\n");
    in.setstate(std::ios::badbit);
    readConsoleLines(in);
    EXPECT_TRUE(stacked().empty());
}

} // namespace
