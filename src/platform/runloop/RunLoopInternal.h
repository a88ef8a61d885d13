// Run-loop plumbing shared inside the platform layer.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <functional>

namespace platform {

// A new backend brings a new clock: drop the main loop and the calling thread's loop (with
// everything scheduled on them) so that the next use builds them afresh on the new time source.
void runLoopsBackendChanged();

// Runs task on rl's thread once its clock reaches deadline (up-time nanoseconds). Unlike a
// run-loop timer it is not observable as one and cannot be cancelled.
void runLoopPerformAt(CFRunLoopRef rl, uint64_t deadline, std::function<void()> task);

// Saturating conversion of a (possibly negative, infinite or NaN) interval to nanoseconds.
uint64_t NanosFromSeconds(double seconds);

}  // namespace platform
