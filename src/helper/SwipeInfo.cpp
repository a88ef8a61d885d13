#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

#include <initializer_list>

namespace {

CFDictionaryRef CreateDescription(const char *const *keys, const int32_t *values, CFIndex count) {
  CFTypeRef keyRefs[3];
  CFTypeRef valueRefs[3];
  for (CFIndex i = 0; i < count; i++) {
    keyRefs[i] = CFStringCreateWithCString(kCFAllocatorDefault, keys[i], kCFStringEncodingUTF8);
    valueRefs[i] = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &values[i]);
  }
  CFDictionaryRef description =
      CFDictionaryCreate(kCFAllocatorDefault, keyRefs, valueRefs, count,
                         &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (CFIndex i = 0; i < count; i++) {
    CFRelease(keyRefs[i]);
    CFRelease(valueRefs[i]);
  }
  return description;
}

}  // namespace

void CorvasselHelper::setupSwipeInfo() {
  if (swipeInfo) CFRelease(swipeInfo);
  swipeInfo = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks);

  static const char *const kOpeningKeys[] = {"gestureSubtype", "gesturePhase"};
  static const char *const kClosingKeys[] = {"gestureSubtype", "swipeDirection", "gesturePhase"};
  for (int32_t code : {1, 2, 4, 8}) {
    const int32_t opening[] = {16, 1};
    const int32_t closing[] = {16, code, 4};
    CFTypeRef descriptions[2] = {CreateDescription(kOpeningKeys, opening, 2),
                                 CreateDescription(kClosingKeys, closing, 3)};
    CFArrayRef pair = CFArrayCreate(kCFAllocatorDefault, descriptions, 2, &kCFTypeArrayCallBacks);
    CFNumberRef key = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &code);
    CFDictionarySetValue(swipeInfo, key, pair);
    CFRelease(key);
    CFRelease(pair);
    CFRelease(descriptions[0]);
    CFRelease(descriptions[1]);
  }

  if (nullArray) CFRelease(nullArray);
  nullArray = CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks);
}
