#pragma once

#include <boost/system/error_code.hpp>

#include "Common/Engine/Timer.h"
#include "Server/ServerRegionHandler.h"

// Process globals of the region server. Main thread only unless said otherwise.

// The frame clock, built before main runs: the first frame's step covers start-up (bounded,
// as every frame's step is, by mainLoop).
extern Timer timer;

// The collide-all option's target, shouldCollideAllObjects, is declared with the registry,
// whose library defines it (Server/ServerRegionHandler.h).

// Start-up and the rest of the process's life; returns the exit status (1 after the help
// text, 0 after a caught exception).
int serverMain(int argc, char* argv[]);

// The main frame, registered at 30 calls per second.
void mainLoop();

// Once a second when the log option is on: one measurement line.
void logToFile();

// Once a second: connects to the pool servers this server has to connect to.
void checkSurroundingServers();

// Exit handler: closes the measurement log.
void cleanupLog();

// Completion of the time-limit timer; I/O thread. Ends the process itself while start-up runs,
// else asks the main thread to end it between two frames.
void timeout(const boost::system::error_code& error);

// Ends the process with status 0 when the time limit has expired; main thread only. It
// stops the I/O thread first, so no thread touches state that exit() tears down.
void endProcessIfTimeLimitExpired();
