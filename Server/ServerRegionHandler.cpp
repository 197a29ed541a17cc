#include "Server/ServerRegionHandler.h"

#include <algorithm>
#include <chrono>

#include "Common/Debug/Debug.h"
#include "Common/Engine/Timer.h"
#include "Common/Network/Limits.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Common/Scene/SceneGraph.h"

bool shouldCollideAllObjects = false;

namespace {

// The cell along one axis of a grid of `cells` cells for an offset from the region's min,
// or -1 when the object lies outside the grid on that axis. The quotient truncates toward
// zero, so an object less than one cell below min falls in cell 0; alike, the upper face
// (which the region holds) and less than one cell beyond it fall in the last cell, not in
// another row. Farther out counts nowhere. A flat axis (size 0) or an offset that is not
// finite has no cell, instead of dividing by zero or truncating an unrepresentable quotient.
int cellAlong(float offset, float size, float cellSize, int cells) {
    if (!(size > 0.0f) || !(cellSize > 0.0f))
        return -1;
    const float q = offset / cellSize;
    if (!(q > -1.0f) || !(q < static_cast<float>(cells + 1)))
        return -1;
    if (q >= static_cast<float>(cells))
        return cells - 1;
    return static_cast<int>(q);
}

// Adds one to the object's cell of a grid of cells^3 counts; an object outside the grid on
// any axis counts nowhere.
void countInGrid(const Vector3& offset, const Vector3& size, const Vector3& cellSize, int cells,
                 std::vector<unsigned int>& counts) {
    const int ix = cellAlong(offset.x, size.x, cellSize.x, cells);
    const int iy = cellAlong(offset.y, size.y, cellSize.y, cells);
    const int iz = cellAlong(offset.z, size.z, cellSize.z, cells);
    if (ix < 0 || iy < 0 || iz < 0)
        return;
    ++counts[static_cast<size_t>(ix + cells * iy + cells * cells * iz)];
}

} // namespace

ServerRegionHandler* ServerRegionHandler::getInstance() {
    // Created on first use and never destroyed, so nothing depends on the order of teardown.
    static ServerRegionHandler* instance = new ServerRegionHandler();
    return instance;
}

ServerRegionHandler::ServerRegionHandler()
    : myself(nullptr), connectBudgetLeft_(std::chrono::milliseconds(NEIGHBOUR_CONNECT_BUDGET_MS)) {}

ControllingServer* ServerRegionHandler::AddServerToPool(unsigned int id) {
    return RegionHandler::AddServerToPool(id);
}

void ServerRegionHandler::resetConnectBudget() {
    connectBudgetLeft_ = std::chrono::milliseconds(NEIGHBOUR_CONNECT_BUDGET_MS);
}

void ServerRegionHandler::testConnectionToNeighbours() {
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    for (ControllingServer* server : serversToConnectTo()) {
        // Whole milliseconds, rounded up: connects that take a fraction of one (refused, or made
        // on the local network) leave the next one its full time-out.
        const int leftMs =
            static_cast<int>((connectBudgetLeft_ + milliseconds(1) - steady_clock::duration(1)) / milliseconds(1));
        if (leftMs <= 0)
            return;
        std::map<unsigned int, Rest>::iterator rest = resting_.find(server->id);
        const uint64_t now = Timer::getMonotonicTime();
        if (rest != resting_.end() && now < rest->second.until) // resting
            continue;
        // Blocks the frame, but only a little: a neighbour that never answers cannot stall it.
        const int timeoutMs = std::min(leftMs, static_cast<int>(NEIGHBOUR_CONNECT_TIMEOUT_MS));
        const steady_clock::time_point start = steady_clock::now();
        const bool connected =
            Network::getInstance()->connectTo(server, server->host, server->port, nullptr, timeoutMs);
        const steady_clock::duration took = steady_clock::now() - start;
        connectBudgetLeft_ -= took;
        if (!connected) {
            DebugLog(LogType::Info, "Connection to server %s:%s failed\n", DebugEscape(server->host).c_str(),
                     DebugEscape(server->port).c_str());
            if (took < milliseconds(timeoutMs)) {
                resting_.erase(server->id); // refused at once: the host answers
                continue;
            }
            // Cut short by the budget: the server may yet answer within the whole time-out, so
            // it keeps its rest as it was and is tried at the next check.
            if (timeoutMs < NEIGHBOUR_CONNECT_TIMEOUT_MS)
                continue;
            const unsigned int most = NEIGHBOUR_REST_MOST_MS;
            const unsigned int ms = rest == resting_.end() ? static_cast<unsigned int>(NEIGHBOUR_REST_FIRST_MS)
                                                           : std::min(2 * rest->second.ms, most);
            resting_[server->id] = Rest{Timer::getMonotonicTime() + ms, ms};
            DebugLog(LogType::Info, "Server %d did not answer within %d ms, next try in %u s at the earliest\n",
                     static_cast<int>(server->id), static_cast<int>(NEIGHBOUR_CONNECT_TIMEOUT_MS), ms / 1000);
            continue;
        }
        resting_.erase(server->id);
        DebugLog(LogType::Info, "Connected to server %d %s:%s\n", static_cast<int>(server->id),
                 DebugEscape(server->host).c_str(), DebugEscape(server->port).c_str());
        Network* network = Network::getInstance();
        network->networkSender->sendServerLogin(static_cast<uint32_t>(network->ownId), server);
    }
}

std::list<ControllingServer*> ServerRegionHandler::serversToConnectTo() {
    std::list<ControllingServer*> result;
    if (!myself)
        return result;
    for (ControllingServer& server : serverList) {
        if (&server == myself || server.getTcpSocket() || server.id <= myself->id)
            continue;
        // Only the map says where a server accepts connections; an entry that came by a login
        // alone has no address to try.
        if (server.host.empty() || server.port.empty())
            continue;
        result.push_back(&server);
    }
    return result;
}

unsigned int ServerRegionHandler::regionsControlled() {
    return myself ? static_cast<unsigned int>(myself->regionList.size()) : 0;
}

void ServerRegionHandler::getPopulationForExistingRegions(std::map<unsigned int, unsigned int>& regionPopulationMap) {
    regionPopulationMap.clear();
    if (!myself)
        return;
    for (const Region& region : myself->regionList)
        regionPopulationMap[region.id] = 0;
    TransformList* players = SceneGraph::getInstance()->getListOfType(SceneGraphType::Player);
    if (!players)
        return;
    for (Transform* player : *players)
        for (Region& region : myself->regionList)
            if (region.PointIn(player->position, 0.0f))
                ++regionPopulationMap[region.id];
}

void ServerRegionHandler::getPopulationForSingleRegion(std::vector<unsigned int>& TwoByTwoSubdiv,
                                                       std::vector<unsigned int>& ThreeByThreeSubdiv) {
    TwoByTwoSubdiv.assign(8, 0);
    ThreeByThreeSubdiv.assign(27, 0);
    if (!myself || myself->regionList.empty())
        return;
    const Region& region = myself->regionList.front();
    const Vector3 size = region.max - region.min;
    const Vector3 halves(0.5f * size.x, 0.5f * size.y, 0.5f * size.z);
    const Vector3 thirds(size.x / 3.0f, size.y / 3.0f, size.z / 3.0f);

    SceneGraph* scene = SceneGraph::getInstance();
    std::vector<TransformList*> counted{scene->getListOfType(SceneGraphType::Player)};
    if (shouldCollideAllObjects)
        counted.push_back(scene->getListOfType(SceneGraphType::Projectile));
    for (TransformList* objects : counted) {
        if (!objects)
            continue;
        for (Transform* object : *objects) {
            const Vector3 offset = object->position - region.min;
            countInGrid(offset, size, halves, 2, TwoByTwoSubdiv);
            countInGrid(offset, size, thirds, 3, ThreeByThreeSubdiv);
        }
    }
}

void ServerRegionHandler::clearForTesting() {
    removeAllServers();
    myself = nullptr;
    resting_.clear();
    resetConnectBudget();
}
