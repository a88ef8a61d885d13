#include "linux/input/UinputDevice.h"

#include <linux/uinput.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <set>

namespace platform::evdev {

int MakeUinputDevice(int fd, const OutputSpec &wanted) {
  const auto request = [fd](unsigned long what, auto argument) {
    return ioctl(fd, what, argument) == 0 ? 0 : errno;
  };
  std::set<uint16_t> types;
  for (const auto &[type, code] : wanted.capabilities.codes) types.insert(type);
  for (uint16_t type : types)
    if (int error = request(UI_SET_EVBIT, static_cast<unsigned long>(type))) return error;
  for (const auto &[type, code] : wanted.capabilities.codes) {
    unsigned long bit = 0;
    switch (type) {
      case EV_KEY:
        bit = UI_SET_KEYBIT;
        break;
      case EV_REL:
        bit = UI_SET_RELBIT;
        break;
      case EV_ABS:
        bit = UI_SET_ABSBIT;
        break;
      case EV_MSC:
        bit = UI_SET_MSCBIT;
        break;
      case EV_SW:
        bit = UI_SET_SWBIT;
        break;
      case EV_LED:
        bit = UI_SET_LEDBIT;
        break;
      case EV_SND:
        bit = UI_SET_SNDBIT;
        break;
      default:
        continue;
    }
    auto abs = wanted.capabilities.abs.find(code);
    if (type == EV_ABS && abs == wanted.capabilities.abs.end()) continue;  // no range, no axis
    if (int error = request(bit, static_cast<unsigned long>(code))) return error;
    if (type == EV_ABS) {
      uinput_abs_setup axis{};
      axis.code = code;
      axis.absinfo = abs->second;
      if (int error = request(UI_ABS_SETUP, &axis)) return error;
    }
  }
  for (int prop : wanted.capabilities.properties)
    if (int error = request(UI_SET_PROPBIT, static_cast<unsigned long>(prop))) return error;
  if (int error = request(UI_SET_PHYS, wanted.phys.c_str())) return error;
  uinput_setup setup{};
  setup.id.bustype = wanted.identity.bustype;
  setup.id.vendor = wanted.identity.vendor;
  setup.id.product = wanted.identity.product;
  setup.id.version = wanted.identity.version;
  wanted.identity.name.copy(setup.name, UINPUT_MAX_NAME_SIZE - 1);
  if (int error = request(UI_DEV_SETUP, &setup)) return error;
  return request(UI_DEV_CREATE, 0);
}

}  // namespace platform::evdev
