// The real machine's run-loop driver: an event loop with one timerfd for the run loop's timers.
#pragma once

#include <platform/Backend.h>

#include <memory>

namespace platform {

// Set-up failure is fatal and said: a run loop that cannot wait cannot serve anything.
std::unique_ptr<RunLoopDriver> makeEpollDriver();

}  // namespace platform
