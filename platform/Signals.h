// SIGTERM, SIGINT and SIGHUP as a request to exit, delivered on the thread of
// the event loop that called WatchExitSignals.
#pragma once

#include <functional>

// Calls onExit (once per signal) on the calling thread's event loop.
void WatchExitSignals(std::function<void()> onExit);
