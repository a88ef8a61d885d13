// How the helper's output devices are made on this machine, the uinput broker first: for the
// helper, and for the doctor, which says which way and why.
#pragma once

#include <string>

namespace platform::evdev {

inline constexpr const char *kBrokerSocket = "/run/corvassel-uinputd.sock";

// Through the broker when its socket is there for us to connect to, else through uinputPath
// itself when we may read and write it. Opens nothing.
struct OutputWay {
  enum Kind { Broker, Uinput, None } kind = None;
  int error = 0;    // None: why uinputPath cannot be used
  std::string why;  // which way and why, in words
};
OutputWay FindOutputWay(const std::string &brokerSocket = kBrokerSocket,
                        const std::string &uinputPath = "/dev/uinput");

}  // namespace platform::evdev
