#include "TouchEvents.h"
#include "remap/Remap.h"

CFMutableDictionaryRef swipeInfo = nullptr;
CFArrayRef nullArray = nullptr;

void TQXFakeSwipe(uint32_t code) {
  if (!swipeInfo || !nullArray) return;

  CFNumberRef key = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type,
                                   &static_cast<const int64_t &>(int64_t{code}));
  CFArrayRef descriptions = static_cast<CFArrayRef>(CFDictionaryGetValue(swipeInfo, key));
  CFRelease(key);
  if (!descriptions || CFArrayGetCount(descriptions) < 2) return;

  CGEventRef opening = tl_CGEventCreateFromGesture(
      static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(descriptions, 0)), nullArray);
  CGEventRef closing = tl_CGEventCreateFromGesture(
      static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(descriptions, 1)), nullArray);

  // A lone half of a swipe is never sent.
  if (opening && closing) {
    CGEventPost(kCGHIDEventTap, opening);
    CGEventPost(kCGHIDEventTap, closing);
  }
  if (opening) CFRelease(opening);
  if (closing) CFRelease(closing);
}
