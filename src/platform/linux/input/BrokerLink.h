// The link between a client and corvassel-uinputd, the broker that makes output devices for users
// who may not use /dev/uinput themselves. One connection per device: the client sends one
// request (OutputRequest.h) with its open descriptor of the source mouse attached; the broker
// answers once, attaching a descriptor that can only write events into the device it made, and
// keeps that device for as long as the connection stays open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "linux/input/DeviceDescription.h"
#include <platform/OutputWay.h>
#include <platform/UniqueFd.h>

namespace platform::evdev {

// What a client waits for the broker's answer; the broker waits as long for a request.
inline constexpr int kBrokerTimeoutMillis = 2000;

// A non-blocking connection to the broker's socket; none, with error set, when it cannot be made
// at once (no broker: ENOENT or ECONNREFUSED; a broker too busy to take it: EAGAIN).
UniqueFd ConnectBroker(const std::string &socketPath, int &error);

// One datagram with fds (up to 16) attached; 0 or the errno.
int SendDatagram(int socket, const std::vector<uint8_t> &bytes, const std::vector<int> &fds);

// One datagram of at most kMaxOutputMessage bytes, within timeoutMillis: 0, or ETIMEDOUT (none
// came), ECONNRESET (the peer hung up, or sent an empty one), EMSGSIZE (larger), ETOOMANYREFS
// (more than four descriptors attached), or the errno of the read. Every descriptor that came is
// in fds, whatever the outcome, so none is left open unowned.
int ReceiveDatagram(int socket, std::vector<uint8_t> &bytes, std::vector<UniqueFd> &fds,
                    int timeoutMillis);

struct BrokerOutput {
  UniqueFd device;      // write-only: events written here come out of the device
  UniqueFd connection;  // the device lives while this stays open
  std::string devnode;
  // When nothing was made: the errno (EPERM: refused), and why in words (the broker's own when
  // it answered).
  int error = 0;
  std::string why;
};

// Asks the broker at socketPath for the output `wanted`, standing for the mouse open at sourceFd.
BrokerOutput RequestOutput(const std::string &socketPath, const OutputSpec &wanted, int sourceFd,
                           int timeoutMillis = kBrokerTimeoutMillis);
// The same on a connection made already.
BrokerOutput RequestOutput(UniqueFd connection, const OutputSpec &wanted, int sourceFd,
                           int timeoutMillis = kBrokerTimeoutMillis);

}  // namespace platform::evdev
