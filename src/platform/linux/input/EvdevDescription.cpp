#include "linux/input/EvdevDescription.h"

namespace platform::evdev {

namespace {

// EV_REP stays out: an output would then repeat on its own besides passing on the device's
// repeats.
struct TypeRange {
  unsigned type;
  unsigned max;
};
constexpr TypeRange kTypes[] = {{EV_KEY, KEY_MAX}, {EV_REL, REL_MAX}, {EV_ABS, ABS_MAX},
                                {EV_MSC, MSC_MAX}, {EV_SW, SW_MAX},   {EV_LED, LED_MAX},
                                {EV_SND, SND_MAX}};

}  // namespace

DeviceIdentity DescribeIdentity(const libevdev *dev) {
  const char *name = libevdev_get_name(dev);
  return DeviceIdentity{name ? name : "", static_cast<uint16_t>(libevdev_get_id_bustype(dev)),
                        static_cast<uint16_t>(libevdev_get_id_vendor(dev)),
                        static_cast<uint16_t>(libevdev_get_id_product(dev)),
                        static_cast<uint16_t>(libevdev_get_id_version(dev))};
}

Capabilities DescribeCapabilities(const libevdev *dev) {
  Capabilities caps;
  for (const TypeRange &t : kTypes) {
    if (!libevdev_has_event_type(dev, t.type)) continue;
    for (unsigned code = 0; code <= t.max; ++code) {
      if (!libevdev_has_event_code(dev, t.type, code)) continue;
      caps.codes.insert({static_cast<uint16_t>(t.type), static_cast<uint16_t>(code)});
      if (t.type == EV_ABS) {
        if (const input_absinfo *info = libevdev_get_abs_info(dev, code))
          caps.abs[static_cast<uint16_t>(code)] = *info;
      }
    }
  }
  for (int prop = 0; prop <= INPUT_PROP_MAX; ++prop)
    if (libevdev_has_property(dev, prop)) caps.properties.insert(prop);
  return caps;
}

}  // namespace platform::evdev
