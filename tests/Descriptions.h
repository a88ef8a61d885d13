// What tests, benchmarks and fuzzers build events from: gesture descriptions and touch lists of
// numbers of a chosen stored type, and the button events a tap asks for.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Right and other button presses and releases: what the helper's tap asks for.
constexpr CGEventMask kButtonEvents =
    CGEventMaskBit(kCGEventRightMouseDown) | CGEventMaskBit(kCGEventRightMouseUp) |
    CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);

struct CFReleaser {
  void operator()(const void *object) const {
    if (object) CFRelease(object);
  }
};
template <typename T>
using CFPtr = std::unique_ptr<std::remove_pointer_t<T>, CFReleaser>;

// A number of a chosen stored type.
struct Num {
  Num(int32_t v) : type(kCFNumberSInt32Type), i32(v) {}
  Num(int64_t v) : type(kCFNumberSInt64Type), i64(v) {}
  Num(float v) : type(kCFNumberFloat32Type), f32(v) {}
  Num(double v) : type(kCFNumberDoubleType), f64(v) {}

  CFNumberRef create() const {
    const void *value = type == kCFNumberSInt32Type    ? static_cast<const void *>(&i32)
                        : type == kCFNumberSInt64Type  ? static_cast<const void *>(&i64)
                        : type == kCFNumberFloat32Type ? static_cast<const void *>(&f32)
                                                       : static_cast<const void *>(&f64);
    return CFNumberCreate(kCFAllocatorDefault, type, value);
  }

  CFNumberType type;
  int32_t i32 = 0;
  int64_t i64 = 0;
  float f32 = 0;
  double f64 = 0;
};

using Entries = std::vector<std::pair<std::string, Num>>;

inline CFDictionaryRef CreateDescription(const Entries &entries) {
  CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (const auto &[key, value] : entries) {
    CFStringRef keyRef =
        CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8);
    CFNumberRef number = value.create();
    CFDictionarySetValue(dictionary, keyRef, number);
    CFRelease(keyRef);
    CFRelease(number);
  }
  return dictionary;
}

inline CFArrayRef CreateTouchList(const std::vector<Entries> &touches) {
  CFMutableArrayRef list = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
  for (const Entries &touch : touches) {
    CFDictionaryRef description = CreateDescription(touch);
    CFArrayAppendValue(list, description);
    CFRelease(description);
  }
  return list;
}
