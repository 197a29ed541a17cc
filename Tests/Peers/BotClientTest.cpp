// What the load generator reports of the clients' view: the longest time each bot went without
// a state update of each ship it was told of. The rules of the window on made-up times, then
// the figures of a few bots at a real server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Peers/ShipView.h"
#include "Support/Process/Cluster.h"
#include "Support/Wire/CaseName.h"

namespace {

using Clock = ShipView::Clock;

Clock::time_point at(double seconds) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

struct Event {
    enum Kind { ToldOf, Updated, Destroyed, Start, End } kind;
    double time;
    uint64_t id;
};

struct ViewCase {
    const char* what;
    std::vector<Event> events;
    std::vector<double> longestGaps; // sorted
    unsigned long neverUpdated;
};

class ShipViewTest : public ::testing::TestWithParam<ViewCase> {};

TEST_P(ShipViewTest, LongestGapsAndShipsNeverUpdated) {
    ShipView view;
    for (const Event& e : GetParam().events) {
        switch (e.kind) {
        case Event::ToldOf:
            view.toldOf(e.id, at(e.time));
            break;
        case Event::Updated:
            view.updated(e.id, at(e.time));
            break;
        case Event::Destroyed:
            view.destroyed(e.id, at(e.time));
            break;
        case Event::Start:
            view.startWindow(at(e.time));
            break;
        case Event::End:
            view.endWindow(at(e.time));
            break;
        }
    }
    std::vector<double> gaps;
    unsigned long never = 0;
    view.collect(gaps, never);
    std::sort(gaps.begin(), gaps.end());
    ASSERT_EQ(GetParam().longestGaps.size(), gaps.size());
    for (size_t i = 0; i < gaps.size(); ++i)
        EXPECT_NEAR(GetParam().longestGaps[i], gaps[i], 1e-6) << i;
    EXPECT_EQ(GetParam().neverUpdated, never);
}

const ViewCase ViewCases[] = {
    // Updates before the window do not count; its start and end do.
    {"WindowEdgesCount",
     {{Event::Updated, 1, 7},
      {Event::Start, 10, 0},
      {Event::Updated, 13, 7},
      {Event::Updated, 14, 7},
      {Event::End, 20, 0}},
     {6},
     0},
    // Told of before the window and never updated in it: the whole window, and counted.
    {"FrozenShip", {{Event::ToldOf, 1, 7}, {Event::Start, 10, 0}, {Event::End, 30, 0}}, {20}, 1},
    // Told of late in the window: its gap starts at the description; not counted as frozen,
    // since it was not there all along.
    {"DescribedInTheWindow", {{Event::Start, 10, 0}, {Event::ToldOf, 28, 7}, {Event::End, 30, 0}}, {2}, 0},
    // Destroyed: its gap ends there; described again, a new gap starts, not the time it was gone.
    {"DestroyedAndDescribedAgain",
     {{Event::ToldOf, 1, 7},
      {Event::Start, 10, 0},
      {Event::Updated, 11, 7},
      {Event::Destroyed, 14, 7},
      {Event::ToldOf, 24, 7},
      {Event::Updated, 26, 7},
      {Event::End, 27, 0}},
     {3},
     0},
    // A ship destroyed before the window is forgotten; a shot's destruction is ignored.
    {"GoneBeforeTheWindow",
     {{Event::ToldOf, 1, 7},
      {Event::Destroyed, 2, 7},
      {Event::Destroyed, 3, 99},
      {Event::Start, 10, 0},
      {Event::End, 20, 0}},
     {},
     0},
    // Nothing after the end changes the figures; without an end there are none.
    {"AfterTheEnd",
     {{Event::Start, 0, 0}, {Event::Updated, 1, 7}, {Event::End, 2, 0}, {Event::Updated, 9, 7}, {Event::ToldOf, 9, 8}},
     {1},
     0},
    {"NoEnd", {{Event::Start, 0, 0}, {Event::Updated, 1, 7}}, {}, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, ShipViewTest, ::testing::ValuesIn(ViewCases), caseName<ViewCase>);

// A handful of bots at one server: each is told of every ship, its own included, and the
// server keeps every one of them moving on every client.
TEST(BotClientViewTest, EveryBotSeesEveryShipUpdated) {
    e2e::Cluster cluster;
    ASSERT_NO_FATAL_FAILURE(cluster.startCoordinatorAndServer1());
    const int bots = 4;
    e2e::Process botclient("botclient",
                           {BOTCLIENT, "--bots", std::to_string(bots), "--port", std::to_string(cluster.gamePort(1)),
                            "--seconds", "8", "--warmup", "3", "--threads", "2", "--speed", "10"});
    const std::string summary = botclient.nextLine("summary: ", std::chrono::seconds(60));
    ASSERT_NE("", summary) << cluster.outputs() << botclient.output();
    unsigned pairs = 0, never = 0;
    double median = 0, p99 = 0, max = 0;
    const size_t view = summary.find("view: ");
    ASSERT_NE(std::string::npos, view) << summary;
    ASSERT_EQ(5, std::sscanf(summary.c_str() + view,
                             "view: %u ship pairs, %u never updated, longest gap between updates median %lf s, 99th "
                             "percentile %lf s, max %lf s",
                             &pairs, &never, &median, &p99, &max))
        << summary;
    EXPECT_EQ(unsigned(bots * bots), pairs) << summary;
    EXPECT_EQ(0u, never) << summary;
    EXPECT_LE(median, p99) << summary;
    EXPECT_LE(p99, max) << summary;
    // Each gap lies within the 5 s window; a ship left frozen would show the whole of it.
    EXPECT_GT(max, 0.0) << summary;
    EXPECT_LT(max, 4.0) << summary;
}

} // namespace
