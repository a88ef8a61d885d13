// The input backend of the real machine, over any kernel (the real one or a test's fake).
#pragma once

#include <platform/Backend.h>

#include "linux/EvdevKernel.h"
#include "linux/InputLoop.h"
#include "linux/LinuxTap.h"

#include <functional>
#include <memory>

namespace platform::evdev {

// The button clicked on the virtual device for a swipe direction, 0 for none.
uint16_t buttonForSwipe(int64_t direction);

class LinuxInput : public InputBackend {
 public:
  using LoopMaker = std::function<std::unique_ptr<InputLoop>()>;
  explicit LinuxInput(Kernel &kernel, TapOptions options = {}, LoopMaker makeLoop = makeThreadLoop)
      : kernel_(kernel), options_(options), makeLoop_(std::move(makeLoop)) {}
  bool isProcessTrusted(bool prompt) override;
  std::unique_ptr<TapDriver> createTap(const TapRequest &request, TapClient &client) override;
  NSUInteger pressedMouseButtons() override;
  void post(CGEventTapLocation location, const PostedEvent &posted) override;

  // Why the process may not use /dev/uinput or a pointer device ("NODE (REASON): FIX"), or ""
  // when it may use them all. Opens nothing; no prompt.
  std::string accessProblem();

 private:
  Kernel &kernel_;
  TapOptions options_;
  LoopMaker makeLoop_;
};

}  // namespace platform::evdev
