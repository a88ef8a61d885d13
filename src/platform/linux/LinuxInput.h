// The input backend of the real machine, over any kernel (the real one or a test's fake).
#pragma once

#include <platform/Backend.h>

#include "linux/EvdevKernel.h"
#include "linux/LinuxTap.h"

namespace platform::evdev {

// Field numbers of the gesture events posted for a swipe.
constexpr CGEventField kGesturePhaseField = 0x84;
constexpr CGEventField kSwipeDirectionField = 0x73;
constexpr int64_t kGesturePhaseEnded = 4;

// The button clicked on the virtual device for a swipe direction, 0 for none.
uint16_t buttonForSwipe(int64_t direction);

class LinuxInput : public InputBackend {
 public:
  explicit LinuxInput(Kernel &kernel, TapOptions options = {})
      : kernel_(kernel), options_(options) {}
  bool isProcessTrusted(bool prompt) override;
  std::unique_ptr<TapDriver> createTap(const TapRequest &request, TapClient &client) override;
  NSUInteger pressedMouseButtons() override;
  void post(CGEventTapLocation location, CGEventRef event) override;

  // Why the process may not use /dev/uinput or a pointer device ("NODE (REASON): FIX"), or ""
  // when it may use them all. Opens nothing; no prompt.
  std::string accessProblem();

 private:
  Kernel &kernel_;
  TapOptions options_;
};

}  // namespace platform::evdev
