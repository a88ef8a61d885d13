// The Linux machine's descriptors are owned as the platform's are.
#pragma once

#include <platform/UniqueFd.h>

namespace platform::evdev {
using platform::UniqueFd;
}  // namespace platform::evdev
