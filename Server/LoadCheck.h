#pragma once

// Once a second, main thread: reports this server's CPU figure to the coordinator, and when
// the figure is above the coordinator's overload border also where its players are (per
// region, or per sub-cell of its only region). Only queued: it leaves with the next frame's
// send step.
void checkLoad();
