#pragma once

#include <cstdint>

#include "Common/Math/Vector3.h"

namespace spwanType {
enum spwanType { Plane = 0, Even = 1, Point = 2 };
}

struct SpawnArea {
    Vector3 center;
    Vector3 dim;
};

// Rules that belong to no one object: the coordinator's CPU-load borders, the team scores
// and where a respawning player appears. Created on first use on the main thread, never
// destroyed. Main thread only.
class General {
public:
    static General* getInstance();

    // The centre of this server's newest region (the front of myself's region list), or
    // the origin while the server controls none.
    Vector3 getCenterOfCurrentRegion();

    // Set by every coordinator welcome; the load check reads the overload border only.
    uint32_t overloadedCPUBorder;
    uint32_t underloadedCPUBorder;
    uint32_t averageloadedCPUBorder;

    // No rule changes them; the console prints them.
    int32_t redTeamScore;
    int32_t blueTeamScore;

    // Spawn settings kept for the game's other spawn modes; nothing here reads them, a
    // respawn always takes getCenterOfCurrentRegion().
    bool justHaveSeededWithTime;
    spwanType::spwanType t;
    SpawnArea redSpawn;
    SpawnArea blueSpawn;
    int numberOfPlayersToInGridToSpawnEven;
    int blueCounter;
    int redCounter;

private:
    General();
    General(const General&) = delete;
    General& operator=(const General&) = delete;
};
