// Which event nodes are pointer devices, told from what the kernel publishes about each device in
// sysfs, so that finding out opens nothing: a keyboard's node is never opened at all.
#pragma once

#include <string>

#include "linux/DeviceDescription.h"

namespace platform::evdev {

inline constexpr const char *kSysfsInputDirectory = "/sys/class/input";

// A pointer moves in relative X and Y and has a left button, as udev's ID_INPUT_MOUSE has it.
// A device that also has the keys Esc to D (udev's ID_INPUT_KEYBOARD; some gaming mice have one
// node for both) is a keyboard too, and is left alone.
bool isPointerDevice(const Capabilities &caps);
// Whether the device has the keys Esc to D, as udev's ID_INPUT_KEYBOARD has it.
bool isKeyboardDevice(const Capabilities &caps);

// The same rule from sysfsInput/NODE/device/capabilities/{ev,rel,key}; false when those cannot
// be read.
bool isPointerNode(const std::string &sysfsInput, const std::string &node);

// The device's name from sysfsInput/NODE/device/name, "" when there is none.
std::string deviceName(const std::string &sysfsInput, const std::string &node);

// The device's phys from sysfsInput/NODE/device/phys, "" when it has none: an output device's
// begins with kOutputPhysPrefix.
std::string devicePhys(const std::string &sysfsInput, const std::string &node);

}  // namespace platform::evdev
