// An output device made through a uinput descriptor from its description, the same way by the
// helper (where it may use /dev/uinput itself) and by corvassel-uinputd.
#pragma once

#include "linux/input/DeviceDescription.h"

namespace platform::evdev {

// Describes the device to uinput and makes it: 0, or the errno of the request refused. Once
// made, its capabilities can change no more.
int MakeUinputDevice(int fd, const OutputSpec &wanted);

}  // namespace platform::evdev
