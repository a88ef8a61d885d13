// CGEventCreateFromData on arbitrary bytes: never crashes, leaks or reads out of bounds, and an
// event it accepts serializes back to exactly the bytes it was made from.
#include <CoreGraphics/CoreGraphics.h>

#include <cstring>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static TestBackend backend;
  long before = platform::liveObjectCount();
  CFDataRef bytes = CFDataCreate(kCFAllocatorDefault, data, static_cast<CFIndex>(size));
  CGEventRef event = CGEventCreateFromData(kCFAllocatorDefault, bytes);
  CFRelease(bytes);
  if (event) {
    CFDataRef again = CGEventCreateData(kCFAllocatorDefault, event);
    FUZZ_CHECK(again != nullptr);
    FUZZ_CHECK(static_cast<size_t>(CFDataGetLength(again)) == size);
    FUZZ_CHECK(size == 0 || memcmp(CFDataGetBytePtr(again), data, size) == 0);
    CFRelease(again);
    // A copy is an equal event.
    CGEventRef copy = CGEventCreateCopy(event);
    FUZZ_CHECK(copy != nullptr);
    FUZZ_CHECK(CGEventGetType(copy) == CGEventGetType(event));
    FUZZ_CHECK(CGEventGetTimestamp(copy) == CGEventGetTimestamp(event));
    CFRelease(copy);
    CFRelease(event);
  }
  FUZZ_CHECK(platform::liveObjectCount() == before);
  return 0;
}
