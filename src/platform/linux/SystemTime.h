// The real machine's clock, waiter and run-loop driver (epoll with one timerfd and one eventfd).
#pragma once

#include <platform/Backend.h>

namespace platform {

TimeSource &systemTime();

}  // namespace platform
