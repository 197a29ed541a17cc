#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>
#include <vector>

// What one game client sees of the ships it is told of: for each ship, the longest time
// between two of its state updates within a measured window, the window's start and end
// counting as updates. A ship is told of by a description with player data, by a state update,
// or as the client's own; a destroyed ship's gap ends at its destruction and starts again when
// it is described anew. Used on one thread only (its bot's).
class ShipView {
public:
    using Clock = std::chrono::steady_clock;

    void toldOf(uint64_t id, Clock::time_point now);
    void updated(uint64_t id, Clock::time_point now);
    // Ids never told of are ignored (shots are destroyed too).
    void destroyed(uint64_t id, Clock::time_point now);

    // The window: before its start only the ships known are kept; after its end nothing changes.
    void startWindow(Clock::time_point now);
    void endWindow(Clock::time_point now);

    // Appends each ship's longest gap in seconds (every ship told of within the window), and
    // adds the ships known through the whole window, alive at its end, that had no update in it.
    void collect(std::vector<double>& longestGaps, unsigned long& neverUpdated) const;

private:
    struct Ship {
        bool alive = true;
        // Known when the window started, and alive ever since.
        bool throughout = false;
        unsigned long updates = 0;
        // The last update, or the moment the gap began (the window's start, the description).
        Clock::time_point since;
        Clock::duration longest = Clock::duration::zero();
    };
    void closeGap(Ship& ship, Clock::time_point now);
    // The ship, known from now on (its gap begins now when it is new or was destroyed).
    Ship& known(uint64_t id, Clock::time_point now);

    std::unordered_map<uint64_t, Ship> ships;
    enum class Window { before, open, closed } window = Window::before;
};
