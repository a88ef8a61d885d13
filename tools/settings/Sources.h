// What the settings window needs from the machine, behind interfaces so that a test can drive the
// real window with presses of its own: the doctor's checks, starting the helper, and presses of
// mouse buttons.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Checks.h"

namespace corvassel::settings {

struct ButtonPress {
  int64_t number = 0;
  bool onOutput = false;  // came through one of the helper's output devices
  std::string device;             // for the user: the device's name and node
};

class PressSource {
 public:
  virtual ~PressSource() = default;
  // Waits for presses until stop(); each is handed to onPress on the main thread. False, with
  // *error, when not one mouse can be read.
  virtual bool start(std::function<void(const ButtonPress &)> onPress, std::string *error) = 0;
  virtual void stop() = 0;
};

// The calls below may take seconds (systemctl, the session bus): the window makes them on a
// worker thread.
class Machine {
 public:
  virtual ~Machine() = default;
  // The doctor's checks for the user whose home this is.
  virtual std::vector<tools::Check> checks(const std::string &home) = 0;
  // After Enabled was switched on: starts the helper when it is not running; what to tell the
  // user, or nothing.
  virtual std::string startHelper(const std::string &home) = 0;
  virtual std::unique_ptr<PressSource> presses() = 0;
};

// The machine this runs on.
std::unique_ptr<Machine> RealMachine();

}  // namespace corvassel::settings
