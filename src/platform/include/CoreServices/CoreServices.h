// CoreServices' up-time clock.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

// Little-endian layout, as on x86-64.
struct UnsignedWide {
  UInt32 lo;
  UInt32 hi;
};
typedef struct UnsignedWide UnsignedWide;
typedef UnsignedWide AbsoluteTime;
typedef UnsignedWide Nanoseconds;

// Deprecated since macOS 10.8, as Apple marks them.
__attribute__((deprecated)) AbsoluteTime UpTime(void);
__attribute__((deprecated)) Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime);

static inline UInt64 UnsignedWideToUInt64(UnsignedWide value) {
  return ((UInt64)value.hi << 32) | value.lo;
}

}  // extern "C"
