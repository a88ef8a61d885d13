// corvassel-uinputd's one job, apart from the machine it runs on: serve one connection's request
// for an output device. The client must sit at the machine, hand over its open descriptor of a
// mouse (proof that it may read it), and ask for nothing that mouse could not do but the buttons
// clicked for back and forward. The device lives until the client hangs up; nothing else is kept.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "linux/input/DeviceDescription.h"
#include <platform/UniqueFd.h>

namespace uinputd {

using platform::UniqueFd;
using platform::evdev::Capabilities;
using platform::evdev::DeviceIdentity;
using platform::evdev::OutputSpec;

// What the broker asks of the machine.
class Host {
 public:
  virtual ~Host() = default;
  // "" when uid has an active session at a seat, else why not.
  virtual std::string seatRefusal(uid_t uid) = 0;
  // The input device open at fd; false, with why set, when fd is not an event device open for
  // reading.
  virtual bool describe(int fd, DeviceIdentity &identity, Capabilities &capabilities,
                        std::string &why) = 0;
  // Makes the device: it lives while keep is open; events written to handOver come out of it.
  virtual bool create(const OutputSpec &wanted, UniqueFd &keep, UniqueFd &handOver,
                      std::string &devnode, std::string &why) = 0;
};

struct Client {
  pid_t pid = 0;
  uid_t uid = 0;
};

// Serves the request on connection from client: refuses it (one line through log, naming the
// client and why) and returns, or makes the device, hands it over and returns once the client
// hangs up, when the device goes. A request must come within requestMillis.
void Serve(int connection, const Client &client, Host &host, int requestMillis,
           const std::function<void(const std::string &)> &log);

// The credentials of connection's peer; false when they cannot be read.
bool PeerOf(int connection, Client &client);

}  // namespace uinputd
