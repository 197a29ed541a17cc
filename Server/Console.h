#pragma once

#include <istream>
#include <stack>
#include <string>

#include <boost/thread/mutex.hpp>

#include "Common/GameObjects/Transform.h"

// The operator console: a thread of its own reads standard input and stacks the lines; the
// main frame pops and runs them at its end, so commands never race the game state.

// Both live on the heap and are never freed: exit() on another thread runs the destructors of
// globals while the console thread may still be inside a push.
extern boost::mutex& mutex;          // guards buf
extern std::stack<std::string>& buf; // console lines, newest on top

// Console thread.
void push(std::string line);
// Main thread. False when the stack is empty; else the newest line, taken off the stack.
bool pop(std::string& out);

// Stacks every line of in until it ends or fails; nothing is pushed after that. Console thread.
void readConsoleLines(std::istream& in);

// The console thread's body: reads standard input until it ends, then returns.
struct InputServer {
    void operator()() const;
};

// Runs one command line. players and projectiles are the frame's own lists (null when the
// scene never held that kind); shouldFakeCPUUsage is the frame's made-up-load switch. Main thread.
void runConsoleCommand(const std::string& command, TransformList* players, TransformList* projectiles,
                       bool& shouldFakeCPUUsage);

// Last stage of the frame: runs every stacked line, newest first. The lock is held only inside
// each pop, so lines typed meanwhile run in this frame too. Main thread.
void runConsoleCommands(TransformList* players, TransformList* projectiles, bool& shouldFakeCPUUsage);

// The made-up load: 20 per player under this server's control, as the cached CPU figure.
// Main thread.
void fakeCPUUsage();
