// Whether the user sits at the machine: the tap serves the mice only while one of the user's
// login sessions is active at a seat, as an event tap on macOS sees only the input of its own
// login session. logind tells us (linux/Logind.h); udev tells which seat each input device
// belongs to.
//
// The input backend takes a SeatSessions: the real one is logindSessions(); tests hand in their
// own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "linux/session/Logind.h"

namespace platform::evdev {

// The seat of an input device that names none.
inline constexpr const char *kDefaultSeat = "seat0";

class SeatSessions {
 public:
  virtual ~SeatSessions() = default;
  // Begins following the user's sessions, once. changed() then runs on the main thread whenever
  // activeSeats() may have changed. False, with why set, when they cannot be followed (no
  // system bus, no logind): the caller then serves whoever sits at the machine.
  virtual bool follow(std::function<void()> changed, std::string &why) = 0;
  // What ActiveSeats says of the user's sessions now. From any thread.
  virtual std::set<std::string> activeSeats() = 0;
  // The seat of an input node ("event3"): udev's ID_SEAT of its input device, kDefaultSeat
  // without one; nullopt while udev runs but has not yet described the device.
  virtual std::optional<std::string> seatOf(const std::string &node) = 0;
};

// The sessions of uid through logind on the system bus (see logind::Sessions for address), each
// device's seat through udev; log says what the user needs to know.
std::unique_ptr<SeatSessions> logindSessions(uid_t uid, std::string address, logind::Log log);

}  // namespace platform::evdev
