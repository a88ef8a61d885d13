// What the Linux input backend's parts take from the machine that makes them, as libinput's
// devices take their context, rather than reaching for the process's backend: where a line for
// the log goes, and the clock to tell of every thread they start (a virtual clock counts them, to
// know when every thread waits).
#pragma once

#include <platform/Backend.h>

#include <functional>
#include <string>

namespace platform::evdev {

struct Context {
  std::function<void(const std::string &line)> log;
  TimeSource &time;

  void say(const std::string &line) const {
    if (log) log(line);
  }
};

}  // namespace platform::evdev
