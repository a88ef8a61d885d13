// Stand-in: replaced by the run loop part. Weak, so the real definition wins when it links in.
#include <platform/Backend.h>

namespace platform {
__attribute__((weak)) void runLoopPerform(CFRunLoopRef, std::function<void()> work) { work(); }
}  // namespace platform
