#include "linux/system/Bus.h"

namespace platform {

int OpenBus(const std::string &address, bool system, BusPtr &bus) {
  bus.reset();
  sd_bus *raw = nullptr;
  int r;
  if (address.empty()) {
    r = system ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    BusPtr opened(raw);
    if (r >= 0) bus = std::move(opened);
    return r;
  }
  r = sd_bus_new(&raw);
  BusPtr opened(raw);
  if (r >= 0) r = sd_bus_set_address(opened.get(), address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(opened.get(), 1);
  if (r >= 0) r = sd_bus_start(opened.get());
  if (r >= 0) bus = std::move(opened);
  return r;
}

}  // namespace platform
