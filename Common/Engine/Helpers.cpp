#include "Common/Engine/Helpers.h"

#include <atomic>
#include <limits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include "Common/Debug/Debug.h"
#include "Common/Engine/Timer.h"

namespace {

// Registration order; entries are never removed.
std::vector<mainLoopFunctionStruct> mainLoopFunctionsList;
// Atomic so that stop() may come from another thread (tests do that).
std::atomic<bool> done(false);
Helpers::SleepFunction sleepFunction = nullptr;

void sleepUntilDeadline(int64_t milliseconds) {
    const boost::system_time deadline = boost::get_system_time() + boost::posix_time::milliseconds(milliseconds);
    boost::thread::sleep(deadline);
}

} // namespace

void Helpers::registerMainLoopFunction(mainLoopFunction func, float fps) {
    mainLoopFunctionsList.push_back(mainLoopFunctionStruct{func, fps, 0});
}

void Helpers::run() {
    done = false;
    do {
        int64_t smallestNextTime = std::numeric_limits<int64_t>::max();
        // Indexing, not iterators: a called function may register another entry.
        for (size_t i = 0; i < mainLoopFunctionsList.size(); ++i) {
            const int64_t curtime = static_cast<int64_t>(Timer::getCurrentTime());
            if (curtime > mainLoopFunctionsList[i].nextUpdate) {
                try {
                    mainLoopFunctionsList[i].func();
                } catch (...) {
                    DebugPrint("helper got an execption\n");
                }
                const double period = (1.0 / static_cast<double>(mainLoopFunctionsList[i].updateFps)) * 1000.0;
                mainLoopFunctionsList[i].nextUpdate = curtime + static_cast<int64_t>(period);
            }
            if (mainLoopFunctionsList[i].nextUpdate < smallestNextTime)
                smallestNextTime = mainLoopFunctionsList[i].nextUpdate;
        }
        if (smallestNextTime != std::numeric_limits<int64_t>::max()) {
            const int64_t diff = smallestNextTime - static_cast<int64_t>(Timer::getCurrentTime());
            if (diff > 0)
                (sleepFunction ? sleepFunction : sleepUntilDeadline)(diff);
        }
    } while (!done);
    DebugPrint("Stopping main loop\n");
}

void Helpers::stop() {
    done = true;
}

void Helpers::setSleepFunction(SleepFunction sleep) {
    sleepFunction = sleep;
}

void Helpers::clearForTesting() {
    mainLoopFunctionsList.clear();
}
