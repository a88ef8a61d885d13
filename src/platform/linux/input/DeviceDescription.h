// What a desktop knows an input device by (its name and ids) and what it can do, and what an output
// device is made with: the source mouse's own description, so that udev's hardware database,
// libinput's quirks and the desktop's per-device settings apply to it as to the mouse. Shared by
// the helper, which asks for outputs, and the uinput broker, which checks what it is asked for.
#pragma once

#include <linux/input.h>
#include <platform/InputNodes.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace platform::evdev {

// Event codes a device can produce, with the ranges of its absolute axes.
struct Capabilities {
  std::set<std::pair<uint16_t, uint16_t>> codes;  // (type, code), EV_SYN excluded
  std::map<uint16_t, input_absinfo> abs;
  std::set<int> properties;  // INPUT_PROP_*

  bool has(uint16_t type, uint16_t code) const { return codes.count({type, code}) != 0; }
  void merge(const Capabilities &other) {
    codes.insert(other.codes.begin(), other.codes.end());
    for (const auto &[code, info] : other.abs) abs.emplace(code, info);
    properties.insert(other.properties.begin(), other.properties.end());
  }
};

struct DeviceIdentity {
  std::string name;
  uint16_t bustype = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t version = 0;
  friend bool operator==(const DeviceIdentity &, const DeviceIdentity &) = default;
};

// An output device: its source's identity and capabilities, plus the buttons clicked on it for
// back and forward when the source lacks them.
struct OutputSpec {
  DeviceIdentity identity;
  std::string phys;
  Capabilities capabilities;
};

// The output of the mouse at event node `node` ("event5"): the mouse's identity and
// capabilities, a phys that names the node, and BTN_SIDE and BTN_EXTRA, clicked for back and
// forward.
inline OutputSpec outputSpecFor(const DeviceIdentity &identity, const Capabilities &capabilities,
                                const std::string &node) {
  OutputSpec wanted{identity, kOutputPhysPrefix + node, capabilities};
  wanted.capabilities.codes.insert({EV_KEY, BTN_SIDE});
  wanted.capabilities.codes.insert({EV_KEY, BTN_EXTRA});
  return wanted;
}

}  // namespace platform::evdev
