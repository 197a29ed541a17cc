#include "Server/LoadCheck.h"

#include <map>
#include <vector>

#include "Common/Debug/Debug.h"
#include "Common/Debug/ResourceMonitor.h"
#include "Common/Gamelogic/General.h"
#include "Common/Network/Network.h"
#include "Common/Network/Sender.h"
#include "Server/ServerRegionHandler.h"

void checkLoad() {
    // The cache is never negative (only positive measurements and the console's figures
    // enter it), so widening keeps the value.
    const unsigned int cpuLoad = static_cast<unsigned int>(ResourceMonitor::getInstance()->GetCPUusageCached());
    Network* network = Network::getInstance();
    Sender* sender = network->networkSender;

    // A figure equal to the border is not an overload.
    if (cpuLoad <= General::getInstance()->overloadedCPUBorder) {
        sender->sendServerStatus(cpuLoad, false, nullptr, nullptr, nullptr, &network->coordinator);
        return;
    }

    ServerRegionHandler* registry = ServerRegionHandler::getInstance();
    if (!registry->myself)
        return;

    const unsigned int regions = registry->regionsControlled();
    if (regions > 1) {
        std::map<unsigned int, unsigned int> populations;
        registry->getPopulationForExistingRegions(populations);
        sender->sendServerStatus(cpuLoad, true, nullptr, nullptr, &populations, &network->coordinator);
    } else if (regions == 1) {
        std::vector<unsigned int> two;
        std::vector<unsigned int> three;
        registry->getPopulationForSingleRegion(two, three);
        sender->sendServerStatus(cpuLoad, true, &two, &three, nullptr, &network->coordinator);
    } else {
        DebugLog(LogType::Info, "Overloaded but does not have any regions\n");
    }
}
