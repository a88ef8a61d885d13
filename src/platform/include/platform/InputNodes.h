// What the Linux machine tells of its input nodes to the programs around the helper: which are
// pointer devices, what each is called, which are the helper's outputs and whose, and the
// platform's number for a button code. Reading it opens no device, so a keyboard's node is never
// opened by asking.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <string>

namespace platform::evdev {

inline constexpr const char *kSysfsInputDirectory = "/sys/class/input";

// Whether sysfsInput/NODE/device/capabilities/{ev,rel,key} make a pointer (relative X and Y and a
// left button) and no keyboard; false when they cannot be read.
bool isPointerNode(const std::string &sysfsInput, const std::string &node);

// The device's name from sysfsInput/NODE/device/name, "" when there is none.
std::string deviceName(const std::string &sysfsInput, const std::string &node);

// The device's phys from sysfsInput/NODE/device/phys, "" when it has none: an output device's
// begins with kOutputPhysPrefix.
std::string devicePhys(const std::string &sysfsInput, const std::string &node);

// Every output's phys begins so, followed by what names its source: outputs (this helper's and
// another running instance's) are told apart from mice by it, never by their name, which is the
// source's own.
inline constexpr const char kOutputPhysPrefix[] = "corvassel-helper/";

inline bool isOutputPhys(const std::string &phys) {
  return phys.rfind(kOutputPhysPrefix, 0) == 0;
}

// The event node an output's phys names ("event5"), or "" for a phys that is no output's.
inline std::string outputSource(const std::string &phys) {
  return isOutputPhys(phys) ? phys.substr(sizeof kOutputPhysPrefix - 1) : std::string();
}

// The platform's number for an evdev button code (BTN_LEFT 0, BTN_RIGHT 1, BTN_MIDDLE 2,
// BTN_SIDE 3, BTN_EXTRA 4, BTN_FORWARD 5, BTN_BACK 6, BTN_TASK 7, the rest of the mouse range
// after them), or -1 for any other code.
inline int buttonNumber(uint16_t code) {
  // The mouse range runs BTN_LEFT ... BTN_TASK, then eight unnamed codes up to BTN_JOYSTICK.
  return code >= BTN_MOUSE && code < BTN_JOYSTICK ? code - BTN_MOUSE : -1;
}

}  // namespace platform::evdev
