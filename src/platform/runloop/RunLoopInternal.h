// Run-loop plumbing shared inside the platform layer.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <functional>

namespace platform {

// Runs work on rl's thread, in order, after what the loop is doing now.
void runLoopPerform(CFRunLoopRef rl, std::function<void()> work);
// Watches a descriptor from rl's thread; false when its driver cannot (virtual time).
bool runLoopWatch(CFRunLoopRef rl, int fd, uint32_t events,
                  std::function<void(uint32_t revents)> onReady);
void runLoopUnwatch(CFRunLoopRef rl, int fd);

// Runs task on rl's thread once its clock reaches deadline (up-time nanoseconds). Unlike a
// run-loop timer it is not observable as one and cannot be cancelled.
void runLoopPerformAt(CFRunLoopRef rl, uint64_t deadline, std::function<void()> task);

// Saturating conversion of a (possibly negative, infinite or NaN) interval to nanoseconds.
uint64_t NanosFromSeconds(double seconds);

}  // namespace platform
