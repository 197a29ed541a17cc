#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Network/Network.h"
#include "Server/ServerRegionHandler.h"
#include "Support/Wire/FakeClock.h"

// The registry is one process-wide singleton (regions find their neighbours through it):
// every registry test starts and ends with it empty, myself unset, and the diagnostics
// prefix fixed at "id:0:[0] ".
class RegistryFixture : public testing::Test {
protected:
    void SetUp() override {
        Network::getInstance()->ownId = 0;
        Timer::sync_clock(0);
        registry()->clearForTesting();
    }
    void TearDown() override {
        // Sockets a test handed to entries are still open; the pool never frees them.
        for (ControllingServer& server : registry()->serverList)
            server.deleteTcpSocket();
        registry()->clearForTesting();
    }

    static ServerRegionHandler* registry() { return ServerRegionHandler::getInstance(); }

    // AddServerToPool without its "Server %i added." line, for tests about something else.
    static ControllingServer* addServer(unsigned int id) {
        testing::internal::CaptureStdout();
        ControllingServer* server = registry()->AddServerToPool(id);
        testing::internal::GetCapturedStdout();
        return server;
    }

    static std::vector<uint32_t> neighboursOf(unsigned int regionId) {
        Region* region = registry()->getRegion(regionId);
        EXPECT_NE(region, nullptr) << "region " << regionId;
        return region ? std::vector<uint32_t>(region->neighbourList.begin(), region->neighbourList.end())
                      : std::vector<uint32_t>();
    }

    static std::vector<uint32_t> idsOf(const std::list<Region*>& regions) {
        std::vector<uint32_t> ids;
        for (Region* region : regions)
            ids.push_back(region->id);
        return ids;
    }

    static std::vector<uint32_t> idsOf(const std::list<ControllingServer*>& servers) {
        std::vector<uint32_t> ids;
        for (ControllingServer* server : servers)
            ids.push_back(server->id);
        return ids;
    }

    FakeClock clock;
};
