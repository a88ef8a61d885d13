// The real machine's clock and waiter; its run-loop driver is EpollDriver's.
#pragma once

#include <platform/Backend.h>

namespace platform {

class SystemTime final : public TimeSource {
 public:
  uint64_t upTimeNanos() override;
  CFAbsoluteTime absoluteTime() override;
  std::unique_ptr<Waiter> makeWaiter() override;
  std::unique_ptr<RunLoopDriver> makeRunLoopDriver() override;
  void threadWillStart() override {}
  void threadDidExit() override {}
};

}  // namespace platform
