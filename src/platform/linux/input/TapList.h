// The taps an input made and still alive, oldest first: the newest serves posting and the
// held-buttons mask, and every one is shut down on the way out of the process.
#pragma once

#include <platform/Backend.h>

#include "linux/input/LinuxTap.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::evdev {

class TapList {
 public:
  // The driver the port holds: the tap, listed while it lives. It may outlive the list.
  std::unique_ptr<TapDriver> serve(std::unique_ptr<Tap> tap);
  // Runs fn with the newest tap alive, if any, while it cannot go away.
  void withNewest(const std::function<void(Tap &)> &fn);
  void forEach(const std::function<void(Tap &)> &fn);

 private:
  class Served;
  struct Alive {
    std::mutex mutex;
    std::vector<Tap *> taps;
  };
  // Shared with each served driver, so that a tap that goes after the list can still leave it.
  const std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
};

}  // namespace platform::evdev
