// A device opened through libevdev as a desktop knows it: its identity and what it can do. The
// helper describes each mouse so; the uinput broker describes the mouse a client hands it.
#pragma once

#include <libevdev/libevdev.h>

#include "linux/input/DeviceDescription.h"

namespace platform::evdev {

DeviceIdentity DescribeIdentity(const libevdev *dev);
// Every code of the types an output may carry, with the ranges of the absolute axes.
Capabilities DescribeCapabilities(const libevdev *dev);

}  // namespace platform::evdev
