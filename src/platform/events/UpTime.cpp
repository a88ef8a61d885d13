// CoreServices' up-time clock. Absolute time is counted in nanoseconds here, as on x86-64.
#include <CoreServices/CoreServices.h>

#include <platform/Backend.h>

AbsoluteTime UpTime(void) {
  const uint64_t now = platform::backend().time().upTimeNanos();
  return AbsoluteTime{static_cast<UInt32>(now), static_cast<UInt32>(now >> 32)};
}

Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime) {
  return absoluteTime;
}
