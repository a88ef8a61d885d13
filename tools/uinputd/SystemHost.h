// The machine corvassel-uinputd runs on: logind on the system bus, the mice clients hand over
// described through libevdev, output devices made through /dev/uinput.
#pragma once

#include <memory>
#include <string>

#include "Broker.h"

namespace uinputd {

std::unique_ptr<Host> makeSystemHost(std::string uinputPath = "/dev/uinput");

}  // namespace uinputd
