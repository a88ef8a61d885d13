// D-Bus connections through sd-bus, for the notification transport and the logind client alike:
// every sd-bus handle owned by one of these, and one way to open a bus.
#pragma once

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <string>

namespace platform {

struct BusClose {
  // Whatever is still queued goes out before the connection closes.
  void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
  void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error, freed when it goes.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError &) = delete;
  BusError &operator=(const BusError &) = delete;
  sd_bus_error *get() { return &error_; }
  // What went wrong with call, which returned r.
  std::string describe(const char *call, int r) const {
    const bool named = sd_bus_error_is_set(&error_) && error_.message;
    return std::string(call) + ": " + (named ? error_.message : strerror(-r));
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// Connects to the bus at address, or, with none, to the user's own bus (the system bus when
// system is set). A negative errno when it cannot, with bus then empty.
int OpenBus(const std::string &address, bool system, BusPtr &bus);

}  // namespace platform
