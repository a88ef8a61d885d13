// The taps alive in this process: the newest one serves posting and the held-buttons mask, and
// all of them are shut down when the process exits normally.
#pragma once

#include <functional>

namespace platform::evdev {

class Tap;

void registerTap(Tap *tap);
void unregisterTap(Tap *tap);
// Runs fn with the newest live tap, if any, while it cannot go away.
void withActiveTap(const std::function<void(Tap &)> &fn);
// Runs fn with every live tap, oldest first, while none can go away.
void forEachTap(const std::function<void(Tap &)> &fn);
// Runs fn with every live tap, oldest first, while none can go away.
void forEachTap(const std::function<void(Tap &)> &fn);

}  // namespace platform::evdev
