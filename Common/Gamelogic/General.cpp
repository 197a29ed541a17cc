#include "Common/Gamelogic/General.h"

#include "Server/ServerRegionHandler.h"

General* General::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static General* instance = new General();
    return instance;
}

General::General()
    : overloadedCPUBorder(90), underloadedCPUBorder(10), averageloadedCPUBorder(40), redTeamScore(0), blueTeamScore(0),
      justHaveSeededWithTime(false), t(spwanType::Point), numberOfPlayersToInGridToSpawnEven(2), blueCounter(0),
      redCounter(1) {}

Vector3 General::getCenterOfCurrentRegion() {
    ControllingServer* myself = ServerRegionHandler::getInstance()->myself;
    if (!myself || myself->regionList.empty())
        return Vector3();
    const Region& region = myself->regionList.front();
    return region.min + (region.max - region.min) * 0.5f;
}
