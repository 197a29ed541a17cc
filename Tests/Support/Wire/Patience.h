#pragma once

#include <chrono>
#include <functional>
#include <thread>

// How long a test waits for what should come (a line, a message, a datagram, a connection, any
// condition) before it gives up. Generous, as tests run in parallel and under sanitizers; a wait
// ends as soon as its condition holds, so the length costs nothing while tests pass.
const std::chrono::milliseconds Patience(10000);

// Asks `done` until it holds or `limit` has passed, pausing briefly in between; true when it
// held. `done` may take a step itself (dispatch, read, run completions) before it answers.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = Patience) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
