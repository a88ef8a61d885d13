// Which seat each input device belongs to, as udev tells it, and the login seats the tap serves:
// logind's picture of the user's sessions together with udev's seats.
#include "linux/session/SeatSession.h"

#include <systemd/sd-device.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "linux/session/Logind.h"

namespace platform::evdev {

namespace {

struct DeviceUnref {
  void operator()(sd_device *device) const { sd_device_unref(device); }
};
using DevicePtr = std::unique_ptr<sd_device, DeviceUnref>;

std::optional<std::string> UdevSeatOf(const std::string &node) {
  sd_device *raw = nullptr;
  if (sd_device_new_from_subsystem_sysname(&raw, "input", node.c_str()) < 0) return kDefaultSeat;
  DevicePtr event(raw);
  // The seat is the input device's (inputN, the event node's parent), as logind has it; the
  // event node only copies it. inputN is never renamed or reused, so udev's record of it cannot
  // be an earlier device's, as an event node's can be for a moment when its number is reused.
  sd_device *input = nullptr;  // owned by event
  if (sd_device_get_parent_with_subsystem_devtype(raw, "input", nullptr, &input) < 0)
    return kDefaultSeat;
  const char *seat = nullptr;
  if (sd_device_get_property_value(input, "ID_SEAT", &seat) >= 0 && seat && *seat)
    return std::string(seat);
  // A device udev has yet to describe may be about to get another seat: guessing seat0 could
  // hand that seat's mouse to this one.
  if (sd_device_get_is_initialized(input) == 0 && access("/run/udev/control", F_OK) == 0)
    return std::nullopt;
  return kDefaultSeat;
}

class LoginSeats final : public SeatSessions {
 public:
  LoginSeats(uid_t uid, std::string address, logind::Log log)
      : sessions_(uid, std::move(address), std::move(log)) {}
  bool follow(std::function<void()> changed, std::string &why) override {
    return sessions_.follow(std::move(changed), why);
  }
  std::set<std::string> activeSeats() override { return sessions_.activeSeats(); }
  std::optional<std::string> seatOf(const std::string &node) override { return UdevSeatOf(node); }

 private:
  logind::Sessions sessions_;
};

}  // namespace

std::unique_ptr<SeatSessions> logindSessions(uid_t uid, std::string address, logind::Log log) {
  return std::make_unique<LoginSeats>(uid, std::move(address), std::move(log));
}

}  // namespace platform::evdev
