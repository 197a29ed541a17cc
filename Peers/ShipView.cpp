#include "Peers/ShipView.h"

#include <algorithm>

void ShipView::closeGap(Ship& ship, Clock::time_point now) {
    ship.longest = std::max(ship.longest, now - ship.since);
    ship.since = now;
}

ShipView::Ship& ShipView::known(uint64_t id, Clock::time_point now) {
    // try_emplace: a ship already known costs no allocation (every update of every ship comes
    // here).
    const auto entry = ships.try_emplace(id);
    Ship& ship = entry.first->second;
    if (entry.second || !ship.alive) {
        // New, or described again after its destruction: its gap begins now.
        ship.alive = true;
        ship.since = now;
    }
    return ship;
}

void ShipView::toldOf(uint64_t id, Clock::time_point now) {
    if (window != Window::closed)
        known(id, now);
}

void ShipView::updated(uint64_t id, Clock::time_point now) {
    if (window == Window::closed)
        return;
    Ship& ship = known(id, now);
    if (window == Window::before)
        return;
    closeGap(ship, now);
    ++ship.updates;
}

void ShipView::destroyed(uint64_t id, Clock::time_point now) {
    const auto found = ships.find(id);
    if (window == Window::closed || found == ships.end() || !found->second.alive)
        return;
    Ship& ship = found->second;
    if (window == Window::open)
        closeGap(ship, now);
    ship.alive = false;
    ship.throughout = false;
}

void ShipView::startWindow(Clock::time_point now) {
    if (window != Window::before)
        return;
    window = Window::open;
    for (auto it = ships.begin(); it != ships.end();) {
        if (!it->second.alive) {
            it = ships.erase(it);
            continue;
        }
        it->second.throughout = true;
        it->second.since = now;
        ++it;
    }
}

void ShipView::endWindow(Clock::time_point now) {
    if (window != Window::open)
        return;
    for (auto& entry : ships)
        if (entry.second.alive)
            closeGap(entry.second, now);
    window = Window::closed;
}

void ShipView::collect(std::vector<double>& longestGaps, unsigned long& neverUpdated) const {
    if (window != Window::closed)
        return;
    for (const auto& entry : ships) {
        const Ship& ship = entry.second;
        longestGaps.push_back(std::chrono::duration<double>(ship.longest).count());
        neverUpdated += ship.throughout && ship.alive && ship.updates == 0;
    }
}
