// Presses of mouse buttons, as `corvassel-prefs learn` and the settings window wait for them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "HelperSettings.h"
#include "Machine.h"

namespace corvassel::tools {

struct Press {
  int number;
  PointerNode device;
};

// "NAME" (/dev/input/eventN)
std::string DeviceLabel(const PointerNode &device);

// Every readable pointer device, and the ones plugged in while it waits.
class PressWatch {
 public:
  // What to tell the user: which devices are read; problem when one cannot be.
  using Say = std::function<void(const std::string &line, bool problem)>;
  explicit PressWatch(Say say);
  ~PressWatch();
  PressWatch(const PressWatch &) = delete;
  PressWatch &operator=(const PressWatch &) = delete;

  // Opens what there is. False, with *error, when not one mouse can be read.
  bool start(std::string *error);
  // The next press of a mouse button; nothing when the devices cannot be waited for, or once
  // stop (a descriptor, when given) becomes readable.
  std::optional<Press> next(int stop = -1);

 private:
  bool open(const PointerNode &device, bool sayRefusal);
  void readNotices();
  void readDevice(int fd);

  Say say_;
  int watch_ = -1;
  std::map<int, PointerNode> devices_;
  std::deque<Press> queued_;
};

// What to do with a press while waiting for the button of the setting key.
struct PressVerdict {
  bool take = false;  // store it and stop waiting
  std::string note;   // to say either way, when there is something to say
};
// onOutput: the press came through one of the helper's output devices, where the buttons it
// maps arrive as the clicks it makes.
PressVerdict JudgePress(const std::string &key, int64_t number, bool onOutput,
                        const Effective &effective);

}  // namespace corvassel::tools
