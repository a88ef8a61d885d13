// Which event nodes are pointer devices, told from what the kernel publishes about each device in
// sysfs, so that finding out opens nothing: a keyboard's node is never opened at all.
#pragma once

#include <string>

#include <platform/InputNodes.h>

#include "linux/input/DeviceDescription.h"

namespace platform::evdev {

// A pointer moves in relative X and Y and has a left button, as udev's ID_INPUT_MOUSE has it.
// A device that also has the keys Esc to D (udev's ID_INPUT_KEYBOARD; some gaming mice have one
// node for both) is a keyboard too, and is left alone.
bool isPointerDevice(const Capabilities &caps);
// Whether the device has the keys Esc to D, as udev's ID_INPUT_KEYBOARD has it.
bool isKeyboardDevice(const Capabilities &caps);

}  // namespace platform::evdev
