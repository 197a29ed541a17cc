#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

// Runs `task` on the thread that runs `io` and waits until it has. What the caller wrote before
// then happens before that thread's later completions, and the task's effects before the
// caller's next step. `io` must be running, on another thread.
inline void runOn(boost::asio::io_context& io, const std::function<void()>& task) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    boost::asio::post(io, [&] {
        task();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_one();
    });
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return done; });
}
